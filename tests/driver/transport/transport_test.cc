// The reader transport in this process against a separately running
// simulated reader, through the real comm library: binding, the bridge's
// reports, byte I/O, the device open sequence, and whole frames through the
// link thread.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

#include <nlohmann/json.hpp>

#include "comm/zq_comm_boundary.h"
#include "driver/link/channel.h"
#include "driver/link/link_thread.h"
#include "driver/state/local_state.h"
#include "driver/state/shared_area.h"
#include "driver/transport/bridge.h"
#include "driver/transport/device.h"
#include "driver/transport/hid_binding.h"
#include "driver/transport/rw_io.h"
#include "tests/support/log_mirror.h"
#include "tests/support/namespace_objects.h"
#include "tests/support/sim_fixture.h"

namespace zq::drv {
namespace {

namespace fs = std::filesystem;

std::string Scratch() { return "/tmp/zqt-transport-" + std::to_string(getpid()); }
std::string MirrorPath() { return Scratch() + "/mirror.log"; }
std::string SimDir() { return Scratch() + "/sim"; }

__attribute__((constructor(101))) void IsolateThisProcess() {
  mkdir(Scratch().c_str(), 0755);  // the mirror is opened by the first record, during attach
  setenv("ZELQUAR_NAMESPACE", ("zqt-transport-" + std::to_string(getpid())).c_str(), 1);
  setenv("ZELQUAR_LOG_MIRROR", MirrorPath().c_str(), 1);
  setenv("ZELQUAR_SIM_DIR", SimDir().c_str(), 1);
  test::RemoveOwnNamespaceAtExit();
  // Also when no test runs (a listing of the tests).
  std::atexit([] {
    std::error_code ec;
    fs::remove_all(Scratch(), ec);
  });
}

// Removes this process's scratch directory after the last test.
class ScratchCleanup : public ::testing::Environment {
 public:
  void TearDown() override { fs::remove_all(Scratch()); }
};
const bool kCleanupRegistered = [] {
  ::testing::AddGlobalTestEnvironment(new ScratchCleanup);
  return true;
}();

std::vector<std::string> MirrorLinesWith(const std::string& fragment) {
  return zq::test::MirrorLinesWith(MirrorPath(), fragment);
}

class TransportTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::ofstream(MirrorPath(), std::ios::trunc).close();
    sim_ = std::make_unique<test::SimulatedReader>(test::SimOptions{.dir = SimDir()});
    ASSERT_TRUE(sim_->published());
    area_ = Shared();
    ASSERT_NE(area_, nullptr);
    const std::string commDir = fs::path(ZQ_COMM_LIB_PATH).parent_path().string() + "/";
    MutableConfig().libraryDir = commDir.c_str();
    std::snprintf(area_->pidVid, sizeof area_->pidVid, "vid_FFF1&pid_7C02");
    area_->gpioInitialData = 0x0084;
    area_->hidDeviceOpenRetryCount = 2;
    area_->characterTimeout = 100;
    area_->blockTimeout = 300;
    area_->retryTimeoutApi = 1000;
    data_ = &area_->portDataAreas[0];
    std::memset(data_, 0, sizeof *data_);
    data_->port = 0x0100;
  }
  void TearDown() override {
    if (HidBound()) RW_Close(*data_);
    sim_.reset();
    fs::remove_all(SimDir());
  }

  nlohmann::json State() { return sim_->State(); }
  uint32_t Latch() { return static_cast<uint32_t>(std::stoul(State()["gpio_latch"].get<std::string>(), nullptr, 16)); }
  void Control(const std::string& command) { sim_->Control(command); }

  std::unique_ptr<test::SimulatedReader> sim_;
  SharedArea* area_ = nullptr;
  PortDataArea* data_ = nullptr;
};

