// The installed zelquar program against a simulated reader, run as a
// child process: what it prints (tables and JSON), what it does to the
// tags, and what it exits with.
//
// Sections: inventory; tag memory; lock and kill; write-epc; reader and
// bridge commands; results and refusals; bad arguments; watch mode; --sim;
// the log.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <set>
#include <thread>

#include "tests/tools/tool_fixture.h"

namespace zq::test {
namespace {

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

class ToolTest : public ::testing::Test {
 protected:
  ToolInstall t_;
};

// ---- inventory ----------------------------------------------------------------------------

TEST_F(ToolTest, InventoryListsEveryTagAsATableAndAsJsonInDbmAndRaw) {
  const ToolRun table = t_.Run({"inventory"});
  ASSERT_EQ(table.exit, 0) << table;
  ASSERT_GE(table.out.size(), 5u) << table;
  EXPECT_TRUE(Contains(table.out[0], "PC") && Contains(table.out[0], "EPC") && Contains(table.out[0], "RSSI") &&
              Contains(table.out[0], "COUNT"))
      << table;
  for (const std::string& epc : {kToolTagA, kToolTagB, kToolTagC}) {
    bool row = false;
    for (const std::string& line : table.out) row = row || (line.rfind("3000  " + epc, 0) == 0);
    EXPECT_TRUE(row) << epc << "\n" << table;
  }
  EXPECT_EQ(table.out.back(), "3 tags") << table;

  // dBm: the driver's conversion of raw 1 (-94.319 dBm) and 65535 (about -27.19 dBm), to 1/256.
  const ToolRun json = t_.Run({"--json", "inventory"});
  ASSERT_EQ(json.exit, 0) << json;
  ASSERT_EQ(json.out.size(), 1u) << json;
  const nlohmann::json inv = json.Json()[0];
  EXPECT_EQ(inv["command"], "inventory");
  EXPECT_EQ(inv["ok"], true);
  EXPECT_EQ(inv["status_word"], "9000");
  EXPECT_EQ(inv["rssi_unit"], "dBm");
  ASSERT_EQ(inv["tags"].size(), 3u) << inv;
  std::map<std::string, double> dbm;
  for (const auto& tag : inv["tags"]) {
    EXPECT_EQ(tag["pc"], "3000");
    EXPECT_EQ(tag["count"], 1);
    dbm[tag["epc"]] = tag["rssi"];
  }
  EXPECT_NEAR(dbm[kToolTagA], -94.319, 0.01);
  EXPECT_NEAR(dbm[kToolTagB], -27.19, 0.02);

  const ToolRun raw = t_.Run({"inventory", "--rssi", "raw", "--json"});
  ASSERT_EQ(raw.exit, 0) << raw;
  const nlohmann::json rawInv = raw.Json()[0];
  EXPECT_EQ(rawInv["rssi_unit"], "raw");
  std::map<std::string, int> values;
  for (const auto& tag : rawInv["tags"]) values[tag["epc"]] = tag["rssi"];
  EXPECT_EQ(values, (std::map<std::string, int>{{kToolTagA, 1}, {kToolTagB, 65535}, {kToolTagC, 0}}));
}

// ---- tag memory ----------------------------------------------------------------------------

TEST_F(ToolTest, ReadsTidWritesUserMemoryWithVerifyAndReadsItBack) {
  const ToolRun tid = t_.Run({"read", "--epc", kToolTagA, "--bank", "tid", "--ptr", "0", "--words", "4"});
  ASSERT_EQ(tid.exit, 0) << tid;
  // The words, then the chip they name (an E2 TID: mask designer, model).
  EXPECT_EQ(tid.out.at(0), "tid[0..3]: E280 1160 2000 74CF") << tid;
  EXPECT_EQ(tid.out.at(1).rfind("chip: class E2 (GS1 EPCglobal), mask designer 001, model 160", 0), 0u) << tid;

  const ToolRun write = t_.Run({"write", "--epc", kToolTagA, "--bank", "user", "--ptr", "0", "--data", "CAFEBABE", "--verify"});
  ASSERT_EQ(write.exit, 0) << write;
  EXPECT_TRUE(Contains(write.Out(), "wrote 2 words to user[0]")) << write;
  EXPECT_TRUE(Contains(write.Out(), "verified: read back CAFEBABE")) << write;
  EXPECT_EQ(t_.SimTag(kToolTagA)["user"], "CAFEBABE00000000");

  const ToolRun back = t_.Run({"--json", "read", "--epc", kToolTagA, "--bank", "user", "--words", "4"});
  ASSERT_EQ(back.exit, 0) << back;
  const nlohmann::json j = back.Json().at(0);
  EXPECT_EQ(j["data"], "CAFEBABE00000000");
  EXPECT_EQ(j["bank"], "user");
  EXPECT_EQ(j["pc"], "3000");
  EXPECT_EQ(j["status_word"], "9000");

  // With the access password the tag is reached in the secured state; the JSON
  // of a verified write says so.
  const ToolRun secured = t_.Run({"--json", "write", "--epc", kToolTagB, "--bank", "user", "--ptr", "2", "--data", "0102",
                                  "--password", "11223344", "--verify"});
  ASSERT_EQ(secured.exit, 0) << secured;
  EXPECT_EQ(secured.Json().at(0)["verified"], true);
  EXPECT_EQ(t_.SimTag(kToolTagB)["user"], "1111222201024444");

  // Numbers are decimal (or hex with 0x) also with a leading 0: the whole
  // EPC bank of 8 words from word 00 (08 is no octal number).
  const ToolRun bank = t_.Run({"--port", "256", "read", "--epc", kToolTagA, "--bank", "epc", "--ptr", "00", "--words", "08"});
  ASSERT_EQ(bank.exit, 0) << bank;
  EXPECT_TRUE(Contains(bank.Out(), "epc[0..7]: ")) << bank;
  EXPECT_TRUE(Contains(bank.Out(), " 3000 3008 33B2 DDD9 0140 0000 0001\n")) << bank;

  // A new EPC written into the EPC bank with --verify: the read-back
  // addresses the tag by the EPC it now has.
  const std::string renamed = "300833B2DDD90140000000AA";
  const ToolRun epc = t_.Run({"write", "--epc", kToolTagA, "--bank", "epc", "--ptr", "2", "--data", renamed, "--verify"});
  ASSERT_EQ(epc.exit, 0) << epc;
  EXPECT_TRUE(Contains(epc.Out(), "verified: read back " + renamed)) << epc;
  EXPECT_FALSE(t_.SimTag(renamed).is_null());
  EXPECT_TRUE(t_.SimTag(kToolTagA).is_null());
}

// ---- lock and kill ----------------------------------------------------------------------------

TEST_F(ToolTest, LockByNameThenAWriteWithoutThePasswordIsRefusedByTheTag) {
  const ToolRun lock = t_.Run({"lock", "--epc", kToolTagB, "--password", "11223344", "--lock", "user=lock"});
  ASSERT_EQ(lock.exit, 0) << lock;
  EXPECT_EQ(lock.Out(), "user=lock applied to " + kToolTagB + " (payload 00C020)\n");
  EXPECT_EQ(t_.SimTag(kToolTagB)["locked"], nlohmann::json::array({"user"}));

  // The tag's own error reply, turned into its Gen2 name, and exit code 1.
  const ToolRun refused = t_.Run({"write", "--epc", kToolTagB, "--bank", "user", "--data", "FFFF"});
  EXPECT_EQ(refused.exit, 1) << refused;
  EXPECT_TRUE(Contains(refused.Out(), "status 64 04: the tag answered with an error: 04 memory locked")) << refused;
  EXPECT_EQ(t_.SimTag(kToolTagB)["user"], "1111222233334444");

  // The same lock by its payload, in JSON.
  const ToolRun byPayload = t_.Run({"--json", "lock", "--epc", kToolTagB, "--password", "11223344", "--payload", "00C020"});
  ASSERT_EQ(byPayload.exit, 0) << byPayload;
  EXPECT_EQ(byPayload.Json().at(0)["payload"], "00C020");

  // Unlocked again: what was done is said, not "locked".
  const ToolRun unlock = t_.Run({"lock", "--epc", kToolTagB, "--password", "11223344", "--lock", "user=unlock"});
  ASSERT_EQ(unlock.exit, 0) << unlock;
  EXPECT_EQ(unlock.Out(), "user=unlock applied to " + kToolTagB + " (payload 00C000)\n");
  EXPECT_EQ(t_.SimTag(kToolTagB)["locked"], nlohmann::json::array());
  const ToolRun plain = t_.Run({"lock", "--epc", kToolTagB, "--password", "11223344", "--payload", "00C000"});
  EXPECT_EQ(plain.Out(), "lock payload 00C000 applied to " + kToolTagB + "\n") << plain;
}

TEST_F(ToolTest, KillRemovesTheTagFromTheFieldAndAWrongPasswordIsReported) {
  const ToolRun wrong = t_.Run({"--json", "kill", "--epc", kToolTagC, "--password", "01010101"});
  EXPECT_EQ(wrong.exit, 1) << wrong;
  const nlohmann::json w = wrong.Json().at(0);
  EXPECT_EQ(w["ok"], false);
  EXPECT_NE(w["status_word"], "9000");
  EXPECT_FALSE(w["status"].get<std::string>().empty());
  EXPECT_EQ(t_.SimTag(kToolTagC)["state"].get<std::string>() == "killed", false);

  const ToolRun kill = t_.Run({"kill", "--epc", kToolTagC, "--password", "0A0B0C0D"});
  ASSERT_EQ(kill.exit, 0) << kill;
  EXPECT_EQ(kill.Out(), "killed " + kToolTagC + "\n");
  EXPECT_EQ(t_.SimTag(kToolTagC)["state"], "killed");
  const ToolRun inv = t_.Run({"--json", "inventory"});
  ASSERT_EQ(inv.exit, 0) << inv;
  EXPECT_EQ(inv.Json().at(0)["tags"].size(), 2u) << inv;
}

// ---- write-epc ----------------------------------------------------------------------------------

TEST_F(ToolTest, WriteEpcGivesTheTagANewEpcOfAnotherLengthAndVerifiesIt) {
  const std::string fresh = "AABBCCDDEEFF0011";  // four words: PC 2000
  const ToolRun run = t_.Run({"write-epc", "--epc", kToolTagA, "--new", fresh});
  ASSERT_EQ(run.exit, 0) << run;
  ASSERT_EQ(run.out.size(), 3u) << run;
  EXPECT_EQ(run.out[0], "1. find: found " + kToolTagA + " (PC 3000)");
  EXPECT_EQ(run.out[1], "2. write: wrote PC 2000 and EPC " + fresh + " (5 words from EPC bank word 1)");
  EXPECT_EQ(run.out[2], "3. verify: inventory shows " + fresh + " (PC 2000)");
  const nlohmann::json tag = t_.SimTag(fresh);
  ASSERT_TRUE(tag.is_object()) << t_.State()["tags"];
  EXPECT_EQ(tag["pc"], "2000");
  EXPECT_TRUE(t_.SimTag(kToolTagA).is_null());

  const ToolRun inv = t_.Run({"--json", "inventory"});
  ASSERT_EQ(inv.exit, 0) << inv;
  bool listed = false;
  const nlohmann::json listing = inv.Json().at(0);
  for (const auto& t : listing["tags"]) listed = listed || (t["epc"] == fresh && t["pc"] == "2000");
  EXPECT_TRUE(listed) << inv;

  // Back, in JSON, with every step reported.
  const ToolRun again = t_.Run({"--json", "write-epc", "--epc", fresh, "--new", kToolTagA});
  ASSERT_EQ(again.exit, 0) << again;
  const nlohmann::json j = again.Json().at(0);
  ASSERT_EQ(j["steps"].size(), 3u);
  for (const auto& step : j["steps"]) EXPECT_EQ(step["ok"], true) << step;
  EXPECT_EQ(t_.SimTag(kToolTagA)["pc"], "3000");

  // A tag that is not there: the first step says so, nothing is written.
  const uint64_t before = t_.Received();
  const ToolRun missing = t_.Run({"write-epc", "--epc", "0123456789ABCDEF01234567", "--new", fresh});
  EXPECT_EQ(missing.exit, 1) << missing;
  EXPECT_EQ(missing.Out(), "1. find: no tag with EPC 0123456789ABCDEF01234567 in the field\n");
  const nlohmann::json state = t_.State();
  for (const auto& c : state["commands"]) EXPECT_NE(c.get<std::string>().rfind("0811", 0), 0u) << c;
  EXPECT_GT(t_.Received(), before);
}

// ---- reader and bridge commands --------------------------------------------------------------

TEST_F(ToolTest, InfoVersionPowerGpioSerialAndRaw) {
  const ToolRun info = t_.Run({"--json", "info"});
  ASSERT_EQ(info.exit, 0) << info;
  const nlohmann::json i = info.Json().at(0);
  EXPECT_EQ(i["driver_version"], "1.1.0.6");
  EXPECT_EQ(i["reader_type"], "21");
  EXPECT_EQ(i["firmware_version"], t_.State()["firmware_version"]);
  ASSERT_EQ(i["information_block"]["valid"], true) << i;
  EXPECT_EQ(i["information_block"]["entries"].size(), 22u);
  EXPECT_EQ(i["information_block"]["entries"][7]["value"], "24D4");
  EXPECT_EQ(i["information_block"]["head"], "010E0102010001000001");
  const ToolRun human = t_.Run({"info"});
  ASSERT_EQ(human.exit, 0) << human;
  EXPECT_TRUE(Contains(human.Out(), "driver version   1.1.0.6\nreader type      21\n")) << human;
  EXPECT_TRUE(Contains(human.Out(), "  entry 08 = 24D4\n")) << human;

  const ToolRun version = t_.Run({"version"});
  ASSERT_EQ(version.exit, 0) << version;
  EXPECT_EQ(version.Out(), "zelquar 1.1.0.6\ndriver  1.1.0.6\n");

  ASSERT_EQ(t_.Run({"power", "off"}).exit, 0);
  EXPECT_EQ(t_.State()["settings"]["carrier"], false);
  const ToolRun on = t_.Run({"--json", "power", "on"});
  ASSERT_EQ(on.exit, 0) << on;
  EXPECT_EQ(on.Json().at(0)["status_word"], "9000");
  EXPECT_EQ(t_.State()["settings"]["carrier"], true);

  // GPIO: each open sets the lines' initial state (2 and 7 on) and powers the reader
  // (line 9); a write shows in the bridge's latch (line 3 is latch bit 0x0008).
  const ToolRun lines = t_.Run({"--json", "gpio", "read"});
  ASSERT_EQ(lines.exit, 0) << lines;
  EXPECT_EQ(lines.Json().at(0)["lines"], "0284");
  EXPECT_EQ(t_.Run({"gpio", "read"}).Out(), "GPIO 15..0 = 0000001010000100 (0284)\n");
  EXPECT_EQ(t_.Run({"gpio", "read", "9"}).Out(), "GPIO 9 = 1\n");
  EXPECT_EQ(t_.Run({"gpio", "read", "3"}).Out(), "GPIO 3 = 0\n");
  ASSERT_EQ(t_.Sim("reset"), "OK");
  const ToolRun write = t_.Run({"gpio", "write", "3", "1"});
  ASSERT_EQ(write.exit, 0) << write;
  EXPECT_EQ(write.Out(), "GPIO 3 = 1\n");
  bool set = false;
  const nlohmann::json history = t_.State()["gpio_history"];
  for (const auto& latch : history) set = set || (std::stoul(latch.get<std::string>(), nullptr, 16) & 0x0008) != 0;
  EXPECT_TRUE(set) << history;

  ASSERT_EQ(t_.Run({"serial", "set", "ZQ-TOOL-42"}).exit, 0);
  EXPECT_EQ(t_.Run({"serial", "get"}).Out(), "ZQ-TOOL-42\n");
  EXPECT_EQ(t_.Run({"--json", "serial", "get"}).Json().at(0)["serial"], "ZQ-TOOL-42");

  // raw: the firmware version query; its response and its status word.
  const ToolRun raw = t_.Run({"raw", "00051600"});
  ASSERT_EQ(raw.exit, 0) << raw;
  EXPECT_EQ(raw.Out(), "response " + t_.State()["firmware_version"].get<std::string>() + "9000\nstatus 90 00: command executed\n");
}

// ---- results and refusals ------------------------------------------------------------------------

TEST_F(ToolTest, ReaderAndTagRefusalsBecomeMessagesAndExitCodeOne) {
  struct Case {
    std::vector<std::string> args;
    std::string status;  // in the JSON
    std::string text;    // in the human output
  };
  const std::vector<Case> cases = {
      // Beyond the end of the TID bank: the tag's error reply "memory overrun".
      {{"read", "--epc", kToolTagA, "--bank", "tid", "--words", "20"}, "6404", "03 memory overrun"},
      // No such tag in the field.
      {{"read", "--epc", "0123456789ABCDEF01234567", "--bank", "tid", "--words", "1"}, "", "refused: status 64 0"},
      // raw: a command the reader does not know.
      {{"raw", "C0990000"}, "6401", "status 64 01: the reader refused the command"},
  };
  for (const Case& c : cases) {
    const ToolRun human = t_.Run(c.args);
    EXPECT_EQ(human.exit, 1) << human;
    EXPECT_TRUE(Contains(human.Out(), c.text)) << c.text << "\n" << human;
    std::vector<std::string> args = c.args;
    args.insert(args.begin(), "--json");
    const ToolRun json = t_.Run(args);
    EXPECT_EQ(json.exit, 1) << json;
    ASSERT_EQ(json.out.size(), 1u) << json;
    const nlohmann::json j = json.Json()[0];
    EXPECT_EQ(j["ok"], false) << j;
    if (!c.status.empty()) {
      EXPECT_EQ(j["status_word"], c.status) << j;
    }
    EXPECT_FALSE(j["status"].get<std::string>().empty()) << j;
  }
}

TEST(ToolResults, DriverFailuresBecomeMessagesAndExitCodes) {
  // The port is open in another process that still runs.
  {
    ToolInstall t;
    auto probe = t.install().StartLoadedProbe();
    ASSERT_EQ(probe->Ask("open 0x0100"), "0");
    const ToolRun busy = t.Run({"inventory"});
    EXPECT_EQ(busy.exit, 3) << busy;
    EXPECT_TRUE(Contains(busy.err, "RFRW_Open failed: RFRW_ERROR_OPEN_ELSEWHERE (-1002): the port is open in another process"))
        << busy;
    const ToolRun json = t.Run({"--json", "inventory"});
    EXPECT_EQ(json.exit, 3) << json;
    EXPECT_EQ(json.Json().at(0)["driver"]["result"], -1002);
    EXPECT_EQ(json.Json().at(0)["driver"]["name"], "RFRW_ERROR_OPEN_ELSEWHERE");
  }
  // A routing error of the driver on an open port.
  {
    ToolInstall t;
    const ToolRun routed = t.Run({"raw", "40000000"});
    EXPECT_EQ(routed.exit, 3) << routed;
    EXPECT_TRUE(Contains(routed.err, "RFRW_ERROR_PARAMETER (-3)")) << routed;
  }
  // A reader that stops answering (and no recovery allowed): at the open
  // that is a unit nobody answers as.
  {
    ToolInstall t(kToolIniCommon + "AdminCheckCut=1\nLogFileFlg=0\nRwPowerOffOnRetryCount=0\n");
    ASSERT_EQ(t.Sim("fault drop-reply 1000"), "OK");
    const ToolRun silent = t.Run({"inventory"});
    EXPECT_EQ(silent.exit, 5) << silent;
    EXPECT_TRUE(Contains(silent.err, "RFRW_ERROR_EXCHANGE (-4): the reader did not answer")) << silent;
    EXPECT_TRUE(Contains(silent.err, "no reader module answered as unit 0 on COM 1 (port 0x0100)")) << silent;
    ASSERT_EQ(t.Sim("reset"), "OK");
    ASSERT_EQ(t.Sim("tags load " + t.install().path() + "/tags.json"), "OK");
    const ToolRun back = t.Run({"inventory"});
    EXPECT_EQ(back.exit, 0) << back;
    EXPECT_EQ(back.out.back(), "3 tags") << back;
  }
  // No INI file beside the driver.
  {
    ToolInstall t(std::nullopt);
    const ToolRun missing = t.Run({"inventory"});
    EXPECT_EQ(missing.exit, 3) << missing;
    EXPECT_TRUE(Contains(missing.err, "RFRW_ERROR_FILE_MISSING (-5)")) << missing;
  }
  // No driver library where it is looked for.
  {
    ToolInstall t;
    const ToolRun none = t.Run({"inventory"}, {{"ZELQUAR_LIBRARY", t.install().path() + "/nothing.so"}});
    EXPECT_EQ(none.exit, 4) << none;
    EXPECT_TRUE(Contains(none.err, "could not be loaded from " + t.install().path() + "/nothing.so")) << none;
    EXPECT_TRUE(Contains(none.err, "ZELQUAR_LIBRARY")) << none;
  }
}

TEST(ToolResults, ACallPastTheTimeoutEndsTheRunAndTheNextRunOpensThePort) {
  ToolInstall t;
  const ToolRun late = t.Run({"--timeout", "30", "inventory"});
  EXPECT_EQ(late.exit, 7) << late;
  EXPECT_TRUE(Contains(late.err, "RFRW_Open did not return within 30 ms (--timeout)")) << late;
  const ToolRun json = t.Run({"--json", "--timeout", "30", "inventory"});
  EXPECT_EQ(json.exit, 7) << json;
  EXPECT_EQ(json.Json().at(0)["error"], "timeout");
  // The port entry the ended run left is taken over.
  const ToolRun next = t.Run({"--timeout", "20000", "inventory"});
  EXPECT_EQ(next.exit, 0) << next;
  EXPECT_EQ(next.out.back(), "3 tags") << next;
}

TEST(ToolResults, WithoutAdministratorRightsTheToolSaysWhatToDo) {
  if (getuid() != 0 || access("/usr/bin/setpriv", X_OK) != 0) GTEST_SKIP() << "needs root and setpriv to drop to another user";
  ToolInstall t(kToolIniCommon + "AdminCheckCut=0\nLogFileFlg=0\n");
  const std::vector<std::string> nobody{"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
  const ToolRun run = t.Run({"inventory"}, {}, nobody);
  EXPECT_EQ(run.exit, 3) << run;
  EXPECT_TRUE(Contains(run.err, "RFRW_ERROR_NOT_ADMIN (-10): opening the port needs administrator rights")) << run;
  EXPECT_TRUE(Contains(run.err, "AdminCheckCut=1")) << run;
  // As root the same installation opens the port.
  EXPECT_EQ(t.Run({"inventory"}).exit, 0);
}

TEST(ToolResults, WithoutAReaderTheToolSaysHowToGetOne) {
  ToolInstall t(kToolIni, /*withReader=*/false);
  const ToolRun run = t.Run({"inventory"});
  EXPECT_EQ(run.exit, 5) << run;
  // Known before the open: the driver was not asked to open anything (its
  // own search would retry for seconds first).
  EXPECT_TRUE(t.install().LogLinesWith("RFRW_Open Call").empty());
  EXPECT_TRUE(Contains(run.err, "(looked for a bridge vid_FFF1&pid_7C02 before opening unit 0 on COM 1 (port 0x0100))")) << run;
  EXPECT_TRUE(Contains(run.err, "no reader found")) << run;
  EXPECT_TRUE(Contains(run.err, "udev rule")) << run;
  EXPECT_TRUE(Contains(run.err, "--sim")) << run;
  EXPECT_TRUE(Contains(run.err, "zelquar-sim --daemon")) << run;
  const ToolRun json = t.Run({"--json", "inventory"});
  EXPECT_EQ(json.exit, 5) << json;
  EXPECT_EQ(json.Json().at(0)["error"], "no reader");
  EXPECT_EQ(json.Json().at(0)["exit_code"], 5);
}

// Sends `signal` to a running tool: it ends with 130 within `withinMs`.
void ExpectEndsWith130(ChildProcess& run, int signal, int withinMs) {
  const auto sent = std::chrono::steady_clock::now();
  run.Kill(signal);
  const std::optional<int> code = run.WaitFor(5000);
  const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - sent);
  ASSERT_TRUE(code.has_value()) << "the tool did not end";
  EXPECT_EQ(*code, 130);
  EXPECT_LT(took.count(), withinMs);
}

// A unit no reader module answers: the open takes long (every attempt and
// recovery of the driver); Ctrl-C and SIGTERM end the tool at once, the
// port entry it leaves is taken over, and an open that gets no answer is
// bounded with a message that names the unit.
TEST(ToolResults, AnOpenThatGetsNoAnswerIsInterruptibleAndBounded) {
  ToolInstall t;
  const auto openedUnit1 = [&] { return !t.install().LogLinesWith("★★★RFRW_Open Call  Port = 0x101").empty(); };
  for (int signal : {SIGINT, SIGTERM}) {
    SCOPED_TRACE(signal);
    const size_t before = t.install().LogLinesWith("★★★RFRW_Open Call  Port = 0x101").size();
    auto run = t.Start({"--port", "0x0101", "inventory"});
    for (int i = 0; i < 2000 && t.install().LogLinesWith("★★★RFRW_Open Call  Port = 0x101").size() == before; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ASSERT_TRUE(openedUnit1());
    std::this_thread::sleep_for(std::chrono::milliseconds(200));  // well inside the driver's open
    ExpectEndsWith130(*run, signal, 2000);
  }
  // The entry the ended runs left is taken over; the open then runs into
  // its bound and names the unit.
  const ToolRun bounded = t.Run({"--port", "0x0101", "--open-timeout", "1500", "inventory"});
  EXPECT_EQ(bounded.exit, 5) << bounded;
  EXPECT_TRUE(Contains(bounded.err, "no answer from unit 1 on COM 1 (port 0x0101) within 1500 ms")) << bounded;
  const ToolRun json = t.Run({"--json", "--port", "0x0101", "--open-timeout", "1500", "inventory"});
  EXPECT_EQ(json.exit, 5) << json;
  EXPECT_EQ(json.Json().at(0)["error"], "no answer");
  // Unit 0, which a module answers, is not disturbed.
  const ToolRun unit0 = t.Run({"inventory"});
  EXPECT_EQ(unit0.exit, 0) << unit0;
}

// Another process holds the shared area's gate and never lets go: the
// tool, waiting in its attach (up to the five-minute default bound), still
// ends at once on Ctrl-C and SIGTERM with 130, and runs again once the
// holder is gone.
TEST(ToolResults, AProcessHoldingTheGateDoesNotKeepTheToolFromEnding) {
  ToolInstall t;
  auto holder = t.install().StartProbe();
  ASSERT_EQ(holder->Ask("hold-gate"), "ok");
  for (int signal : {SIGINT, SIGTERM}) {
    SCOPED_TRACE(signal);
    const uint64_t before = t.Received();
    auto run = t.Start({"inventory"});
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));  // long enough for a free open's first bytes
    ASSERT_FALSE(run->WaitFor(0).has_value()) << "the tool did not wait for the gate";
    EXPECT_EQ(t.Received(), before) << "the tool reached the reader past a held gate";
    ExpectEndsWith130(*run, signal, 1000);
  }
  holder->Kill(SIGKILL);
  holder->Wait();
  const ToolRun after = t.Run({"inventory"});
  EXPECT_EQ(after.exit, 0) << after;
}

// ---- bad arguments --------------------------------------------------------------------------------

TEST_F(ToolTest, BadArgumentsAreRefusedWithAUsageLineBeforeAnythingIsSent) {
  const std::vector<std::vector<std::string>> bad = {
      {},
      {"frobnicate"},
      {"--port", "0x2100", "inventory"},
      {"--port", "0x0120", "inventory"},
      {"--port", "banana", "inventory"},
      {"inventory", "--rssi", "loud"},
      {"inventory", "--interval", "100"},
      {"read", "--bank", "tid", "--words", "4"},
      {"read", "--epc", "3008ZZ", "--bank", "tid", "--words", "4"},
      {"read", "--epc", "300833", "--bank", "tid", "--words", "4"},
      {"read", "--epc", kToolTagA, "--bank", "flash", "--words", "4"},
      {"read", "--epc", kToolTagA, "--bank", "tid", "--words", "0"},
      {"read", "--epc", kToolTagA, "--bank", "tid", "--words", "256"},
      {"read", "--epc", kToolTagA, "--bank", "tid", "--words", "4", "--password", "1122"},
      {"write", "--epc", kToolTagA, "--bank", "user", "--data", "CAF"},
      {"write", "--epc", kToolTagA, "--bank", "user", "--data", "CAFEBA"},
      {"write", "--epc", kToolTagA, "--bank", "user"},
      {"lock", "--epc", kToolTagB, "--password", "11223344"},
      {"lock", "--epc", kToolTagB, "--password", "11223344", "--lock", "user=sealed"},
      {"lock", "--epc", kToolTagB, "--password", "11223344", "--lock", "flash=lock"},
      {"lock", "--epc", kToolTagB, "--password", "11223344", "--payload", "0102"},
      {"lock", "--epc", kToolTagB, "--password", "11223344", "--payload", "00C020", "--lock", "user=lock"},
      {"kill", "--epc", kToolTagC},
      {"kill", "--epc", kToolTagC, "--password", "00000000"},
      {"--port", "0100", "inventory"},
      {"write-epc", "--epc", kToolTagA},
      {"write-epc", "--epc", kToolTagA, "--new", "ABC"},
      {"power", "half"},
      {"gpio", "write", "10", "1"},
      {"gpio", "write", "3", "2"},
      {"gpio", "toggle"},
      {"serial", "set", "a-serial-string-much-longer-than-thirty"},
      {"raw", "0005"},
      {"raw", "00 05 16 0"},
      {"info", "now"},
      {"--timeout", "0", "info"},
      {"inventory", "--epc", kToolTagA},
  };
  const uint64_t before = t_.Received();
  for (const auto& args : bad) {
    const ToolRun run = t_.Run(args);
    std::string line;
    for (const auto& a : args) line += a + " ";
    EXPECT_EQ(run.exit, 2) << line << "\n" << run;
    EXPECT_TRUE(run.out.empty()) << line << "\n" << run;
    EXPECT_TRUE(Contains(run.err, "\nusage: zelquar ")) << line << "\n" << run;
  }
  EXPECT_EQ(t_.Received(), before) << "a refused command line reached the reader";

  // --help of every command: its usage line and exit code 0.
  for (const char* command : {"inventory", "read", "write", "lock", "kill", "write-epc", "power", "info", "version", "gpio",
                              "serial", "raw", "log"}) {
    const ToolRun help = t_.Run({command, "--help"});
    EXPECT_EQ(help.exit, 0) << command;
    ASSERT_FALSE(help.out.empty()) << command;
    EXPECT_EQ(help.out[0].rfind(std::string("usage: zelquar [GLOBAL] ") + command, 0), 0u) << help;
  }
  const ToolRun overview = t_.Run({"--help"});
  EXPECT_EQ(overview.exit, 0);
  EXPECT_TRUE(Contains(overview.Out(), "Exit codes:")) << overview;
  EXPECT_EQ(t_.Received(), before);
}

// ---- watch mode ---------------------------------------------------------------------------------------

TEST_F(ToolTest, WatchSeesATagAddedAndRemovedAndEndsOnSigintWithASummary) {
  auto watch = t_.Start({"--json", "inventory", "--watch", "--interval", "30", "--gone", "300"});
  auto next = [&]() {
    auto line = watch->ReadLine(15000);
    EXPECT_TRUE(line.has_value()) << "the watch printed nothing more";
    nlohmann::json j = nlohmann::json::parse(line.value_or("{}"), nullptr, false);
    EXPECT_FALSE(j.is_discarded()) << *line;
    return j;
  };
  std::set<std::string> appeared;
  for (int i = 0; i < 3; ++i) {
    const nlohmann::json e = next();
    EXPECT_EQ(e["event"], "appeared") << e;
    appeared.insert(e["epc"].get<std::string>());
  }
  EXPECT_EQ(appeared, (std::set<std::string>{kToolTagA, kToolTagB, kToolTagC}));

  const std::string added = "E20000000000000000000D0D";
  ASSERT_EQ(t_.Sim(R"(tag add {"epc": ")" + added + R"(", "rssi": 4000})"), "OK");
  nlohmann::json e = next();
  EXPECT_EQ(e["event"], "appeared");
  EXPECT_EQ(e["epc"], added);

  ASSERT_EQ(t_.Sim("tag remove " + kToolTagB), "OK");
  e = next();
  EXPECT_EQ(e["event"], "gone");
  EXPECT_EQ(e["epc"], kToolTagB);
  EXPECT_GE(e["at_ms"].get<uint64_t>(), 300u);

  watch->Kill(SIGINT);
  e = next();
  EXPECT_EQ(e["event"], "summary") << e;
  EXPECT_GE(e["inventories"].get<uint64_t>(), 3u);
  ASSERT_EQ(e["tags"].size(), 4u) << e;
  for (const auto& tag : e["tags"]) EXPECT_EQ(tag["present"], tag["epc"] != kToolTagB) << tag;
  EXPECT_FALSE(watch->ReadLine(5000).has_value());
  EXPECT_EQ(watch->Wait(), 0);

  // The port was closed: another run opens it at once.
  EXPECT_EQ(t_.Run({"version"}).exit, 0);
  EXPECT_EQ(t_.Run({"inventory"}).exit, 0);
}

TEST_F(ToolTest, WatchInHumanFormEndsOnSigtermWithASummary) {
  auto watch = t_.Start({"inventory", "--watch", "--interval", "20"});
  auto line = watch->ReadLine(15000);
  ASSERT_TRUE(line);
  EXPECT_EQ(*line, "watching (every 20 ms; Ctrl-C ends)");
  for (int i = 0; i < 3; ++i) {
    line = watch->ReadLine(15000);
    ASSERT_TRUE(line);
    EXPECT_TRUE(Contains(*line, "+ appeared ") && Contains(*line, "  PC 3000  RSSI ")) << *line;
  }
  watch->Kill(SIGTERM);
  line = watch->ReadLine(15000);
  ASSERT_TRUE(line);
  EXPECT_TRUE(Contains(*line, "summary: ") && Contains(*line, " 3 tags seen")) << *line;
  EXPECT_EQ(watch->Wait(), 0);
}

// ---- --sim --------------------------------------------------------------------------------------------

TEST(ToolSim, SimStartsAPrivateSimulatorWithAScenarioAndStopsIt) {
  ToolInstall t(kToolIni, /*withReader=*/false);
  // A scenario whose reader runs other firmware: the open brings it to the file's.
  t.install().WriteFile("scenario.json", R"({"firmware_version": "0042", "tags": [
      {"epc": "111122223333444455556666"}, {"epc": "ABCD"}]})");
  const ToolRun run = t.Run({"--sim=" + t.install().path() + "/scenario.json", "--json", "inventory"});
  ASSERT_EQ(run.exit, 0) << run;
  std::set<std::string> epcs;
  const nlohmann::json listing = run.Json().at(0);
  for (const auto& tag : listing["tags"]) epcs.insert(tag["epc"].get<std::string>());
  EXPECT_EQ(epcs, (std::set<std::string>{"111122223333444455556666", "ABCD"}));
  // The simulator's private directory has gone with it.
  EXPECT_TRUE(std::filesystem::is_empty(t.tmp()));

  // Without a scenario: the simulator's own three tags.
  const ToolRun plain = t.Run({"--sim", "--json", "inventory"});
  ASSERT_EQ(plain.exit, 0) << plain;
  EXPECT_EQ(plain.Json().at(0)["tags"].size(), 3u);
  EXPECT_TRUE(std::filesystem::is_empty(t.tmp()));

  // Another unit: the port's low byte addresses it.
  t.install().WriteFile("unit2.json", R"({"unit": 2, "tags": [{"epc": "0102030405060708"}]})");
  const ToolRun unit = t.Run({"--sim=" + t.install().path() + "/unit2.json", "--port", "0x0102", "inventory"});
  ASSERT_EQ(unit.exit, 0) << unit;
  EXPECT_EQ(unit.Out(),
            "PC    EPC               RSSI(dBm)  COUNT  IDENTITY\n2000  0102030405060708  -128.00    1      -\n1 tag\n");

  // A scenario that is not there: the simulator does not start.
  const ToolRun bad = t.Run({"--sim=" + t.install().path() + "/none.json", "inventory"});
  EXPECT_EQ(bad.exit, 6) << bad;
  EXPECT_TRUE(std::filesystem::is_empty(t.tmp()));
}

