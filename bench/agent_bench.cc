// The reader service's own costs: events journaled a second (each batch one
// transaction written through to the disk), and the tag table's memory and
// time for a large field.
//
//   build/bench/zq_bench_agent
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "agent/journal.h"
#include "agent/model.h"
#include "bench/agent_events.h"

namespace {

using namespace zq::agent;

std::vector<Event> Batch(size_t n, int64_t t) { return zq::bench::AppearBatch(n, t); }

// Events a second into the journal, in batches of range(0) events.
void BM_JournalAppend(benchmark::State& state) {
  const std::string path = (std::filesystem::temp_directory_path() / "zq-bench-journal.db").string();
  for (const char* s : {"", "-wal", "-shm"}) std::filesystem::remove(path + s);
  Journal journal;
  if (journal.Open(path, "bench", 100000000, 3600 * 1000) != JournalResult::kOk) {
    state.SkipWithError("the journal cannot be opened");
    return;
  }
  const std::vector<Event> batch = Batch(static_cast<size_t>(state.range(0)), 1000);
  for (auto _ : state) {
    if (journal.Append(batch, 1000) != JournalResult::kOk) state.SkipWithError("append failed");
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
  state.counters["events_per_s"] = benchmark::Counter(static_cast<double>(state.iterations() * state.range(0)),
                                                      benchmark::Counter::kIsRate);
  journal.Close();
  for (const char* s : {"", "-wal", "-shm"}) std::filesystem::remove(path + s);
}
BENCHMARK(BM_JournalAppend)->Arg(1)->Arg(100)->Arg(1000)->UseRealTime()->Unit(benchmark::kMicrosecond);

// The process's resident memory, KiB (Linux: /proc/self/statm, pages of 4 KiB).
double ResidentKiB() {
  std::ifstream statm("/proc/self/statm");
  long size = 0, resident = 0;
  statm >> size >> resident;
  return static_cast<double>(resident) * 4.0;
}

// A round of a field of range(0) tags into the table; the table's memory.
void BM_TagTableRound(benchmark::State& state) {
  const size_t n = static_cast<size_t>(state.range(0));
  std::vector<Sighting> seen(n);
  for (size_t i = 0; i < n; ++i) {
    char epc[32];
    std::snprintf(epc, sizeof epc, "E2000017%016zX", i);
    seen[i] = Sighting{epc, 0x3000, -50.0 - static_cast<double>(i % 30), nlohmann::json{{"uri", std::string("urn:epc:raw:96.x") + epc}}};
  }
  const double before = ResidentKiB();
  TagTable table(3000, Config{}.historyPoints);
  int64_t t = 0;
  for (auto _ : state) benchmark::DoNotOptimize(table.Round("SIM0001", seen, t += 100));
  state.counters["table_kib"] = ResidentKiB() - before;
  state.counters["tags"] = static_cast<double>(table.size());
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(n));
}
BENCHMARK(BM_TagTableRound)->Arg(1000)->Arg(10000)->Iterations(300)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
