// The Gen2 tag operations through the installed driver against a
// simulated reader.
//
// BM_Inventory100WireTiming: 08 01 00 02 with signal strengths over the
// 100 tags of tests/data/tags100.json, the simulator pacing the UART at
// 115200 baud (11 bit times a byte) and adding the module's times.
// wire_us is the time of the call's frames on the wire plus the module's
// times (the Select's time value, the session set-up, the inventory of 100
// tags); overhead_pct is the driver's share on top of it,
// (median - wire) / wire. Target: within 5%.
// BM_Read8Words / BM_Read8WordsWireTiming: a read of 8 user words of one
// tag (Select, session, handle, Read); exchanges is the number of reader
// commands one read sends, us_per_exchange the median call divided by it.
// With wire timing, wire_us is the time of the read's four exchanges on the
// wire plus the module's times, overhead_pct the driver's share on top of
// it, (median - wire) / wire.
//
// All give cpu_us, the CPU time this process spends on a call (all its
// threads: the caller's, the link thread and the comm library's reader;
// not the simulator's), and cpu_pct, that time as a share of the call's.
// With wire timing, sim_rt is 1 when the simulator's pacing ran ahead of
// ordinary threads (bench/commands_bench.cc).
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "bench/installed_driver.h"
#include "sim/model/round_time.h"

namespace {

namespace fs = std::filesystem;

// ---- the wire time of the inventory ----
// Frames on the wire: head 3, command or body, block check 1.
constexpr double kFrame = 4;
constexpr double kSelectFrames = (kFrame + 16) + (kFrame + 2);     // Select of length 0 (45 bits); 90 00
constexpr double kSessionFrames = (kFrame + 17) + (kFrame + 2);    // the session set-up item; 90 00
constexpr double kInventoryFrames = (kFrame + 4) + (kFrame + 2 + 100 * 14 + 2);  // 100 entries of 14 bytes
constexpr double kByteUs = 11 * 1e6 / 115200;
// Module times: a tag command's time value 50 counts 0.1 ms; a setting 1 ms;
// the inventory round as the simulator models it (its Q algorithm's slots
// and each tag's reply: 100 tags, all listed).
const double kModuleUs = 50 * 100 + 1000 + static_cast<double>(zq::sim::InventoryRoundTime(100, 100).us);
const double kInventoryWireUs = (kSelectFrames + kSessionFrames + kInventoryFrames) * kByteUs + kModuleUs;
constexpr int32_t kInventoryBody = 2 + 100 * 14 + 2;

// ---- the wire time of a read of 8 words ----
// Frames out and back of its exchanges (as the driver's byte log shows
// them): the Select 34 + 6, the session set-up 21 + 6, the handle
// acquisition 8 + 22, the Read 22 + 28. Module times: the Select's and the
// Read's time value 50 counts 0.1 ms, a setting 1 ms, a handle 8 ms.
constexpr double kRead8Bytes = (34 + 6) + (21 + 6) + (8 + 22) + (22 + 28);
constexpr double kRead8WireUs = kRead8Bytes * kByteUs + 5000 + 1000 + 8000 + 5000;

std::string Dir() { return (fs::temp_directory_path() / ("zq-tagbench-" + std::to_string(getpid()))).string(); }

__attribute__((constructor(101))) void Isolate() {
  setenv("ZELQUAR_NAMESPACE", ("zq-tagbench-" + std::to_string(getpid())).c_str(), 1);
  setenv("ZELQUAR_SIM_DIR", (Dir() + "/sim").c_str(), 1);
}

using zq::bench::InstalledDriver;
using zq::bench::kPort;


// The whole call's times in microseconds, sorted; empty after a call that
// did not answer `expectedLength` bytes ending in 90 00.
std::vector<double> Measure(benchmark::State& state, InstalledDriver& driver, const std::vector<uint8_t>& command,
                            int32_t expectedLength) {
  std::vector<uint8_t> response(2048);
  std::vector<double> micros;
  const double cpu0 = zq::bench::ProcessCpuUs();
  for (auto _ : state) {
    int32_t length = static_cast<int32_t>(response.size());
    const auto t0 = std::chrono::steady_clock::now();
    const int32_t r = driver.transmit(kPort, static_cast<uint32_t>(command.size()), command.data(), &length, response.data());
    micros.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t0).count());
    if (r != 0 || length != expectedLength || response[length - 2] != 0x90 || response[length - 1] != 0x00) {
      state.SkipWithError("the tag operation failed");
      return {};
    }
  }
  const double cpu = zq::bench::ProcessCpuUs() - cpu0;
  double wall = 0;
  for (double m : micros) wall += m;
  state.counters["cpu_us"] = cpu / static_cast<double>(micros.size());
  state.counters["cpu_pct"] = 100.0 * cpu / wall;
  std::sort(micros.begin(), micros.end());
  return micros;
}

