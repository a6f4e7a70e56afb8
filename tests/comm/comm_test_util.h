// Test helpers for the comm library:
//  - CommLib: libZqRfrwCommVO.so loaded with dlopen, as the driver loads it;
//  - Requests: PortRequest records for the requests the tests issue;
//  - SimDirectory / SimulatedReader (the shared fixture): a simulator
//    directory of the test's own with real zelquar-sim processes in it;
//  - ScriptedDevice: a simulated device served by the test itself, through
//    the same socket protocol, that records every report the library sends
//    and sends the input reports a test scripts;
//  - Scratch: a working directory of the test's own (the trace files land
//    in the current directory);
//  - SyslogCapture: the event log's destination replaced by a datagram
//    socket of the test.
//
// Sections: CommLib; Requests; ScriptedDevice; Scratch and trace files;
// SyslogCapture.
#pragma once

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "comm/zq_comm_boundary.h"
#include "platform/devices/comm_sync.h"
#include "platform/devices/sim_client.h"
#include "platform/os/clock.h"
#include "platform/os/files.h"
#include "platform/os/win32_errors.h"
#include "platform/sim_server/sim_server.h"
#include "tests/support/sim_fixture.h"

namespace zq::comm::test {

using Bytes = std::vector<uint8_t>;
using zq::test::SimDirectory;
using zq::test::SimulatedReader;

inline bool WaitUntil(const std::function<bool()>& cond, int ms = 5000) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (std::chrono::steady_clock::now() < end) {
    if (cond()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return cond();
}

// ---- CommLib --------------------------------------------------------------------------

class CommLib {
 public:
  // RTLD_NODELETE: the platform layer keeps a few process-lifetime objects
  // (the object namespace) that it never frees, by design; unmapping the
  // library at dlclose would make LeakSanitizer count them as leaks.
  CommLib() {
    handle_ = ::dlopen(ZQ_COMM_LIB_PATH, RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
    if (!handle_) return;
    init_ = reinterpret_cast<PortInitFunc>(::dlsym(handle_, kInitSymbol));
    term_ = reinterpret_cast<PortTermFunc>(::dlsym(handle_, kTermSymbol));
  }
  ~CommLib() {
    if (handle_) ::dlclose(handle_);
  }
  CommLib(const CommLib&) = delete;
  CommLib& operator=(const CommLib&) = delete;

  bool ok() const { return init_ && term_; }
  void* handle() const { return handle_; }
  PortInitFunc init() const { return init_; }
  PortTermFunc term() const { return term_; }

 private:
  void* handle_ = nullptr;
  PortInitFunc init_ = nullptr;
  PortTermFunc term_ = nullptr;
};

// Everything OpenPort takes that the tests vary.
struct OpenOptions {
  std::string deviceName;
  int32_t kind = PortKindHid;
  uint32_t retryTime = 5000;
  uint32_t eventMask = 0xD9;
  std::string logicalName;
  std::string eventSource;
  std::string eventText1;
  std::string eventText2;
  int32_t eventLogLevel = 0;
  std::string restartPattern;
  std::string lineSettings = "115200,N,8,1";
  COMMTIMEOUTS timeouts{10, 10, 100, 20, 20};
  int32_t dumpLimit = 0;
};

// One port object of the loaded library; Term at the end.
class Port {
 public:
  explicit Port(const CommLib& lib) : lib_(lib) {
    uint32_t error = 0xFFFF;
    object_ = lib.init()(&func_, &error);
    init_error_ = error;
  }
  ~Port() {
    if (object_) {
      Close();
      lib_.term()(object_);
    }
  }
  Port(const Port&) = delete;
  Port& operator=(const Port&) = delete;

  bool ok() const { return object_ && func_; }
  // Term at once, without the ClosePort a caller should issue first.
  void TermWithoutClose() {
    if (object_) lib_.term()(object_);
    object_ = nullptr;
  }
  uint32_t initError() const { return init_error_; }
  int32_t Call(PortRequest& r) { return func_(object_, &r); }

  // OpenPort with the driver's settings, the given device name and kind.
  int32_t Open(const std::string& deviceName, int32_t kind = PortKindHid, uint32_t retryTime = 5000,
               uint32_t eventMask = 0xD9, const char* logicalName = "") {
    OpenOptions o;
    o.deviceName = deviceName;
    o.kind = kind;
    o.retryTime = retryTime;
    o.eventMask = eventMask;
    o.logicalName = logicalName;
    return Open(o);
  }
  int32_t Open(const OpenOptions& o) {
    PortRequest r{};
    r.code = OpenPort;
    PortOpenParams& p = r.open;
    p.deviceName = o.deviceName.c_str();
    p.logicalDeviceName = o.logicalName.c_str();
    p.eventSourceName = o.eventSource.c_str();
    p.eventText1 = o.eventText1.c_str();
    p.eventText2 = o.eventText2.c_str();
    p.eventLogLevel = o.eventLogLevel;
    p.restartPattern = o.restartPattern.c_str();
    p.retryTime = o.retryTime;
    p.eventMask = o.eventMask;
    p.timeouts = o.timeouts;
    p.inputQueueSize = 1024;
    p.outputQueueSize = 1024;
    p.lineSettings = o.lineSettings.c_str();
    p.portKind = o.kind;
    p.values[0] = o.dumpLimit;
    return Call(r);
  }
  int32_t Restart(const char* reason, uint32_t value) {
    PortRequest r{};
    r.code = DeviceRestart;
    r.restart = {reason, value};
    return Call(r);
  }
  int32_t GetState(DCB* dcb) {
    PortRequest r{};
    r.code = GetPortState;
    r.state.dcb = dcb;
    return Call(r);
  }
  int32_t SetState(DCB* dcb) {
    PortRequest r{};
    r.code = SetPortState;
    r.state.dcb = dcb;
    return Call(r);
  }
  int32_t Escape(uint32_t function) {
    PortRequest r{};
    r.code = EscapePortFunction;
    r.escape.function = function;
    return Call(r);
  }
  int32_t ModemStatus(uint32_t* status) {
    PortRequest r{};
    r.code = GetPortModemStatus;
    r.modemStatus.status = status;
    return Call(r);
  }
  int32_t Properties(COMMPROP* properties) {
    PortRequest r{};
    r.code = GetPortProperties;
    r.properties.properties = properties;
    return Call(r);
  }
  int32_t SetMask(uint32_t mask) {
    PortRequest r{};
    r.code = SetPortMask;
    r.mask.mask = mask;
    return Call(r);
  }
  int32_t OverlappedResult(OVERLAPPED* o, uint32_t* bytes, uint32_t wait) {
    PortRequest r{};
    r.code = GetPortOverlappedResult;
    r.overlappedResult = {o, bytes, wait};
    return Call(r);
  }
  // ClearPortError's count of bytes held; 0xFFFFFFFF when it failed.
  uint32_t Held() {
    COMSTAT st{};
    uint32_t errors = 0;
    PortRequest r{};
    r.code = ClearPortError;
    r.clearError = {&errors, &st};
    return Call(r) == 0 ? st.cbInQue : 0xFFFFFFFF;
  }
  int32_t Close() {
    PortRequest r{};
    r.code = ClosePort;
    return Call(r);
  }
  int32_t Write(const Bytes& data, uint32_t* written = nullptr) {
    uint32_t n = 0;
    PortRequest r{};
    r.code = WritePort;
    r.write = {data.data(), static_cast<uint32_t>(data.size()), &n, nullptr};
    int32_t result = Call(r);
    if (written) *written = n;
    return result;
  }
  int32_t Read(Bytes* out, uint32_t length) {
    out->assign(length, 0);
    uint32_t n = 0xFFFFFFFF;
    PortRequest r{};
    r.code = ReadPort;
    r.read = {out->data(), length, &n, nullptr};
    int32_t result = Call(r);
    out->resize(n == 0xFFFFFFFF ? 0 : n);
    return result;
  }
  // ReadPort until `count` bytes have come or `ms` have passed.
  Bytes ReadAtLeast(size_t count, int ms = 3000) {
    Bytes all;
    WaitUntil(
        [&] {
          Bytes part;
          Read(&part, 4096);
          all.insert(all.end(), part.begin(), part.end());
          return all.size() >= count;
        },
        ms);
    return all;
  }
  int32_t SetFeature(Bytes report) {
    report.resize(64, 0);
    PortRequest r{};
    r.code = RfrwSetFeature;
    r.feature = {report.data(), 64};
    return Call(r);
  }
  int32_t GetFeature(uint8_t id, Bytes* report) {
    report->assign(64, 0);
    (*report)[0] = id;
    PortRequest r{};
    r.code = RfrwGetFeature;
    r.feature = {report->data(), 64};
    return Call(r);
  }
  int32_t WaitEvent(uint32_t* mask, OVERLAPPED* o) {
    PortRequest r{};
    r.code = WaitPortEvent;
    r.waitEvent = {mask, o};
    return Call(r);
  }
  int32_t WaitInput(uint32_t* mask, OVERLAPPED* o, uint32_t minimum, uint32_t quietMs, uint32_t* held, uint32_t* quiet) {
    PortRequest r{};
    r.code = WaitPortInput;
    r.waitInput = {mask, o, minimum, quietMs, held, quiet};
    return Call(r);
  }
  int32_t Purge(uint32_t flags) {
    PortRequest r{};
    r.code = PurgePort;
    r.purge.flags = flags;
    return Call(r);
  }

 private:
  const CommLib& lib_;
  void* object_ = nullptr;
  PortFunc func_ = nullptr;
  uint32_t init_error_ = 0;
};

// ---- ScriptedDevice ----------------------------------------------------------------------------

// A device published in `dir` under `name` and served from a thread of the
// test: it answers feature requests with success (a get returns the ID and
// zeros), records every message the host sends, and sends the input
// reports that Send queues.
class ScriptedDevice {
 public:
  ScriptedDevice(const std::string& dir, const std::string& name, uint16_t vid = 0xFFF1, uint16_t pid = 0x7C03) {
    base_ = dir + "/" + name;
    char vp[32];
    std::snprintf(vp, sizeof vp, "vid_%04x&pid_%04x", vid, pid);
    nlohmann::json d = {{"name", name},
                        {"input_report_length", 64},
                        {"output_report_length", 64},
                        {"feature_report_length", 64},
                        {"interface_path", std::string("\\\\?\\hid#") + vp + "#scripted&" + name +
                                               "#{4d1e55b2-f16f-11cf-88cb-001111000030}"},
                        {"hid_socket", name + ".hid"},
                        {"control_socket", name + ".ctl"}};
    std::atomic<int> ready{0};
    thread_ = std::thread([this, d, &ready] {
      if (server_.Start(base_ + ".hid", base_ + ".ctl") != 0 ||
          platform::WriteFileAtomically(base_ + ".json", d.dump()) != 0) {
        ready = -1;
        return;
      }
      ready = 1;
      Serve();
    });
    WaitUntil([&] { return ready != 0; });
    ok_ = ready == 1;
  }
  ~ScriptedDevice() {
    stop_ = true;
    thread_.join();
    server_.Shutdown();
    platform::RemoveFile(base_ + ".json");
  }
  ScriptedDevice(const ScriptedDevice&) = delete;
  ScriptedDevice& operator=(const ScriptedDevice&) = delete;

  bool ok() const { return ok_; }
  // Queues one input report (ID first), sent as an 'I' message.
  void Send(const Bytes& report) {
    Bytes m{'I'};
    m.insert(m.end(), report.begin(), report.end());
    m.resize(65, 0);
    std::lock_guard<std::mutex> g(mutex_);
    outgoing_.push_back(std::move(m));
  }
  bool AllSent() {
    std::lock_guard<std::mutex> g(mutex_);
    return outgoing_.empty();
  }
  // The output reports ('O' messages, without the 'O') received so far.
  std::vector<Bytes> OutputReports() {
    std::lock_guard<std::mutex> g(mutex_);
    return outputs_;
  }
  bool connected() const { return connected_; }

 private:
  void Serve() {
    while (!stop_) {
      platform::SimServer::Event ev = server_.Wait(platform::MonotonicMicroseconds() + 5000);
      switch (ev.kind) {
        case platform::SimServer::EventKind::kHidOpened:
          connected_ = true;
          break;
        case platform::SimServer::EventKind::kHidClosed:
          connected_ = false;
          break;
        case platform::SimServer::EventKind::kHidMessage:
          Handle(ev.data);
          break;
        case platform::SimServer::EventKind::kControlLine:
          server_.ReplyControl(ev.control, "OK");
          break;
        default:
          break;
      }
      std::deque<Bytes> out;
      {
        std::lock_guard<std::mutex> g(mutex_);
        if (connected_) out.swap(outgoing_);
      }
      for (const Bytes& m : out) {
        while (!server_.SendHid(m.data(), m.size()) && !stop_) std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
    }
  }
  void Handle(const Bytes& m) {
    if (m.empty()) return;
    if (m[0] == 'O') {
      std::lock_guard<std::mutex> g(mutex_);
      outputs_.emplace_back(m.begin() + 1, m.end());
    } else if (m[0] == 'S') {
      const uint8_t a[5] = {'A', 0, 0, 0, 0};
      server_.SendHid(a, sizeof a);
    } else if (m[0] == 'G') {
      Bytes f{'F', 0, 0, 0, 0};
      if (m.size() < 4) {
        f[1] = 87;
      } else {
        f.push_back(m[1]);
        f.resize(5 + std::min<size_t>(64, m[2] | (m[3] << 8)), 0);
      }
      server_.SendHid(f.data(), f.size());
    }
  }

  std::string base_;
  platform::SimServer server_;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> connected_{false};
  bool ok_ = false;
  std::mutex mutex_;
  std::deque<Bytes> outgoing_;
  std::vector<Bytes> outputs_;
};

// ---- Scratch and trace files ----------------------------------------------------------------

// A directory of this test, made the current directory while it lives.
class Scratch {
 public:
  Scratch() {
    static std::atomic<int> n{0};
    path_ = "/tmp/zq-comm-scratch-" + std::to_string(::getpid()) + "-" + std::to_string(++n);
    std::filesystem::create_directories(path_);
    previous_ = std::filesystem::current_path();
    std::filesystem::current_path(path_);
  }
  ~Scratch() {
    std::error_code ec;
    std::filesystem::current_path(previous_, ec);
    std::filesystem::remove_all(path_, ec);
  }
  Scratch(const Scratch&) = delete;
  Scratch& operator=(const Scratch&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
  std::filesystem::path previous_;
};

inline std::string FileText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

// The messages of the trace file in the current directory, time stamps
// (24 characters) and CR LF taken off.
inline std::vector<std::string> TraceMessages(const std::string& file = "ZqRfrwCommVO_Log.LOG") {
  std::vector<std::string> out;
  const std::string text = FileText(file);
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find("\r\n", at);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(at, end - at);
    out.push_back(line.size() >= 24 ? line.substr(24) : line);
    at = end + 2;
  }
  return out;
}

inline bool HasMessage(const std::vector<std::string>& lines, const std::string& m) {
  return std::find(lines.begin(), lines.end(), m) != lines.end();
}

// The position of the first message equal to `m` at or after `from`; -1 if none.
inline long MessageAt(const std::vector<std::string>& lines, const std::string& m, size_t from = 0) {
  for (size_t i = from; i < lines.size(); ++i)
    if (lines[i] == m) return static_cast<long>(i);
  return -1;
}

// "\x81\xA1" "API:" + text, as the trace writes API lines.
inline std::string ApiLine(const std::string& text) { return std::string("\x81\xA1") + "API:" + text; }

// ---- SyslogCapture ----------------------------------------------------------------------------

// A datagram socket of the test that ZELQUAR_SYSLOG_SOCKET names while it
// lives: the event-log entries of this process arrive here.
class SyslogCapture {
 public:
  explicit SyslogCapture(const std::string& dir) {
    path_ = dir + "/syslog.sock";
    fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path_.c_str());
    ok_ = fd_ >= 0 && ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    ::setenv("ZELQUAR_SYSLOG_SOCKET", path_.c_str(), 1);
  }
  ~SyslogCapture() {
    ::unsetenv("ZELQUAR_SYSLOG_SOCKET");
    if (fd_ >= 0) ::close(fd_);
    ::unlink(path_.c_str());
  }
  SyslogCapture(const SyslogCapture&) = delete;
  SyslogCapture& operator=(const SyslogCapture&) = delete;

  bool ok() const { return ok_; }
  // The entries that arrived within `ms` of the last one (the first wait
  // is `ms` too), in order.
  std::vector<std::string> Take(int ms = 300) {
    std::vector<std::string> out;
    for (;;) {
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, ms) <= 0) return out;
      char buf[4096];
      ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
      if (n <= 0) return out;
      out.emplace_back(buf, static_cast<size_t>(n));
    }
  }

 private:
  std::string path_;
  int fd_ = -1;
  bool ok_ = false;
};

// The message part of an entry ("<PRI>stamp ident[pid]: message"), or "".
inline std::string EntryMessage(const std::string& entry, const std::string& ident) {
  const std::string mark = " " + ident + "[" + std::to_string(::getpid()) + "]: ";
  const size_t at = entry.find(mark);
  return at == std::string::npos ? "" : entry.substr(at + mark.size());
}

}  // namespace zq::comm::test
