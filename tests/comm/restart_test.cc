// DeviceRestart through the loaded library against zelquar-sim: the reason
// table, the refusal after a device fault, the patterns that find the
// device, and what a restart leaves behind (the port closed, the device
// pulled and plugged in again, the restart event set, the trace and the
// event-log entries), plus the event log's thresholds.
#include <gtest/gtest.h>
#include <signal.h>

#include "comm_test_util.h"
#include "platform/devices/comm_sync.h"

namespace zq::comm::test {
namespace {

const std::string kFragment = "vid_FFF1&pid_7C02";

class Restart : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(lib_.ok()) << ::dlerror();
    ASSERT_TRUE(syslog_.ok());
    ASSERT_TRUE(sim_.published());
  }
  OpenOptions Options(const std::string& pattern, int32_t level = 1) {
    OpenOptions o;
    o.deviceName = kFragment;
    o.logicalName = "RestartTest";
    o.eventSource = "ZqRestartTest";
    o.eventText1 = "unit";
    o.eventText2 = "bench";
    o.eventLogLevel = level;
    o.restartPattern = pattern;
    return o;
  }
  std::vector<std::string> Entries() {
    std::vector<std::string> out;
    for (const std::string& e : syslog_.Take()) out.push_back(EntryMessage(e, "ZqRestartTest"));
    return out;
  }
  uint32_t Latch() { return static_cast<uint32_t>(std::stoul(sim_.State()["gpio_latch"].get<std::string>(), nullptr, 16)); }

  CommLib lib_;
  SimDirectory dir_;
  Scratch scratch_;
  SyslogCapture syslog_{scratch_.path()};
  SimulatedReader sim_{{.dir = dir_.path()}};
};

TEST_F(Restart, LowerCasePwptRestartsTheUsbNodeLikePwpt) {
  Port port(lib_);
  ASSERT_EQ(port.Open(Options("USB\\vid_FFF1&pid_7C02")), 0);
  ASSERT_EQ(port.SetFeature({0x45, 0x00, 0x05, 0x00, 0x0F}), 0);
  ASSERT_EQ(Latch() & 0x000F, 0x0005u);
  platform::NamedEvent* restartEvent = platform::OpenNamedEvent("_USBPOW_RestartTest_restart");
  ASSERT_NE(restartEvent, nullptr);
  EXPECT_EQ(platform::WaitNamedEvent(restartEvent, 0), platform::kWaitTimeout);

  EXPECT_EQ(port.Restart("pwpt", 7), 0);
  // The port is left closed; the device came back from power-up.
  Bytes report;
  EXPECT_EQ(port.GetFeature(0x44, &report), 6);
  EXPECT_TRUE(sim_.State()["plugged"]);
  EXPECT_NE(Latch() & 0x000F, 0x0005u);
  EXPECT_EQ(platform::WaitNamedEvent(restartEvent, 0), platform::kWaitObject0);
  platform::CloseNamedEvent(restartEvent);
  ASSERT_EQ(port.Open(Options("USB\\vid_FFF1&pid_7C02")), 0);
  EXPECT_EQ(port.GetFeature(0x44, &report), 0);

  const auto t = TraceMessages();
  const long start = MessageAt(t, ApiLine("DeviceRestart() start 0x7 0x0 0x0"));
  ASSERT_GE(start, 0);
  const char* order[] = {"DoDeviceRestart() start,pwpt", "AAX1 0x1 0x0 0x0", "AAX6 0x1 0x0 0x0",
                         "AAb0 0x0 0x0 0x0", "AAX7 0x1 0x0 0x0", "AAYD,USB\\vid_FFF1&pid_7C02",
                         "AAYE devID=,USB\\VID_FFF1&PID_7C02\\SIM0001", "AAY6 Restart start 0x0 0x0 0x0",
                         "AAYA Restart success 0x0 0x0 0x0", "AAX8 0x2 0x0 0x0", "DoDeviceRestart() end 0x1 0x0 0x0"};
  long at = start;
  for (const char* m : order) {
    at = MessageAt(t, m, static_cast<size_t>(at));
    EXPECT_GE(at, 0) << m;
    if (at < 0) break;
  }
  EXPECT_TRUE(HasMessage(t, ApiLine("DeviceRestart() end 0x0 0x0 0x0")));
  const auto e = Entries();
  ASSERT_EQ(e.size(), 1u);
  EXPECT_EQ(e[0], "event 0x800003ED type 2 category 0 \"unit\" \"bench\" \"WriteFile\" data 07 00 00 00");
}

TEST_F(Restart, AnEmptyPatternReturnsZeroWithoutClosingThePort) {
  Port port(lib_);
  ASSERT_EQ(port.Open(Options("")), 0);
  EXPECT_EQ(port.Restart("POTR", 1), 0);
  Bytes report;
  EXPECT_EQ(port.GetFeature(0x44, &report), 0);
  EXPECT_TRUE(sim_.State()["hid_open"]);
  EXPECT_TRUE(HasMessage(TraceMessages(), "AAXF 0x1 0x1 0x0"));
  EXPECT_TRUE(Entries().empty());
}

