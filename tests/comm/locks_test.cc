// Through the library's internals, against zelquar-sim: the port object's
// locks (their waits shortened so a busy lock shows in milliseconds instead
// of 10 or 60 seconds), its reader thread's end on an unplug, and the
// enumeration over both device backends.
#include <gtest/gtest.h>

#include "comm/port.h"
#include "comm_test_util.h"

namespace zq::comm::test {
namespace {

int32_t OpenRequest(CDllPort& port, const char* name, int32_t kind = PortKindHid) {
  PortRequest r{};
  r.code = OpenPort;
  r.open.deviceName = name;
  r.open.retryTime = 5000;
  r.open.eventMask = EV_RXCHAR | EV_ERR;
  r.open.portKind = kind;
  return port.Dispatch(&r);
}

// Holds `lock` on another thread until released.
class LockHolder {
 public:
  explicit LockHolder(platform::TimedMutex& lock) {
    thread_ = std::thread([&] {
      lock.Wait(-1);
      held_.Set();
      release_.Wait(-1);
      lock.Release();
    });
    held_.Wait(-1);
  }
  ~LockHolder() {
    release_.Set();
    thread_.join();
  }

 private:
  std::thread thread_;
  platform::SyncEvent held_{true}, release_{true};
};

TEST(CommLocks, RequestWhileTheApiLockIsHeldReturns170WithoutTouchingIt) {
  CDllPort port;
  port.timings().apiLockMs = 50;
  uint32_t read = 77;
  uint8_t buf[8];
  PortRequest r{};
  r.code = ReadPort;
  r.read = {buf, sizeof buf, &read, nullptr};
  {
    LockHolder holder(port.apiLock());
    EXPECT_EQ(port.Dispatch(&r), 170);
    EXPECT_EQ(read, 77u);  // the request was not run
  }
  EXPECT_EQ(port.Dispatch(&r), 0);
  EXPECT_EQ(read, 0u);
}

TEST(CommLocks, OpenWhileThePortLockIsHeldReturns170) {
  SimDirectory dir;
  SimulatedReader sim({.dir = dir.path()});
  ASSERT_TRUE(sim.published());
  CDllPort port;
  port.timings().portLockOpenCloseMs = 50;
  {
    LockHolder holder(port.portLock());
    EXPECT_EQ(OpenRequest(port, "vid_fff1&pid_7c02"), 170);
    EXPECT_FALSE(port.isOpen());
  }
  EXPECT_EQ(OpenRequest(port, "vid_fff1&pid_7c02"), 0);
  EXPECT_TRUE(port.isOpen());
  EXPECT_TRUE(port.readerRunning());
  EXPECT_EQ(port.reportLengths().input, 64);
  EXPECT_EQ(port.reportLengths().output, 64);
}

TEST(CommLocks, UnplugEndsTheReaderWithoutEvErrAndCloseEndsItOtherwise) {
  SimDirectory dir;
  SimulatedReader sim({.dir = dir.path()});
  ASSERT_TRUE(sim.published());
  CDllPort port;
  ASSERT_EQ(OpenRequest(port, "vid_fff1&pid_7c02"), 0);
  ASSERT_TRUE(port.readerRunning());
  ASSERT_EQ(sim.Control("unplug"), "OK");
  EXPECT_TRUE(WaitUntil([&] { return !port.readerRunning(); }, 3000));
  platform::SyncEvent event(true);
  OVERLAPPED o{};
  o.hEvent = &event;
  uint32_t mask = 0xFF;
  PortRequest r{};
  r.code = WaitPortEvent;
  r.waitEvent = {&mask, &o};
  ASSERT_EQ(port.Dispatch(&r), 0);
  EXPECT_EQ(mask, 0u);  // nothing latched
  EXPECT_FALSE(event.IsSet());
  EXPECT_TRUE(port.isOpen());  // the port stays open until the caller closes it

  ASSERT_EQ(sim.Control("replug"), "OK");
  r = PortRequest{};
  r.code = ClosePort;
  EXPECT_EQ(port.Dispatch(&r), 0);
  ASSERT_EQ(OpenRequest(port, "vid_fff1&pid_7c02"), 0);
  ASSERT_TRUE(port.readerRunning());
  r = PortRequest{};
  r.code = ClosePort;
  EXPECT_EQ(port.Dispatch(&r), 0);
  EXPECT_FALSE(port.readerRunning());
  EXPECT_FALSE(port.isOpen());
}

}  // namespace
}  // namespace zq::comm::test

namespace zq::comm::test {
namespace {

TEST(CommDiscovery, EnumerationListsSimulatedDevicesAfterWhateverHardwareIsPresent) {
  SimDirectory dir;
  SimulatedReader sim({.dir = dir.path()});
  ASSERT_TRUE(sim.published());
  std::vector<platform::DeviceInterface> list;
  ASSERT_EQ(platform::EnumerateDeviceInterfaces(platform::InterfaceClass::kHid, &list), 0u);
  ASSERT_FALSE(list.empty());
  const platform::DeviceInterface& last = list.back();
  EXPECT_EQ(last.backend, "sim");
  EXPECT_EQ(last.path, "\\\\?\\hid#vid_fff1&pid_7c02#sim&reader0&0000#{4d1e55b2-f16f-11cf-88cb-001111000030}");
  EXPECT_EQ(last.usbInstanceId, "USB\\VID_FFF1&PID_7C02\\SIM0001");
  for (const auto& d : list) EXPECT_TRUE(d.backend == "hidraw" || &d == &last) << d.path;
  // No simulated printers; listing the class still succeeds.
  std::vector<platform::DeviceInterface> printers;
  EXPECT_EQ(platform::EnumerateDeviceInterfaces(platform::InterfaceClass::kUsbPrinter, &printers), 0u);
  for (const auto& d : printers) EXPECT_EQ(d.backend, "usblp");
}

}  // namespace
}  // namespace zq::comm::test
