// The comm library's pure rules, fed directly: restart patterns and
// reasons, the device nodes a restart searches, line settings texts, and
// the trace's names and lines.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "comm/line_settings.h"
#include "comm/restart_rules.h"
#include "comm/trace.h"
#include "platform/devices/hid_names.h"

namespace zq::comm {
namespace {

TEST(RestartRules, WildcardPatternsAgainstHardwareIds) {
  struct Case {
    const char* id;
    const char* pattern;
    bool matches;
  };
  const Case cases[] = {
      {"HID\\VID_FFF1&PID_7C02&REV_0100", "HID\\VID_FFF1*", true},
      {"USB\\VID_FFF1&PID_7C02", "HID\\VID_FFF1*", false},
      {"hid\\vid_fff1&pid_7c02", "HID\\VID_FFF1*", true},           // letters without regard to case
      {"USB\\VID_FFF1&PID_7C02", "USB\\VID_FFF1&PID_7C02", true},   // no star: equal
      {"USB\\VID_FFF1&PID_7C02&REV_0100", "USB\\VID_FFF1&PID_7C02", false},
      {"USB\\VID_FFF1&PID_7C02&REV_0100", "USB\\*&PID_7C02*", true},
      {"USB\\VID_FFF1&PID_7C02&REV_0100", "USB\\*&PID_7C03*", false},
      {"USB\\VID_FFF1&PID_7C02&REV_0100", "*REV_0100", true},       // the last part ends the ID
      {"USB\\VID_FFF1&PID_7C02&REV_0100", "*REV_01", false},
      {"USB\\VID_FFF1&PID_7C02&REV_0100", "USB*VID*PID*REV*", true},
      {"USB\\VID_FFF1&PID_7C02", "USB*PID*VID*", false},              // parts in order
      {"USB\\AB", "USB\\AB*AB", false},                              // the end may not reuse the beginning
      {"HID_DEVICE", "*", true},
  };
  for (const Case& c : cases) EXPECT_EQ(WildcardMatches(c.id, c.pattern), c.matches) << c.id << " / " << c.pattern;
}

TEST(RestartRules, ReasonsByTheirFirstFourCharacters) {
  struct Case {
    const char* reason;
    const char* cause;
    const char* first;
    const char* second;
    bool refusable;
  };
  const Case cases[] = {
      {"PWPT", "WriteFile", "AAX1", "AAX8", true}, {"pwpt", "WriteFile", "AAX1", "AAX8", true},
      {"PCFLxx", "CreateFile", "AAX2", "AAX9", true}, {"PRTY", "Retry", "AAX3", "AAXA", false},
      {"PeEv", "COMEvent", "AAX4", "AAXB", false}, {"POTR", "Other", "AAX5", "AAXC", false},
      {"PWP", "COMEvent", nullptr, nullptr, false}, {nullptr, "COMEvent", nullptr, nullptr, false},
  };
  for (const Case& c : cases) {
    const RestartReason r = ReasonOf(c.reason);
    EXPECT_STREQ(r.cause, c.cause) << (c.reason ? c.reason : "null");
    EXPECT_EQ(r.first ? std::string(r.first) : "", c.first ? std::string(c.first) : "");
    EXPECT_EQ(r.second ? std::string(r.second) : "", c.second ? std::string(c.second) : "");
    EXPECT_EQ(r.refusable, c.refusable);
  }
}

TEST(RestartRules, TheHidClassListsEachUsbDeviceOnceBeforeItsHidNodes) {
  platform::DeviceInterface a, b, c;
  a.instanceId = "HID\\VID_FFF1&PID_7C02&MI_00\\HIDRAW0";
  a.usbInstanceId = "USB\\VID_FFF1&PID_7C02\\S1";
  a.usbHardwareIds = {"USB\\VID_FFF1&PID_7C02"};
  b.instanceId = "HID\\VID_FFF1&PID_7C02&MI_01\\HIDRAW1";
  b.usbInstanceId = "usb\\vid_fff1&pid_7c02\\s1";  // the same device
  c.instanceId = "HID\\VID_046D&PID_C52B\\HIDRAW2";  // not on USB
  const std::vector<platform::DeviceNode> nodes = platform::HidClassNodes({a, b, c});
  std::vector<std::string> ids;
  for (const auto& n : nodes) ids.push_back(n.instanceId);
  EXPECT_EQ(ids, (std::vector<std::string>{a.usbInstanceId, a.instanceId, b.instanceId, c.instanceId}));
  EXPECT_EQ(nodes[0].hardwareIds, a.usbHardwareIds);
  EXPECT_EQ(nodes[2].source.instanceId, b.instanceId);
}

TEST(LineSettings, BothFormsOfTheText) {
  struct Case {
    const char* text;
    bool ok;
    uint32_t baud = 0;
    uint8_t parity = 0, bits = 0, stop = 0;
    uint32_t dtr = 0, rts = 0, outX = 0;
  };
  const Case cases[] = {
      {"115200,N,8,1", true, 115200, NOPARITY, 8, ONESTOPBIT, DTR_CONTROL_ENABLE, RTS_CONTROL_ENABLE, 0},
      {"9600,e,7,2", true, 9600, EVENPARITY, 7, TWOSTOPBITS, DTR_CONTROL_ENABLE, RTS_CONTROL_ENABLE, 0},
      {"COM1: 96,o,5,1.5,x", true, 9600, ODDPARITY, 5, ONE5STOPBITS, DTR_CONTROL_ENABLE, RTS_CONTROL_ENABLE, 1},
      {"19200,m,8,1,p", true, 19200, MARKPARITY, 8, ONESTOPBIT, DTR_CONTROL_HANDSHAKE, RTS_CONTROL_HANDSHAKE, 0},
      {"110", true, 110, 9, 9, TWOSTOPBITS, DTR_CONTROL_ENABLE, RTS_CONTROL_ENABLE, 0},
      {"baud=57600 parity=s data=6 stop=1 dtr=off rts=tg xon=on", true, 57600, SPACEPARITY, 6, ONESTOPBIT,
       DTR_CONTROL_DISABLE, RTS_CONTROL_TOGGLE, 1},
      {"baud=4800", true, 4800, 9, 9, 9, 3, 3, 0},  // only what it names changes
      {"115200,N,9,1", false}, {"fast,N,8,1", false}, {"115200,Q,8,1", false}, {"", false},
      {"baud=9600 speed=1", false}, {"115200,N,8,3", false},
  };
  for (const Case& c : cases) {
    DCB d{};
    d.Parity = d.ByteSize = d.StopBits = 9;
    d.fDtrControl = d.fRtsControl = 3;
    const DCB before = d;
    EXPECT_EQ(BuildCommDcb(c.text, &d), c.ok) << c.text;
    if (!c.ok) {
      EXPECT_EQ(d.BaudRate, before.BaudRate) << c.text;
      EXPECT_EQ(d.fBinary, 0u) << c.text;
      continue;
    }
    EXPECT_EQ(d.BaudRate, c.baud) << c.text;
    EXPECT_EQ(d.Parity, c.parity) << c.text;
    EXPECT_EQ(d.ByteSize, c.bits) << c.text;
    EXPECT_EQ(d.StopBits, c.stop) << c.text;
    EXPECT_EQ(d.fDtrControl, c.dtr) << c.text;
    EXPECT_EQ(d.fRtsControl, c.rts) << c.text;
    EXPECT_EQ(d.fOutX, c.outX) << c.text;
    EXPECT_EQ(d.fBinary, 1u) << c.text;
  }
}

TEST(TraceText, OpenNamesAndLines) {
  EXPECT_EQ(TraceOpenName("ABCDEFGHIJKLMNOPQRST", 0), "GHIJKLMNOPQRST0C");
  EXPECT_EQ(TraceOpenName("RW01", 10), "RW01:C");
  EXPECT_EQ(TraceOpenName("RW01", 14), "RW01>C");
  EXPECT_EQ(TraceOpenName("", 0), "");
  const std::string stamp = "2024/05/06 07:08:09.010 ";
  EXPECT_EQ(TraceLineText(stamp, "AA10,x"), stamp + "AA10,x\r\n");
  EXPECT_EQ(TraceLineText(stamp, std::string(989, 'm')), stamp + std::string(989, 'm') + "\r\n");  // 1013 in all
  EXPECT_EQ(TraceLineText(stamp, std::string(990, 'm')), "2024/05/06 07:08:09.010\r\n");
}

}  // namespace
}  // namespace zq::comm