TEST_F(Restart, PcflAfterADeviceNotConnectedResultIsRefusedOnceThenRestarts) {
  Port port(lib_);
  ASSERT_EQ(port.Open(Options("USB\\vid_FFF1&pid_7C02")), 0);
  ASSERT_EQ(sim_.Control("unplug"), "OK");
  platform::SyncEvent event(true);
  OVERLAPPED o{};
  o.hEvent = &event;
  uint32_t n = 0;
  const Bytes frame(8, 0x11);
  PortRequest w{};
  w.code = WritePort;
  w.write = {frame.data(), 8, &n, &o};
  EXPECT_EQ(port.Call(w), -1);
  ASSERT_EQ(sim_.Control("replug"), "OK");
  EXPECT_EQ(port.OverlappedResult(&o, &n, 0), 1167);

  EXPECT_EQ(port.Restart("PCFL", 3), 5);
  EXPECT_TRUE(HasMessage(TraceMessages(), "AAXE 0x1 0x3 0x0"));
  EXPECT_EQ(port.Restart("PCFL", 3), 0);
  const auto t = TraceMessages();
  EXPECT_TRUE(HasMessage(t, "AAX2 0x1 0x0 0x0"));
  EXPECT_TRUE(HasMessage(t, "AAX9 0x2 0x0 0x0"));
  const auto e = Entries();
  ASSERT_EQ(e.size(), 1u);
  EXPECT_NE(e[0].find("\"CreateFile\" data 03 00 00 00"), std::string::npos) << e[0];
}

TEST_F(Restart, AHidWildcardPatternFindsTheHidNodeAndAPatternOfNoDeviceFails) {
  Port port(lib_);
  ASSERT_EQ(port.Open(Options("HID\\VID_FFF1*")), 0);
  EXPECT_EQ(port.Restart("PRTY", 2), 0);
  auto t = TraceMessages();
  // The USB node's IDs do not match; the HID node's first hardware ID does.
  EXPECT_TRUE(HasMessage(t, "AAYE devID=,USB\\VID_FFF1&PID_7C02\\SIM0001"));
  EXPECT_TRUE(HasMessage(t, "AAYF,HID\\VID_FFF1&PID_7C02&REV_0100"));
  EXPECT_TRUE(HasMessage(t, "AAXA 0x2 0x0 0x0"));
  EXPECT_EQ(Entries().size(), 1u);

  ASSERT_EQ(port.Open(Options("HID\\VID_FFF2*")), 0);
  EXPECT_EQ(port.Restart("PEEV", 4), 101);
  t = TraceMessages();
  EXPECT_TRUE(HasMessage(t, "AAYB 0x0 0x0 0x0"));
  EXPECT_TRUE(HasMessage(t, "AAXB 0x2 0x65 0x0"));
  const auto e = Entries();
  ASSERT_EQ(e.size(), 2u);
  EXPECT_NE(e[0].find("\"COMEvent\" data 04 00 00 00"), std::string::npos) << e[0];
  EXPECT_EQ(e[1], "event 0x800003EE type 2 category 0 \"unit\" \"bench\" data 65 00 00 00 00 00 00 00");
  // Nothing was restarted, but the port is closed all the same.
  Bytes report;
  EXPECT_EQ(port.GetFeature(0x44, &report), 6);
}

TEST_F(Restart, ASimulatorThatAnswersTooLateFailsTheRestartWith103AndStillPutsTheDeviceBack) {
  Port port(lib_);
  ASSERT_EQ(port.Open(Options("USB\\vid_FFF1&pid_7C02")), 0);
  // The simulator stops answering (stopped, not gone): the restart request
  // waits its 5 s and gives up.
  ASSERT_EQ(::kill(sim_.pid(), SIGSTOP), 0);
  const int32_t result = port.Restart("POTR", 9);
  ASSERT_EQ(::kill(sim_.pid(), SIGCONT), 0);
  EXPECT_EQ(result, 103);
  const auto t = TraceMessages();
  EXPECT_TRUE(HasMessage(t, "DevConRestart() error 0x0 0x0 0x0"));
  const auto e = Entries();
  ASSERT_EQ(e.size(), 2u);
  EXPECT_NE(e[0].find("event 0x800003ED type 2 category 0 \"unit\" \"bench\" \"Other\" data 09 00 00 00"), std::string::npos)
      << e[0];
  EXPECT_EQ(e[1].rfind("event 0x800003EE type 2 category 0 \"unit\" \"bench\" data 67 00 00 00 ", 0), 0u) << e[1];
  // The simulator carries out the restart it got late, pulled and plugged
  // in again in one step: the device is back, not left pulled out.
  EXPECT_TRUE(WaitUntil([&] { return sim_.State()["plugged"] == true; }));
  ASSERT_EQ(port.Open(Options("USB\\vid_FFF1&pid_7C02")), 0);
  Bytes report;
  EXPECT_EQ(port.GetFeature(0x44, &report), 0);
}

TEST_F(Restart, EntriesAreWrittenOnlyFromTheirLevelOn) {
  Port port(lib_);
  OpenOptions missing = Options("USB\\vid_FFF1&pid_7C02", 1);
  missing.deviceName = "vid_1234&pid_5678";
  EXPECT_EQ(port.Open(missing), 2);
  EXPECT_TRUE(Entries().empty());  // an open failure needs level 2
  missing.eventLogLevel = 2;
  EXPECT_EQ(port.Open(missing), 2);
  auto e = Entries();
  ASSERT_EQ(e.size(), 1u);
  EXPECT_EQ(e[0], "event 0x400003EA type 4 category 0 \"unit\" \"bench\" data 02 00 00 00");

  ASSERT_EQ(port.Open(Options("USB\\vid_FFF1&pid_7C02", 0)), 0);
  EXPECT_EQ(port.Restart("POTR", 1), 0);
  EXPECT_TRUE(Entries().empty());  // level 0: no entries at all
}

}  // namespace
}  // namespace zq::comm::test
