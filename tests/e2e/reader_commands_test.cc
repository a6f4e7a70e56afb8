// The reader control commands through RFRW_CLRW_Transmit, grouped by
// handler: the forwarders, the power level, the send/receive mode, the
// antenna level, the information block and the signal strength mode.
#include <cstdio>

#include "tests/e2e/reader_fixture.h"

namespace zq::test {
namespace {

std::string Hex2(int v) {
  char b[3];
  std::snprintf(b, sizeof b, "%02X", v & 0xFF);
  return b;
}

const std::string kPowerOff = "0001000D000000080000000C0000FBFF00";  // power control, PowerData 0

// ---- forwarders ----

using Forwarders = ReaderTest;

TEST_F(Forwarders, CommandsGoAsTheyAreAndTheirLengthRulesHold) {
  struct Case {
    const char* hex;
    Answer answer;
    const char* line;  // "" for none
  };
  const Case cases[] = {
      {"0001000412345670", {0, 2, "9000"}, ""},
      {"0001000412345600", {0, 2, "6400"}, ""},  // the reader's verdict on a wrong check byte
      {"00010005123456", {-3, 0, ""}, "Internal_RWSetUpCMD(0) SendLength=7 i=5"},
      {"0001008012", {-3, 0, ""}, "Internal_RWSetUpCMD(0) SendLength=5 i=-128"},
      {"00020004001F021D", {0, 4, "01239000"}, ""},
      {"00020004001F021D00", {-3, 0, ""}, "Internal_RWGetInfo2CMD(0) SendLength=9 i=8"},
      {"004200000700", {0, 4, "07009000"}, ""},
      {"00420000", {-3, 0, ""}, "Internal_RWCarrierSenseCMD(0) SendLength=4 i=6"},
      {"03FF0000", {0, 2, "9000"}, ""},
      {"03FF000000", {-3, 0, ""}, "Internal_RWModeSetUpCMD(0) SendLength=5 i=4"},
  };
  for (const Case& c : cases) {
    const uint64_t before = Received();
    EXPECT_EQ(Send(c.hex), c.answer) << c.hex;
    if (*c.line) {
      EXPECT_EQ(Lines(c.line), 1u) << c.line;
      EXPECT_EQ(Received(), before) << c.hex;
    } else {
      EXPECT_EQ(CommandsSince(before), std::vector<std::string>{c.hex});
    }
  }
}

// ---- power level ----

using PowerLevel = ReaderTest;

TEST_F(PowerLevel, P1MapsToTheLevelByteAndIsRemembered) {
  struct Case {
    int p1;
    const char* sent;
    int level;  // as the reader holds it
  };
  for (const Case& c : {Case{5, "0022FB00", -5}, Case{0, "0022F600", -10}, Case{10, "00220000", 0}, Case{20, "00220A00", 10},
                        Case{30, "00221400", 20}, Case{63, "00221400", 20}}) {
    const uint64_t before = Received();
    EXPECT_EQ(Send("0018" + Hex2(c.p1) + "00"), (Answer{0, 2, "9000"})) << c.p1;
    EXPECT_EQ(CommandsSince(before), std::vector<std::string>{c.sent}) << c.p1;
    EXPECT_EQ(State()["settings"]["power_level"], c.level);
    EXPECT_EQ(Lines("ReaderSettingsMemory PowerLevel=" + std::to_string(c.p1)), 1u) << c.p1;
  }
  const uint64_t before = Received();
  EXPECT_EQ(Send("00184000"), (Answer{-3, 0, ""}));
  EXPECT_EQ(Lines("D_Error Internal_PowerLevelSetCMD(1)"), 1u);
  EXPECT_EQ(Received(), before);
}

TEST_F(PowerLevel, ARefusedLevelIsTriedThreeTimes) {
  // Refused twice, then accepted.
  ASSERT_EQ(Sim("fault reply 6401 2"), "OK");
  uint64_t before = Received();
  EXPECT_EQ(Send("00181900"), (Answer{0, 2, "9000"}));
  EXPECT_EQ(CommandsSince(before), (std::vector<std::string>{"00220F00", "00220F00", "00220F00"}));
  EXPECT_EQ(Lines("ReaderSettingsMemory PowerLevel=25"), 1u);

  // Refused three times: the last refusal is the answer, nothing is remembered.
  ASSERT_EQ(Sim("fault reply 6401 2"), "OK");
  ASSERT_EQ(Sim("fault reply 056400 1"), "OK");
  before = Received();
  EXPECT_EQ(Send("00181A00"), (Answer{0, 2, "6400"}));
  EXPECT_EQ(CommandsSince(before).size(), 3u);
  EXPECT_EQ(Lines("ReaderSettingsMemory PowerLevel=26"), 0u);

  // A reply longer than the caller's area.
  EXPECT_EQ(Send("00181A00", 1), (Answer{-3, 0, ""}));
  EXPECT_EQ(Lines("D_Error Internal_PowerLevelSetCMD(3) RcvLen = 2, ReceiveLength = 1"), 1u);
}

// ---- send/receive mode ----

using SndRcvMode = ReaderTest;

TEST_F(SndRcvMode, AnAcceptedModeSendsPowerOffSpeedP1AndChannels) {
  const uint64_t before = Received();
  EXPECT_EQ(Send("00300001000502000100" "52"), (Answer{0, 2, "9000"}));
  EXPECT_EQ(CommandsSince(before), (std::vector<std::string>{kPowerOff, "0001000D0000000F00000026202500002C",
                                                             "0001000D0000000F000000010000F8FF09", "00210000000600030007FFC0"}));
  const nlohmann::json s = State()["settings"];
  EXPECT_EQ(s["speed_register"], 0x26);
  EXPECT_EQ(s["speed_word"], "2025");
  EXPECT_EQ(s["channel_mask"], 0x7FFC0);
  EXPECT_EQ(s["carrier"], false);
  EXPECT_EQ(Lines("ReaderSettingsMemory P1=00 P2=03 mode=02 Delimita=00 SndSpeed=02 RcvSpeed=05 D5=52 Chanel=0007ffc0"), 1u);
}

TEST_F(SndRcvMode, ChannelMasksAreConvertedForTheReaderType) {
  struct Case {
    std::string hex;  // 00 30 P1 P2 Lc, D1..D5, then the mask bytes
    int mask;         // what the reader got; -1 refused
  };
  const Case cases[] = {
      {"003000010007020001005200" "00", 0x7FFC0},               // bit 31 clear: the default
      {"003000010007020001005280" "80", 0x2000},                // 0x80800000
      {"00302001000F0200010052" "80008000" "000000000000", 0x40000},
      {"00302001000F0200010052" "80000000" "000000000000", -1},  // nothing left in 0x7FFC0
      {"00302001000F0200010052" "82000000" "000000000000", -1},  // a bit the type refuses
  };
  for (const Case& c : cases) {
    const uint64_t before = Received();
    const Answer a = Send(c.hex);
    if (c.mask < 0) {
      EXPECT_EQ(a, (Answer{-3, 0, ""})) << c.hex;
      EXPECT_EQ(Received(), before) << c.hex;
    } else {
      EXPECT_EQ(a, (Answer{0, 2, "9000"})) << c.hex;
      EXPECT_EQ(State()["settings"]["channel_mask"], c.mask) << c.hex;
    }
  }
  EXPECT_EQ(Lines("D_Error SndRcvModeSetCMD(1)"), 2u);
}

TEST_F(SndRcvMode, RequestsOutsideTheFormsAreRefused) {
  struct Case {
    std::string hex;
    const char* line;
  };
  const Case cases[] = {
      {"0030200100050200010052", "D_Error SndRcvModeSetCMD(1)"},                      // Lc 5 with P1 bit 5
      {"00300001000F0200010052" "80008000" "000000000000", "D_Error SndRcvModeSetCMD(1)"},  // Lc 15 without it
      {"003000010006020001005200", "D_Error SndRcvModeSetCMD(4) wkRcvLen = 0, ReceiveLength = 256"},
      {"0030000100050300010052", "D_Error SndRcvModeSetCMD(1)"},                      // D1 not 2
      {"0030000100050200010053", "D_Error SndRcvModeSetCMD(1)"},                      // D5 not 52
      {"0030000000050200010052", "D_Error SndRcvModeSetCMD(1)"},                      // P2 bit 0 clear
      {"0030000100050200030052", "D_Error SndRcvModeSetCMD(1)"},                      // D3 3
      {"0030400100050200010052", "D_Error SndRcvModeSetCMD(1)"},                      // P1 0x40
  };
  const uint64_t before = Received();
  size_t refused = 0;
  for (const Case& c : cases) {
    EXPECT_EQ(Send(c.hex), (Answer{-3, 0, ""})) << c.hex;
    refused += std::string(c.line) == "D_Error SndRcvModeSetCMD(1)";
  }
  EXPECT_EQ(Lines("D_Error SndRcvModeSetCMD(1)"), refused);
  EXPECT_EQ(Lines("D_Error SndRcvModeSetCMD(4) wkRcvLen = 0, ReceiveLength = 256"), 1u);
  EXPECT_EQ(Received(), before);
}

TEST_F(SndRcvMode, RefusalsAndAFailedExchangeAreAnswersWithAStatusWord) {
  const std::string request = "00300001000502000100" "52";
  // The speed word refused: its status word, nothing remembered.
  ASSERT_EQ(Sim("fault reply 9000 1"), "OK");
  ASSERT_EQ(Sim("fault reply 6401 1"), "OK");
  uint64_t before = Received();
  EXPECT_EQ(Send(request), (Answer{0, 2, "6401"}));
  EXPECT_EQ(CommandsSince(before).size(), 2u);
  EXPECT_EQ(Lines("D_Error SndRcvModeSetCMD(3) FncRet = 0, wkRcvLen = 2, SW=0x6401"), 1u);
  // The power command refused with a reader status: its status word.
  ASSERT_EQ(Sim("fault reply 056400 1"), "OK");
  before = Received();
  EXPECT_EQ(Send(request), (Answer{0, 2, "6400"}));
  EXPECT_EQ(CommandsSince(before).size(), 1u);
  // The speed word's reply does not fit: the exchange failed half-way.
  ASSERT_EQ(Sim("fault reply 9000 1"), "OK");
  ASSERT_EQ(Sim("fault reply 0102039000 1"), "OK");
  EXPECT_EQ(Send(request), (Answer{0, 2, "6403"}));
  EXPECT_EQ(Lines("internal_SndRcvSpeed Transmit Error -3"), 1u);
  EXPECT_EQ(Lines("ReaderSettingsMemory P1="), 0u);
}

// ---- antenna level ----

using AntennaLevel = ReaderTest;

TEST_F(AntennaLevel, ChannelAndLevelLimitsOfTheReaderType) {
  for (const char* hex : {"20100000", "20100E00", "20100110", "20101401"}) {
    EXPECT_EQ(Send(hex), (Answer{-3, 0, ""})) << hex;
  }
  EXPECT_EQ(Lines("ANTLevelGetCMD Param Error"), 4u);
  // Level 0 asks for level 5; the answer is the channel and its level.
  uint64_t before = Received();
  EXPECT_EQ(Send("20100D00"), (Answer{0, 7, "01010D01AD9000"}));
  EXPECT_EQ(CommandsSince(before), (std::vector<std::string>{kPowerOff, "00420000050D01"}));
  before = Received();
  EXPECT_EQ(Send("20100107"), (Answer{0, 7, "010101" "01E1" "9000"}));
  EXPECT_EQ(CommandsSince(before).back(), "00420000070101");
  EXPECT_EQ(Send("20100107", 6), (Answer{-3, 0, ""}));
  EXPECT_EQ(Lines("ANTLevelGetCMD OutLength Error ReceiveLength=6"), 1u);
}

TEST_F(AntennaLevel, RefusalsAnswerWithTheirStatusWord) {
  ASSERT_EQ(Sim("fault reply 6401 1"), "OK");  // the power command
  uint64_t before = Received();
  EXPECT_EQ(Send("20100101"), (Answer{0, 2, "6401"}));
  EXPECT_EQ(CommandsSince(before), std::vector<std::string>{kPowerOff});
  EXPECT_EQ(Lines("ANTLevelGetCMD Exec Error RcvLen=0 SW=6401"), 1u);
  // Four bytes where five are due: whatever its status word says, that is
  // no answer of the antenna level, and no success.
  ASSERT_EQ(Sim("fault reply 9000 1"), "OK");
  ASSERT_EQ(Sim("fault reply 01029000 1"), "OK");
  EXPECT_EQ(Send("20100101"), (Answer{0, 2, "6403"}));
  EXPECT_EQ(Lines("ANTLevelGetCMD Exec Error RcvLen=4 SW=9000"), 1u);
}

// ---- information ----

using Information = ReaderTest;

TEST_F(Information, BlockTypeAndFirmwareVersion) {
  const Answer block = Send("00050000", 92);
  EXPECT_EQ(block.result, 0);
  ASSERT_EQ(block.length, 92);
  EXPECT_EQ(block.data.substr(0, 24), "010E01020100010000010042");
  EXPECT_EQ(block.data.substr(24, 24), "0123F60223F80323FA0423FC");
  EXPECT_EQ(block.data.substr(24 + 7 * 6, 6), "0824D4");  // entry 8 is not 2404
  EXPECT_EQ(block.data.substr(24 + 22 * 6), "0101F4021500010200010052" "9000");
  EXPECT_EQ(Send("00050000", 91), (Answer{-3, 0, ""}));
  EXPECT_EQ(Lines("Internal_RWGetInfomationCMD OutLength Error ReceiveLength=91"), 1u);

  const uint64_t before = Received();
  EXPECT_EQ(Send("00051200"), (Answer{0, 3, "219000"}));
  EXPECT_EQ(Received(), before);  // the driver knows its reader type
  EXPECT_EQ(Send("00051600"), (Answer{0, 4, "01239000"}));
  EXPECT_EQ(CommandsSince(before), std::vector<std::string>{"00020004001F021D"});
  EXPECT_EQ(Send("00051600", 3), (Answer{-3, 0, ""}));

  ASSERT_EQ(Sim("fault reply 6401 1"), "OK");
  EXPECT_EQ(Send("00051600"), (Answer{-1, 0, ""}));
  EXPECT_EQ(Lines("Internal_RWGetInfomationCMD Exec Error 0, RcvLen=2, SW=6401"), 1u);
  EXPECT_EQ(Send("00050100"), (Answer{-3, 0, ""}));
  EXPECT_EQ(Lines("Internal_RWGetInfomationCMD P1P2 Error P1=01"), 1u);
  EXPECT_EQ(Lines("Internal_RWGetInfomationCMD Out Retvalue=0  ReceiveLength=92 Data="), 1u);
}

// ---- signal strength mode ----

using RssiMode = ReaderTest;

TEST_F(RssiMode, RawOrConvertedAndNothingElse) {
  const uint64_t before = Received();
  EXPECT_EQ(Send("20200001"), (Answer{0, 2, "9000"}));
  EXPECT_EQ(Send("20200000"), (Answer{0, 2, "9000"}));
  EXPECT_EQ(Send("20200002"), (Answer{-3, 0, ""}));
  EXPECT_EQ(Send("20200100"), (Answer{-3, 0, ""}));
  EXPECT_EQ(Send("2020000100"), (Answer{-3, 0, ""}));  // not 4 bytes: no row
  EXPECT_EQ(Lines("RssiModeSetCMD Param Error"), 2u);
  EXPECT_EQ(Received(), before);
}

}  // namespace
}  // namespace zq::test
