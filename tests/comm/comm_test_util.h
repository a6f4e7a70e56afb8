// Test helpers for the comm library:
//  - CommLib: libZqRfrwCommVO.so loaded with dlopen, as the driver loads it;
//  - Requests: PortRequest records for the requests the tests issue;
//  - SimDirectory / SimulatedReader (the shared fixture): a simulator
//    directory of the test's own with real zelquar-sim processes in it;
//  - ScriptedDevice: a simulated device served by the test itself, through
//    the same socket protocol, that records every report the library sends
//    and sends the input reports a test scripts.
//
// Sections: CommLib; Requests; ScriptedDevice.
#pragma once

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/comm_sync.h"
#include "platform/sim_endpoint.h"
#include "platform/win32_errors.h"
#include "tests/support/sim_fixture.h"
#include "zq_comm_boundary.h"

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
  uint32_t initError() const { return init_error_; }
  int32_t Call(PortRequest& r) { return func_(object_, &r); }

  // OpenPort with the driver's settings, the given device name and kind.
  int32_t Open(const std::string& deviceName, int32_t kind = PortKindHid, uint32_t retryTime = 5000,
               uint32_t eventMask = 0xD9, const char* logicalName = "") {
    PortRequest r{};
    r.code = OpenPort;
    PortOpenParams& p = r.open;
    p.deviceName = deviceName.c_str();
    p.logicalDeviceName = logicalName;
    p.eventSourceName = "";
    p.eventText1 = "";
    p.eventText2 = "";
    p.restartPattern = "";
    p.retryTime = retryTime;
    p.eventMask = eventMask;
    p.timeouts = {10, 10, 100, 20, 20};
    p.inputQueueSize = 1024;
    p.outputQueueSize = 1024;
    p.lineSettings = "115200,N,8,1";
    p.portKind = kind;
    return Call(r);
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

}  // namespace zq::comm::test
