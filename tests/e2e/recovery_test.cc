// The reader brought back by the driver itself, against the simulated
// reader: a power-off/on word, a reply lost for good or a bridge that went
// away makes RFRW_CLRW_Transmit and RFRW_PowerCtrl power-cycle the reader,
// put it back into its operating mode, replay its settings and send the
// command again, at most "RwPowerOffOnRetryCount" times per call; an open
// whose operating mode is refused recovers the device the same way.
#include <chrono>
#include <sstream>
#include <thread>

#include "tests/e2e/reader_fixture.h"

namespace zq::test {
namespace {

const std::string kFarmModeHex = "00010007001D000100001C";
const std::string kLogFetchHex = "002B0000";
// The remembered power level 20 as the reader gets it.
const std::string kLevel20Hex = "00220A00";
// The remembered send/receive settings (speed word, P1, channels).
const std::vector<std::string> kSpeedHex = {"0001000D0000000F00000026202500002C", "0001000D0000000F000000010000F8FF09",
                                            "00210000000600030007FFFF"};

// What a power cycle leaves in the simulator's report.
struct PowerView {
  int boots = 0;
  int switchedOn = 0;
  std::string latch;
};

PowerView PowerOf(const nlohmann::json& s) { return {s["counters"]["boots"], s["line9"]["on"], s["gpio_latch"]}; }

// What the reader gets when `command` (sent `sends` times, the last time
// refused) is recovered and sent again.
std::vector<std::string> RecoveryOf(const std::string& command, const std::string& level, int sends) {
  std::vector<std::string> out(static_cast<size_t>(sends), command);
  out.push_back(kLogFetchHex);
  out.push_back(kFarmModeHex);
  if (!level.empty()) out.push_back(level);
  out.insert(out.end(), kSpeedHex.begin(), kSpeedHex.end());
  out.push_back(command);
  return out;
}

class RecoveryTest : public ReaderTest {
 protected:
  explicit RecoveryTest(const std::string& ini = kFastReaderIni) : ReaderTest(ini) {}

  // Waits until the log mirror holds `n` lines with `fragment`.
  bool WaitForLines(const std::string& fragment, size_t n) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (Lines(fragment) < n) {
      if (std::chrono::steady_clock::now() > end) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
  }
  Answer ReadAnswer() {
    std::istringstream in(probe_->ReadLine().value_or(""));
    Answer a;
    std::string data;
    in >> a.result >> a.length >> data;
    a.data = data == "-" ? "" : Upper(data);
    return a;
  }
};

using Recovery = RecoveryTest;

TEST_F(Recovery, PowerOffOnWordsRecoverReplayTheSettingsAndSendTheCommandAgain) {
  const PowerView start = PowerOf(State());
  // The power-level command 00 18 10 00 as the reader gets it: its first send.
  uint64_t mark = Received();
  ASSERT_EQ(Send("00181000"), (Answer{0, 2, "9000"}));
  const std::vector<std::string> sent = CommandsSince(mark);
  ASSERT_EQ(sent.size(), 1u);
  const std::string level16 = sent[0];
  ASSERT_EQ(Send("00181400"), (Answer{0, 2, "9000"}));

  struct Case {
    const char* sw;
    const char* command;
    bool recovers;
    std::string levelReplayed;  // "" none
  };
  const Case cases[] = {
      {"6405", "03FF0000", true, kLevel20Hex},
      {"640E", "03FF0000", true, kLevel20Hex},
      {"6404", "03FF0000", false, ""},
      {"640F", "03FF0000", false, ""},
      // The retried command sets the level itself: the old one is not replayed first.
      {"6405", "00181000", true, ""},
      // Another command's recovery replays the level the application set last.
      {"6405", "03FF0000", true, level16},
  };
  int recoveries = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.sw) + " on " + c.command);
    const PowerView before = PowerOf(State());
    mark = Received();
    ASSERT_EQ(Sim(std::string("fault status ") + c.sw + " 1"), "OK");
    const std::string command = c.command == std::string("00181000") ? level16 : c.command;
    EXPECT_EQ(Send(c.command), (Answer{0, 2, c.recovers ? "9000" : c.sw}));
    const nlohmann::json s = State();
    const PowerView after = PowerOf(s);
    if (c.recovers) {
      ++recoveries;
      // The power-level handler tries once more by itself when refused.
      const int sends = command == level16 ? 2 : 1;
      EXPECT_EQ(CommandsSince(mark), RecoveryOf(command, c.levelReplayed, sends));
      // The reader was switched off (the bridge restart cut its supply) and on again.
      EXPECT_EQ(after.boots, before.boots + 1);
      EXPECT_EQ(after.switchedOn, before.switchedOn + 1);
      bool wasOff = false;
      for (const auto& latch : s["gpio_history"]) wasOff |= (std::stoul(latch.get<std::string>(), nullptr, 16) & 0x2000) == 0;
      EXPECT_TRUE(wasOff);
    } else {
      EXPECT_EQ(CommandsSince(mark), std::vector<std::string>{command});
      EXPECT_EQ(after.boots, before.boots);
    }
    // Lines 7 and 8 are switched back as they were.
    EXPECT_EQ(after.latch, start.latch);
  }
  EXPECT_EQ(Lines("RfPowerOffOnRetry Start"), static_cast<size_t>(recoveries));
  EXPECT_EQ(Lines("RW POWER OFF"), static_cast<size_t>(recoveries));
  EXPECT_EQ(Lines("RW FarmModeCMD Send"), static_cast<size_t>(recoveries));
  EXPECT_EQ(Lines("RW PowerLevelSetCMD Send"), static_cast<size_t>(recoveries - 1));
  EXPECT_EQ(Lines("Internal_PowerLevelSetCMD End, RcvLen=2,*StatusWord=0x9000"), static_cast<size_t>(recoveries - 1));
  EXPECT_EQ(Lines("RW SndRcvSpeedCmd Send"), static_cast<size_t>(recoveries));
  EXPECT_EQ(Lines("Internal_SndRcvSpeedCMD End, RcvLen=2,*StatusWord=0x9000"), static_cast<size_t>(recoveries));
  EXPECT_EQ(Lines("RfPowerOffOnRetry End,StatusWord=0x9000"), static_cast<size_t>(recoveries));
  EXPECT_EQ(Lines("g_RwPowerOffOnRetryTotalCount=1"), static_cast<size_t>(recoveries));
  EXPECT_EQ(Lines("g_RwPowerOffOnRetryTotalCount=2"), 0u);
}

