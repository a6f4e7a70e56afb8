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
// BM_FirmwareDownload/wire: RFRW_Open with a firmware file of kBlocks blocks
// whose version differs from the reader's, against RFRW_Open with one that
// matches; download_ms is the difference of the medians, per_block_ms that
// over kBlocks. With wire timing (/1) the simulator paces the UART at 115200
// baud and adds the module's 20 ms per block: wire_block_ms is that time for
// one block's exchange, overhead_pct the driver's share on top of it.
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

#include "tests/support/child_process.h"
#include "tests/support/sim_fixture.h"

namespace {

namespace fs = std::filesystem;
using OpenFn = int32_t (*)(uint32_t, int32_t, const uint8_t*);
using CloseFn = int32_t (*)(uint32_t);
using TransmitFn = int32_t (*)(uint32_t, uint32_t, const uint8_t*, int32_t*, uint8_t*);

constexpr uint32_t kPort = 0x0100;
constexpr double kFixedRecoveryMs = 100 + 100 + 1000 + 200;
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

// The driver installed with its comm library and the shipped firmware file,
// loaded like an application loads it, beside a simulated reader.
class Installed {
 public:
  explicit Installed(bool wireTiming) {
    fs::create_directories(Dir() + "/sim");
    fs::copy_file(ZQ_DRIVER_LIB_PATH, Dir() + "/libZELQUAR_Drv.so", fs::copy_options::overwrite_existing);
    fs::copy_file(ZQ_COMM_LIB_PATH, Dir() + "/libZqRfrwCommVO.so", fs::copy_options::overwrite_existing);
    fs::copy_file(ZQ_FIRMWARE_PATH, FirmwarePath(), fs::copy_options::overwrite_existing);
    std::ofstream(Dir() + "/ZELQUAR_Drv.ini") << "[RFRW_Drv]\nAdminCheckCut=1\nLogFileFlg=0\n";
    sim_ = std::make_unique<zq::test::SimulatedReader>(zq::test::SimOptions{.dir = Dir() + "/sim", .wireTiming = wireTiming});
    lib_ = dlopen((Dir() + "/libZELQUAR_Drv.so").c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!lib_) return;
    open = reinterpret_cast<OpenFn>(dlsym(lib_, "RFRW_Open"));
    close = reinterpret_cast<CloseFn>(dlsym(lib_, "RFRW_Close"));
    transmit = reinterpret_cast<TransmitFn>(dlsym(lib_, "RFRW_CLRW_Transmit"));
    ready_ = sim_->published() && open && close && transmit;
  }
  ~Installed() {
    if (lib_) dlclose(lib_);
    sim_.reset();
    std::error_code ec;
    fs::remove_all(Dir(), ec);
  }
  bool ready() const { return ready_; }
  std::string FirmwarePath() const { return Dir() + "/ZQRWDSP01.dwl"; }
  std::string Sim(const std::string& command) const { return sim_->Control(command); }
  // Installs a firmware file of `version` made by the simulator's tool.
  bool MakeFirmware(const std::string& version) const {
    zq::test::ChildProcess tool({zq::test::SimulatorProgram(), "mkfw", "--version", version, "--blocks",
                                 std::to_string(kBlocks), FirmwarePath()},
                                {});
    return tool.Wait() == 0;
  }

  OpenFn open = nullptr;
  CloseFn close = nullptr;
  TransmitFn transmit = nullptr;

 private:
  std::unique_ptr<zq::test::SimulatedReader> sim_;
  void* lib_ = nullptr;
  bool ready_ = false;
};

void BM_FullRecovery(benchmark::State& state) {
  Installed driver(false);
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

void BM_FirmwareDownload(benchmark::State& state) {
  const bool wireTiming = state.range(0) != 0;
  Installed driver(wireTiming);
  if (!driver.ready()) {
    state.SkipWithError("the driver was not loaded");
    return;
  }
  // The reader starts at 01 23; each download brings it to the other version.
  const char* versions[2] = {"0123", "0200"};
  int current = 0;
  std::vector<double> plain, downloading;
  auto timedOpen = [&](std::vector<double>* into) {
    const auto t0 = std::chrono::steady_clock::now();
    const int32_t r = driver.open(kPort, 0, nullptr);
    into->push_back(Ms(t0));
    driver.close(kPort);
    return r == 0;
  };
  for (auto _ : state) {
    bool ok = driver.MakeFirmware(versions[current]) && timedOpen(&plain);
    current ^= 1;
    ok = ok && driver.MakeFirmware(versions[current]) && timedOpen(&downloading);
    if (!ok) {
      state.SkipWithError("an open failed");
      return;
    }
  }
  const double download = Median(downloading) - Median(plain);
  state.counters["open_ms"] = Median(plain);
  state.counters["download_ms"] = download;
  state.counters["per_block_ms"] = download / kBlocks;
  if (!wireTiming) return;
  state.counters["wire_block_ms"] = kWireBlockMs;
  state.counters["overhead_pct"] = 100 * (download / kBlocks - kWireBlockMs) / kWireBlockMs;
}
BENCHMARK(BM_FirmwareDownload)->Arg(0)->Arg(1)->Iterations(3)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
