// The reader simulator through its real socket, as the driver meets it:
//  - without wire timing: time from the output report that carries the last
//    byte of a 4-byte command's frame to the first input report of the reply;
//  - with wire timing: how long a 100-byte reply takes from its first byte to
//    its last, against 99 character times of 11 bits at 115200 baud.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/devices/sim_client.h"
#include "platform/os/clock.h"
#include "platform/os/files.h"
#include "protocol/frame.h"
#include "tests/support/sim_fixture.h"

namespace {

using Bytes = std::vector<uint8_t>;
namespace platform = zq::platform;
namespace protocol = zq::protocol;

// A zelquar-sim process in its own directory, powered up and configured.
class Sim {
 public:
  explicit Sim(bool wireTiming) : sim_({.wireTiming = wireTiming}) {
    if (!sim_.published() || client_.Connect(sim_.Path(".hid")) != 0) return;
    ok_ = Feature({0x41, 0x01}) && Feature({0x50, 0x00, 0x01, 0xC2, 0x00, 0x02, 0x00, 0x03, 0x00}) &&
          Feature({0x45, 0xFF, 0xFF, 0x20, 0x00});
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    Drain();
  }
  bool ok() const { return ok_; }
  std::string ctl(const std::string& line) { return sim_.Control(line); }
  std::string dir() const { return sim_.dir(); }

  bool Feature(Bytes report) {
    report.resize(64, 0);
    report.insert(report.begin(), 'S');
    client_.Send(report.data(), report.size());
    uint8_t buf[128];
    for (;;) {
      long n = client_.Receive(buf, sizeof buf, 2000);
      if (n <= 0) return false;
      if (buf[0] == 'A') return buf[1] == 0;
    }
  }
  void SendFrame(uint8_t address, const Bytes& payload) {
    const Bytes frame = protocol::EncodeFrame(address, payload);  // one output report: at most 63 bytes
    Bytes m(66, 0);
    m[0] = 'O';
    m[1] = static_cast<uint8_t>(frame.size());
    std::copy(frame.begin(), frame.end(), m.begin() + 2);
    client_.Send(m.data(), m.size());
  }
  // Reads input reports until a whole reply frame has come; the arrival time
  // (us) of each report and its byte count.
  bool ReadReply(std::vector<std::pair<int64_t, size_t>>* reports) {
    Bytes got;
    uint8_t buf[128];
    for (;;) {
      long n = client_.Receive(buf, sizeof buf, 3000);
      int64_t at = platform::MonotonicMicroseconds();
      if (n <= 0) return false;
      if (buf[0] != 'I') continue;
      got.insert(got.end(), buf + 2, buf + 2 + buf[1]);
      if (reports) reports->push_back({at, buf[1]});
      protocol::FrameView f;
      if (protocol::DecodeFrame(got, &f) != protocol::FrameStatus::kShort) return true;
    }
  }
  void Drain() {
    uint8_t buf[128];
    while (client_.Receive(buf, sizeof buf, 50) > 0) {
    }
  }

 private:
  zq::test::SimulatedReader sim_;
  platform::SeqpacketClient client_;
  bool ok_ = false;
};

void BM_CommandToFirstReplyByte(benchmark::State& state) {
  Sim sim(false);
  if (!sim.ok()) {
    state.SkipWithError("simulator did not start");
    return;
  }
  uint8_t seq = 0;
  std::vector<std::pair<int64_t, size_t>> reports;
  for (auto _ : state) {
    reports.clear();
    seq ^= 1;
    int64_t sent = platform::MonotonicMicroseconds();
    sim.SendFrame(seq, {0x03, 0xFF, 0x00, 0x00});
    if (!sim.ReadReply(&reports)) {
      state.SkipWithError("no reply");
      return;
    }
    state.SetIterationTime(static_cast<double>(reports.front().first - sent) / 1e6);
  }
}
BENCHMARK(BM_CommandToFirstReplyByte)->UseManualTime()->Unit(benchmark::kMicrosecond)->Iterations(2000);

void BM_WireTimeOf100ByteReply(benchmark::State& state) {
  Sim sim(true);
  if (!sim.ok()) {
    state.SkipWithError("simulator did not start");
    return;
  }
  // Inventory without signal strength: count, 4 tags of 16 bytes, one of
  // 28 bytes (a 12-word EPC), status word = 96 body bytes, a 100-byte frame.
  std::string path = sim.dir() + "/tags.json";
  std::ofstream(path) << R"({"tags":[{"epc":"E28011606000020500000001"},{"epc":"E28011606000020500000002"},)"
                         R"({"epc":"E28011606000020500000003"},{"epc":"E28011606000020500000004"},)"
                         R"({"epc":"300000000000000000000000000000000000000000000005"}]})";
  if (sim.ctl("tags load " + path) != "OK") {
    state.SkipWithError("tags not loaded");
    return;
  }
  const double charUs = 11e6 / 115200;
  uint8_t seq = 0;
  std::vector<double> errors;
  std::vector<std::pair<int64_t, size_t>> reports;
  for (auto _ : state) {
    reports.clear();
    seq ^= 1;
    sim.SendFrame(seq, {0x08, 0x01, 0x00, 0x00});
    if (!sim.ReadReply(&reports)) {
      state.SkipWithError("no reply");
      return;
    }
    size_t bytes = 0;
    for (auto& r : reports) bytes += r.second;
    if (bytes != 100) {
      state.SkipWithError("reply is not 100 bytes");
      return;
    }
    // The first report holds the first byte; the last report the last.
    double measured = static_cast<double>(reports.back().first - reports.front().first) +
                      charUs * static_cast<double>(reports.front().second - 1);
    double expected = 99 * charUs;
    double err = std::fabs(measured - expected) / expected * 100;
    errors.push_back(err);
    state.SetIterationTime((measured + charUs) / 1e6);
  }
  state.counters["wire_us_expected"] = 100 * charUs;
  if (errors.empty()) return;
  std::sort(errors.begin(), errors.end());
  double sum = 0;
  for (double e : errors) sum += e;
  state.counters["mean_error_pct"] = sum / static_cast<double>(errors.size());
  state.counters["median_error_pct"] = errors[errors.size() / 2];
  state.counters["p90_error_pct"] = errors[errors.size() * 9 / 10];
  state.counters["worst_error_pct"] = errors.back();
}
BENCHMARK(BM_WireTimeOf100ByteReply)->UseManualTime()->Unit(benchmark::kMicrosecond)->Iterations(100);

}  // namespace

BENCHMARK_MAIN();
