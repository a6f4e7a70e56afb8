// The simulated unit as the host sees it through HID messages: the bridge's
// feature reports, the UART gate (enable, 8E1, reader power), power cycling,
// bridge faults, control commands, wire timing, and a whole Gen2
// conversation in-process.
#include <gtest/gtest.h>

#include <cmath>

#include "conversation.h"
#include "sim/model/device.h"
#include "sim_test_util.h"

namespace zq::sim {
namespace {

using test::DeviceTransport;
using test::ReaderHost;

class DeviceTest : public ::testing::Test {
 protected:
  explicit DeviceTest(bool wireTiming = false) {
    DeviceOptions o;
    o.wire_timing = wireTiming;
    device_ = std::make_unique<Device>(o);
    EXPECT_EQ(device_->Reset(), "");
    transport_ = std::make_unique<DeviceTransport>(*device_);
    host_ = std::make_unique<ReaderHost>(*transport_);
  }
  std::string Ctl(const std::string& line) { return device_->Control(line, transport_->now()).reply; }
  nlohmann::json State() {
    std::string r = Ctl("state");
    EXPECT_EQ(r.rfind("OK ", 0), 0u);
    return nlohmann::json::parse(r.substr(3));
  }
  const Bytes kModeSetUp = {0x03, 0xFF, 0x00, 0x00};

