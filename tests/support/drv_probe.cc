// drv_probe LIBRARY: an application stand-in for tests. It loads the driver
// library from LIBRARY on request and runs one command per input line,
// answering one line each (see the command table in Run()).
#include <dirent.h>
#include <dlfcn.h>
#include <grp.h>
#include <signal.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <functional>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "driver/state/shared_area.h"
#include "platform/os/named_mutex.h"
#include "platform/os/shared_section.h"
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

// Becomes the conventional unprivileged account, in no supplementary group
// or in the group `groupId` alone.
std::string DropPrivileges(const std::vector<std::string>& a) {
  const gid_t group = a.empty() ? 0 : static_cast<gid_t>(std::stoul(a[0]));
  if (setgroups(a.empty() ? 0 : 1, a.empty() ? nullptr : &group) != 0 || setgid(65534) != 0 || setuid(65534) != 0) {
    return "error";
  }
  return "ok";
}

// ---- the access tests' attacks (as the user this probe runs as) --------------

std::string Namespace() {
  const char* ns = std::getenv("ZELQUAR_NAMESPACE");
  return ns ? ns : "";
}

std::string SectionName() {
  char real[PATH_MAX];
  if (!realpath(g_libraryPath, real)) return "";
  return zq::platform::SharedSectionObjectName(std::string(zq::drv::kSharedAreaKeyPrefix) + real,
                                               sizeof(zq::drv::SharedArea));
}

std::string MailslotPath() { return "/dev/shm/ZELQUAR." + Namespace() + ".slot.ZELQUAR_Outlog"; }

// How many of the namespace's objects this process can open for reading,
// and how many for writing: "READ WRITE OF".
std::string TryObjects() {
  const std::string prefix = "ZELQUAR." + Namespace() + ".";
  int read = 0, written = 0, all = 0;
  if (DIR* d = opendir("/dev/shm")) {
    while (const dirent* e = readdir(d)) {
      if (std::string(e->d_name).rfind(prefix, 0) != 0) continue;
      ++all;
      const std::string path = std::string("/dev/shm/") + e->d_name;
      for (int flags : {O_RDONLY, O_WRONLY}) {
        const int fd = open(path.c_str(), flags | O_NONBLOCK | O_CLOEXEC);
        if (fd >= 0) {
          (flags == O_RDONLY ? read : written) += 1;
          close(fd);
        }
      }
    }
    closedir(d);
  }
  return std::to_string(read) + " " + std::to_string(written) + " " + std::to_string(all);
}

std::string ErrnoAnswer(const char* what) { return std::string("error ") + what + " " + std::to_string(errno); }

// Sends one datagram to the collector's socket as this process: "sent" or
// "error connect ERRNO".
std::string ForgeLogRecord(const std::string& text) {
  const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", MailslotPath().c_str());
  std::string answer = "sent";
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    answer = ErrnoAnswer("connect");
  } else if (send(fd, text.data(), text.size(), 0) < 0) {
    answer = ErrnoAnswer("send");
  }
  close(fd);
  return answer;
}