TEST(ToolSim, SigintDuringASimRunStopsTheSimulator) {
  ToolInstall t(kToolIni, /*withReader=*/false);
  auto watch = t.Start({"--sim", "inventory", "--watch", "--interval", "20"});
  ASSERT_TRUE(watch->ReadLine(15000));  // "watching ..."
  ASSERT_TRUE(watch->ReadLine(15000));  // the first tag
  EXPECT_FALSE(std::filesystem::is_empty(t.tmp()));
  watch->Kill(SIGINT);
  EXPECT_EQ(watch->Wait(), 0);
  EXPECT_TRUE(std::filesystem::is_empty(t.tmp()));
}

// ---- the log ----------------------------------------------------------------------------------------------

TEST(ToolLog, LogShowsTheDriversRecordsTheLastOnesAndFollowsUntilSigint) {
  ToolInstall t_(kToolLogIni);
  ASSERT_EQ(t_.Run({"inventory"}).exit, 0);
  const std::string file = t_.install().logPath();
  // The collector writes the records out once the tool's process has gone.
  std::vector<std::string> all;
  for (int i = 0; i < 100 && all.size() < 10; ++i) {
    all = t_.install().DecodedLog();
    if (all.size() < 10) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  ASSERT_GE(all.size(), 10u);
  const ToolRun log = t_.Run({"log", file});
  ASSERT_EQ(log.exit, 0) << log;
  ASSERT_GE(log.out.size(), all.size());
  for (size_t i = 0; i < all.size(); ++i) EXPECT_EQ(log.out[i], all[i]);
  bool entry = false;
  for (const std::string& l : log.out) entry = entry || Contains(l, "RFRW_Open Call");
  EXPECT_TRUE(entry) << log;

  // The default file is the one beside the driver; --last N the last N records.
  const ToolRun last = t_.Run({"--json", "log", "--last", "3"});
  ASSERT_EQ(last.exit, 0) << last;
  ASSERT_EQ(last.out.size(), 3u) << last;
  const std::vector<nlohmann::json> records = last.Json();
  for (const auto& j : records) EXPECT_TRUE(j["record"].is_string());

  const ToolRun none = t_.Run({"log", t_.install().path() + "/no-such.LOG"});
  EXPECT_EQ(none.exit, 1) << none;
  EXPECT_TRUE(Contains(none.err, "cannot open the log file")) << none;

  // --follow prints what is there, then what comes, until Ctrl-C.
  auto follow = t_.Start({"log", "--follow", file});
  for (size_t i = 0; i < all.size(); ++i) ASSERT_EQ(follow->ReadLine(10000).value_or("(none)"), all[i]);
  ASSERT_EQ(t_.Run({"version"}).exit, 0);  // loading the driver logs its start
  bool more = false;
  for (int i = 0; i < 10 && !more; ++i) {
    auto line = follow->ReadLine(1000);
    more = line && Contains(*line, "Version=1.1.0.6");
  }
  EXPECT_TRUE(more) << "no new record followed";
  follow->Kill(SIGINT);
  EXPECT_EQ(follow->Wait(), 0);
}

}  // namespace
}  // namespace zq::test
