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
// (median - wire) / wire.
#include <benchmark/benchmark.h>
#include <dlfcn.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tests/support/sim_fixture.h"

namespace {

namespace fs = std::filesystem;
using OpenFn = int32_t (*)(uint32_t, int32_t, const uint8_t*);
using CloseFn = int32_t (*)(uint32_t);
using TransmitFn = int32_t (*)(uint32_t, uint32_t, const uint8_t*, int32_t*, uint8_t*);

constexpr uint32_t kPort = 0x0100;
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

// The driver installed with its comm library and firmware file, loaded like an application
// loads it, with unit 0 open on a simulated reader.
class Installed {
 public:
  explicit Installed(bool wireTiming) {
    fs::create_directories(Dir() + "/sim");
    fs::copy_file(ZQ_DRIVER_LIB_PATH, Dir() + "/libZELQUAR_Drv.so", fs::copy_options::overwrite_existing);
    fs::copy_file(ZQ_COMM_LIB_PATH, Dir() + "/libZqRfrwCommVO.so", fs::copy_options::overwrite_existing);
    fs::copy_file(ZQ_FIRMWARE_PATH, Dir() + "/ZQRWDSP01.dwl", fs::copy_options::overwrite_existing);
    std::ofstream(Dir() + "/ZELQUAR_Drv.ini") << "[RFRW_Drv]\nAdminCheckCut=1\nLogFileFlg=0\n";
    sim_ = std::make_unique<zq::test::SimulatedReader>(zq::test::SimOptions{.dir = Dir() + "/sim", .wireTiming = wireTiming});
    lib_ = dlopen((Dir() + "/libZELQUAR_Drv.so").c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!lib_) return;
    open_ = reinterpret_cast<OpenFn>(dlsym(lib_, "RFRW_Open"));
    close_ = reinterpret_cast<CloseFn>(dlsym(lib_, "RFRW_Close"));
    transmit = reinterpret_cast<TransmitFn>(dlsym(lib_, "RFRW_CLRW_Transmit"));
    ready_ = sim_->published() && open_ && close_ && transmit && open_(kPort, 0, nullptr) == 0;
  }
  ~Installed() {
    if (ready_) close_(kPort);
    if (lib_) dlclose(lib_);
    sim_.reset();
    std::error_code ec;
    fs::remove_all(Dir(), ec);
  }
  bool ready() const { return ready_; }
  TransmitFn transmit = nullptr;

 private:
  std::unique_ptr<zq::test::SimulatedReader> sim_;
  void* lib_ = nullptr;
  OpenFn open_ = nullptr;
  CloseFn close_ = nullptr;
  bool ready_ = false;
};

// The whole call's times in microseconds, sorted; empty after a failure.
std::vector<double> Measure(benchmark::State& state, Installed& driver) {
  const uint8_t command[4] = {0x00, 0x05, 0x16, 0x00};
  uint8_t response[16];
  std::vector<double> micros;
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
  std::sort(micros.begin(), micros.end());
  return micros;
}

double Median(const std::vector<double>& v) { return v[v.size() / 2]; }
double P99(const std::vector<double>& v) { return v[std::min(v.size() - 1, v.size() * 99 / 100)]; }

// Measures with the simulator paced or not; the figures as counters.
void Run(benchmark::State& state, bool wireTiming) {
  Installed driver(wireTiming);
  if (!driver.ready()) {
    state.SkipWithError("the driver did not open the simulated reader");
    return;
  }
  const std::vector<double> micros = Measure(state, driver);
  if (micros.empty()) return;
  state.counters["median_us"] = Median(micros);
  state.counters["p99_us"] = P99(micros);
  if (!wireTiming) return;
  state.counters["wire_us"] = kWireUs;
  state.counters["overhead_pct"] = 100.0 * (Median(micros) - kWireUs) / kWireUs;
}

void BM_FirmwareVersion(benchmark::State& state) { Run(state, false); }
BENCHMARK(BM_FirmwareVersion)->Iterations(2000)->Unit(benchmark::kMicrosecond);

void BM_FirmwareVersionWireTiming(benchmark::State& state) { Run(state, true); }
BENCHMARK(BM_FirmwareVersionWireTiming)->Iterations(500)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
