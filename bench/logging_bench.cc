// What logging costs the driver.
//
// BM_FilteredOutRecord: a call whose level is above LogLevel (the common
// case for the byte-traffic lines), in nanoseconds.
// BM_FourProcessThroughput: four application processes logging through the
// installed driver at once; records per second that reach the log file,
// counted in the file after the collector has ended (none may be lost).
#include <benchmark/benchmark.h>
#include <dlfcn.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "driver/log/output_log.h"
#include "tools/logview.h"

namespace {

namespace fs = std::filesystem;
using VersionFn = int32_t (*)(int32_t*, uint8_t*);

constexpr int kWorkers = 4;
constexpr int kCallsPerWorker = 25000;  // two records each at LogLevel 1

void BM_FilteredOutRecord(benchmark::State& state) {
  const uint8_t data[16] = {};
  for (auto _ : state) zq::drv::OutputLog(zq::drv::LogLevel::kTrace, 0x0100, data, sizeof data, "RW_Write Len=%d", 16);
}
BENCHMARK(BM_FilteredOutRecord);

int RunWorker(const char* library) {
  void* lib = dlopen(library, RTLD_NOW | RTLD_LOCAL);
  if (!lib) return 1;
  auto version = reinterpret_cast<VersionFn>(dlsym(lib, "RFRW_GetDllVersion"));
  for (int i = 0; i < kCallsPerWorker; ++i) {
    int32_t len = 8;
    uint8_t buf[8];
    version(&len, buf);
  }
  dlclose(lib);
  return 0;
}

size_t CountCalls(const fs::path& log) {
  std::ifstream in(log, std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::string text;
  zq::logview::DecodeToText(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), true, &text);
  size_t calls = 0;
  for (size_t pos = 0; (pos = text.find("RFRW_GetDllVersion Call", pos)) != std::string::npos; ++pos) ++calls;
  return calls;
}

// The collector watches this process, so it would outlive the benchmark.
void StopCollectorOf(pid_t starter) {
  char mine[16];
  std::snprintf(mine, sizeof mine, "%08x", static_cast<unsigned>(starter));
  for (const auto& p : fs::directory_iterator("/proc")) {
    std::ifstream cmd(p.path() / "cmdline");
    std::string arg0;
    std::getline(cmd, arg0, '\0');
    if (arg0 == mine) kill(static_cast<pid_t>(std::stoi(p.path().filename().string())), SIGTERM);
  }
}

void BM_FourProcessThroughput(benchmark::State& state) {
  for (auto _ : state) {
    const fs::path dir = fs::temp_directory_path() / ("zq-logbench-" + std::to_string(getpid()));
    fs::create_directories(dir);
    fs::copy_file(ZQ_DRIVER_LIB_PATH, dir / "libZELQUAR_Drv.so", fs::copy_options::overwrite_existing);
    fs::copy_file(ZQ_OUTLOG_PATH, dir / "ZELQUAR_Outlog", fs::copy_options::overwrite_existing);
    std::ofstream(dir / "ZELQUAR_Drv.ini") << "[RFRW_Drv]\nLogFileFlg=1\nLogLevel=1\n";
    const std::string ns = "zq-logbench-" + std::to_string(getpid());
    setenv("ZELQUAR_NAMESPACE", ns.c_str(), 1);
    const std::string library = (dir / "libZELQUAR_Drv.so").string();

    // This process attaches first, so the collector is up before the workers.
    void* lib = dlopen(library.c_str(), RTLD_NOW | RTLD_LOCAL);
    const auto started = std::chrono::steady_clock::now();
    std::vector<pid_t> workers;
    for (int w = 0; w < kWorkers; ++w) {
      pid_t pid = fork();
      if (pid == 0) {
        execl("/proc/self/exe", "zq_bench_logging", "--worker", library.c_str(), static_cast<char*>(nullptr));
        _exit(127);
      }
      workers.push_back(pid);
    }
    for (pid_t pid : workers) waitpid(pid, nullptr, 0);
    // Each process's detach makes the collector write out what it holds;
    // the file is complete once it holds every call of every worker.
    dlclose(lib);
    const fs::path log = dir / "ZELQUAR_DrvDLL_Log.LOG";
    size_t calls = 0;
    double seconds = 0;
    for (int i = 0; i < 3000; ++i) {
      calls = CountCalls(log);
      seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
      if (calls >= static_cast<size_t>(kWorkers * kCallsPerWorker)) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    StopCollectorOf(getpid());
    state.SetIterationTime(seconds);
    state.counters["records_per_s"] = 2.0 * static_cast<double>(calls) / seconds;
    state.counters["calls_logged"] = static_cast<double>(calls);
    state.counters["calls_made"] = kWorkers * kCallsPerWorker;
    fs::remove_all(dir);
  }
}
BENCHMARK(BM_FourProcessThroughput)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::string(argv[1]) == "--worker") return RunWorker(argv[2]);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
