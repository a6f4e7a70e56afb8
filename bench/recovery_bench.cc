// The reader brought back and brought up to date, through the installed
// driver against a simulated reader.
//
// BM_FullRecovery: RFRW_CLRW_Transmit of 03 FF 00 00 answered 64 05 once,
// so the call runs one whole power-off/on recovery (bridge restart, reader
// off, device closed and reopened, operating mode, settings replay) and
// sends the command again. recovery_ms is the median call; fixed_ms the
// waits the recovery is made of by design (reader off twice 100 ms, the
// reader's start 1000 ms, the operating mode's 200 ms), work_ms the rest.
//
// BM_Open/wire: RFRW_Open of unit 0 with a firmware file that matches the
// reader (no download), closed again outside the timing. open_ms is the
// median call, fixed_ms the waits it is made of by design (the reader's start
// 1000 ms after power-on, the operating mode's 200 ms), beyond_ms the rest
// (bridge, GPIO and UART set-up, link thread start, firmware version and
// operating-mode exchanges), beyond_pct that as a share of the call;
// close_ms the median RFRW_Close that follows (not timed as the open).
//
// BM_FirmwareDownload/wire: RFRW_Open with a firmware file of kBlocks blocks
// whose version differs from the reader's, against RFRW_Open with one that
// matches; download_ms is the difference of the medians, per_block_ms that
// over kBlocks. With wire timing (/1) the simulator paces the UART at 115200
// baud and adds the module's 20 ms per block: wire_block_ms is that time for
// one block's exchange, overhead_pct the driver's share on top of it;
// cpu_block_ms the CPU time this process spends on a block (the CPU of
// the downloading opens less that of the plain ones, over kBlocks),
// cpu_pct that as a share of per_block_ms.
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
constexpr double kFixedRecoveryMs = 100 + 100 + 1000 + 200;
constexpr double kFixedOpenMs = 1000 + 200;
constexpr int kBlocks = 64;
// One block: request frame 3 + 37 + 1 bytes, reply 3 + 2 + 1 bytes, 11 bit
// times a byte at 115200 baud, and the module's 20 ms.
constexpr double kWireBlockMs = (41 + 6) * 11 * 1e3 / 115200 + 20;

std::string Dir() { return (fs::temp_directory_path() / ("zq-recbench-" + std::to_string(getpid()))).string(); }

__attribute__((constructor(101))) void Isolate() {
  setenv("ZELQUAR_NAMESPACE", ("zq-recbench-" + std::to_string(getpid())).c_str(), 1);
  setenv("ZELQUAR_SIM_DIR", (Dir() + "/sim").c_str(), 1);
}

