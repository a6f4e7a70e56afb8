// What logging costs the driver.
//
// BM_FilteredOutRecord: a call whose level is above LogLevel (the common
// case for the byte-traffic lines), in nanoseconds.
// BM_ProcessThroughput/N: N application processes (1 and 4) logging through
// the installed driver at once (kCallsPerWorker calls each at LogLevel 1,
// two records a call) into one collector. Timed are the records: from the first
// worker's first call to the last worker's last call, each worker reading
// the monotonic clock around its calls (the mailslot holds only a few
// messages, so a sender cannot run ahead of the collector by more than
// that). Not timed: starting the workers, their detach and the check of the
// log file after the collector has written it out.
//   records_per_s   records made a second, all workers together
//   writer_cpu_us   CPU time of a worker's process per record it made
//   collector_cpu_us  CPU time of the collector per record it took
//   calls_logged / calls_made  the calls found in the log file (none may be lost)
#include <benchmark/benchmark.h>
#include <dlfcn.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "driver/log/output_log.h"
#include "tools/logview.h"

namespace {

namespace fs = std::filesystem;
using VersionFn = int32_t (*)(int32_t*, uint8_t*);

constexpr int kCallsPerWorker = 25000;  // two records each at LogLevel 1
constexpr int kRecordsPerCall = 2;

void BM_FilteredOutRecord(benchmark::State& state) {
  const uint8_t data[16] = {};
  for (auto _ : state) zq::drv::OutputLog(zq::drv::LogLevel::kTrace, 0x0100, data, sizeof data, "RW_Write Len=%d", 16);
}
BENCHMARK(BM_FilteredOutRecord);

int64_t MonotonicNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// A worker: loads the library, makes its calls and prints on standard
// output "START_NS END_NS CPU_US" (the monotonic clock around the calls and
// the process's CPU time during them) before it detaches.
int RunWorker(const char* library) {
  void* lib = dlopen(library, RTLD_NOW | RTLD_LOCAL);
  if (!lib) return 1;
  auto version = reinterpret_cast<VersionFn>(dlsym(lib, "RFRW_GetDllVersion"));
  const std::clock_t cpu0 = std::clock();
  const int64_t start = MonotonicNs();
  for (int i = 0; i < kCallsPerWorker; ++i) {
    int32_t len = 8;
    uint8_t buf[8];
    version(&len, buf);
  }
  const int64_t end = MonotonicNs();
  const double cpuUs = 1e6 * static_cast<double>(std::clock() - cpu0) / CLOCKS_PER_SEC;
  std::printf("%lld %lld %.0f\n", static_cast<long long>(start), static_cast<long long>(end), cpuUs);
  std::fflush(stdout);
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

// The collector started by this process (its argument element 0 is the
// starter's pid in hexadecimal); 0 when there is none.
pid_t CollectorOf(pid_t starter) {
  char mine[16];
  std::snprintf(mine, sizeof mine, "%08x", static_cast<unsigned>(starter));
  for (const auto& p : fs::directory_iterator("/proc")) {
    std::ifstream cmd(p.path() / "cmdline");
    std::string arg0;
    std::getline(cmd, arg0, '\0');
    if (arg0 == mine) return static_cast<pid_t>(std::stoi(p.path().filename().string()));
  }
  return 0;
}

// User and system CPU time of a process, in microseconds.
double ProcessCpuUs(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const size_t close = stat.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream fields(stat.substr(close + 2));
  std::string field;
  double utime = 0, stime = 0;
  // Fields 3.. after the name: state is the first; utime and stime are 14 and 15.
  for (int n = 3; n <= 15 && fields >> field; ++n) {
    if (n == 14) utime = std::stod(field);
    if (n == 15) stime = std::stod(field);
  }
  return (utime + stime) * 1e6 / static_cast<double>(sysconf(_SC_CLK_TCK));
}

struct Worker {
  pid_t pid = -1;
  FILE* out = nullptr;  // its standard output
};

Worker StartWorker(const std::string& library) {
  int fds[2];
  if (pipe(fds) != 0) return {};
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(fds[1], STDOUT_FILENO);
    close(fds[0]);
    close(fds[1]);
    execl("/proc/self/exe", "zq_bench_logging", "--worker", library.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  close(fds[1]);
  return {pid, fdopen(fds[0], "r")};
}

void BM_ProcessThroughput(benchmark::State& state) {
  const int workerCount = static_cast<int>(state.range(0));
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
    const pid_t collector = CollectorOf(getpid());
    const double collectorCpu0 = collector ? ProcessCpuUs(collector) : 0;
    std::vector<Worker> workers;
    for (int w = 0; w < workerCount; ++w) workers.push_back(StartWorker(library));
    int64_t first = INT64_MAX, last = 0;
    double writerCpuUs = 0;
    int reported = 0;
    for (Worker& w : workers) {
      long long start = 0, end = 0;
      double cpu = 0;
      if (w.out && std::fscanf(w.out, "%lld %lld %lf", &start, &end, &cpu) == 3) {
        first = std::min<int64_t>(first, start);
        last = std::max<int64_t>(last, end);
        writerCpuUs += cpu;
        ++reported;
      }
    }
    const double collectorCpu = collector ? ProcessCpuUs(collector) - collectorCpu0 : 0;
    for (Worker& w : workers) {
      if (w.out) fclose(w.out);
      if (w.pid > 0) waitpid(w.pid, nullptr, 0);
    }
    // Each process's detach makes the collector write out what it holds;
    // the file is complete once it holds every call of every worker.
    dlclose(lib);
    const fs::path log = dir / "ZELQUAR_DrvDLL_Log.LOG";
    size_t calls = 0;
    for (int i = 0; i < 300; ++i) {
      calls = CountCalls(log);
      if (calls >= static_cast<size_t>(workerCount * kCallsPerWorker)) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    if (collector) kill(collector, SIGTERM);
    fs::remove_all(dir);
    if (reported != workerCount || last <= first) {
      state.SkipWithError("a worker did not report");
      return;
    }
    const double seconds = static_cast<double>(last - first) / 1e9;
    const double records = static_cast<double>(workerCount) * kCallsPerWorker * kRecordsPerCall;
    state.SetIterationTime(seconds);
    state.counters["records_per_s"] = records / seconds;
    state.counters["writer_cpu_us"] = writerCpuUs / records;
    state.counters["collector_cpu_us"] = collectorCpu / records;
    state.counters["calls_logged"] = static_cast<double>(calls);
    state.counters["calls_made"] = workerCount * kCallsPerWorker;
  }
}
BENCHMARK(BM_ProcessThroughput)->Arg(1)->Arg(4)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::string(argv[1]) == "--worker") return RunWorker(argv[2]);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
