// drv_probe LIBRARY: an application stand-in for tests. It loads the driver
// library from LIBRARY on request and runs one command per input line,
// answering one line each (see the command table in Run()).
#include <dirent.h>
#include <dlfcn.h>
#include <grp.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <functional>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "driver/state/shared_area.h"
#include "platform/named_mutex.h"
#include "platform/shared_section.h"
#include "tests/support/driver_exports.h"

namespace {

struct Driver : zq::test::DriverExports {
  void* handle = nullptr;
};

// argv[1]: lives as long as the process, also for threads still calling
// while exit() runs the destructors.
const char* g_libraryPath = "";
Driver g_drv;
std::map<std::string, zq::platform::NamedMutex*> g_heldMutexes;

std::vector<uint8_t> FromHex(const std::string& hex) {
  std::vector<uint8_t> out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) out.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
  return out;
}

std::string ToHex(const uint8_t* data, size_t n) {
  std::string out;
  char b[3];
  for (size_t i = 0; i < n; ++i) {
    std::snprintf(b, sizeof b, "%02x", data[i]);
    out += b;
  }
  return out;
}

uint32_t Num(const std::string& s) { return static_cast<uint32_t>(std::stoul(s, nullptr, 0)); }

std::string Load() {
  g_drv.handle = dlopen(g_libraryPath, RTLD_NOW | RTLD_LOCAL);
  if (!g_drv.handle) return std::string("error ") + dlerror();
  if (!g_drv.LookUp(g_drv.handle)) return "error symbols";
  return "loaded";
}

std::string DropPrivileges() {
  // The conventional unprivileged account, in no supplementary group.
  if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0) return "error";
  return "ok";
}

// Maps the shared area of the library without attaching to it.
const zq::drv::SharedArea* Inspect() {
  char real[PATH_MAX];
  if (!realpath(g_libraryPath, real)) return nullptr;
  const std::string key = std::string(zq::drv::kSharedAreaKeyPrefix) + real;
  return static_cast<const zq::drv::SharedArea*>(zq::platform::InspectSharedSection(key, sizeof(zq::drv::SharedArea)));
}

std::string InspectArea() {
  const zq::drv::SharedArea* a = Inspect();
  if (!a) return "absent";
  std::ostringstream o;
  o << "attach=" << a->attachCount << " cut=" << a->dspDownloadCutMode << " pass=" << a->dspPassThroughMode
    << " block=" << a->blockTimeout << " retry=" << a->retryTimeoutApi << " retrylink=" << a->retryTimeoutLink
    << " char=" << a->characterTimeout << " gpio=" << a->gpioInitialData << " powerretry=" << a->rwPowerOffOnRetryCount
    << " hidretry=" << a->hidDeviceOpenRetryCount << " admincut=" << a->adminCheckCut << " loglevel=" << a->logLevel
    << " logflg=" << a->logFileFlg << " pidvid=" << a->pidVid << " dsp=" << a->dspFileName
    << " trace=" << a->hidCommDllTrace << " ini=" << a->iniPath << " dir=" << a->libraryDir
    << " collector=" << a->collectorProcessId;
  zq::platform::UnmapInspectedSection(a, sizeof *a);
  return o.str();
}

std::string InspectEntry(uint32_t unit) {
  const zq::drv::SharedArea* a = Inspect();
  if (!a || unit >= 32) return "absent";
  const zq::drv::PortEntry& e = a->portEntries[unit];
  const zq::drv::PortDataArea& d = a->portDataAreas[unit];
  std::ostringstream o;
  o << "use=" << e.useCount << " owner=" << e.ownerProcessId << " link=" << e.linkRunning << " port=" << e.port
    << " state=" << d.state << " dataport=" << d.port << " dev=" << d.deviceName << " marker0=" << d.openMarkers[0];
  zq::platform::UnmapInspectedSection(a, sizeof *a);
  return o.str();
}

std::string Run(const std::string& line);

// A child forked from this process (the library stays loaded as the parent
// loaded it) runs `command`, answers through a pipe and leaves with exit():
// "ANSWER exit=STATUS".
std::string RunInForkedChild(const std::string& command) {
  int fds[2];
  if (pipe(fds) != 0) return "error pipe";
  const pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    const std::string answer = Run(command);
    (void)!write(fds[1], answer.data(), answer.size());
    close(fds[1]);
    std::exit(0);
  }
  close(fds[1]);
  std::string answer;
  char buf[256];
  for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) > 0;) answer.append(buf, static_cast<size_t>(n));
  close(fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  return answer + " exit=" + std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
}