  std::unique_ptr<Device> device_;
  std::unique_ptr<DeviceTransport> transport_;
  std::unique_ptr<ReaderHost> host_;
};

// ---- bridge feature reports ----

TEST_F(DeviceTest, UartEnableAndConfigurationReadBack) {
  Bytes r;
  ASSERT_EQ(host_->GetFeature(0x41, &r), 0u);
  EXPECT_EQ(r[1], 0);  // disabled after plug-in
  ASSERT_EQ(host_->GetFeature(0x50, &r), 0u);
  EXPECT_EQ(Bytes(r.begin(), r.begin() + 9), (Bytes{0x50, 0x00, 0x01, 0xC2, 0x00, 0x00, 0x00, 0x03, 0x00}));
  EXPECT_EQ(host_->SetFeature({0x41, 0x01}), 0u);
  EXPECT_EQ(host_->ConfigureUart(), 0u);
  ASSERT_EQ(host_->GetFeature(0x50, &r), 0u);
  EXPECT_EQ(Bytes(r.begin(), r.begin() + 9), (Bytes{0x50, 0x00, 0x01, 0xC2, 0x00, 0x02, 0x00, 0x03, 0x00}));
  ASSERT_EQ(host_->GetFeature(0x41, &r), 0u);
  EXPECT_EQ(r[1], 1);
  // Invalid codes are refused and change nothing.
  EXPECT_EQ(host_->SetFeature({0x50, 0x00, 0x01, 0xC2, 0x00, 0x05, 0x00, 0x03, 0x00}), kResultStalled);
  EXPECT_EQ(host_->SetFeature({0x50, 0x00, 0x00, 0x00, 0x64, 0x02, 0x00, 0x03, 0x00}), kResultStalled);  // 100 baud
  ASSERT_EQ(host_->GetFeature(0x50, &r), 0u);
  EXPECT_EQ(r[5], 0x02);
}

TEST_F(DeviceTest, GpioLatchFollowsValueAndMask) {
  Bytes r;
  EXPECT_EQ(host_->SetLine(0xFFFF, 0x2000), 0u);  // 45 FF FF 20 00
  EXPECT_EQ(host_->SetLine(0xFFFF, 0x0804), 0u);
  EXPECT_EQ(host_->SetLine(0x0000, 0x0800), 0u);  // 45 00 00 08 00
  EXPECT_EQ(host_->SetLine(0xFFFF, 0x0010), 0u);  // TX pin: not a GPIO line
  ASSERT_EQ(host_->GetFeature(0x44, &r), 0u);
  EXPECT_EQ((r[1] << 8) | r[2], 0x2004);
  EXPECT_TRUE(device_->reader().powered());
}

TEST_F(DeviceTest, VersionSerialStringAndUnknownReports) {
  Bytes r;
  ASSERT_EQ(host_->GetFeature(0x46, &r), 0u);
  EXPECT_EQ(r[1], 0x0A);
  ASSERT_EQ(host_->GetFeature(0x65, &r), 0u);
  EXPECT_EQ(r[2], 0x03);
  EXPECT_EQ(Bytes(r.begin() + 3, r.begin() + 7), (Bytes{'S', 0, 'I', 0}));
  Bytes serial{0x65, 0x3F, 0x03};
  for (int i = 0; i < 61; ++i) serial.push_back(static_cast<uint8_t>('A' + i % 26));
  EXPECT_EQ(host_->SetFeature(serial), 0u);
  ASSERT_EQ(host_->GetFeature(0x65, &r), 0u);
  EXPECT_EQ(r, serial);
  EXPECT_EQ(host_->SetFeature({0x40, 0x00}), kResultStalled);
  EXPECT_EQ(host_->GetFeature(0x40, &r), kResultStalled);
  EXPECT_EQ(host_->GetFeature(0x41, &r, 1), kResultBadLength);
  ASSERT_EQ(host_->GetFeature(0x44, &r, 3), 0u);
  EXPECT_EQ(r.size(), 3u);
}

// ---- the UART gate ----

TEST_F(DeviceTest, BytesReachTheReaderOnlyWhenEnabledConfiguredAndPowered) {
  host_->WriteUart(protocol::EncodeFrame(0x01, kModeSetUp));  // UART disabled
  EXPECT_EQ(host_->SetFeature({0x41, 0x01}), 0u);
  EXPECT_EQ(host_->ConfigureUart(), 0u);
  EXPECT_FALSE(host_->Exchange(kModeSetUp, 500).has_value());  // reader not powered
  EXPECT_EQ(State()["counters"]["frames_received"], 0);
  EXPECT_EQ(host_->SetLine(0xFFFF, 0x2000), 0u);
  Bytes boot = transport_->ReadUart(64, 200);
  EXPECT_FALSE(boot.empty());
  auto r = host_->Exchange(kModeSetUp);
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(*r, (Bytes{0x90, 0x00}));
}

TEST_F(DeviceTest, UartWithoutParityGarblesTheTraffic) {
  ASSERT_TRUE(host_->PowerUp());
  EXPECT_EQ(host_->ConfigureUart(0x00), 0u);
  // Bytes with an even number of ones fail the reader's parity check.
  EXPECT_FALSE(host_->Exchange({0x00, 0x02, 0x00, 0x04, 0x00, 0x1F, 0x02, 0x1D}, 500).has_value());
  EXPECT_EQ(State()["counters"]["commands_executed"], 0);
  EXPECT_EQ(host_->ConfigureUart(0x02), 0u);
  transport_->Advance(kFramePauseUs + 1);
  auto r = host_->Exchange({0x00, 0x02, 0x00, 0x04, 0x00, 0x1F, 0x02, 0x1D});
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(*r, (Bytes{0x01, 0x23, 0x90, 0x00}));
}

TEST(LineTransfer, ParityMismatchDropsBytesAndSpeedMismatchGarbles) {
  UartConfig none = UartConfig::Reader();
  none.parity = 0;
  EXPECT_EQ(LineTransfer(none, 0x01), std::optional<uint8_t>(0x01));  // odd number of ones
  EXPECT_EQ(LineTransfer(none, 0x03), std::nullopt);
  UartConfig odd = UartConfig::Reader();
  odd.parity = 1;
  EXPECT_EQ(LineTransfer(odd, 0x01), std::nullopt);
  UartConfig slow = UartConfig::Reader();
  slow.baud = 9600;
  auto g = LineTransfer(slow, 0x41);
  ASSERT_TRUE(g.has_value());
  EXPECT_NE(*g, 0x41);
  EXPECT_EQ(LineTransfer(UartConfig::Reader(), 0x41), std::optional<uint8_t>(0x41));
}

TEST_F(DeviceTest, PowerCycleThroughGpio9ResetsTheReaderButNotTagMemory) {
  ASSERT_TRUE(host_->PowerUp());
  EXPECT_FALSE(host_->boot_bytes().empty());
  ASSERT_EQ(host_->Exchange({0x00, 0x22, 0x05, 0x00}), (Bytes{0x90, 0x00}));
  Bytes pcEpc = test::FirstPcEpc(*host_);
  auto h = host_->Address(pcEpc);
  ASSERT_TRUE(h.has_value());
  test::WriteWord(*host_, *h, 3, 1, 0x4242);

  EXPECT_EQ(host_->SetLine(0x0000, 0x2000), 0u);
  EXPECT_FALSE(device_->reader().powered());
  EXPECT_FALSE(host_->Exchange(kModeSetUp, 300).has_value());
  EXPECT_EQ(host_->SetLine(0xFFFF, 0x2000), 0u);
  EXPECT_FALSE(transport_->ReadUart(64, 200).empty());  // boot bytes again
  EXPECT_EQ(State()["settings"]["power_level"], 20);
  // The handle is gone; the memory is not.
  auto silent = host_->Tag(test::ReqRnCmd(*h));
  ASSERT_TRUE(silent.has_value());
  EXPECT_EQ(*silent, (Bytes{0x00, 0x90, 0x00}));
  h = host_->Address(pcEpc);
  ASSERT_TRUE(h.has_value());
  test::TagBits user = test::ParseWithHeader(ReaderHost::TagReplyBits(host_->Tag(test::ReadCmd(3, 1, 1, *h), 2, 49)), 1);
  EXPECT_EQ(user.words, (std::vector<uint16_t>{0x4242}));
}

TEST_F(DeviceTest, PurgeTakesOnlyItsThreeCodes) {
  EXPECT_EQ(host_->SetFeature({0x43, 0x01}), 0u);
  EXPECT_EQ(host_->SetFeature({0x43, 0x02}), 0u);
  EXPECT_EQ(host_->SetFeature({0x43, 0x03}), 0u);
  EXPECT_EQ(host_->SetFeature({0x43, 0x00}), kResultStalled);
  EXPECT_EQ(host_->SetFeature({0x43, 0x04}), kResultStalled);
}

// ---- faults and control ----

TEST_F(DeviceTest, ReadbackAndFeatureFaults) {
  ASSERT_EQ(Ctl("fault uart-readback 1"), "OK");
  ASSERT_EQ(Ctl("fault gpio-readback 1"), "OK");
  Bytes r;
  EXPECT_EQ(host_->ConfigureUart(), 0u);
  ASSERT_EQ(host_->GetFeature(0x50, &r), 0u);
  EXPECT_NE(r[5], 0x02);
  ASSERT_EQ(host_->GetFeature(0x50, &r), 0u);
  EXPECT_EQ(r[5], 0x02);
  EXPECT_EQ(host_->SetLine(0xFFFF, 0x2000), 0u);
  ASSERT_EQ(host_->GetFeature(0x44, &r), 0u);
  EXPECT_EQ((r[1] << 8 | r[2]) & 0x2000, 0);
  ASSERT_EQ(host_->GetFeature(0x44, &r), 0u);
  EXPECT_EQ((r[1] << 8 | r[2]) & 0x2000, 0x2000);
  ASSERT_EQ(Ctl("fault feature-error 2"), "OK");
  EXPECT_EQ(State()["faults"]["feature_error"], 2);
  EXPECT_EQ(host_->SetFeature({0x41, 0x01}), kResultStalled);
  EXPECT_EQ(host_->GetFeature(0x41, &r), kResultStalled);
  EXPECT_EQ(host_->GetFeature(0x41, &r), 0u);
  EXPECT_EQ(r[1], 0);  // the failed set did nothing
}

TEST_F(DeviceTest, ReplyFaultsThroughControlCommands) {
  ASSERT_TRUE(host_->PowerUp());
  ASSERT_EQ(Ctl("fault drop-reply 1"), "OK");
  EXPECT_FALSE(host_->Exchange(kModeSetUp, 300).has_value());
  ASSERT_EQ(Ctl("fault bad-check 1"), "OK");
  EXPECT_FALSE(host_->Exchange(kModeSetUp, 300).has_value());
  ASSERT_EQ(Ctl("fault stall 1"), "OK");
  EXPECT_FALSE(host_->Exchange(kModeSetUp, 300).has_value());
  ASSERT_EQ(Ctl("fault status 640A 1"), "OK");
  EXPECT_EQ(host_->Exchange(kModeSetUp), (Bytes{0x64, 0x0A}));
  EXPECT_EQ(host_->Exchange(kModeSetUp), (Bytes{0x90, 0x00}));
  nlohmann::json s = State();
  EXPECT_EQ(s["faults"]["drop_reply"], 0);
  EXPECT_EQ(s["faults"]["stall"], 0);
  EXPECT_EQ(s["last_command"], "03FF0000");
}

TEST_F(DeviceTest, ReplyFaultAnswersWithAnyBodyAndStateCountsWhatCame) {
  ASSERT_TRUE(host_->PowerUp());
  const Bytes power{0x00, 0x22, 0x05, 0x00};
  // A refusal with a reader status, an empty body, and one longer than any
  // capacity the driver gives the power level command: none is executed.
  ASSERT_EQ(Ctl("fault reply 056400 1"), "OK");
  EXPECT_EQ(host_->Exchange(power), (Bytes{0x05, 0x64, 0x00}));
  ASSERT_EQ(Ctl("fault reply - 1"), "OK");
  EXPECT_EQ(host_->Exchange(power), Bytes{});
  // Queued replies answer in order.
  ASSERT_EQ(Ctl("fault reply 0102039000 1"), "OK");
  ASSERT_EQ(Ctl("fault reply 6405 1"), "OK");
  ASSERT_EQ(Ctl("fault reply 9000 5"), "OK");
  EXPECT_EQ(State()["faults"]["reply"], 7);
  EXPECT_EQ(State()["faults"]["reply_next"], "0102039000");
  EXPECT_EQ(host_->Exchange(power), (Bytes{0x01, 0x02, 0x03, 0x90, 0x00}));
  EXPECT_EQ(host_->Exchange(kModeSetUp), (Bytes{0x64, 0x05}));
  ASSERT_EQ(Ctl("fault reply - 0"), "OK");  // the rest is dropped
  EXPECT_EQ(State()["faults"]["reply"], 0);
  EXPECT_EQ(device_->reader().settings().power_level, 20);
  EXPECT_EQ(host_->Exchange(power), (Bytes{0x90, 0x00}));
  EXPECT_EQ(device_->reader().settings().power_level, 5);

  nlohmann::json s = State();
  EXPECT_EQ(s["counters"]["commands_received"], 5);
  EXPECT_EQ(s["counters"]["commands_executed"], 1);
  ASSERT_EQ(s["commands"].size(), 5u);
  EXPECT_EQ(s["commands"][0], "00220500");
  EXPECT_EQ(s["commands"][3], "03FF0000");
  EXPECT_EQ(s["counters"]["boots"], 1);
  EXPECT_EQ(s["line9"]["on"], 1);
  EXPECT_EQ(s["line9"]["off"], 0);
  EXPECT_EQ(s["gpio_history"], nlohmann::json::array({"2000"}));

  // Line 9 off and on again: a second boot; each set is in the history.
  EXPECT_EQ(host_->SetLine(0xFFFF, 0x0080), 0u);
  EXPECT_EQ(host_->SetLine(0x0000, 0x2000), 0u);
  EXPECT_EQ(host_->SetLine(0xFFFF, 0x2000), 0u);
  s = State();
  EXPECT_EQ(s["counters"]["boots"], 2);
  EXPECT_EQ(s["line9"]["off"], 1);
  EXPECT_EQ(s["gpio_history"], nlohmann::json::array({"2000", "2080", "0080", "2080"}));
  EXPECT_EQ(Ctl("reset"), "OK");
  s = State();
  EXPECT_TRUE(s["gpio_history"].empty());
  EXPECT_EQ(s["counters"]["boots"], 0);
  EXPECT_TRUE(s["commands"].empty());
}

TEST_F(DeviceTest, StateShowsTheSpeedRegisterAndDownloadBlocks) {
  ASSERT_TRUE(host_->PowerUp());
  Bytes speed{0x00, 0x01, 0x00, 0x0D, 0, 0, 0, 0x0F, 0, 0, 0, 0x25, 0x10, 0x25, 0x00, 0x00, 0};
  speed[16] = protocol::BlockCheck(&speed[4], 12);
  EXPECT_EQ(host_->Exchange(speed), (Bytes{0x90, 0x00}));
  Bytes block(37, 0);
  block[1] = 0x0D;
  block[5] = 0x1F;
  host_->Exchange(block);
  nlohmann::json s = State();
  EXPECT_EQ(s["settings"]["speed_register"], 0x25);
  EXPECT_EQ(s["settings"]["speed_word"], "1025");
  EXPECT_EQ(s["counters"]["download_blocks"], 1);
}

TEST_F(DeviceTest, BadCrcSpoilsOnlyTagRepliesAndTheReaderStillReportsThem) {
  ASSERT_TRUE(host_->PowerUp());
  const Bytes pcEpc = device_->reader().field().tags()[0].PcEpcBytes();
  ASSERT_EQ(Ctl("fault bad-crc 2"), "OK");
  EXPECT_EQ(State()["faults"]["bad_crc"], 2);
  // The Select gets no tag reply and the handle comes from the reader: neither uses the fault up.
  auto h = host_->Address(pcEpc);
  ASSERT_TRUE(h.has_value());
  auto spoilt = host_->Tag(test::ReadCmd(3, 0, 1, *h), 2, 49);
  ASSERT_TRUE(spoilt.has_value());
  EXPECT_EQ((*spoilt)[0], 0x01);
  EXPECT_EQ(Bytes(spoilt->end() - 2, spoilt->end()), (Bytes{0x90, 0x00}));
  test::TagBits read = test::ParseWithHeader(ReaderHost::TagReplyBits(spoilt), 1);
  EXPECT_FALSE(read.crc_ok);
  EXPECT_EQ(read.handle, *h);  // only the CRC is damaged
  // A Req_RN reply spoilt the same way; then the tags answer soundly again.
  EXPECT_FALSE(host_->ReqRn(*h).has_value());
  EXPECT_EQ(State()["faults"]["bad_crc"], 0);
  EXPECT_TRUE(host_->ReqRn(*h).has_value());
  EXPECT_TRUE(test::ParseWithHeader(ReaderHost::TagReplyBits(host_->Tag(test::ReadCmd(3, 0, 1, *h), 2, 49)), 1).crc_ok);
}

TEST_F(DeviceTest, ControlCommandErrors) {
  EXPECT_EQ(Ctl("fault reply 0G 1"), "ERR usage: fault reply HEXBODY|- N");
  EXPECT_EQ(Ctl("fault reply 9000"), "ERR usage: fault reply HEXBODY|- N");
  EXPECT_EQ(Ctl("fault drop-reply"), "ERR usage: fault KIND N");
  EXPECT_EQ(Ctl("fault status 64 1"), "ERR usage: fault status SW N");
  EXPECT_EQ(Ctl("fault melt 1").rfind("ERR", 0), 0u);
  EXPECT_EQ(Ctl("dance").rfind("ERR", 0), 0u);
  EXPECT_EQ(Ctl("tag remove 0000").rfind("ERR", 0), 0u);
  EXPECT_EQ(Ctl("tag add {\"epc\":\"123\"}").rfind("ERR", 0), 0u);
  EXPECT_EQ(device_->LoadTags("[{\"epc\":\"12\"}", "t.json").reply, "ERR t.json: not JSON");
  EXPECT_EQ(device_->LoadTags(std::string(65, '[') + std::string(65, ']'), "t.json").reply,
            "ERR t.json: nested deeper than 64 levels");
  EXPECT_EQ(device_->LoadTags("[\"" + std::string(100, '[') + "\"]", "t.json").reply.find("nested"), std::string::npos);
  EXPECT_EQ(Ctl("fault reply-late 100"), "ERR usage: fault reply-late MS N");
  EXPECT_EQ(device_->LoadTags("{\"tag\":[]}", "t.json").reply.rfind("ERR", 0), 0u);
  EXPECT_EQ(State()["tags"].size(), 3u);  // a refused list changes nothing
  EXPECT_EQ(device_->Control("quit", 0).action, Device::Action::kQuit);
}

TEST_F(DeviceTest, TagPopulationCommands) {
  EXPECT_EQ(State()["tags"].size(), 3u);
  EXPECT_EQ(Ctl(R"(tag add {"epc":"3034257BF7194E4000001A85","access_password":"00000001","locked":["user"]})"), "OK");
  nlohmann::json tags = State()["tags"];
  ASSERT_EQ(tags.size(), 4u);
  EXPECT_EQ(tags[3]["pc"], "3000");
  EXPECT_EQ(tags[3]["locked"], nlohmann::json::array({"user"}));
  EXPECT_EQ(Ctl("tag remove 3034257bf7194e4000001a85"), "OK");
  EXPECT_EQ(State()["tags"].size(), 3u);
  // `tags load FILE`: the program reads the file and hands the model its text.
  EXPECT_EQ(device_->LoadTags(R"({"tags":[{"epc":"1111"},{"epc":"2222","pc":"0800","rssi":7}]})", "t.json").reply,
            "OK");
  tags = State()["tags"];
  ASSERT_EQ(tags.size(), 2u);
  EXPECT_EQ(tags[0]["stored_crc"], "CCAE");
  EXPECT_EQ(tags[1]["rssi"], 7);
  EXPECT_EQ(Ctl("reset"), "OK");
  EXPECT_EQ(State()["tags"].size(), 3u);
}

TEST_F(DeviceTest, UnplugFailsRequestsAndReplugStartsAfresh) {
  ASSERT_TRUE(host_->PowerUp());
  Device::ControlResult u = device_->Control("unplug", transport_->now());
  EXPECT_EQ(u.action, Device::Action::kUnplug);
  EXPECT_EQ(host_->SetFeature({0x41, 0x01}), kResultNotConnected);
  Bytes r;
  EXPECT_EQ(host_->GetFeature(0x41, &r), kResultNotConnected);
  EXPECT_FALSE(State()["plugged"]);
  EXPECT_EQ(device_->Control("replug", transport_->now()).action, Device::Action::kReplug);
  device_->HidOpened();
  ASSERT_EQ(host_->GetFeature(0x41, &r), 0u);
  EXPECT_EQ(r[1], 0);
  EXPECT_FALSE(device_->reader().powered());
}

TEST_F(DeviceTest, ScenarioSetsUnitFirmwareAndTags) {
  DeviceOptions o;
  o.scenario = nlohmann::json::parse(
      R"({"unit":2,"firmware_version":"0456","tags":[{"epc":"1111","kill_password":"0000ABCD","locked":["epc","kill"]}]})");
  Device d(o);
  ASSERT_EQ(d.Reset(), "");
  EXPECT_EQ(d.reader().unit(), 2);
  EXPECT_EQ(d.reader().firmware(), (std::array<uint8_t, 2>{0x04, 0x56}));
  ASSERT_EQ(d.reader().field().tags().size(), 1u);
  EXPECT_EQ(d.reader().field().tags()[0].kill_password(), 0xABCDu);
  EXPECT_TRUE(d.reader().field().tags()[0].locks[kLockKill].lock);
  o.scenario = nlohmann::json::parse(R"({"unit":40})");
  EXPECT_NE(Device(o).Reset(), "");
  o.scenario = nlohmann::json::parse(R"({"tags":[{"epc":"11","locked":["nose"]}]})");
  EXPECT_NE(Device(o).Reset(), "");
}

TEST_F(DeviceTest, ExtraUnitsShareTheUartAndAnswerOnlyTheirOwnFrames) {
  DeviceOptions o;
  o.scenario = nlohmann::json::parse(R"({"tags":[{"epc":"1111"}],
      "extra_units":[{"unit":1,"tags":[{"epc":"2222"},{"epc":"3333"}]}]})");
  Device d(o);
  ASSERT_EQ(d.Reset(), "");
  DeviceTransport transport(d);
  ReaderHost unit0(transport, 0), unit1(transport, 1), unit2(transport, 2);
  ASSERT_TRUE(unit0.PowerUp());
  // Each unit's inventory holds its own tags (the count first).
  auto inv0 = unit0.Exchange({0x08, 0x01, 0x00, 0x00});
  auto inv1 = unit1.Exchange({0x08, 0x01, 0x00, 0x00});
  ASSERT_TRUE(inv0 && inv1);
  EXPECT_EQ(Bytes(inv0->begin(), inv0->begin() + 6), (Bytes{0x00, 0x01, 0x08, 0x00, 0x11, 0x11}));
  EXPECT_EQ(Bytes(inv1->begin(), inv1->begin() + 6), (Bytes{0x00, 0x02, 0x08, 0x00, 0x22, 0x22}));
  // A unit that no module has stays silent.
  EXPECT_FALSE(unit2.Exchange({0x08, 0x01, 0x00, 0x00}, 200).has_value());
  nlohmann::json st = nlohmann::json::parse(d.Control("state", transport.now()).reply.substr(3));
  ASSERT_EQ(st["extra_units"].size(), 1u);
  EXPECT_EQ(st["extra_units"][0]["unit"], 1);
  EXPECT_EQ(st["extra_units"][0]["commands_received"], 1);
  EXPECT_EQ(st["extra_units"][0]["tags"][1]["epc"], "3333");
  EXPECT_EQ(st["counters"]["commands_received"], 1);
  o.scenario = nlohmann::json::parse(R"({"extra_units":[{"unit":32}]})");
  EXPECT_NE(Device(o).Reset(), "");
}

TEST_F(DeviceTest, DescriptionCarriesWindowsShapedNames) {
  nlohmann::json d = device_->Description();
  EXPECT_EQ(d["interface_path"], "\\\\?\\hid#vid_fff1&pid_7c02#sim&reader0&0000#{4d1e55b2-f16f-11cf-88cb-001111000030}");
  EXPECT_EQ(d["usb_instance_id"], "USB\\VID_FFF1&PID_7C02\\SIM0001");
  EXPECT_EQ(d["input_report_length"], 64);
  EXPECT_EQ(d["feature_report_length"], 64);
}

TEST_F(DeviceTest, Gen2ConversationInProcess) {
  ASSERT_TRUE(host_->PowerUp());
  test::RunGen2Conversation(*host_);
}

// ---- wire timing ----

class WireTimingTest : public DeviceTest {
 protected:
  WireTimingTest() : DeviceTest(true) {}
};

TEST_F(WireTimingTest, BytesArriveElevenBitTimesApart) {
  ASSERT_TRUE(host_->PowerUp());
  const uint64_t sent = transport_->now();
  auto r = host_->Exchange({0x00, 0x2B, 0x00, 0x00});  // the reader log: a long reply
  ASSERT_TRUE(r.has_value());
  const auto& at = transport_->arrivals();
  const size_t n = r->size() + 4;
  ASSERT_GE(at.size(), n);
  const double charUs = 11e6 / 115200;
  const uint64_t first = at[at.size() - n], last = at.back();
  // The command's 8 bytes go out first, the module thinks, then the reply comes.
  EXPECT_GE(first, sent + static_cast<uint64_t>(9 * charUs));
  EXPECT_NEAR(static_cast<double>(last - first), (n - 1) * charUs, 1.0);
}

TEST_F(WireTimingTest, BootBytesComeAfterTheBootTime) {
  EXPECT_EQ(host_->SetFeature({0x41, 0x01}), 0u);
  EXPECT_EQ(host_->ConfigureUart(), 0u);
  const uint64_t on = transport_->now();
  EXPECT_EQ(host_->SetLine(0xFFFF, 0x2000), 0u);
  EXPECT_FALSE(transport_->ReadUart(1, 1000).empty());
  EXPECT_GE(transport_->arrivals().front(), on + 50000);
}

}  // namespace
}  // namespace zq::sim
