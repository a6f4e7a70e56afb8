// The client library's cost over the driver's, and a whole field through
// it, against a simulated reader.
//
// BM_LibraryOwnWork: what the library itself does for one read of 8 words
// (build the command, split and decode the response, fill the outcome) and
// for one listed tag (decode the entry, fill the zq_tag with its GS1
// identity), without the driver: ns per call. own_pct_of_read_wire is the
// read's share of the wire time of a read (BM_Read8WordsWireTiming's
// figure, the four exchanges on the wire plus the module's times).
// BM_ReadDriver / BM_ReadLibrary: the same read of 8 words through
// RFRW_CLRW_Transmit and through zq_read (PC word given), without wire
// timing, so the difference is the library's call cost and nothing hides
// it. BM_Inventory500WireTiming: zq_inventory over a field of 500 tags with
// the UART paced and the module's times added; rounds, tags, and
// us_per_round against BM_Round500WireTiming, one bare round of the same
// field through the driver.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "bench/installed_driver.h"
#include "client/commands.h"
#include "client/fields.h"
#include "zelquar.h"

namespace {

namespace fs = std::filesystem;
using zq::bench::InstalledDriver;
using zq::bench::kPort;

std::string Dir() { return (fs::temp_directory_path() / ("zq-clientbench-" + std::to_string(getpid()))).string(); }

__attribute__((constructor(101))) void Isolate() {
  setenv("ZELQUAR_NAMESPACE", ("zq-clientbench-" + std::to_string(getpid())).c_str(), 1);
  setenv("ZELQUAR_SIM_DIR", (Dir() + "/sim").c_str(), 1);
  setenv("ZELQUAR_LIBRARY", (Dir() + "/libZELQUAR_Drv.so").c_str(), 1);
}

// The default reader's first tag.
const zq::client::Bytes kEpc = {0xE2, 0x80, 0x11, 0x60, 0x60, 0x00, 0x02, 0x05, 0x4E, 0x2A, 0x12, 0x34};
// A read's wire time: the frames of its four exchanges, 147 bytes at 115200
// baud (11 bit times a byte), and 19 ms of module time (tags_bench.cc).
constexpr double kRead8WireUs = 147 * 11 * 1e6 / 115200 + 19000;

void BM_LibraryOwnWork(benchmark::State& state) {
  using namespace zq::client;
  const Bytes address = TagAddress(0x3000, kEpc);
  const Bytes response = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x90, 0x00};
  zq_outcome outcome;
  for (auto _ : state) {
    const Bytes command = ReadCommand(address, Bank::kUser, 0, 8, std::nullopt);
    const TagOutcome t = ParseTagOutcome(response, false);
    outcome = zq_outcome{t.ok ? ZQ_OK : ZQ_REFUSED, 0, t.sw, -1, -1};
    benchmark::DoNotOptimize(command.data());
    benchmark::DoNotOptimize(outcome);
  }
  state.counters["read_wire_us"] = kRead8WireUs;
}
BENCHMARK(BM_LibraryOwnWork);

void BM_LibraryOwnWorkPerTag(benchmark::State& state) {
  using namespace zq::client;
  InventoryTag tag;
  tag.pc = 0x3000;
  tag.epc = {0x30, 0x34, 0x25, 0x7B, 0xF7, 0x19, 0x4E, 0x40, 0x00, 0x00, 0x1A, 0x85};
  zq_tag out;
  for (auto _ : state) {
    FillTag(tag, true, false, &out);
    benchmark::DoNotOptimize(out);
  }
}
BENCHMARK(BM_LibraryOwnWorkPerTag);

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

