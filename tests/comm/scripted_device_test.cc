// The library's HID report framing seen from the device: a device served by
// the test through the simulator's socket protocol records each output
// report whole and sends exactly the input reports a test needs
// (zelquar-sim's bridge accepts only reports whose ID is their UART count).
#include <gtest/gtest.h>

#include <cstring>

#include "comm_test_util.h"

namespace zq::comm::test {
namespace {

const std::string kScripted = "vid_fff1&pid_7c03";

class ScriptedPort : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(lib_.ok()) << ::dlerror();
    ASSERT_TRUE(device_.ok());
  }
  static Bytes Counting(size_t n) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(i + 1);
    return b;
  }
  uint32_t Held(Port& port) {
    COMSTAT st{};
    uint32_t errors = 0;
    PortRequest r{};
    r.code = ClearPortError;
    r.clearError = {&errors, &st};
    return port.Call(r) == 0 ? st.cbInQue : 0xFFFFFFFF;
  }

  CommLib lib_;
  SimDirectory dir_;
  ScriptedDevice device_{dir_.path(), "scripted"};
};

TEST_F(ScriptedPort, HidWriteOf100BytesGoesOutAs63And37WithTheTotalInByteZero) {
  Port port(lib_);
  ASSERT_EQ(port.Open(kScripted, PortKindHid), 0);
  const Bytes data = Counting(100);
  uint32_t written = 0;
  ASSERT_EQ(port.Write(data, &written), 0);
  EXPECT_EQ(written, 100u);
  ASSERT_TRUE(WaitUntil([&] { return device_.OutputReports().size() >= 2; }));
  const std::vector<Bytes> r = device_.OutputReports();
  ASSERT_EQ(r.size(), 2u);
  ASSERT_EQ(r[0].size(), 64u);  // every report whole
  ASSERT_EQ(r[1].size(), 64u);
  EXPECT_EQ(r[0][0], 100);
  EXPECT_EQ(r[1][0], 100);
  EXPECT_EQ(Bytes(r[0].begin() + 1, r[0].end()), Bytes(data.begin(), data.begin() + 63));
  EXPECT_EQ(Bytes(r[1].begin() + 1, r[1].begin() + 38), Bytes(data.begin() + 63, data.end()));
  EXPECT_EQ(Bytes(r[1].begin() + 38, r[1].end()), Bytes(26, 0));
}

TEST_F(ScriptedPort, CountedWriteOf70BytesGoesOutAs62And8WithChunkCounts) {
  Port port(lib_);
  ASSERT_EQ(port.Open(kScripted, PortKindHidCounted), 0);
  const Bytes data = Counting(70);
  uint32_t written = 0;
  ASSERT_EQ(port.Write(data, &written), 0);
  EXPECT_EQ(written, 70u);
  ASSERT_TRUE(WaitUntil([&] { return device_.OutputReports().size() >= 2; }));
  const std::vector<Bytes> r = device_.OutputReports();
  ASSERT_EQ(r.size(), 2u);
  EXPECT_EQ(r[0][0], 70);
  EXPECT_EQ(r[0][1], 63);  // 62 data bytes, more to follow
  EXPECT_EQ(Bytes(r[0].begin() + 2, r[0].end()), Bytes(data.begin(), data.begin() + 62));
  EXPECT_EQ(r[1][0], 70);
  EXPECT_EQ(r[1][1], 8);
  EXPECT_EQ(Bytes(r[1].begin() + 2, r[1].begin() + 10), Bytes(data.begin() + 62, data.end()));
  EXPECT_EQ(Bytes(r[1].begin() + 10, r[1].end()), Bytes(54, 0));
}

TEST_F(ScriptedPort, ZeroLengthWriteSendsOneEmptyReportAndBadArgumentsFail) {
  Port port(lib_);
  ASSERT_EQ(port.Open(kScripted, PortKindHid), 0);
  ASSERT_EQ(port.Write({}), 0);
  ASSERT_TRUE(WaitUntil([&] { return device_.OutputReports().size() >= 1; }));
  EXPECT_EQ(device_.OutputReports()[0], Bytes(64, 0));
  PortRequest r{};
  r.code = WritePort;
  uint32_t n = 7;
  r.write = {nullptr, 10, &n, nullptr};
  EXPECT_EQ(port.Call(r), -1);
  r.write = {"x", 1, nullptr, nullptr};
  EXPECT_EQ(port.Call(r), -1);
}