int AttachCount() {
  const zq::drv::SharedArea* a = Inspect();
  if (!a) return -1;
  const int count = a->attachCount;
  zq::platform::UnmapInspectedSection(a, sizeof *a);
  return count;
}

// Exits while a thread keeps calling RFRW_Close(port), RFRW_Close of a bad
// port and RFRW_GetDllVersion. Once the shared area shows this process
// detached, the thread writes "after-detach close=R bad=R version=R" with
// the results of one more round, straight to the output, and stops calling.
void ExitWhileCalling(uint32_t port) {
  const int attached = AttachCount();
  std::thread([port, attached] {
    for (;;) {
      const bool detached = AttachCount() < attached;
      int32_t len = 8;
      uint8_t buf[8];
      const int32_t close = g_drv.close(port);
      const int32_t bad = g_drv.close(0x2100);
      const int32_t version = g_drv.version(&len, buf);
      if (detached) {
        char line[96];
        const int n = std::snprintf(line, sizeof line, "after-detach close=%d bad=%d version=%d\n", close, bad, version);
        (void)!write(1, line, static_cast<size_t>(n));
        for (;;) pause();
      }
    }
  }).detach();
  std::exit(0);
}

std::string Run(const std::string& line) {
  std::istringstream in(line);
  std::string cmd;
  in >> cmd;
  std::vector<std::string> a;
  for (std::string t; in >> t;) a.push_back(t);

  if (cmd == "load") return Load();
  if (cmd == "stderr-to") {
    if (!std::freopen(a.at(0).c_str(), "w", stderr)) return "error";
    std::setvbuf(stderr, nullptr, _IONBF, 0);
    return "ok";
  }
  if (cmd == "unload") {
    dlclose(g_drv.handle);
    g_drv = Driver{};
    return "unloaded";
  }
  if (cmd == "drop-privileges") return DropPrivileges();
  if (cmd == "pid") return std::to_string(getpid());
  if (cmd == "fds") {
    // The descriptors this process has open (the listing's own one aside).
    size_t n = 0;
    if (DIR* d = opendir("/proc/self/fd")) {
      while (const dirent* e = readdir(d)) n += e->d_name[0] != '.';
      closedir(d);
      --n;
    }
    return std::to_string(n);
  }
  if (cmd == "fail-thread-starts") {
    // Only with the thread-start shim preloaded.
    auto* fail = reinterpret_cast<void (*)(int, int)>(dlsym(RTLD_DEFAULT, "zq_fail_thread_starts"));
    if (!fail) return "no shim";
    fail(static_cast<int>(Num(a.at(0))), a.size() > 1 ? static_cast<int>(Num(a[1])) : 0);
    return "ok";
  }
  if (cmd == "crash") {
    raise(SIGKILL);
    return "";
  }
  if (cmd == "exit") std::exit(0);
  if (cmd == "inspect") return InspectArea();
  if (cmd == "entry") return InspectEntry(Num(a.at(0)));
  if (cmd == "hold-mutex") {
    zq::platform::NamedMutex* m = zq::platform::OpenNamedMutex(a.at(0).c_str());
    if (!m) return "error";
    const uint32_t r = zq::platform::WaitNamedMutex(m, -1);
    g_heldMutexes[a.at(0)] = m;
    char b[16];
    std::snprintf(b, sizeof b, "0x%x", r);
    return b;
  }
  if (cmd == "release-mutex") {
    zq::platform::NamedMutex* m = g_heldMutexes[a.at(0)];
    bool ok = zq::platform::ReleaseNamedMutex(m);
    zq::platform::CloseNamedMutex(m);
    g_heldMutexes.erase(a.at(0));
    return ok ? "ok" : "error";
  }
  if (!g_drv.handle) return "not-loaded";

  if (cmd == "fork") return RunInForkedChild(line.substr(line.find(' ') + 1));
  if (cmd == "exit-calling") ExitWhileCalling(Num(a.at(0)));

  if (cmd == "open") {
    std::vector<uint8_t> data = a.size() > 1 ? FromHex(a[1]) : std::vector<uint8_t>{};
    return std::to_string(g_drv.open(Num(a.at(0)), static_cast<int32_t>(data.size()), data.empty() ? nullptr : data.data()));
  }
  if (cmd == "close") return std::to_string(g_drv.close(Num(a.at(0))));
  if (cmd == "version" || cmd == "version-null") {
    int32_t len = static_cast<int32_t>(Num(a.at(0)));
    std::vector<uint8_t> buf(len > 0 ? static_cast<size_t>(len) : 1, 0xEE);
    int32_t rc = g_drv.version(&len, cmd == "version" ? buf.data() : nullptr);
    return std::to_string(rc) + " " + std::to_string(len) + " " + (rc == 0 ? ToHex(buf.data(), static_cast<size_t>(len)) : "-");
  }
  if (cmd == "transmit" || cmd == "transmit-null") {
    // transmit PORT SLEN HEX | transmit-null PORT snd|rcvlen|rcv
    const bool nulls = cmd == "transmit-null";
    std::vector<uint8_t> snd = nulls ? std::vector<uint8_t>{0x00, 0x05, 0x00, 0x00} : FromHex(a.size() > 2 ? a[2] : "");
    const uint32_t slen = nulls ? 4 : Num(a.at(1));
    if (snd.size() < slen) snd.resize(slen, 0);
    int32_t rcvLen = 256;
    std::vector<uint8_t> rcv(256, 0);
    const std::string which = nulls ? a.at(1) : "";
    int32_t rc = g_drv.transmit(Num(a.at(0)), slen, which == "snd" ? nullptr : snd.data(),
                                which == "rcvlen" ? nullptr : &rcvLen, which == "rcv" ? nullptr : rcv.data());
    return std::to_string(rc) + " " + std::to_string(rcvLen);
  }
  if (cmd == "send") {
    // send PORT HEX [RCVLEN [SLEN]]: one command (SLEN defaults to the
    // bytes given); answers "RESULT LENGTH HEX" with the response ("-"
    // when it is empty). The receive area is RCVLEN (default 256) bytes
    // with a guard behind it that must stay untouched.
    std::vector<uint8_t> snd = FromHex(a.size() > 1 && a[1] != "-" ? a[1] : "");
    const int32_t capacity = a.size() > 2 ? static_cast<int32_t>(std::stol(a[2])) : 256;
    const uint32_t slen = a.size() > 3 ? Num(a[3]) : static_cast<uint32_t>(snd.size());
    if (snd.size() < slen) snd.resize(slen, 0);
    constexpr size_t kGuard = 16;
    std::vector<uint8_t> rcv(static_cast<size_t>(capacity > 0 ? capacity : 0) + kGuard, 0xEE);
    int32_t rcvLen = capacity;
    const int32_t rc = g_drv.transmit(Num(a.at(0)), slen, snd.empty() ? rcv.data() : snd.data(), &rcvLen, rcv.data());
    for (size_t i = rcv.size() - kGuard; i < rcv.size(); ++i) {
      if (rcv[i] != 0xEE) return "error guard overwritten";
    }
    const size_t shown = rcvLen > 0 && rcvLen <= capacity ? static_cast<size_t>(rcvLen) : 0;
    return std::to_string(rc) + " " + std::to_string(rcvLen) + " " + (shown ? ToHex(rcv.data(), shown) : "-");
  }
  if (cmd == "send-parallel") {
    // send-parallel N PORT1 HEX1 PORT2 HEX2: two threads, started together,
    // each sending its command N times (receive area 256); answers
    // "SAME1 RESULT1 LENGTH1 HEX1 | SAME2 ..." with each thread's first
    // answer and how many of its N answers equal it.
    const uint32_t n = Num(a.at(0));
    struct Worker {
      uint32_t port;
      std::vector<uint8_t> command;
      std::string first;
      uint32_t same = 0;
    } workers[2] = {{Num(a.at(1)), FromHex(a.at(2)), "", 0}, {Num(a.at(3)), FromHex(a.at(4)), "", 0}};
    std::atomic<int> ready{0};
    auto run = [&](Worker& w) {
      ready.fetch_add(1);
      while (ready.load() < 2) std::this_thread::yield();
      for (uint32_t i = 0; i < n; ++i) {
        std::vector<uint8_t> rcv(256);
        int32_t rcvLen = 256;
        const int32_t rc = g_drv.transmit(w.port, static_cast<uint32_t>(w.command.size()), w.command.data(), &rcvLen, rcv.data());
        const size_t shown = rcvLen > 0 && rcvLen <= 256 ? static_cast<size_t>(rcvLen) : 0;
        const std::string answer = std::to_string(rc) + " " + std::to_string(rcvLen) + " " + (shown ? ToHex(rcv.data(), shown) : "-");
        if (i == 0) w.first = answer;
        if (answer == w.first) ++w.same;
      }
    };
    std::thread t0(run, std::ref(workers[0])), t1(run, std::ref(workers[1]));
    t0.join();
    t1.join();
    return std::to_string(workers[0].same) + " " + workers[0].first + " | " + std::to_string(workers[1].same) + " " +
           workers[1].first;
  }
  if (cmd == "open-while-sending") {
    // open-while-sending OPENPORT SENDPORT HEX: one thread opens OPENPORT
    // while another keeps sending HEX to SENDPORT (receive area 256) until
    // the open has returned; answers "OPENRESULT SENDS SAME RESULT LENGTH
    // HEX" with the number of sends, how many answers equal the first, and
    // the first answer.
    const uint32_t openPort = Num(a.at(0)), sendPort = Num(a.at(1));
    const std::vector<uint8_t> command = FromHex(a.at(2));
    std::atomic<bool> opened{false};
    std::atomic<bool> sending{false};
    int32_t openResult = 0;
    uint32_t sends = 0, same = 0;
    std::string first;
    std::thread sender([&] {
      do {
        std::vector<uint8_t> rcv(256);
        int32_t rcvLen = 256;
        const int32_t rc = g_drv.transmit(sendPort, static_cast<uint32_t>(command.size()), command.data(), &rcvLen, rcv.data());
        const size_t shown = rcvLen > 0 && rcvLen <= 256 ? static_cast<size_t>(rcvLen) : 0;
        const std::string answer = std::to_string(rc) + " " + std::to_string(rcvLen) + " " + (shown ? ToHex(rcv.data(), shown) : "-");
        if (sends++ == 0) first = answer;
        if (answer == first) ++same;
        sending = true;
      } while (!opened.load());
    });
    while (!sending.load()) std::this_thread::yield();
    openResult = g_drv.open(openPort, 0, nullptr);
    opened = true;
    sender.join();
    return std::to_string(openResult) + " " + std::to_string(sends) + " " + std::to_string(same) + " " + first;
  }
  if (cmd == "power" || cmd == "power-null") {
    int32_t sts = 0x1234;
    return std::to_string(g_drv.power(Num(a.at(0)), cmd == "power" ? static_cast<int32_t>(std::stol(a.at(1))) : 0,
                                      cmd == "power" ? &sts : nullptr));
  }
  if (cmd == "power-sts") {
    // power-sts PORT POWER: "RESULT STS" with *Sts in hex (its value before
    // the call is 0x1234, so an untouched one shows).
    int32_t sts = 0x1234;
    const int32_t rc = g_drv.power(Num(a.at(0)), static_cast<int32_t>(std::stol(a.at(1))), &sts);
    char b[16];
    std::snprintf(b, sizeof b, "%x", static_cast<uint32_t>(sts));
    return std::to_string(rc) + " " + b;
  }
  if (cmd == "log-burst") {
    // log-burst THREADS CALLS: each thread makes CALLS version calls, every
    // one of which writes records; answers when all threads are done.
    std::vector<std::thread> threads;
    const uint32_t calls = Num(a.at(1));
    for (uint32_t i = 0; i < Num(a.at(0)); ++i) {
      threads.emplace_back([calls] {
        for (uint32_t c = 0; c < calls; ++c) {
          int32_t len = 8;
          uint8_t buf[8];
          g_drv.version(&len, buf);
        }
      });
    }
    for (std::thread& t : threads) t.join();
    return "done";
  }
  if (cmd == "hammer") {
    // Threads that keep calling into the library until the process ends.
    for (uint32_t i = 0; i < Num(a.at(0)); ++i) {
      std::thread([i] {
        const uint32_t port = 0x0100 | i;
        for (;;) {
          int32_t len = 8;
          uint8_t buf[8];
          g_drv.version(&len, buf);
          g_drv.open(port, 0, nullptr);
          g_drv.close(port);
        }
      }).detach();
    }
    return "hammering";
  }
  if (cmd == "thread-version") {
    // A thread of the application that calls into the library and ends.
    long tid = 0;
    std::thread t([&] {
      tid = syscall(SYS_gettid);
      int32_t len = 8;
      uint8_t buf[8];
      g_drv.version(&len, buf);
    });
    t.join();
    char b[32];
    std::snprintf(b, sizeof b, "%lx", tid);
    return b;
  }
  return "unknown";
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: drv_probe LIBRARY\n");
    return 2;
  }
  g_libraryPath = argv[1];
  for (std::string line; std::getline(std::cin, line);) {
    std::string answer;
    try {
      answer = Run(line);
    } catch (const std::exception& e) {
      answer = std::string("error ") + e.what();
    }
    std::cout << answer << std::endl;
  }
  return 0;
}
