// Two threads of one application working on the tags of two units at once
// through RFRW_CLRW_Transmit: two simulated reader modules on the line of
// one bridge, each with its own tag.
#include <sstream>
#include <string>

#include "tests/e2e/tag_fixture.h"

namespace zq::test {
namespace {

const std::string kUnit0Tag = "300833B2DDD90140000000A0";
const std::string kUnit1Tag = "300833B2DDD90140000000B1";

class TwoUnits : public ::testing::Test {
 protected:
  TwoUnits() : install_(kFastReaderIni, "", false) {
    install_.WriteFile("units.json", R"({"tags": [{"epc": ")" + kUnit0Tag + R"(", "user": "A0A0A1A1A2A2A3A3"}],
      "extra_units": [{"unit": 1, "tags": [{"epc": ")" + kUnit1Tag + R"(", "user": "0000000000000000"}]}]})");
    sim_ = std::make_unique<SimulatedReader>(
        SimOptions{.dir = install_.simDir(), .scenario = install_.path() + "/units.json", .openToAllUsers = true});
    probe_ = install_.StartLoadedProbe();
  }

  InstallDir install_;
  std::unique_ptr<SimulatedReader> sim_;
  std::unique_ptr<ChildProcess> probe_;
};

TEST_F(TwoUnits, EachThreadGetsItsOwnTagsDataWhileTheOtherWrites) {
  ASSERT_TRUE(sim_->published());
  ASSERT_EQ(probe_->Ask("open 0x0100"), "0");
  ASSERT_EQ(probe_->Ask("open 0x0101"), "0");
  const int opened = sim_->State()["extra_units"][0]["commands_received"].get<int>();
  // Unit 0: a read of its tag's user bank; unit 1: a write of two words.
  const std::string read0 = ReadCommand(kUnit0Tag, 3, 0, 4);
  const std::string write1 = WriteCommand(kUnit1Tag, 3, 1, "B1B1B2B2");
  constexpr int kCalls = 25;
  std::istringstream answer(probe_->Ask("send-parallel " + std::to_string(kCalls) + " 0x0100 " + read0 + " 0x0101 " + write1));
  int same0 = 0, result0 = 0, length0 = 0, same1 = 0, result1 = 0, length1 = 0;
  std::string data0, data1, bar;
  answer >> same0 >> result0 >> length0 >> data0 >> bar >> same1 >> result1 >> length1 >> data1;
  EXPECT_EQ(same0, kCalls);
  EXPECT_EQ(result0, 0);
  EXPECT_EQ(Upper(data0), "A0A0A1A1A2A2A3A39000");
  EXPECT_EQ(same1, kCalls);
  EXPECT_EQ(result1, 0);
  EXPECT_EQ(Upper(data1), "9000");

  const nlohmann::json state = sim_->State();
  EXPECT_EQ(state["extra_units"][0]["tags"][0]["user"], "0000B1B1B2B20000");
  EXPECT_EQ(state["tags"][0]["user"], "A0A0A1A1A2A2A3A3");
  // Every step of each operation reached its own unit's module.
  EXPECT_EQ(state["extra_units"][0]["commands_received"].get<int>(), opened + kCalls * 7) << state["counters"].dump();
}

}  // namespace
}  // namespace zq::test