// The collector's name taken before any collector: a socket of this
// process's own, open to every user, that counts what arrives.
int g_squat = -1;
std::string SquatMailslot() {
  g_squat = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", MailslotPath().c_str());
  umask(0);
  if (bind(g_squat, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return ErrnoAnswer("bind");
  return "ok";
}
std::string SquatCount() {
  int n = 0;
  char buf[65536];
  while (g_squat >= 0 && recv(g_squat, buf, sizeof buf, MSG_DONTWAIT) >= 0) ++n;
  return std::to_string(n);
}

std::string ReadFile(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return ErrnoAnswer("open");
  char buf[4096];
  const ssize_t n = read(fd, buf, sizeof buf);
  close(fd);
  return n < 0 ? ErrnoAnswer("read") : "ok " + std::to_string(n);
}

// Holds the section's gate, as a process that never lets go would.
int g_gate = -1;
std::string HoldGate() {
  g_gate = shm_open((SectionName() + ".gate").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (g_gate < 0) return ErrnoAnswer("shm_open");
  return flock(g_gate, LOCK_EX) == 0 ? "ok" : ErrnoAnswer("flock");
}

// plant-section MODE SIZEDELTA BYTE [TEXT]: makes the section object before
// anybody attached, with permissions MODE (octal), its size plus SIZEDELTA
// bytes, every byte BYTE (hex), the reader's PID_VID and TEXT in the other
// text field, and keeps it in
// use (a shared presence lock), as an attacker that prepared it would.
int g_planted = -1;
std::string PlantSection(const std::vector<std::string>& a) {
  const std::string name = SectionName();
  const mode_t mode = static_cast<mode_t>(std::stoul(a.at(0), nullptr, 8));
  const long size = static_cast<long>(sizeof(zq::drv::SharedArea)) + std::stol(a.at(1));
  const int fd = shm_open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, mode);
  if (fd < 0) return ErrnoAnswer("shm_open");
  if (fchmod(fd, mode) != 0 || ftruncate(fd, size) != 0) return ErrnoAnswer("size");
  void* p = mmap(nullptr, static_cast<size_t>(size), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (p == MAP_FAILED) return ErrnoAnswer("mmap");
  std::memset(p, static_cast<int>(std::stoul(a.at(2), nullptr, 16)), static_cast<size_t>(size));
  if (a.size() > 3 && static_cast<size_t>(size) >= sizeof(zq::drv::SharedArea)) {
    auto* area = static_cast<zq::drv::SharedArea*>(p);
    // The reader stays findable; the other text names TEXT.
    std::snprintf(area->pidVid, sizeof area->pidVid, "vid_FFF1&pid_7C02");
    std::snprintf(area->hidCommDllTrace, sizeof area->hidCommDllTrace, "%s", a[3].c_str());
  }
  munmap(p, static_cast<size_t>(size));
  g_planted = fd;
  return flock(fd, LOCK_SH) == 0 ? "ok" : ErrnoAnswer("flock");
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
    << " hidretry=" << a->hidDeviceOpenRetryCount << " loglevel=" << a->logLevel
    << " logflg=" << a->logFileFlg << " pidvid=" << a->pidVid << " trace=" << a->hidCommDllTrace
    << " collector=" << a->collectorProcessId;
  zq::platform::UnmapInspectedSection(a, sizeof *a);
  return o.str();
}

std::string InspectEntry(uint32_t unit) {
  const zq::drv::SharedArea* a = Inspect();
  if (!a || unit >= 32) return "absent";
  const zq::drv::PortSlot& e = a->portSlots[unit];
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
  if (cmd == "drop-privileges") return DropPrivileges(a);
  if (cmd == "try-objects") return TryObjects();
  if (cmd == "shm-maps") {
    // How many mappings of shared-memory objects this process has.
    std::ifstream maps("/proc/self/maps");
    int n = 0;
    for (std::string l; std::getline(maps, l);) n += l.find("/dev/shm/") != std::string::npos;
    return std::to_string(n);
  }
  if (cmd == "forge-log") return ForgeLogRecord(line.substr(line.find(' ') + 1));
  if (cmd == "squat-mailslot") return SquatMailslot();
  if (cmd == "squat-count") return SquatCount();
  if (cmd == "read-file") return ReadFile(a.at(0));
  if (cmd == "hold-gate") return HoldGate();
  if (cmd == "plant-section") return PlantSection(a);
  if (cmd == "pid") return std::to_string(getpid());
  if (cmd == "setenv") {
    // setenv NAME [VALUE]: sets (without a value: removes) a variable of
    // this process, as an application does before it opens a port.
    const int rc = a.size() > 1 ? setenv(a.at(0).c_str(), a[1].c_str(), 1) : unsetenv(a.at(0).c_str());
    return rc == 0 ? "ok" : "error";
  }
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
