// Two readers on one host, each COM number bound to one of them by its
// serial number (the INI key ReaderSerial<N>, the environment variable
// ZELQUAR_READER_SERIAL_<N> over it), through the exported functions
// against two simulator processes: from one process and from two.
#include "tests/e2e/fleet_fixture.h"
#include "tests/e2e/tag_fixture.h"

namespace zq::test {
namespace {

constexpr uint32_t kPortA = 0x0100;  // COM 1, unit 0
constexpr uint32_t kPortB = 0x0201;  // COM 2, unit 1

class TwoReaders : public ::testing::Test {
 protected:
  TwoReaders() {
    // COM 2's key names reader A: the variable given to the probes wins.
    install_.WriteFile("a.json", TagList(5, 0xA000, "E200AAAA"));
    install_.WriteFile("b.json", TagList(7, 0xB000, "E200BBBB"));
    a_ = std::make_unique<SimulatedReader>(SimOptions{.dir = install_.simDir(), .name = "readerA",
                                                      .scenario = install_.path() + "/a.json", .unit = 0,
                                                      .extraArgs = {"--serial", "ZQA0001"}});
    b_ = std::make_unique<SimulatedReader>(SimOptions{.dir = install_.simDir(), .name = "readerB",
                                                      .scenario = install_.path() + "/b.json", .unit = 1,
                                                      .extraArgs = {"--serial", "ZQB0002"}});
  }
  void SetUp() override {
    ASSERT_TRUE(a_->published());
    ASSERT_TRUE(b_->published());
  }
  static std::set<std::string> Epcs(const SimulatedReader& r) {
    std::set<std::string> out;
    const nlohmann::json state = r.State();
    for (const auto& t : state["tags"]) out.insert(Upper(t["pc"].get<std::string>() + t["epc"].get<std::string>()));
    return out;
  }
  static std::vector<std::string> Users(const SimulatedReader& r) {
    std::vector<std::string> out;
    const nlohmann::json state = r.State();
    for (const auto& t : state["tags"]) out.push_back(t["user"].get<std::string>());
    return out;
  }
  static std::set<std::string> Inventory(ChildProcess& probe, uint32_t port) {
    const std::vector<std::string> e = InventoryEntries(Send(probe, port, "0801000200020000"), 4);
    return std::set<std::string>(e.begin(), e.end());
  }
  // Each reader's own tags on its own port; a write through one port
  // changes the addressed tag of that reader alone.
  void CheckSideBySide(ChildProcess& onA, ChildProcess& onB) {
    const std::set<std::string> fieldA = Epcs(*a_), fieldB = Epcs(*b_);
    ASSERT_EQ(fieldA.size(), 5u);
    EXPECT_EQ(Inventory(onA, kPortA), fieldA);
    EXPECT_EQ(Inventory(onB, kPortB), fieldB);

    const std::vector<std::string> usersB = Users(*b_);
    const std::string tagA = *fieldA.begin();
    const ProbeAnswer w = Send(onA, kPortA, TagCommand(0x11, 0, 0, tagA + "0300" + "BEEF"));
    EXPECT_EQ(w.data, "9000");
    size_t changed = 0;
    for (const std::string& u : Users(*a_)) changed += Upper(u) == "BEEF0000" ? 1 : 0;
    EXPECT_EQ(changed, 1u);
    EXPECT_EQ(Users(*b_), usersB);
    // Reader B does not hold A's tag: the same write through B's port finds none.
    EXPECT_NE(Send(onB, kPortB, TagCommand(0x11, 0, 0, tagA + "0300" + "0BAD")).data, "9000");
    EXPECT_EQ(Users(*b_), usersB);
  }

  InstallDir install_{kDefaultTimeoutsIni + "ReaderSerial1=ZQA0001\nReaderSerial2=ZQA0001\n", "", false};
  std::unique_ptr<SimulatedReader> a_, b_;
};

TEST_F(TwoReaders, OneProcessHasBothOpenAtOnce) {
  auto probe = install_.StartLoadedProbe({{"ZELQUAR_READER_SERIAL_2", "ZQB0002"}});
  ASSERT_EQ(Open(*probe, kPortA), "0");
  ASSERT_EQ(Open(*probe, kPortB), "0");
  CheckSideBySide(*probe, *probe);
  // Both at once from two threads: every answer the same as the first.
  const std::string both = probe->Ask("send-parallel 5 0x0100 0801000000020000 0x0201 0801000000020000", 60000);
  EXPECT_EQ(both.substr(0, 2), "5 ");
  EXPECT_NE(both.find("| 5 0 "), std::string::npos) << both;
  EXPECT_NE(both.find(" 0005"), std::string::npos) << both;  // reader A's five tags
  EXPECT_NE(both.find(" 0007"), std::string::npos) << both;  // reader B's seven
  // Closing one leaves the other working.
  EXPECT_EQ(probe->Ask("close 0x0100"), "0");
  EXPECT_EQ(Inventory(*probe, kPortB), Epcs(*b_));
}

TEST_F(TwoReaders, TwoProcessesEachWithItsOwnReader) {
  auto first = install_.StartLoadedProbe();
  auto second = install_.StartLoadedProbe();
  // The second process names its reader just before it opens.
  ASSERT_EQ(second->Ask("setenv ZELQUAR_READER_SERIAL_2 ZQB0002"), "ok");
  ASSERT_EQ(Open(*first, kPortA), "0");
  ASSERT_EQ(Open(*second, kPortB), "0");
  CheckSideBySide(*first, *second);
}

TEST_F(TwoReaders, ABoundSerialThatIsNotPresentFailsTheOpenAndSaysWhich) {
  auto probe = install_.StartLoadedProbe();
  ASSERT_EQ(probe->Ask("setenv ZELQUAR_READER_SERIAL_3 ZQX9999"), "ok");
  EXPECT_EQ(Open(*probe, 0x0302), std::to_string(-2));
  EXPECT_FALSE(install_.LogLinesWith("ZQX9999").empty());
  // The failed open left nothing behind: the reader of COM 1 opens.
  EXPECT_EQ(Open(*probe, kPortA), "0");
  EXPECT_EQ(Inventory(*probe, kPortA), Epcs(*a_));
}

}  // namespace
}  // namespace zq::test
