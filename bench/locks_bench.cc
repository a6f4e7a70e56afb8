// Cost of the locking every exported call pays: the unit's API mutex taken
// and released with its log lines filtered out, and a bare named-mutex
// round trip underneath it.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <string>

#include "driver/locks/locks.h"
#include "platform/os/named_mutex.h"
#include "tests/support/namespace_objects.h"

namespace {

void BM_NamedMutexOpenWaitReleaseClose(benchmark::State& state) {
  for (auto _ : state) {
    zq::platform::NamedMutex* m = zq::platform::OpenNamedMutex("ZQ_BENCH_MUTEX");
    benchmark::DoNotOptimize(zq::platform::WaitNamedMutex(m, -1));
    zq::platform::ReleaseNamedMutex(m);
    zq::platform::CloseNamedMutex(m);
  }
}
BENCHMARK(BM_NamedMutexOpenWaitReleaseClose);

void BM_ApiMutexTakeRelease(benchmark::State& state) {
  for (auto _ : state) {
    zq::drv::MutexHandle h = zq::drv::k_RFRW_SetMutexAPI(0x0100);
    zq::drv::k_RFRW_ReleaseMutexAPI(0x0100, h);
  }
}
BENCHMARK(BM_ApiMutexTakeRelease);

}  // namespace

int main(int argc, char** argv) {
  // Keep the benchmark's objects apart from any running system.
  if (!std::getenv("ZELQUAR_NAMESPACE")) setenv("ZELQUAR_NAMESPACE", "zq-bench", 1);
  zq::test::RemoveOwnNamespaceAtExit();
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