TEST_F(Recovery, AReplyLostForGoodAndAnUnpluggedBridgeRecover) {
  // Beyond the link's repeat and resend: the exchange fails and the
  // recovery brings the reader back once the replies come again.
  const PowerView before = PowerOf(State());
  ASSERT_EQ(Sim("fault drop-reply 1000"), "OK");
  probe_->Send("send 0x0100 03FF0000 256");
  ASSERT_TRUE(WaitForLines("RfPowerOffOnRetry Start", 1));
  ASSERT_EQ(Sim("fault drop-reply 0"), "OK");
  EXPECT_EQ(ReadAnswer(), (Answer{0, 2, "9000"}));
  EXPECT_EQ(Lines("D_Error k_TransmitMsg(6) detail = -4"), 1u);
  EXPECT_EQ(PowerOf(State()).boots, before.boots + 1);

  // The bridge pulled out during a command and plugged in again while the
  // recovery runs: the command goes through once the bridge is back.
  ASSERT_EQ(Sim("unplug"), "OK");
  probe_->Send("send 0x0100 03FF0000 256");
  ASSERT_TRUE(WaitForLines("RfPowerOffOnRetry Start", 2));
  ASSERT_EQ(Sim("replug"), "OK");
  EXPECT_EQ(ReadAnswer(), (Answer{0, 2, "9000"}));
  const nlohmann::json s = State();
  EXPECT_TRUE(s["plugged"]);
  EXPECT_EQ(PowerOf(s).boots, before.boots + 2);
  EXPECT_EQ(s["commands"].back(), "03FF0000");
  EXPECT_EQ(Lines("RfPowerOffOnRetry End,StatusWord=0x9000"), 2u);
}