TEST(ReaderSerial, TheVariableWinsOverTheKeyAndBlanksAreNoSerialNumber) {
  struct Case {
    const char* ini;
    const char* environment;
    std::string bound;
  };
  const Case cases[] = {
      {"", "", ""},
      {"ZQA0001", "", "ZQA0001"},
      {"ZQA0001", "ZQB0002", "ZQB0002"},
      {" ZQA0001\t", "  ", "ZQA0001"},
      {"", " ZQB0002 ", "ZQB0002"},
      {"  ", "", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(ReaderSerialOf(c.ini, c.environment), c.bound) << c.ini << "|" << c.environment;
  // Longer than any USB serial number: cut to what the comm library keeps.
  EXPECT_EQ(ReaderSerialOf(std::string(300, 'S'), ""), std::string(comm::kSerialNumberMax, 'S'));
}

TEST_F(TransportTest, GpioLinesAreSetVerifiedAndReadBack) {
  ASSERT_EQ(HidRwOpen(), 0);
  ASSERT_TRUE(HidBound());
  // A second open of a bound library does nothing and succeeds.
  EXPECT_EQ(HidRwOpen(), 0);
  EXPECT_FALSE(MirrorLinesWith("HidRwOpen() Normal End(Open zumi)").empty());

  ASSERT_EQ(k_GPIO_ONOFF(9, 1), 0);
  EXPECT_EQ(Latch() & 0x2000u, 0x2000u);
  EXPECT_TRUE(State()["power"].get<bool>());
  ASSERT_EQ(k_GPIO_ONOFF(7, 1), 0);
  ASSERT_EQ(k_GPIO_ONOFF(7, 0), 0);
  EXPECT_EQ(Latch() & 0x0800u, 0u);
  EXPECT_EQ(Latch() & 0x2000u, 0x2000u);  // only the masked line changed

  // The initial state: lines 2 and 7 on, 1, 3, 6, 8, 9 off.
  ASSERT_EQ(k_GPIO_Initial(), 0);
  EXPECT_EQ(Latch(), 0x0804u);
  const auto set = MirrorLinesWith("k_GPIO_ONOFF Call GpioNo=");
  ASSERT_GE(set.size(), 7u);
  const char* order[7] = {"GpioNo=1,On=0", "GpioNo=2,On=1", "GpioNo=3,On=0", "GpioNo=6,On=0",
                          "GpioNo=7,On=1", "GpioNo=8,On=0", "GpioNo=9,On=0"};
  for (size_t i = 0; i < 7; ++i) EXPECT_NE(set[set.size() - 7 + i].find(order[i]), std::string::npos) << i;

  ASSERT_EQ(k_GPIO_ONOFF(9, 1), 0);  // latch 0x2804
  uint8_t high = 0xEE, low = 0xEE;
  ASSERT_EQ(k_GPIO_Read(&high, &low), 0);
  EXPECT_EQ(high, 0x02);
  EXPECT_EQ(low, 0x84);

  // A read-back that disagrees fails the set.
  Control("fault gpio-readback 1");
  EXPECT_EQ(k_GPIO_ONOFF(8, 1), -4);
}

TEST_F(TransportTest, UartReportsAndTheSerialString) {
  ASSERT_EQ(HidRwOpen(), 0);
  ASSERT_EQ(HidUArtEnable(), 0);
  ASSERT_EQ(HidSetUartConfig(*data_), 0);
  uint8_t report[64];
  ASSERT_EQ(HidGetUartConfig(*data_, report), 0);
  EXPECT_EQ(std::vector<uint8_t>(report, report + 9),
            (std::vector<uint8_t>{0x50, 0x00, 0x01, 0xC2, 0x00, 0x02, 0x00, 0x03, 0x00}));
  Control("fault uart-readback 1");
  EXPECT_EQ(HidSetUartConfig(*data_), -1);

  uint8_t serial[61] = {};
  const char text[] = "Z\0Q\0-\0T\0E\0S\0T\0";
  serial[0] = 16;
  serial[1] = 0x03;
  std::memcpy(serial + 2, text, sizeof text - 1);
  ASSERT_EQ(HidSetCp2110SerialString(serial), 0);
  uint8_t back[61] = {};
  ASSERT_EQ(HidGetCp2110SerialString(back), 0);
  EXPECT_EQ(std::memcmp(back, serial, 61), 0);
  EXPECT_EQ(MirrorLinesWith("HidSetCp2110SerialString  HidRfrwSetFeature() dwRet=0").size(), 1u);
}

TEST_F(TransportTest, WritesGoInPiecesOf63AndReadsNeedAnOpenUnit) {
  uint8_t buf[16];
  // Not open: no call reaches the comm library.
  EXPECT_EQ(RW_Read(*data_, buf, sizeof buf, 10, 1, 0), kRwNotOpen);
  EXPECT_EQ(RW_Write(*data_, buf, 4), kRwNotOpen);
  EXPECT_TRUE(MirrorLinesWith("HidRwRead() START").empty());
  EXPECT_FALSE(MirrorLinesWith("D_ID_USBDRV 100 READ NOT OPEN ERROR").empty());

  ASSERT_EQ(k_RS_Open(*data_), 0);
  const auto before = State()["counters"]["output_reports"].get<int>();
  std::vector<uint8_t> frame(63, 0x11);
  ASSERT_EQ(RW_Write(*data_, frame.data(), 63), 0);
  EXPECT_EQ(State()["counters"]["output_reports"].get<int>(), before + 1);
  frame.resize(64, 0x11);
  ASSERT_EQ(RW_Write(*data_, frame.data(), 64), 0);
  EXPECT_EQ(State()["counters"]["output_reports"].get<int>(), before + 3);

  // Nothing to read: the wait of 0 means 50 ms.
  EXPECT_EQ(RW_Read(*data_, buf, sizeof buf, 0, 1, 0), kRwTimeout);
  EXPECT_FALSE(MirrorLinesWith("TimeOut=50").empty());
  // After an inventory frame the reads poll gently.
  const uint8_t inventory[8] = {0x00, 0x00, 0x04, 0x08, 0x01, 0x00, 0x00, 0x0D};
  RW_Write(*data_, inventory, sizeof inventory);
  RW_Read(*data_, buf, sizeof buf, 20, 1, 0);
  EXPECT_FALSE(MirrorLinesWith("RW_Read() start,g_SlowDspCmdFlag=1").empty());
}

TEST_F(TransportTest, AnOpenLeavesTheReaderPoweredAndTheCloseSwitchesItAllOff) {
  ASSERT_EQ(k_RS_Open(*data_), 0);
  EXPECT_NE(data_->openMarkers[1], 0u);
  EXPECT_EQ(Latch() & 0x3800u, 0x2800u);  // 9 on, 7 on, 8 off
  EXPECT_TRUE(State()["hid_open"].get<bool>());
  RW_Close(*data_);
  EXPECT_EQ(Latch() & 0x3800u, 0u);
  EXPECT_FALSE(State()["hid_open"].get<bool>());
  EXPECT_FALSE(HidBound());
  EXPECT_EQ(data_->openMarkers[1], 0u);
}

TEST_F(TransportTest, AConfigurationStepThatFailsIsFollowedByARestartAndAnotherAttempt) {
  Control("fault uart-readback 1");
  ASSERT_EQ(k_RS_Open(*data_), 0);
  EXPECT_EQ(MirrorLinesWith("HidSetUartConfig() error end").size(), 1u);
  EXPECT_EQ(MirrorLinesWith("HidDeviceRestart() start").size(), 1u);
}

TEST_F(TransportTest, ARestartReplugsTheBridgeAndTheDriverReopensIt) {
  ASSERT_EQ(k_RS_Open(*data_), 0);
  ASSERT_EQ(Latch() & 0x2000u, 0x2000u);  // the reader is powered
  ASSERT_EQ(HidDeviceRestart(), 0);
  // The pattern "USB\vid_FFF1&pid_7C02" found the bridge's USB node, the
  // bridge came back from power-up, and the driver's reopen found it.
  EXPECT_EQ(MirrorLinesWith("DeviceRestart g_fpFunc() end,dwRet=0x0").size(), 1u);
  EXPECT_TRUE(MirrorLinesWith("HidDeviceRestart() error end").empty());
  EXPECT_EQ(Latch() & 0x2000u, 0u);
  EXPECT_TRUE(State()["hid_open"].get<bool>());
  EXPECT_TRUE(HidBound());
  EXPECT_EQ(k_GPIO_ONOFF(9, 1), 0);  // through the reopened port
  EXPECT_EQ(Latch() & 0x2000u, 0x2000u);
}

TEST_F(TransportTest, AMissingLibraryOrBridgeEndsTheOpen) {
  const std::string empty = Scratch() + "/empty/";
  fs::create_directories(empty);
  MutableConfig().libraryDir = empty.c_str();
  EXPECT_EQ(k_RS_Open(*data_), -5);
  EXPECT_FALSE(MirrorLinesWith("HidDll Load Error,Path=" + empty + "libZqRfrwCommVO.so").empty());
  EXPECT_TRUE(MirrorLinesWith("HidRw_DeviceOpen() retry").empty());
  EXPECT_EQ(HidRwRead(nullptr, 0, nullptr), kNotBound);

  const std::string commDir = fs::path(ZQ_COMM_LIB_PATH).parent_path().string() + "/";
  MutableConfig().libraryDir = commDir.c_str();
  std::snprintf(area_->pidVid, sizeof area_->pidVid, "vid_1234&pid_0000");  // no such bridge
  area_->hidDeviceOpenRetryCount = 0;
  EXPECT_EQ(k_RS_Open(*data_), -2);
  EXPECT_EQ(MirrorLinesWith("k_RS_Open()1 error end").size(), 1u);
  EXPECT_FALSE(HidBound());
}

TEST_F(TransportTest, FramesCrossTheLinkThreadToTheReaderAndALostReplyIsRepaired) {
  ASSERT_EQ(k_RS_Open(*data_), 0);
  PortEntry& e = LocalPortEntry(0);
  e.dataArea = data_;
  e.sequenceBit = 0;
  ASSERT_EQ(k_L_Level_Init(0x0100, &Llevel_Thread, e), 0);
  Control("fault drop-reply 1");
  // The firmware version query: 00 02 00 04 00 1F 02 1D.
  std::vector<uint8_t> request(kRequestBufferSize, 0), response(kResponseBufferSize, 0);
  auto* h = reinterpret_cast<LevelMessageHeader*>(request.data());
  const uint8_t frame[11] = {0x00, 0x00, 0x08, 0x00, 0x02, 0x00, 0x04, 0x00, 0x1F, 0x02, 0x1D};
  h->payloadLength = sizeof frame;
  h->timeoutMs = area_->blockTimeout;
  h->portEntry = reinterpret_cast<uintptr_t>(&e);
  std::memcpy(request.data() + kHeaderSize, frame, sizeof frame);
  ASSERT_EQ(k_CM_TransmitMsg(0x0100, request.data(), static_cast<int32_t>(kHeaderSize + sizeof frame), response.data(),
                             static_cast<int32_t>(response.size())),
            0);
  uint16_t sw = 0;
  int32_t length = 64;
  uint8_t data[64];
  ASSERT_EQ(k_MakeRecvDat(0x0100, response.data() + kHeaderSize, &sw, &length, data), 0);
  EXPECT_EQ(sw, 0x9000);
  EXPECT_EQ(length, 2);  // the two version bytes
  const auto counters = State()["counters"];
  EXPECT_EQ(counters["commands_executed"].get<int>(), 1);  // the repeat was answered, not run again
  EXPECT_GE(counters["frames_received"].get<int>(), 2);
  EXPECT_FALSE(MirrorLinesWith("L - Retry  (0)").empty());
  k_L_Level_End(0x0100, e);
}

// ---- failure paths through a comm library that misbehaves on purpose ----

class FakeCommTest : public TransportTest {
 protected:
  void UseFake(const char* mode) {
    setenv("ZQ_FAKE_COMM", mode, 1);
    MutableConfig().libraryDir = ZQ_FAKE_COMM_DIR;
  }
  void TearDown() override {
    TransportTest::TearDown();
    unsetenv("ZQ_FAKE_COMM");
  }
  // Marks the unit open without running the configuration chain.
  void MarkOpen() {
    data_->openMarkers[0] = data_->openMarkers[1] = data_->openMarkers[2] = ~uintptr_t{0};
  }
};

TEST_F(FakeCommTest, AWriteThatIsNotTakenWithin100msFails) {
  UseFake("stuck-write");
  ASSERT_EQ(HidRwOpen(), 0);
  MarkOpen();
  const uint8_t frame[8] = {0x00, 0x00, 0x04, 0x03, 0xFF, 0x00, 0x00, 0xF8};
  const auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(RW_Write(*data_, frame, sizeof frame), kRwFailed);
  EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(90));  // the window, by a millisecond clock
  EXPECT_EQ(MirrorLinesWith("D_ID_USBDRV 113 TIMEOUT").size(), 1u);
  EXPECT_EQ(MirrorLinesWith("D_ID_USBDRV 101 WRITE ERROR Ret=ffff0101").size(), 1u);
}

TEST_F(FakeCommTest, AWriteThatClaimsMoreThanItWasGivenFails) {
  UseFake("over-write");
  ASSERT_EQ(HidRwOpen(), 0);
  MarkOpen();
  const uint8_t frame[4] = {0x80, 0x00, 0x00, 0x80};
  EXPECT_EQ(RW_Write(*data_, frame, sizeof frame), kRwFailed);
  EXPECT_EQ(MirrorLinesWith("D_ID_USBDRV 101 Length Error BytesWritten=5,WRLen=4").size(), 1u);
}

TEST_F(FakeCommTest, TheLibraryIsUnloadedOnlyOnceNoReadIsInsideIt) {
  UseFake("slow-read");
  // A read that returns while the close waits for it; then one that stays
  // inside past the close's bound, which leaves the library loaded.
  // The read is inside the library once the fake's read has begun (its
  // "START" line comes before that: a close in between finds no read inside).
  const std::string mark = MirrorPath() + ".reading";
  setenv("ZQ_FAKE_COMM_READ_MARK", mark.c_str(), 1);
  for (const char* readMs : {"300", "3300"}) {
    setenv("ZQ_FAKE_COMM_READ_MS", readMs, 1);
    std::ofstream(MirrorPath(), std::ios::trunc).close();
    std::remove(mark.c_str());
    ASSERT_EQ(HidRwOpen(), 0);
    std::atomic<bool> returned{false};
    std::thread reader([&returned] {
      uint8_t buf[16];
      uint32_t n = 0;
      EXPECT_EQ(HidRwRead(buf, sizeof buf, &n), 0);
      returned = true;
    });
    for (int i = 0; i < 5000 && !std::ifstream(mark).good(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_EQ(HidRwClose(), 0);
    EXPECT_FALSE(HidBound());
    const bool kept = !MirrorLinesWith("D_ID_USBDRV 120 LIBRARY BUSY inside=1, kept loaded").empty();
    EXPECT_EQ(kept, std::string(readMs) == "3300");
    EXPECT_EQ(returned.load(), !kept);
    reader.join();
  }
  unsetenv("ZQ_FAKE_COMM_READ_MS");
  unsetenv("ZQ_FAKE_COMM_READ_MARK");
  std::remove(mark.c_str());
}

// A comm library that cannot wait for a count of bytes has them taken as
// they come: a read still returns once all it wanted are there, or once
// they have stopped for its quiet time, never at the first byte.
TEST_F(FakeCommTest, WithoutTheCountedWaitAReadStillGathersWhatItWantsOrWaitsOutTheQuietTime) {
  UseFake("trickle");
  setenv("ZQ_FAKE_COMM_BYTES", "0102030405", 1);
  setenv("ZQ_FAKE_COMM_GAP_MS", "10", 1);
  ASSERT_EQ(HidRwOpen(), 0);
  MarkOpen();
  uint8_t buf[16] = {};
  EXPECT_EQ(RW_Read(*data_, buf, sizeof buf, 500, 3, 60), 3);  // 01 at once, 02 and 03 10 ms apart
  EXPECT_EQ(std::vector<uint8_t>(buf, buf + 3), (std::vector<uint8_t>{0x01, 0x02, 0x03}));
  // Five wanted, two more come: they are returned 60 ms after the last.
  const auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(RW_Read(*data_, buf, sizeof buf, 500, 5, 60), 2);
  const auto took = std::chrono::steady_clock::now() - started;
  EXPECT_EQ(std::vector<uint8_t>(buf, buf + 2), (std::vector<uint8_t>{0x04, 0x05}));
  EXPECT_GE(took, std::chrono::milliseconds(60));
  EXPECT_LT(took, std::chrono::milliseconds(500)) << "the quiet time, not the first byte's wait";
  // Nothing more: the first byte's wait runs out.
  EXPECT_EQ(RW_Read(*data_, buf, sizeof buf, 30, 2, 60), kRwTimeout);
  unsetenv("ZQ_FAKE_COMM_BYTES");
  unsetenv("ZQ_FAKE_COMM_GAP_MS");
}

TEST_F(FakeCommTest, ARestartTriesFourReopensAndAFailedInitBindsNothing) {
  UseFake("no-device");
  EXPECT_EQ(HidRwOpen(), 2);
  EXPECT_TRUE(HidBound());  // bound even though the bridge did not open
  const auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(HidDeviceRestart(), 2);
  EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(350));  // 100 ms after each failed reopen
  EXPECT_EQ(MirrorLinesWith("HidRw_DeviceOpen() CALL").size(), 5u);  // the open and four reopens
  EXPECT_EQ(MirrorLinesWith("HidDeviceRestart() error end:dwRet=50").size(), 1u);
  EXPECT_EQ(HidRwClose(), 0);
  EXPECT_FALSE(HidBound());
  EXPECT_EQ(HidRwClose(), kNotBound);

  setenv("ZQ_FAKE_COMM", "init-fails", 1);
  EXPECT_EQ(HidRwOpen(), 14);
  EXPECT_FALSE(HidBound());
  EXPECT_EQ(MirrorLinesWith("HidDll Init Error").size(), 1u);
}

}  // namespace
}  // namespace zq::drv
