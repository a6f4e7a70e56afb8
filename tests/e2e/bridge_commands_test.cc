// The commands the USB bridge answers itself, through RFRW_CLRW_Transmit:
// its GPIO lines and its serial string, as the simulated bridge shows them.
#include "tests/e2e/reader_fixture.h"

namespace zq::test {
namespace {

using BridgeCommands = ReaderTest;

TEST_F(BridgeCommands, GpioReadShowsTheLinesTheOpenSet) {
  // Lines 9 (reader power), 7 and 2 (the INI's initial data) are on.
  EXPECT_EQ(State()["gpio_latch"], "2804");
  EXPECT_EQ(Send("20400000"), (Answer{0, 4, "02849000"}));
  EXPECT_EQ(Send("20400000", 3), (Answer{-3, 0, ""}));
  EXPECT_EQ(Lines("Cp2110GpioRead Param Error"), 1u);
  ASSERT_EQ(Sim("fault feature-error 1"), "OK");
  EXPECT_EQ(Send("20400000"), (Answer{-4, 0, ""}));
  EXPECT_EQ(Lines("Cp2110GpioRead ExecError dwRet = -4"), 1u);
}

TEST_F(BridgeCommands, GpioWriteSwitchesTheLatchWithinItsLimits) {
  const uint64_t before = Received();
  EXPECT_EQ(Send("20410301"), (Answer{0, 2, "9000"}));
  EXPECT_EQ(State()["gpio_latch"], "280C");
  EXPECT_EQ(Send("20400000"), (Answer{0, 4, "028C9000"}));
  EXPECT_EQ(Send("20410700"), (Answer{0, 2, "9000"}));
  EXPECT_EQ(State()["gpio_latch"], "200C");
  for (const char* hex : {"20411001", "20410302", "20410301"}) {
    const int capacity = std::string(hex) == "20410301" ? 1 : 256;
    EXPECT_EQ(Send(hex, capacity), (Answer{-3, 0, ""})) << hex;
  }
  EXPECT_EQ(Lines("Cp2110GpioWrite Param Error"), 3u);
  EXPECT_EQ(State()["gpio_latch"], "200C");
  ASSERT_EQ(Sim("fault gpio-readback 1"), "OK");  // the line reads back wrong
  EXPECT_EQ(Send("20410201"), (Answer{-4, 0, ""}));
  EXPECT_EQ(Lines("Cp2110GpioWrite ExecError dwRet = -4"), 1u);
  EXPECT_EQ(Received(), before);  // none of it reached the reader
}

TEST_F(BridgeCommands, SerialStringRoundTrip) {
  std::string serial;
  for (int i = 0; i < 61; ++i) {
    char b[3];
    std::snprintf(b, sizeof b, "%02X", (i * 7 + 1) & 0xFF);
    serial += b;
  }
  const std::string set = "203000010041" "32333534" + serial;
  EXPECT_EQ(Send(set), (Answer{0, 2, "9000"}));
  EXPECT_EQ(Send("20300000"), (Answer{0, 63, serial + "9000"}));
  EXPECT_EQ(Send("20300000", 62), (Answer{-3, 0, ""}));
  EXPECT_EQ(Lines("GetCp2110SerialString Param Error"), 1u);
  // The marker, the length and P2 belong to the routing row.
  EXPECT_EQ(Send("203000010041" "32333533" + serial), (Answer{-3, 0, ""}));
  EXPECT_EQ(Send("203000010041" "32333534" + serial.substr(2)), (Answer{-3, 0, ""}));
  EXPECT_EQ(Lines("D_Error RFRW_CLRW_Transmit(10) CLA:0x20 INS:0x30 P1:0x0 P2:0x1 Le:0x0 0x41"), 2u);
  EXPECT_EQ(Send(set, 1), (Answer{-3, 0, ""}));
  EXPECT_EQ(Lines("SetCp2110SerialString Param Error"), 1u);
  ASSERT_EQ(Sim("fault feature-error 1"), "OK");
  EXPECT_EQ(Send(set), (Answer{-4, 0, ""}));
  EXPECT_EQ(Lines("SetCp2110SerialString RwExecError dwRet = 31"), 1u);
  EXPECT_EQ(Send("20300000"), (Answer{0, 63, serial + "9000"}));
}

}  // namespace
}  // namespace zq::test