TEST_F(Recovery, RepliesOfAnotherShapeAreNoSuccessAndOnlyAcceptedSettingsAreReplayed) {
  // An accepted send/receive mode with a channel mask of its own (0x80800000
  // for this reader type: 0x2000) and an accepted power level 25.
  ASSERT_EQ(Send("00300001000702000100528080"), (Answer{0, 2, "9000"}));
  ASSERT_EQ(Send("00181900"), (Answer{0, 2, "9000"}));
  const std::string level25 = "00220F00";
  const std::vector<std::string> speed2000 = {kSpeedHex[0], kSpeedHex[1], "002100000006000300002000"};

  // Each of these replies ends in 90 00 but is not what its step takes:
  // the application gets 64 03, the steps after it are not sent, and
  // nothing is remembered.
  struct Case {
    const char* request;
    std::vector<const char*> replies;  // the faults, in order
    size_t sent;                       // commands the reader got
    const char* line;
  };
  const Case cases[] = {
      // The speed word answered 01 90 00: neither P1 nor the channels go.
      {"0030000100050200010052", {"9000", "019000"}, 2, "D_Error SndRcvModeSetCMD(3) FncRet = 0, wkRcvLen = 3, SW=0x9000"},
      // The power command answered 01 90 00: no speed command at all.
      {"0030000100050200010052", {"019000"}, 1, "D_Error SndRcvModeSetCMD(3) FncRet = 0, wkRcvLen = 3, SW=0x9000"},
      // The antenna level: the power command's odd reply, then a four-byte reply.
      {"20100101", {"019000"}, 1, "ANTLevelGetCMD Exec Error RcvLen=0 SW=9000"},
      {"20100101", {"9000", "01029000"}, 2, "ANTLevelGetCMD Exec Error RcvLen=4 SW=9000"},
      // The power level refused three times with a reply that only ends in 90 00.
      {"00181E00", {"019000", "019000", "019000"}, 3, "★Internal_PowerLevelSetCMD Call  P1=0x1e"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.request);
    for (const char* reply : c.replies) ASSERT_EQ(Sim(std::string("fault reply ") + reply + " 1"), "OK");
    const size_t lines = Lines(c.line);
    const uint64_t mark = Received();
    EXPECT_EQ(Send(c.request), (Answer{0, 2, "6403"}));
    EXPECT_EQ(CommandsSince(mark).size(), c.sent);
    EXPECT_EQ(Lines(c.line), lines + 1);
  }
  EXPECT_EQ(Lines("ReaderSettingsMemory PowerLevel=30"), 0u);
  EXPECT_EQ(Lines("ReaderSettingsMemory P1=00 P2=03 mode=02 Delimita=00 SndSpeed=02 RcvSpeed=05 D5=52 Chanel=0007ffc0"), 0u);

  // A recovery replays what the reader accepted: level 25 and mask 0x2000.
  // The command sent again gets its whole reply although the refused first
  // send was answered with two bytes: its receive length is the caller's again.
  ASSERT_EQ(Sim("fault status 6405 1"), "OK");
  const uint64_t mark = Received();
  EXPECT_EQ(Send("00020004001F021D", 4), (Answer{0, 4, "01239000"}));
  std::vector<std::string> expected = {"00020004001F021D", kLogFetchHex, kFarmModeHex, level25};
  expected.insert(expected.end(), speed2000.begin(), speed2000.end());
  expected.push_back("00020004001F021D");
  EXPECT_EQ(CommandsSince(mark), expected);
  EXPECT_EQ(State()["settings"]["channel_mask"], 0x2000);
}

class TwoRecoveries : public RecoveryTest {
 protected:
  TwoRecoveries() : RecoveryTest(kFastReaderIni + "RwPowerOffOnRetryCount=2\n") {}
};

TEST_F(TwoRecoveries, AReaderThatKeepsRefusingGetsTheLimitAndAGoneBridgeEndsTheCall) {
  const PowerView before = PowerOf(State());
  ASSERT_EQ(Sim("fault status 6405 1000"), "OK");
  // Each recovery's operating-mode command is refused too: the call ends
  // with the last recovery's result after exactly two of them.
  EXPECT_EQ(Send("03FF0000"), (Answer{-4, 0, ""}));
  EXPECT_EQ(PowerOf(State()).boots, before.boots + 2);
  EXPECT_EQ(Lines("RfPowerOffOnRetry Start"), 2u);
  EXPECT_EQ(Lines("RfPowerOffOnRetry RwExecModeError detail1 = -4"), 2u);
  EXPECT_EQ(Lines("g_RwPowerOffOnRetryTotalCount=3"), 1u);
  EXPECT_EQ(Lines("g_RwPowerOffOnRetryTotalCount=4"), 0u);
  ASSERT_EQ(Sim("fault status 6405 0"), "OK");
  EXPECT_EQ(Send("03FF0000"), (Answer{0, 2, "9000"}));

  // The bridge gone for good: every recovery fails at the bridge, and the
  // call still ends within its two recoveries.
  ASSERT_EQ(Sim("unplug"), "OK");
  const Answer gone = Send("03FF0000");
  EXPECT_LT(gone.result, 0);
  EXPECT_EQ(gone.length, 0);
  EXPECT_EQ(Lines("RfPowerOffOnRetry Start"), 4u);
  EXPECT_EQ(Lines("RfPowerOffOnRetry Error:RW UNIT POWER OFF/ON ERROR FncRet="), 2u);
}

