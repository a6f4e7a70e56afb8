// libZqRfrwCommVO.so loaded as the driver loads it, against a zelquar-sim
// process (no wire timing):
//  - a 63-byte WritePort (one reader frame in one output report) and ReadPort
//    polled until the reader's reply frame is complete; the median of the
//    iterations is the "median_us" counter;
//  - a feature report round trip: set the GPIO latch, read it back.
#include <benchmark/benchmark.h>
#include <dlfcn.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "comm/zq_comm_boundary.h"
#include "protocol/frame.h"
#include "tests/support/sim_fixture.h"

namespace {

using namespace zq::comm;
using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

// A simulator in its own directory and one open port on it, bridge powered.
class Bench {
 public:
  Bench() {
    if (!sim_.published()) return;
    lib_ = ::dlopen(ZQ_COMM_LIB_PATH, RTLD_NOW | RTLD_LOCAL);
    if (!lib_) return;
    auto init = reinterpret_cast<PortInitFunc>(::dlsym(lib_, kInitSymbol));
    term_ = reinterpret_cast<PortTermFunc>(::dlsym(lib_, kTermSymbol));
    uint32_t error = 0;
    port_ = init(&func_, &error);
    if (!port_) return;
    PortRequest r{};
    r.code = OpenPort;
    r.open.deviceName = "vid_FFF1&pid_7C02";
    r.open.retryTime = 5000;
    r.open.eventMask = 0xD9;
    r.open.portKind = PortKindHid;
    if (func_(port_, &r) != 0) return;
    ok_ = Feature(RfrwSetFeature, {0x41, 0x01}) == 0 &&
          Feature(RfrwSetFeature, {0x50, 0x00, 0x01, 0xC2, 0x00, 0x02, 0x00, 0x03, 0x00}) == 0 &&
          Feature(RfrwSetFeature, {0x45, 0x20, 0x00, 0x20, 0x00}) == 0;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));  // the reader's boot bytes
    Bytes discard;
    Read(&discard);
  }
  ~Bench() {
    if (port_) {
      PortRequest r{};
      r.code = ClosePort;
      func_(port_, &r);
      term_(port_);
    }
    if (lib_) ::dlclose(lib_);
  }
  bool ok() const { return ok_; }

  int32_t Feature(int32_t code, Bytes report) {
    report.resize(64, 0);
    PortRequest r{};
    r.code = code;
    r.feature = {report.data(), 64};
    return func_(port_, &r);
  }
  int32_t Feature(int32_t code, Bytes* report) {
    PortRequest r{};
    r.code = code;
    r.feature = {report->data(), static_cast<uint32_t>(report->size())};
    return func_(port_, &r);
  }
  int32_t Write(const Bytes& data) {
    uint32_t n = 0;
    PortRequest r{};
    r.code = WritePort;
    r.write = {data.data(), static_cast<uint32_t>(data.size()), &n, nullptr};
    return func_(port_, &r);
  }
  void Read(Bytes* appendTo) {
    uint8_t buf[512];
    uint32_t n = 0;
    PortRequest r{};
    r.code = ReadPort;
    r.read = {buf, sizeof buf, &n, nullptr};
    if (func_(port_, &r) == 0) appendTo->insert(appendTo->end(), buf, buf + n);
  }

 private:
  zq::test::SimDirectory dir_;
  zq::test::SimulatedReader sim_{{.dir = dir_.path()}};
  void* lib_ = nullptr;
  PortTermFunc term_ = nullptr;
  PortFunc func_ = nullptr;
  void* port_ = nullptr;
  bool ok_ = false;
};

// A 63-byte frame: a 59-byte command the reader refuses with a status word.
Bytes Frame63(uint8_t seq) {
  Bytes command{0x03, 0xFF};
  command.resize(59, 0x5A);
  return zq::protocol::EncodeFrame(seq, command);
}

// True once `got` holds a whole frame (whatever its check byte).
bool FrameArrived(const Bytes& got) {
  zq::protocol::FrameView f;
  return zq::protocol::DecodeFrame(got, &f) != zq::protocol::FrameStatus::kShort;
}

void BM_Write63AndPollReply(benchmark::State& state) {
  Bench bench;
  if (!bench.ok()) {
    state.SkipWithError("no simulated bridge");
    return;
  }
  std::vector<double> times;
  uint8_t seq = 0;
  for (auto _ : state) {
    seq ^= 1;
    const Bytes frame = Frame63(seq);
    const auto start = Clock::now();
    if (bench.Write(frame) != 0) {
      state.SkipWithError("write failed");
      return;
    }
    Bytes got;
    const auto limit = start + std::chrono::seconds(3);
    while (!FrameArrived(got)) {
      if (Clock::now() > limit) {
        state.SkipWithError("no reply");
        return;
      }
      bench.Read(&got);
    }
    const double us = std::chrono::duration<double, std::micro>(Clock::now() - start).count();
    times.push_back(us);
    state.SetIterationTime(us / 1e6);
  }
  std::sort(times.begin(), times.end());
  state.counters["median_us"] = times.empty() ? 0 : times[times.size() / 2];
  state.counters["p90_us"] = times.empty() ? 0 : times[times.size() * 9 / 10];
  state.counters["max_us"] = times.empty() ? 0 : times.back();
}
BENCHMARK(BM_Write63AndPollReply)->UseManualTime()->Unit(benchmark::kMicrosecond)->Iterations(1000);

void BM_FeatureSetGetRoundTrip(benchmark::State& state) {
  Bench bench;
  if (!bench.ok()) {
    state.SkipWithError("no simulated bridge");
    return;
  }
  std::vector<double> times;
  uint16_t value = 0;
  Bytes report(64, 0);
  for (auto _ : state) {
    value ^= 0x0005;
    const auto start = Clock::now();
    if (bench.Feature(RfrwSetFeature, {0x45, 0x20, static_cast<uint8_t>(value), 0x00, 0x0F}) != 0) {
      state.SkipWithError("set failed");
      return;
    }
    report.assign(64, 0);
    report[0] = 0x44;
    if (bench.Feature(RfrwGetFeature, &report) != 0 || report[2] != value) {
      state.SkipWithError("get failed");
      return;
    }
    const double us = std::chrono::duration<double, std::micro>(Clock::now() - start).count();
    times.push_back(us);
    state.SetIterationTime(us / 1e6);
  }
  std::sort(times.begin(), times.end());
  state.counters["median_us"] = times.empty() ? 0 : times[times.size() / 2];
  state.counters["p90_us"] = times.empty() ? 0 : times[times.size() * 9 / 10];
  state.counters["max_us"] = times.empty() ? 0 : times.back();
}
BENCHMARK(BM_FeatureSetGetRoundTrip)->UseManualTime()->Unit(benchmark::kMicrosecond)->Iterations(2000);

}  // namespace

BENCHMARK_MAIN();