TEST_F(ScriptedPort, FullReceiveBufferTakesSixOfTenAndDropsTheRest) {
  Port port(lib_);
  ASSERT_EQ(port.Open(kScripted, PortKindHid), 0);
  ASSERT_TRUE(WaitUntil([&] { return device_.connected(); }));
  // 64 reports of 63 bytes and one of 58: 4090 bytes held.
  Bytes expected;
  for (int i = 0; i < 65; ++i) {
    const uint8_t n = i < 64 ? 63 : 58;
    Bytes report{n};
    for (uint8_t k = 0; k < n; ++k) report.push_back(static_cast<uint8_t>(i + k));
    expected.insert(expected.end(), report.begin() + 1, report.end());
    device_.Send(report);
  }
  ASSERT_TRUE(WaitUntil([&] { return Held(port) == 4090; })) << Held(port);
  device_.Send({10, 0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7, 0xA8, 0xA9});
  ASSERT_TRUE(WaitUntil([&] { return Held(port) == 4096; }));
  Bytes all;
  ASSERT_EQ(port.Read(&all, 5000), 0);
  ASSERT_EQ(all.size(), 4096u);
  EXPECT_EQ(Bytes(all.begin(), all.begin() + 4090), expected);
  EXPECT_EQ(Bytes(all.begin() + 4090, all.end()), (Bytes{0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5}));
  // The four that did not fit are gone, not delivered later.
  device_.Send({2, 0xB0, 0xB1});
  ASSERT_TRUE(WaitUntil([&] { return Held(port) == 2; }));
  ASSERT_EQ(port.Read(&all, 100), 0);
  EXPECT_EQ(all, (Bytes{0xB0, 0xB1}));
}

TEST_F(ScriptedPort, CountedInputCompletesTheWaitOnlyAfterTheLastReportOfARun) {
  Port port(lib_);
  ASSERT_EQ(port.Open(kScripted, PortKindHidCounted, 5000, EV_RXCHAR), 0);
  ASSERT_TRUE(WaitUntil([&] { return device_.connected(); }));
  platform::SyncEvent event(true);
  OVERLAPPED o{};
  o.hEvent = &event;
  uint32_t mask = 0;
  ASSERT_EQ(port.WaitEvent(&mask, &o), 0);
  // Byte 0 is the count the reader goes by, for this kind too: a report
  // whose byte 0 is 0 is an empty one, whatever its count byte says.
  device_.Send({0x00, 3, 0xD0, 0xD1, 0xD2});
  Bytes full{0x01, 63};
  for (uint8_t k = 0; k < 62; ++k) full.push_back(k);
  device_.Send(full);
  ASSERT_TRUE(WaitUntil([&] { return Held(port) == 62; }));
  EXPECT_FALSE(event.IsSet());  // more of the same run is coming
  device_.Send({0x01, 3, 0xC0, 0xC1, 0xC2});
  ASSERT_EQ(event.Wait(3000), platform::kWaitObject0);
  EXPECT_EQ(mask, EV_RXCHAR);
  Bytes all;
  ASSERT_EQ(port.Read(&all, 100), 0);
  ASSERT_EQ(all.size(), 65u);
  EXPECT_EQ(Bytes(all.end() - 3, all.end()), (Bytes{0xC0, 0xC1, 0xC2}));
}

// A serial-style caller on a HID port: the line state is emulated from the
// DCB shadow and nothing of it reaches the device.
TEST_F(ScriptedPort, LineRequestsOnAHidPortAnswerFromTheShadowAndSendNothing) {
  Port port(lib_);
  ASSERT_EQ(port.Open(kScripted, PortKindHid), 0);
  uint32_t status = 0;
  EXPECT_EQ(port.ModemStatus(&status), 0);
  EXPECT_EQ(status, 0x30u);
  COMMPROP prop;
  std::memset(&prop, 0xAB, sizeof prop);
  EXPECT_EQ(port.Properties(&prop), 0);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(&prop), sizeof prop), std::string(sizeof prop, '\0'));

  DCB dcb{};
  ASSERT_EQ(port.GetState(&dcb), 0);
  EXPECT_EQ(dcb.BaudRate, 115200u);  // from "115200,N,8,1"
  EXPECT_EQ(dcb.ByteSize, 8);
  EXPECT_EQ(dcb.fDtrControl, DTR_CONTROL_ENABLE);
  ASSERT_EQ(port.Escape(CLRDTR), 0);
  ASSERT_EQ(port.GetState(&dcb), 0);
  EXPECT_EQ(dcb.fDtrControl, DTR_CONTROL_DISABLE);
  EXPECT_EQ(dcb.fRtsControl, RTS_CONTROL_ENABLE);
  dcb.BaudRate = 9600;
  ASSERT_EQ(port.SetState(&dcb), 0);
  ASSERT_EQ(port.GetState(&dcb), 0);
  EXPECT_EQ(dcb.BaudRate, 9600u);
  EXPECT_TRUE(device_.OutputReports().empty());

  // A closed port keeps what it is told and rebuilds the line at the next open.
  ASSERT_EQ(port.Close(), 0);
  DCB untouched{};
  untouched.BaudRate = 1;
  EXPECT_EQ(port.GetState(&untouched), 0);
  EXPECT_EQ(untouched.BaudRate, 1u);
  ASSERT_EQ(port.Open(kScripted, PortKindHid), 0);
  ASSERT_EQ(port.GetState(&dcb), 0);
  EXPECT_EQ(dcb.BaudRate, 115200u);
  EXPECT_EQ(dcb.fDtrControl, DTR_CONTROL_ENABLE);
}

}  // namespace
}  // namespace zq::comm::test