class OneRecovery : public RecoveryTest {
 protected:
  OneRecovery() : RecoveryTest(kFastReaderIni + "RwPowerOffOnRetryCount=1\n") {}
};

TEST_F(OneRecovery, AnOpenWhoseOperatingModeIsRefusedRecoversTheDeviceOrClosesThePort) {
  ASSERT_EQ(probe_->Ask("close 0x0100"), "0");
  int boots = State()["counters"]["boots"];
  // Refused once: the device is recovered and the bring-up starts again
  // (each bring-up first asks for the firmware version).
  ASSERT_EQ(Sim("fault reply 01239000 1"), "OK");
  ASSERT_EQ(Sim("fault reply 6401 1"), "OK");
  EXPECT_EQ(probe_->Ask("open 0x0100"), "0");
  EXPECT_EQ(State()["counters"]["boots"], boots + 2);  // the open's own power-on and the recovery's
  EXPECT_EQ(Lines("RfPowerOffOnRetry_Sub, g_RwPowerOffOnRetryTotalCount=1"), 1u);
  EXPECT_EQ(Lines("RfPowerOffOnRetry_Sub() End,FncRet=0"), 1u);
  EXPECT_TRUE(State()["settings"]["operating_mode"]);
  ASSERT_EQ(probe_->Ask("close 0x0100"), "0");

  // Refused again after the one recovery the limit allows: the port is closed.
  boots = State()["counters"]["boots"];
  // (The recovery's reader-log fetch takes the second refusal.)
  for (const char* fault : {"fault reply 01239000 1", "fault reply 6401 2", "fault reply 01239000 1", "fault reply 6401 1"}) {
    ASSERT_EQ(Sim(fault), "OK");
  }
  EXPECT_EQ(probe_->Ask("open 0x0100"), "-4");
  EXPECT_EQ(State()["counters"]["boots"], boots + 2);
  EXPECT_EQ(Lines("D_Error Internal_FarmModeCMD Error,Data="), 3u);
  EXPECT_EQ(Lines("RfPowerOffOnRetry_Sub, g_RwPowerOffOnRetryTotalCount=2"), 1u);
  EXPECT_EQ(Lines("RfPowerOffOnRetry_Sub() End,FncRet=-4"), 1u);
  EXPECT_EQ(Lines("D_Error RFRW_Open(8) detail1 = -4  (868)"), 1u);
  EXPECT_EQ(ParseFields(probe_->Ask("entry 0"))["use"], "0");
  EXPECT_EQ(Send("00051600"), (Answer{-1001, 0, ""}));
  // The reader answers again: the next open goes through.
  EXPECT_EQ(probe_->Ask("open 0x0100"), "0");
}


