// The reader transport against a simulated reader (no wire timing):
// BM_OpenClose: one device open sequence and close, with and without the
// 1000 ms power-on wait the reader needs (reported as rest_ms).
// BM_ReaderCommandRoundTrip: one 4-byte reader command from the API side
// through the link thread, the comm library and the bridge to the reader
// and back; median and 99th percentile in microseconds.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "driver/link/channel.h"
#include "driver/link/link_thread.h"
#include "driver/state/local_state.h"
#include "driver/state/shared_area.h"
#include "driver/transport/device.h"
#include "tests/support/namespace_objects.h"
#include "tests/support/sim_fixture.h"

namespace {

using namespace zq::drv;
namespace fs = std::filesystem;

std::string SimDir() { return "/tmp/zq-transportbench-" + std::to_string(getpid()); }

__attribute__((constructor(101))) void Isolate() {
  setenv("ZELQUAR_NAMESPACE", ("zq-trbench-" + std::to_string(getpid())).c_str(), 1);
  setenv("ZELQUAR_SIM_DIR", SimDir().c_str(), 1);
  zq::test::RemoveOwnNamespaceAtExit();
}

// A simulated reader in this process's simulator directory, and the
// driver's settings for it.
struct Simulator {
  zq::test::SimulatedReader reader{{.dir = SimDir()}};
  Simulator() {
    SharedArea* area = Shared();
    const std::string commDir = fs::path(ZQ_COMM_LIB_PATH).parent_path().string() + "/";
    MutableConfig().libraryDir = commDir;
    std::snprintf(area->pidVid, sizeof area->pidVid, "vid_FFF1&pid_7C02");
    area->gpioInitialData = 0x0084;
    area->hidDeviceOpenRetryCount = 2;
    area->characterTimeout = 500;
    area->blockTimeout = 2300;
    area->retryTimeoutApi = 15000;
  }
  ~Simulator() {
    reader.Stop();
    fs::remove_all(SimDir());
  }
};

void BM_OpenClose(benchmark::State& state) {
  Simulator sim;
  PortDataArea& data = Shared()->portDataAreas[0];
  data.port = 0x0100;
  for (auto _ : state) {
    const auto t0 = std::chrono::steady_clock::now();
    if (k_RS_Open(data) != 0) state.SkipWithError("open failed");
    RW_Close(data);
    const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
    state.counters["rest_ms"] = ms - 1000.0 - 100.0;  // less the power-on and power-off waits
  }
}
BENCHMARK(BM_OpenClose)->Iterations(3)->Unit(benchmark::kMillisecond);

void BM_ReaderCommandRoundTrip(benchmark::State& state) {
  Simulator sim;
  SharedArea* area = Shared();
  PortEntry& e = LocalPortEntry(0);
  e.dataArea = &area->portDataAreas[0];
  e.dataArea->port = 0x0100;
  if (k_RS_Open(*e.dataArea) != 0 || k_L_Level_Init(0x0100, &Llevel_Thread, e) != 0) {
    state.SkipWithError("open failed");
    return;
  }
  // A 4-byte reader command (the mode set-up), framed for unit 0.
  std::vector<uint8_t> request(kRequestBufferSize, 0), response(kResponseBufferSize, 0);
  auto* h = reinterpret_cast<LevelMessageHeader*>(request.data());
  const uint8_t frame[7] = {0x00, 0x00, 0x04, 0x03, 0xFF, 0x00, 0x00};
  h->payloadLength = sizeof frame;
  h->timeoutMs = area->blockTimeout;
  h->portEntry = reinterpret_cast<uintptr_t>(&e);
  std::memcpy(request.data() + kHeaderSize, frame, sizeof frame);
  std::vector<double> micros;
  for (auto _ : state) {
    const auto t0 = std::chrono::steady_clock::now();
    if (k_CM_TransmitMsg(0x0100, request.data(), static_cast<int32_t>(kHeaderSize + sizeof frame), response.data(),
                         static_cast<int32_t>(response.size())) != 0) {
      state.SkipWithError("exchange failed");
      break;
    }
    micros.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t0).count());
  }
  k_L_Level_End(0x0100, e);
  RW_Close(*e.dataArea);
  std::sort(micros.begin(), micros.end());
  if (!micros.empty()) {
    state.counters["median_us"] = micros[micros.size() / 2];
    state.counters["p99_us"] = micros[std::min(micros.size() - 1, micros.size() * 99 / 100)];
  }
}
BENCHMARK(BM_ReaderCommandRoundTrip)->Iterations(2000)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
