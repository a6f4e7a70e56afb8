// Fields larger than one inventory reply, through RFRW_CLRW_Transmit against
// a simulated reader that paces its replies as on the wire: rounds in an
// explicit session list the whole field, each within the driver's timeouts.
#include <set>

#include "tests/e2e/fleet_fixture.h"

namespace zq::test {
namespace {

class LargeField : public ::testing::Test {
 protected:
  void Start(size_t tags) {
    install_.WriteFile("field.json", TagList(tags, 0x1000));
    sim_ = std::make_unique<SimulatedReader>(
        SimOptions{.dir = install_.simDir(), .scenario = install_.path() + "/field.json", .wireTiming = true});
    ASSERT_TRUE(sim_->published());
    probe_ = install_.StartLoadedProbe();
    ASSERT_EQ(Open(*probe_, 0x0100), "0");
    boots_ = sim_->State()["counters"]["boots"].get<uint64_t>();
  }
  // The tags the simulated reader holds, as PC+EPC hex.
  std::set<std::string> FieldEpcs() {
    std::set<std::string> out;
    const nlohmann::json state = sim_->State();
    for (const auto& t : state["tags"]) out.insert(t["pc"].get<std::string>() + t["epc"].get<std::string>());
    std::set<std::string> upper;
    for (std::string s : out) {
      for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
      upper.insert(s);
    }
    return upper;
  }

  InstallDir install_{kDefaultTimeoutsIni, "", false};
  std::unique_ptr<SimulatedReader> sim_;
  std::unique_ptr<ChildProcess> probe_;
  uint64_t boots_ = 0;
};

TEST_F(LargeField, TwoThousandTagsInRoundsOfSessionTwoEachWithinTheTimeout) {
  Start(2000);
  const std::set<std::string> field = FieldEpcs();
  ASSERT_EQ(field.size(), 2000u);
  // P1 bit 7: no Select, the session from P2 bits 4-5 (2), the target from
  // bit 2 (A), signal strengths from bit 1: rounds until one lists nothing.
  std::set<std::string> seen;
  size_t rounds = 0, largest = 0;
  for (;;) {
    const ProbeAnswer a = Send(*probe_, 0x0100, "0801802200020000");
    ASSERT_EQ(a.result, 0) << "round " << rounds;
    const std::vector<std::string> entries = InventoryEntries(a, 4);
    ASSERT_EQ(entries.size(), std::stoul(a.data.substr(0, 4), nullptr, 16)) << a.data.substr(0, 16);
    if (entries.empty()) break;
    ++rounds;
    largest = std::max(largest, entries.size());
    for (const std::string& e : entries) EXPECT_TRUE(seen.insert(e).second) << "listed twice: " << e;
    ASSERT_LT(rounds, 100u);
  }
  EXPECT_EQ(seen, field);
  EXPECT_LT(largest, field.size());
  EXPECT_GE(rounds, (field.size() + largest - 1) / largest);
  // Every tag is in state B of session 2 now: a round aimed at B lists a full reply.
  const ProbeAnswer b = Send(*probe_, 0x0100, "0801802600020000");
  EXPECT_EQ(InventoryEntries(b, 4).size(), largest);
  // No answer timed out: the driver never power-cycled the reader.
  EXPECT_EQ(sim_->State()["counters"]["boots"].get<uint64_t>(), boots_);
}

TEST_F(LargeField, FiftyTagsInOneDefaultInventoryEveryTime) {
  Start(50);
  const std::set<std::string> field = FieldEpcs();
  for (int i = 0; i < 2; ++i) {
    const ProbeAnswer a = Send(*probe_, 0x0100, "0801000200020000");
    ASSERT_EQ(a.result, 0);
    const std::vector<std::string> entries = InventoryEntries(a, 4);
    EXPECT_EQ(std::set<std::string>(entries.begin(), entries.end()), field);
    EXPECT_EQ(entries.size(), field.size());
  }
  EXPECT_EQ(sim_->State()["last_round"]["participants"].get<size_t>(), 50u);
}

}  // namespace
}  // namespace zq::test