// The device-level recovery of RFRW_Open when its own steps fail: the
// reader cannot be switched off (the GPIO latch does not read back), or the
// device cannot be configured again (the UART configuration does not read
// back). Each is counted, and with the limit used up the open fails.
// The faults are armed while the open waits for a firmware block's late
// reply, after the open's own attach has configured the bridge.
TEST(DeviceRecovery, APowerOffOrAReopenThatFailsEndsTheRecoveryWithItsError) {
  InstallDir install(kFastReaderIni + "DspAlwaysDownloadMode=1\nRwPowerOffOnRetryCount=1\nHidDeviceOpenRetryCount=1\n");
  install.WriteFile("ZQRWDSP01.dwl", install.MakeFirmware("0123", 1));
  auto lines = [&](const std::string& fragment) { return install.LogLinesWith(fragment); };
  struct Case {
    const char* fault;  // armed during the download
    std::string failedLine;
  };
  const Case cases[] = {
      {"gpio-readback", "RfPowerOffOnRetry_Sub: k_RW_ONOFF() Error,FncRet=-4"},
      {"uart-readback", "RfPowerOffOnRetry_Sub: RW_Open() Error,FncRet=-2"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fault);
    const size_t blocksLogged = lines("k_Download_Firm 一行読込み 39 byte").size();
    const size_t subs = lines("RfPowerOffOnRetry_Sub() Start").size();
    // The version query at once, the block 1.5 s late, the operating mode refused.
    for (const char* f : {"fault reply-late 0 1", "fault reply-late 1500 1", "fault reply 6401 1"}) {
      ASSERT_EQ(install.SimControl(f), "OK");
    }
    auto probe = install.StartLoadedProbe();
    probe->Send("open 0x0100");
    for (int i = 0; i < 1000 && lines("k_Download_Firm 一行読込み 39 byte").size() == blocksLogged; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ASSERT_EQ(install.SimControl(std::string("fault ") + c.fault + " 1000"), "OK");
    const std::optional<std::string> opened = probe->ReadLine(60000);
    ASSERT_EQ(install.SimControl(std::string("fault ") + c.fault + " 0"), "OK");
    EXPECT_EQ(opened.value_or("none"), "-4");  // the operating mode's failure
    EXPECT_EQ(lines("RfPowerOffOnRetry_Sub() Start").size(), subs + 1);
    EXPECT_EQ(lines(c.failedLine).size(), 1u);
    EXPECT_EQ(lines("RfPowerOffOnRetry_Sub() End,FncRet=" + c.failedLine.substr(c.failedLine.rfind('=') + 1)).size(), 1u);
    EXPECT_EQ(lines("D_Error RFRW_Open(8) detail1 = -4  (868)").size(), subs + 1);
    EXPECT_EQ(ParseFields(probe->Ask("entry 0"))["use"], "0");
    probe->Send("exit");
    probe->Wait();
  }
  // The reader answers again: an open goes through.
  auto probe = install.StartLoadedProbe();
  EXPECT_EQ(probe->Ask("open 0x0100"), "0");
}

TEST_F(Recovery, PowerCtrlAnswersTheReadersStatusWordAndRecoversLikeACommand) {
  // Power values other than 0 and 3 are refused before any exchange.
  uint64_t mark = Received();
  EXPECT_EQ(probe_->Ask("power-sts 0x0100 1"), "-3 1234");
  EXPECT_EQ(probe_->Ask("power-sts 0x0100 2"), "-3 1234");
  EXPECT_EQ(Received(), mark);

  EXPECT_EQ(probe_->Ask("power-sts 0x0100 0"), "0 9000");
  EXPECT_EQ(probe_->Ask("power-sts 0x0100 3"), "0 9000");
  const std::vector<std::string> sent = CommandsSince(mark);
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_NE(sent[0], sent[1]);
  // A refusal whose low byte has its top bit set comes back unchanged.
  ASSERT_EQ(Sim("fault status 6A82 1"), "OK");
  EXPECT_EQ(probe_->Ask("power-sts 0x0100 3"), "0 6a82");
  EXPECT_EQ(Lines("RfPowerOffOnRetry Start"), 0u);
  // An answer without a status word is not read past its end.
  ASSERT_EQ(Sim("fault reply - 1"), "OK");
  EXPECT_EQ(probe_->Ask("power-sts 0x0100 0"), "0 6403");

  // A power-off/on word: the reader is recovered, its settings replayed
  // (the power command has none of its own) and the command sent again.
  const int boots = State()["counters"]["boots"];
  mark = Received();
  ASSERT_EQ(Sim("fault status 6405 1"), "OK");
  EXPECT_EQ(probe_->Ask("power-sts 0x0100 3"), "0 9000");
  EXPECT_EQ(CommandsSince(mark), RecoveryOf(sent[1], kLevel20Hex, 1));
  EXPECT_EQ(State()["counters"]["boots"], boots + 1);
  EXPECT_EQ(Lines("g_RwPowerOffOnRetryTotalCount = 1"), 1u);
  EXPECT_EQ(Lines("RfPowerOffOnRetry End,StatusWord=0x9000"), 1u);
  EXPECT_EQ(Lines("RFRW_PowerCtrl Out  Sts = 0x9000"), 3u);
  EXPECT_EQ(Lines("D_Error RFRW_PowerCtrl(6)"), 0u);
}

}  // namespace
}  // namespace zq::test