double Median(const std::vector<double>& v) { return v[v.size() / 2]; }
double P99(const std::vector<double>& v) { return v[std::min(v.size() - 1, v.size() * 99 / 100)]; }

void BM_Inventory100WireTiming(benchmark::State& state) {
  InstalledDriver driver({.dir = Dir(), .wireTiming = true, .scenario = std::string(ZQ_SOURCE_DIR) + "/tests/data/tags100.json"});
  if (!driver.ready()) {
    state.SkipWithError("the driver did not open the simulated reader");
    return;
  }
  const std::vector<double> micros = Measure(state, driver, {0x08, 0x01, 0x00, 0x02, 0x00, 0x02, 0x00, 0x00}, kInventoryBody);
  if (micros.empty()) return;
  state.counters["median_us"] = Median(micros);
  state.counters["p99_us"] = P99(micros);
  state.counters["sim_rt"] = driver.RealtimePacing();
  state.counters["wire_us"] = kInventoryWireUs;
  state.counters["overhead_pct"] = 100.0 * (Median(micros) - kInventoryWireUs) / kInventoryWireUs;
}
BENCHMARK(BM_Inventory100WireTiming)->Iterations(20)->Unit(benchmark::kMillisecond);

// A read of 8 user words of the default reader's first tag (PC 3000).
const std::vector<uint8_t> kRead8 = {0x08, 0x10, 0x00, 0x00, 0x00, 0x11, 0x30, 0x00, 0xE2, 0x80, 0x11, 0x60, 0x60,
                                     0x00, 0x02, 0x05, 0x4E, 0x2A, 0x12, 0x34, 0x03, 0x00, 0x08};

void Read8(benchmark::State& state, bool wireTiming) {
  InstalledDriver driver({.dir = Dir(), .wireTiming = wireTiming});
  if (!driver.ready()) {
    state.SkipWithError("the driver did not open the simulated reader");
    return;
  }
  const uint64_t before = driver.Commands();
  std::vector<uint8_t> response(64);
  int32_t length = static_cast<int32_t>(response.size());
  if (driver.transmit(kPort, static_cast<uint32_t>(kRead8.size()), kRead8.data(), &length, response.data()) != 0) {
    state.SkipWithError("the read failed");
    return;
  }
  const double exchanges = static_cast<double>(driver.Commands() - before);
  const std::vector<double> micros = Measure(state, driver, kRead8, 18);
  if (micros.empty()) return;
  state.counters["exchanges"] = exchanges;
  state.counters["median_us"] = Median(micros);
  state.counters["p99_us"] = P99(micros);
  state.counters["us_per_exchange"] = Median(micros) / exchanges;
  if (!wireTiming) return;
  state.counters["sim_rt"] = driver.RealtimePacing();
  state.counters["wire_us"] = kRead8WireUs;
  state.counters["overhead_pct"] = 100.0 * (Median(micros) - kRead8WireUs) / kRead8WireUs;
}

void BM_Read8Words(benchmark::State& state) { Read8(state, false); }
BENCHMARK(BM_Read8Words)->Iterations(500)->Unit(benchmark::kMicrosecond);

void BM_Read8WordsWireTiming(benchmark::State& state) { Read8(state, true); }
BENCHMARK(BM_Read8WordsWireTiming)->Iterations(100)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