void Read(benchmark::State& state, bool library) {
  InstalledDriver driver({.dir = Dir(), .openUnit = !library});
  if (!driver.ready()) {
    state.SkipWithError("the driver did not come up");
    return;
  }
  zq_reader* reader = nullptr;
  zq_outcome o;
  if (library && zq_open_port(kPort, &reader, &o) != ZQ_OK) {
    state.SkipWithError("zq_open_port failed");
    return;
  }
  const zq::client::Bytes command =
      zq::client::ReadCommand(zq::client::TagAddress(0x3000, kEpc), zq::client::Bank::kUser, 0, 8, std::nullopt);
  std::vector<uint8_t> response(2048);
  uint8_t data[16];
  std::vector<double> micros;
  for (auto _ : state) {
    const auto t0 = std::chrono::steady_clock::now();
    bool ok;
    if (library) {
      size_t got = 0;
      ok = zq_read(reader, kEpc.data(), kEpc.size(), 0x3000, ZQ_BANK_USER, 0, 8, nullptr, data, sizeof data, &got, &o) == ZQ_OK;
    } else {
      int32_t length = static_cast<int32_t>(response.size());
      ok = driver.transmit(kPort, static_cast<uint32_t>(command.size()), command.data(), &length, response.data()) == 0 &&
           length == 18;
    }
    micros.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t0).count());
    if (!ok) {
      state.SkipWithError("the read failed");
      break;
    }
  }
  if (reader) zq_close(reader);
  if (!micros.empty()) state.counters["median_us"] = Median(micros);
}
void BM_ReadDriver(benchmark::State& state) { Read(state, false); }
void BM_ReadLibrary(benchmark::State& state) { Read(state, true); }
BENCHMARK(BM_ReadDriver)->Iterations(300)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ReadLibrary)->Iterations(300)->Unit(benchmark::kMicrosecond);

std::string Field500() {
  const std::string path = Dir() + "-field500.json";
  std::ofstream out(path);
  out << R"({"tags": [)";
  char epc[32];
  for (int i = 0; i < 500; ++i) {
    std::snprintf(epc, sizeof epc, "E2000017%016X", i);
    out << (i ? "," : "") << R"({"epc": ")" << epc << R"("})";
  }
  out << "]}";
  return path;
}

void BM_Round500WireTiming(benchmark::State& state) {
  const std::string field = Field500();
  InstalledDriver driver({.dir = Dir(), .wireTiming = true, .scenario = field});
  if (!driver.ready()) {
    state.SkipWithError("the driver did not come up");
    return;
  }
  const zq::client::Bytes round = zq::client::InventoryRoundCommand(2, false, true);
  std::vector<uint8_t> response(65536);
  std::vector<double> micros;
  for (auto _ : state) {
    int32_t length = static_cast<int32_t>(response.size());
    const auto t0 = std::chrono::steady_clock::now();
    const int32_t r = driver.transmit(kPort, static_cast<uint32_t>(round.size()), round.data(), &length, response.data());
    micros.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t0).count());
    if (r != 0) {
      state.SkipWithError("the round failed");
      break;
    }
  }
  fs::remove(field);
  if (!micros.empty()) state.counters["median_us"] = Median(micros);
}
BENCHMARK(BM_Round500WireTiming)->Iterations(5)->Unit(benchmark::kMillisecond);

void BM_Inventory500WireTiming(benchmark::State& state) {
  const std::string field = Field500();
  InstalledDriver driver({.dir = Dir(), .wireTiming = true, .scenario = field, .openUnit = false});
  zq_reader* reader = nullptr;
  zq_outcome o;
  if (!driver.ready() || zq_open_port(kPort, &reader, &o) != ZQ_OK) {
    state.SkipWithError("the driver did not come up");
    return;
  }
  std::vector<double> micros;
  double rounds = 0, tags = 0;
  for (auto _ : state) {
    zq_tag_list* list = nullptr;
    const auto t0 = std::chrono::steady_clock::now();
    const zq_result r = zq_inventory(reader, nullptr, &list, &o);
    micros.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t0).count());
    if (r != ZQ_OK) {
      state.SkipWithError("the inventory failed");
      break;
    }
    rounds = list->rounds;
    tags = static_cast<double>(list->count);
    zq_tag_list_free(list);
  }
  zq_close(reader);
  fs::remove(field);
  if (micros.empty()) return;
  state.counters["median_us"] = Median(micros);
  state.counters["rounds"] = rounds;
  state.counters["tags"] = tags;
  state.counters["us_per_round"] = Median(micros) / rounds;
}
BENCHMARK(BM_Inventory500WireTiming)->Iterations(3)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
