// RFRW_CLRW_Transmit as an application meets it, against the simulated
// reader: the bring-up of an open, the routing table's errors, the rules a
// reply must keep, pass-through, and the retry flag.
#include "tests/e2e/reader_fixture.h"

namespace zq::test {
namespace {

using Transmit = ReaderTest;

const std::string kFarmModeHex = "00010007001D000100001C";

TEST_F(Transmit, AnOpenPutsTheReaderIntoItsOperatingMode) {
  const nlohmann::json s = State();
  EXPECT_TRUE(s["settings"]["operating_mode"]);
  const auto& commands = s["commands"];
  ASSERT_FALSE(commands.empty());
  EXPECT_EQ(commands.back(), kFarmModeHex);
  EXPECT_EQ(Lines("★Internal_FarmModeCMD Out  Ret = 0,Data="), 1u);
  ASSERT_EQ(probe_->Ask("close 0x0100"), "0");

  // Skipping the download still ends in the operating mode; boot mode and
  // pass-through mode leave the reader as it booted.
  struct Case {
    const char* flags;  // bytes 14, 15, 16 of the open block
    bool operating;
  };
  for (const Case& c : {Case{"010000", true}, Case{"010100", false}, Case{"010001", false}}) {
    ASSERT_EQ(probe_->Ask(std::string("open 0x0100 000000000000000000000000" "2354") + c.flags), "0") << c.flags;
    EXPECT_EQ(State()["settings"]["operating_mode"], c.operating) << c.flags;
    ASSERT_EQ(probe_->Ask("close 0x0100"), "0");
  }
  EXPECT_EQ(Lines("DSP Boot Mode Set"), 1u);
}

// The entry line shows the whole command as given; the exit lines are
// written while the unit is still held.
TEST_F(Transmit, TheEntryLineShowsTheWholeCommandAndTheExitLinesComeWhileTheUnitIsHeld) {
  auto bytesIn = [](const std::string& line) {
    const size_t bar = line.find(" | ");
    return bar == std::string::npos ? 0 : (line.size() - bar - 2) / 3;
  };
  // Longer than a command may be: refused before the unit is taken, with
  // every byte it had in the entry line.
  EXPECT_EQ(Send("00051600", 256, 1600), (Answer{-3, 0, ""}));
  const auto entries = install_.LogLinesWith("★★★CLRW P=100 SLen=640");
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(bytesIn(entries[0]), 1600u);
  // A routing error is found under the unit's mutex: the exit line comes
  // before the release.
  EXPECT_EQ(Send("40010000"), (Answer{-3, 0, ""}));
  ASSERT_EQ(probe_->Ask("power-sts 0x0100 3").substr(0, 2), "0 ");
  const std::vector<std::string> lines = install_.LogLines();
  auto firstAfter = [&](size_t from, const std::string& fragment) {
    for (size_t i = from; i < lines.size(); ++i) {
      if (lines[i].find(fragment) != std::string::npos) return i;
    }
    return lines.size();
  };
  const size_t call = firstAfter(0, "★★★CLRW P=100 SLen=4 ");
  const size_t exitLine = firstAfter(call, "★★★CLRW Ret=-3,");
  ASSERT_LT(exitLine, lines.size());
  EXPECT_GT(firstAfter(call, "▲▲k_RFRW_ReleaseMutexAPI"), exitLine);
  const size_t powerCall = firstAfter(0, "★★★RFRW_PowerCtrl Call");
  const size_t powerOut = firstAfter(powerCall, "RFRW_PowerCtrl Out  Sts = ");
  ASSERT_LT(powerOut, lines.size());
  EXPECT_GT(firstAfter(powerCall, "▲▲k_RFRW_ReleaseMutexAPI"), powerOut);
}

TEST_F(Transmit, RoutingErrorsAreParameterErrorsWithTheirLines) {
  struct Case {
    std::string hex;
    int sLen;  // -1: the bytes given
    std::string line;
  };
  const Case cases[] = {
      {"00051600", 1553, "D_Error RFRW_CLRW_Transmit(3) detail = 1553  (3814)"},
      {"001814000000", -1, "D_Error RFRW_CLRW_Transmit(10) CLA:0x0 INS:0x18 P1:0x14 P2:0x0 Le:0x0 0x0"},
      {"08100000000500", -1, "D_Error RFRW_CLRW_Transmit(15) SndLen:0x7 iLen:0x5"},
      {"080100000002000000", -1, "D_Error RFRW_CLRW_Transmit(5) (3818)"},
      {"0801000000030000", -1, "D_Error RFRW_CLRW_Transmit(10) CLA:0x8 INS:0x1 P1:0x0 P2:0x0 Le:0x0 0x3"},
      {"0802000000", -1, "D_Error RFRW_CLRW_Transmit(14) detail = 5"},
      {"40010000", -1, "D_Error RFRW_CLRW_Transmit(10) CLA:0x40 INS:0x1 P1:0x0 P2:0x0 Le:0x0 0x0"},
      {"00300000", -1, "D_Error RFRW_CLRW_Transmit(15) SndLen:0x4 iLen:0x0"},
      {"0005", -1, "D_Error RFRW_CLRW_Transmit(10) CLA:0x0 INS:0x5 P1:0x0 P2:0x0 Le:0x0 0x0"},
      // A read whose PC word announces more EPC than the command carries.
      {"0810000000057801020304", -1, "D_Error RFRW_CLRW_Transmit(16) SndLen:0xb iLen:0x5"},
  };
  const uint64_t before = Received();
  for (const Case& c : cases) {
    EXPECT_EQ(Send(c.hex, 256, c.sLen), (Answer{-3, 0, ""})) << c.hex;
    EXPECT_EQ(Lines(c.line), 1u) << c.line;
  }
  EXPECT_EQ(Received(), before);  // none reached the reader
}

TEST_F(Transmit, TagRowsReachTheirTagOperations) {
  // Each row's command reaches its handler, whose own checks refuse it.
  const std::pair<const char*, const char*> rows[] = {
      {"0801000000020000", "★EPC_GetAllEpcCode Call (8)"},
      {"08020000", "★EPC_GetHandle Call  SndLen=0x0004"},
      {"0803000000", "★EPC_TagCommandTransmit(1) SndLen=0x0005"},
      {"0810000000070800AABB030000", "★EPC_TagDataRead ParamError"},
      {"0811000000090800AABB0300BEEF00", "★EPC_TagDataWrite ParamError"},
      {"08120000000100", "★EPC_TagLock ParamError SndLen=0x0005 iLen=0x0001"},
      {"08130000000100", "★EPC_TagKill ParamError SndLen=0x0005 iLen=0x0001"},
  };
  for (const auto& [hex, line] : rows) {
    Send(hex);
    EXPECT_EQ(Lines(line), 1u) << hex;
    EXPECT_EQ(Lines("is not in this build"), 0u) << hex;
  }
}

TEST_F(Transmit, CommandWithoutAHandlerAnswersAtOnceAndKeepsTheLength) {
  const uint64_t before = Received();
  const Answer a = Send("00170500", 7);
  EXPECT_EQ(a.result, 0);
  EXPECT_EQ(a.length, 7);
  EXPECT_EQ(a.data, "EEEEEEEEEEEEEE");  // the receive area as the caller left it
  EXPECT_EQ(Received(), before);
}

TEST_F(Transmit, HighClassesPassThroughWithoutTheirTopBits) {
  const uint64_t before = Received();
  // E0 reaches the reader as 20, which it does not know: its refusal is the answer.
  EXPECT_EQ(Send("E0051600"), (Answer{0, 2, "6401"}));
  // C0 02 ... is the reader's own firmware version query.
  EXPECT_EQ(Send("C0020004001F021D"), (Answer{0, 4, "01239000"}));
  EXPECT_EQ(CommandsSince(before), (std::vector<std::string>{"20051600", "00020004001F021D"}));
  // A reply longer than the caller's area is refused.
  EXPECT_EQ(Send("C0020004001F021D", 3), (Answer{-3, 0, ""}));
  EXPECT_EQ(Lines("Internal_RWPassThroughCMD(3) *ReceiveLength=3  RcvLen=4"), 1u);
}

// The forwarder of 00 02 00 04 accepts replies of up to 32 bytes.
TEST_F(Transmit, RepliesUpToTheCapacityAreTakenAndLongerOnesRefused) {
  const std::string query = "00020004001F021D";
  const std::string body32(64, 'A');
  ASSERT_EQ(Sim("fault reply " + body32 + " 1"), "OK");
  EXPECT_EQ(Send(query), (Answer{0, 32, body32}));
  ASSERT_EQ(Sim("fault reply " + body32 + "BB 1"), "OK");
  EXPECT_EQ(Send(query), (Answer{-3, 0, ""}));
  EXPECT_EQ(Lines("D_Error k_TransmitMsg(4) detail1 = 32 detail2 = 33"), 1u);
  EXPECT_EQ(Lines("Internal_RWGetInfo2CMD(2) FncRet = -3"), 1u);
  // Within the reader capacity but beyond the caller's area.
  EXPECT_EQ(Send(query, 3), (Answer{-3, 0, ""}));
  EXPECT_EQ(Lines("Internal_RWGetInfo2CMD(3) *ReceiveLength=3  RcvLen=4"), 1u);
  EXPECT_EQ(Send(query, 4), (Answer{0, 4, "01239000"}));
  // No room at all: the command still goes, and its reply does not fit.
  for (int room : {0, -1}) {
    const uint64_t before = Received();
    EXPECT_EQ(Send(query, room), (Answer{-3, 0, ""})) << room;
    EXPECT_EQ(CommandsSince(before), std::vector<std::string>{query}) << room;
    EXPECT_EQ(Lines("Internal_RWGetInfo2CMD(3) *ReceiveLength=" + std::to_string(room) + "  RcvLen=4"), 1u) << room;
  }
  // The pass-through refuses a receive length of 0 before sending; a
  // negative one is sent like any other.
  uint64_t before = Received();
  EXPECT_EQ(Send("C0020004001F021D", 0), (Answer{-3, 0, ""}));
  EXPECT_EQ(Lines("Internal_RWPassThroughCMD(1) ReceiveLength=0"), 1u);
  EXPECT_EQ(Received(), before);
  EXPECT_EQ(Send("C0020004001F021D", -2), (Answer{-3, 0, ""}));
  EXPECT_EQ(Lines("Internal_RWPassThroughCMD(3) *ReceiveLength=-2  RcvLen=4"), 1u);
  EXPECT_EQ(Received(), before + 1);
}

TEST_F(Transmit, RepliesAreRewrittenCheckedAndAnsweredAsTheReaderGaveThem) {
  const std::string query = "00020004001F021D";
  // A bare 64 02 reaches the application with its reader status 0x15.
  ASSERT_EQ(Sim("fault reply 6402 1"), "OK");
  EXPECT_EQ(Send(query), (Answer{0, 3, "156402"}));
  // A refusal is an answer, whatever it carries.
  ASSERT_EQ(Sim("fault reply 056400 1"), "OK");
  EXPECT_EQ(Send(query), (Answer{0, 3, "056400"}));
  // An empty reply: a forwarder answers it as it is, a handler that checks
  // the status word finds none.
  ASSERT_EQ(Sim("fault reply - 2"), "OK");
  EXPECT_EQ(Send(query), (Answer{0, 0, ""}));
  EXPECT_EQ(Send("00051600"), (Answer{-1, 0, ""}));
  EXPECT_EQ(Lines("Internal_RWGetInfomationCMD Exec Error 0, RcvLen=0, SW=6403"), 1u);
  EXPECT_EQ(Lines("k_TransmitMsg   set g_RwPowerOffOnRetryFlag"), 0u);
}

class NoRecoveries : public ReaderTest {
 protected:
  NoRecoveries() : ReaderTest(kFastReaderIni + "RwPowerOffOnRetryCount=0\n") {}
};

TEST_F(NoRecoveries, RecoveryWordsAndFailedExchangesArmTheRetryFlag) {
  // With no recovery allowed the armed flag is only counted and logged.
  // 64 05 to 64 0E ask for a power-off/on; the reply is still the answer.
  ASSERT_EQ(Sim("fault reply 640A 1"), "OK");
  EXPECT_EQ(Send("03FF0000"), (Answer{0, 2, "640A"}));
  EXPECT_EQ(Lines("k_TransmitMsg   set g_RwPowerOffOnRetryFlag"), 1u);
  EXPECT_EQ(Lines("g_RwPowerOffOnRetryTotalCount=1"), 1u);
  // 64 04 and 64 0F do not.
  for (const char* sw : {"6404", "640F"}) {
    ASSERT_EQ(Sim(std::string("fault reply ") + sw + " 1"), "OK");
    EXPECT_EQ(Send("03FF0000"), (Answer{0, 2, sw}));
  }
  EXPECT_EQ(Lines("k_TransmitMsg   set g_RwPowerOffOnRetryFlag"), 1u);

  // A reader that stays silent: the link gives up, the flag is armed, the
  // call fails with nothing in the response.
  ASSERT_EQ(Sim("fault drop-reply 1000"), "OK");
  EXPECT_EQ(Send("03FF0000"), (Answer{-4, 0, ""}));
  EXPECT_EQ(Lines("k_TransmitMsg_1   set g_RwPowerOffOnRetryFlag"), 1u);
  EXPECT_EQ(Lines("D_Error k_TransmitMsg(6) detail = -4"), 1u);
  EXPECT_EQ(Lines("Internal_RWModeSetUpCMD(2) FncRet = -4"), 1u);
  EXPECT_EQ(Lines("g_RwPowerOffOnRetryTotalCount=1"), 2u);  // counted anew in each call
  EXPECT_EQ(Lines("★★★CLRW Ret=-4,"), 1u);
  ASSERT_EQ(Sim("fault drop-reply 0"), "OK");
  EXPECT_EQ(Send("03FF0000"), (Answer{0, 2, "9000"}));
}

TEST_F(NoRecoveries, ACommandThatArmsTheFlagKeepsItsOwnAnswer) {
  ASSERT_EQ(Sim("fault reply 6405 1"), "OK");
  EXPECT_EQ(Send("03FF0000"), (Answer{0, 2, "6405"}));
  EXPECT_EQ(Lines("g_RwPowerOffOnRetryTotalCount=1"), 1u);
}

class PassThroughMode : public ReaderTest {
 protected:
  PassThroughMode() : ReaderTest(kFastReaderIni, "000000000000000000000000" "2354" "010001") {}
};

TEST_F(PassThroughMode, EveryCommandGoesToTheReaderAsItIs) {
  const uint64_t before = Received();
  // Commands the routing table would answer itself, or refuse, go as they are.
  EXPECT_EQ(Send("00051600"), (Answer{0, 2, "6401"}));
  EXPECT_EQ(Send("00170000"), (Answer{0, 2, "6401"}));
  EXPECT_EQ(Send("40010000"), (Answer{0, 2, "6401"}));
  EXPECT_EQ(Send("E0051600"), (Answer{0, 2, "6401"}));
  EXPECT_EQ(Send("00020004001F021D"), (Answer{0, 4, "01239000"}));
  EXPECT_EQ(CommandsSince(before),
            (std::vector<std::string>{"00051600", "00170000", "40010000", "E0051600", "00020004001F021D"}));
  EXPECT_EQ(Lines("D_Error RFRW_CLRW_Transmit(10)"), 0u);
}

TEST_F(PassThroughMode, AReaderFaultSwitchesTheLinesOverAndFetchesItsLog) {
  const size_t latches = State()["gpio_history"].size();
  ASSERT_EQ(Sim("fault reply 6407 1"), "OK");
  EXPECT_EQ(Send("03FF0000"), (Answer{0, 2, "6407"}));
  const nlohmann::json s = State();
  // Line 7 off, then line 8 on; no power cycle.
  const auto& history = s["gpio_history"];
  ASSERT_EQ(history.size(), latches + 2);
  EXPECT_EQ(history[latches], "2004");
  EXPECT_EQ(history[latches + 1], "3004");
  EXPECT_EQ(s["line9"]["off"], 0);
  EXPECT_EQ(s["commands"].back(), "002B0000");
  EXPECT_EQ(Lines("★DSPLogData="), 1u);
  EXPECT_EQ(Lines("RfPowerOffOnRetry"), 0u);
}

}  // namespace
}  // namespace zq::test
