// Round trip of a 4-byte command through the API-to-link channel and the
// link thread, against a reader that answers at once. Reports the median
// and the 99th percentile in microseconds.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "driver/link/channel.h"
#include "driver/link/link_thread.h"
#include "driver/state/local_state.h"
#include "driver/state/shared_area.h"
#include "tests/driver/link/fake_reader.h"
#include "tests/support/namespace_objects.h"

namespace {

using namespace zq::drv;

__attribute__((constructor(101))) void Isolate() {
  setenv("ZELQUAR_NAMESPACE", ("zq-linkbench-" + std::to_string(getpid())).c_str(), 1);
  zq::test::RemoveOwnNamespaceAtExit();
}

void BM_FourByteCommandRoundTrip(benchmark::State& state) {
  SharedArea* area = Shared();
  PortEntry& e = LocalPortEntry(0);
  e.dataArea = &area->portDataAreas[0];
  zq::test::FakeReader::Install();
  zq::test::FakeReader::For(*e.dataArea).SetResponder([](const zq::test::Bytes& frame, zq::test::FakeReader& r) {
    r.Send(zq::test::ReplyFrame(frame[0] & 1, {0x90, 0x00}));
  });
  if (k_L_Level_Init(0x0100, &Llevel_Thread, e) != 0) {
    state.SkipWithError("link level did not start");
    return;
  }
  std::vector<uint8_t> request(kRequestBufferSize, 0), response(kResponseBufferSize, 0);
  auto* h = reinterpret_cast<LevelMessageHeader*>(request.data());
  h->payloadLength = 7;
  h->timeoutMs = 2300;
  h->portEntry = reinterpret_cast<uintptr_t>(&e);
  const uint8_t frame[7] = {0x00, 0x00, 0x04, 0x00, 0x05, 0x00, 0x00};
  std::memcpy(request.data() + kHeaderSize, frame, sizeof frame);

  std::vector<double> micros;
  for (auto _ : state) {
    const auto t0 = std::chrono::steady_clock::now();
    const int32_t rc = k_CM_TransmitMsg(0x0100, request.data(), 31, response.data(), static_cast<int32_t>(response.size()));
    const auto t1 = std::chrono::steady_clock::now();
    if (rc != 0) state.SkipWithError("exchange failed");
    micros.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
  }
  k_L_Level_End(0x0100, e);
  std::sort(micros.begin(), micros.end());
  if (!micros.empty()) {
    state.counters["median_us"] = micros[micros.size() / 2];
    state.counters["p99_us"] = micros[std::min(micros.size() - 1, micros.size() * 99 / 100)];
  }
}
BENCHMARK(BM_FourByteCommandRoundTrip)->Iterations(20000)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