double Ms(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

using zq::bench::InstalledDriver;
using zq::bench::kPort;


void BM_FullRecovery(benchmark::State& state) {
  InstalledDriver driver({.dir = Dir(), .openUnit = false});
  if (!driver.ready() || driver.open(kPort, 0, nullptr) != 0) {
    state.SkipWithError("the driver did not open the simulated reader");
    return;
  }
  const uint8_t command[4] = {0x03, 0xFF, 0x00, 0x00};
  std::vector<double> ms;
  for (auto _ : state) {
    state.PauseTiming();
    const bool armed = driver.Sim("fault status 6405 1") == "OK";
    state.ResumeTiming();
    uint8_t response[16];
    int32_t length = sizeof response;
    const auto t0 = std::chrono::steady_clock::now();
    const int32_t r = driver.transmit(kPort, sizeof command, command, &length, response);
    ms.push_back(Ms(t0));
    if (!armed || r != 0 || length != 2 || response[0] != 0x90) {
      state.SkipWithError("the recovery did not bring the reader back");
      break;
    }
  }
  driver.close(kPort);
  if (ms.empty()) return;
  const double median = Median(ms);
  state.counters["recovery_ms"] = median;
  state.counters["fixed_ms"] = kFixedRecoveryMs;
  state.counters["fixed_pct"] = 100 * kFixedRecoveryMs / median;
  state.counters["work_ms"] = median - kFixedRecoveryMs;
}
BENCHMARK(BM_FullRecovery)->Iterations(5)->Unit(benchmark::kMillisecond);

void BM_Open(benchmark::State& state) {
  InstalledDriver driver({.dir = Dir(), .wireTiming = state.range(0) != 0, .openUnit = false});
  if (!driver.ready()) {
    state.SkipWithError("the driver was not loaded");
    return;
  }
  std::vector<double> ms, closeMs;
  for (auto _ : state) {
    const auto t0 = std::chrono::steady_clock::now();
    const int32_t r = driver.open(kPort, 0, nullptr);
    ms.push_back(Ms(t0));
    state.PauseTiming();
    const auto t1 = std::chrono::steady_clock::now();
    driver.close(kPort);
    closeMs.push_back(Ms(t1));
    state.ResumeTiming();
    if (r != 0) {
      state.SkipWithError("the open failed");
      return;
    }
  }
  const double median = Median(ms);
  state.counters["open_ms"] = median;
  state.counters["fixed_ms"] = kFixedOpenMs;
  state.counters["beyond_ms"] = median - kFixedOpenMs;
  state.counters["beyond_pct"] = 100 * (median - kFixedOpenMs) / median;
  state.counters["close_ms"] = Median(closeMs);
}
BENCHMARK(BM_Open)->Arg(0)->Arg(1)->Iterations(5)->Unit(benchmark::kMillisecond);

void BM_FirmwareDownload(benchmark::State& state) {
  const bool wireTiming = state.range(0) != 0;
  InstalledDriver driver({.dir = Dir(), .wireTiming = wireTiming, .openUnit = false});
  if (!driver.ready()) {
    state.SkipWithError("the driver was not loaded");
    return;
  }
  // The reader starts at 01 23; each download brings it to the other version.
  const char* versions[2] = {"0123", "0200"};
  int current = 0;
  std::vector<double> plain, downloading;
  double plainCpuUs = 0, downloadingCpuUs = 0;
  auto timedOpen = [&](std::vector<double>* into, double* cpuUs) {
    const double cpu0 = zq::bench::ProcessCpuUs();
    const auto t0 = std::chrono::steady_clock::now();
    const int32_t r = driver.open(kPort, 0, nullptr);
    into->push_back(Ms(t0));
    *cpuUs += zq::bench::ProcessCpuUs() - cpu0;
    driver.close(kPort);
    return r == 0;
  };
  for (auto _ : state) {
    bool ok = driver.MakeFirmware(versions[current], kBlocks) && timedOpen(&plain, &plainCpuUs);
    current ^= 1;
    ok = ok && driver.MakeFirmware(versions[current], kBlocks) && timedOpen(&downloading, &downloadingCpuUs);
    if (!ok) {
      state.SkipWithError("an open failed");
      return;
    }
  }
  const double download = Median(downloading) - Median(plain);
  state.counters["open_ms"] = Median(plain);
  state.counters["download_ms"] = download;
  state.counters["per_block_ms"] = download / kBlocks;
  const double cpuBlockMs = (downloadingCpuUs - plainCpuUs) / static_cast<double>(plain.size()) / kBlocks / 1000;
  state.counters["cpu_block_ms"] = cpuBlockMs;
  state.counters["cpu_pct"] = 100 * cpuBlockMs / (download / kBlocks);
  if (!wireTiming) return;
  state.counters["sim_rt"] = driver.RealtimePacing();
  state.counters["wire_block_ms"] = kWireBlockMs;
  state.counters["overhead_pct"] = 100 * (download / kBlocks - kWireBlockMs) / kWireBlockMs;
}
BENCHMARK(BM_FirmwareDownload)->Arg(0)->Arg(1)->Iterations(3)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
