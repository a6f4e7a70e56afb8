// One application command through the installed driver against a
// simulated reader: RFRW_CLRW_Transmit of 00 05 16 00 (the firmware
// version), from the exported call through the routing, the handler, the
// link thread, the comm library and the bridge to the reader and back.
//
// BM_FirmwareVersion: without wire timing; median_us and p99_us of the
// whole call.
// BM_FirmwareVersionWireTiming: the simulator paces the UART at 115200 baud
// (11 bit times a byte) and adds the module's time; wire_us is that time
// for the exchange, overhead_pct the driver's share on top of it
// (median - wire) / wire; sim_rt 1 when the simulator's pacing ran ahead
// of ordinary threads (else its own lateness on a busy machine counts too).
//
// Both also give cpu_us, the CPU time this process spends on a call (all
// its threads: the caller's, the link thread and the comm library's
// reader; not the simulator's), and cpu_pct, that time as a share of the
// call's: what an application pays while it waits for the reader.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "bench/installed_driver.h"

namespace {

namespace fs = std::filesystem;
// Request frame 3 + 8 + 1 bytes, reply frame 3 + 4 + 1 bytes; the module's
// time for a query (the simulator's setting time).
constexpr double kWireBytes = 12 + 8;
constexpr double kModuleUs = 1000;
constexpr double kWireUs = kWireBytes * 11 * 1e6 / 115200 + kModuleUs;

std::string Dir() { return (fs::temp_directory_path() / ("zq-cmdbench-" + std::to_string(getpid()))).string(); }

__attribute__((constructor(101))) void Isolate() {
  setenv("ZELQUAR_NAMESPACE", ("zq-cmdbench-" + std::to_string(getpid())).c_str(), 1);
  setenv("ZELQUAR_SIM_DIR", (Dir() + "/sim").c_str(), 1);
}

using zq::bench::InstalledDriver;
using zq::bench::kPort;


struct Cpu {
  double us = 0;    // CPU time of the whole process during the calls
  double wall = 0;  // the calls' time
};

// The whole call's times in microseconds, sorted; empty after a failure.
std::vector<double> Measure(benchmark::State& state, InstalledDriver& driver, Cpu* cpu) {
  const uint8_t command[4] = {0x00, 0x05, 0x16, 0x00};
  uint8_t response[16];
  std::vector<double> micros;
  const double cpu0 = zq::bench::ProcessCpuUs();
  for (auto _ : state) {
    int32_t length = sizeof response;
    const auto t0 = std::chrono::steady_clock::now();
    const int32_t r = driver.transmit(kPort, sizeof command, command, &length, response);
    micros.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t0).count());
    if (r != 0 || length != 4) {
      state.SkipWithError("the firmware version query failed");
      return {};
    }
  }
  cpu->us = zq::bench::ProcessCpuUs() - cpu0;
  for (double m : micros) cpu->wall += m;
  std::sort(micros.begin(), micros.end());
  return micros;
}

double Median(const std::vector<double>& v) { return v[v.size() / 2]; }
double P99(const std::vector<double>& v) { return v[std::min(v.size() - 1, v.size() * 99 / 100)]; }

// Measures with the simulator paced or not; the figures as counters.
void Run(benchmark::State& state, bool wireTiming) {
  InstalledDriver driver({.dir = Dir(), .wireTiming = wireTiming});
  if (!driver.ready()) {
    state.SkipWithError("the driver did not open the simulated reader");
    return;
  }
  Cpu cpu;
  const std::vector<double> micros = Measure(state, driver, &cpu);
  if (micros.empty()) return;
  state.counters["median_us"] = Median(micros);
  state.counters["p99_us"] = P99(micros);
  state.counters["cpu_us"] = cpu.us / static_cast<double>(micros.size());
  state.counters["cpu_pct"] = 100.0 * cpu.us / cpu.wall;
  if (!wireTiming) return;
  state.counters["sim_rt"] = driver.RealtimePacing();
  state.counters["wire_us"] = kWireUs;
  state.counters["overhead_pct"] = 100.0 * (Median(micros) - kWireUs) / kWireUs;
}

void BM_FirmwareVersion(benchmark::State& state) { Run(state, false); }
BENCHMARK(BM_FirmwareVersion)->Iterations(2000)->Unit(benchmark::kMicrosecond);

void BM_FirmwareVersionWireTiming(benchmark::State& state) { Run(state, true); }
BENCHMARK(BM_FirmwareVersionWireTiming)->Iterations(500)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
