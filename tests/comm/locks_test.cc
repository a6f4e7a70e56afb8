// Through the library's internals, against zelquar-sim: the port object's
// locks (their waits shortened so a busy lock shows in milliseconds instead
// of 10 or 60 seconds), its reader thread's ends (an unplug, failed reads,
// a stop it does not meet in time), and the enumeration over both device
// backends.
#include <gtest/gtest.h>

#include "comm/port.h"
#include "comm_test_util.h"

namespace zq::comm::test {
namespace {

int32_t OpenRequest(CDllPort& port, const char* name, int32_t kind = PortKindHid, uint32_t retryTime = 5000,
                    const char* pattern = "", const char* source = "", int32_t level = 0) {
  PortRequest r{};
  r.code = OpenPort;
  r.open.deviceName = name;
  r.open.retryTime = retryTime;
  r.open.eventMask = EV_RXCHAR | EV_ERR;
  r.open.portKind = kind;
  r.open.restartPattern = pattern;
  r.open.eventSourceName = source;
  r.open.eventText1 = "one";
  r.open.eventText2 = "two";
  r.open.eventLogLevel = level;
  return port.Dispatch(&r);
}

// WaitPortEvent with a fresh OVERLAPPED on `event`.
int32_t WaitEvent(CDllPort& port, uint32_t* mask, OVERLAPPED* o, platform::SyncEvent* event) {
  *o = OVERLAPPED{};
  o->hEvent = event;
  PortRequest r{};
  r.code = WaitPortEvent;
  r.waitEvent = {mask, o};
  return port.Dispatch(&r);
}

int32_t Simple(CDllPort& port, int32_t code) {
  PortRequest r{};
  r.code = code;
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
  OVERLAPPED o;
  uint32_t mask = 0xFF;
  ASSERT_EQ(WaitEvent(port, &mask, &o, &event), 0);
  EXPECT_EQ(mask, 0u);  // nothing latched
  EXPECT_FALSE(event.IsSet());
  EXPECT_TRUE(port.isOpen());  // the port stays open until the caller closes it

  ASSERT_EQ(sim.Control("replug"), "OK");
  EXPECT_EQ(Simple(port, ClosePort), 0);
  ASSERT_EQ(OpenRequest(port, "vid_fff1&pid_7c02"), 0);
  ASSERT_TRUE(port.readerRunning());
  EXPECT_EQ(Simple(port, ClosePort), 0);
  EXPECT_FALSE(port.readerRunning());
  EXPECT_FALSE(port.isOpen());
}

TEST(CommLocks, ReaderThatGivesUpLatchesEvErrForTheNextWait) {
  SimDirectory dir;
  SimulatedReader sim({.dir = dir.path()});
  ASSERT_TRUE(sim.published());
  CDllPort port;
  // Retry time 0: the reader gives up on its first failed read.
  ASSERT_EQ(OpenRequest(port, "vid_fff1&pid_7c02", PortKindHid, 0), 0);
  ASSERT_TRUE(port.readerRunning());
  port.device()->CancelIo();  // the reader's read fails, with no stop asked for
  ASSERT_TRUE(WaitUntil([&] { return !port.readerRunning(); }, 3000));
  platform::SyncEvent event(true);
  OVERLAPPED o;
  uint32_t mask = 0;
  ASSERT_EQ(WaitEvent(port, &mask, &o, &event), 0);
  EXPECT_EQ(mask, EV_ERR);
  EXPECT_TRUE(event.IsSet());
  // Reported once: the next wait is registered instead.
  event.Reset();
  ASSERT_EQ(WaitEvent(port, &mask, &o, &event), 0);
  EXPECT_EQ(mask, 0u);
  EXPECT_FALSE(event.IsSet());
  EXPECT_TRUE(port.isOpen());
}

// A reader not ended within its stop bound runs on detached. Whatever it
// still uses (its device, the receive buffer and its lock, the trace
// state) must outlive the port object and be freed when it ends.
TEST(CommLocks, ReaderLeftRunningByItsStopBoundKeepsWhatItUsesUntilItEnds) {
  SimDirectory dir;
  ScriptedDevice device(dir.path(), "scripted");
  ASSERT_TRUE(device.ok());
  auto* port = new CDllPort;
  port->timings().readerStopWaitMs = 50;
  ASSERT_EQ(OpenRequest(*port, "vid_fff1&pid_7c03"), 0);
  ASSERT_TRUE(WaitUntil([&] { return device.connected(); }));
  // The buffer lock is recursive: held by this thread, it lets this
  // thread's Term through while the reader waits inside it with a report.
  platform::TimedMutex& lock = port->bufferLock();
  ASSERT_EQ(lock.Wait(-1), platform::kWaitObject0);
  device.Send({3, 0x11, 0x22, 0x33});
  ASSERT_TRUE(WaitUntil([&] { return device.AllSent(); }));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));  // the reader reaches the lock: nothing to wait on
  std::weak_ptr<ReceiveSide> side = port->receiveSide();
  delete port;  // Term without ClosePort: the reader is left running
  EXPECT_FALSE(side.expired());
  EXPECT_TRUE(device.connected());  // its device is still open for it
  lock.Release();                   // the reader appends, sees its stop and ends
  EXPECT_TRUE(WaitUntil([&] { return side.expired(); }, 3000));
  EXPECT_TRUE(WaitUntil([&] { return !device.connected(); }, 3000));
}

TEST(CommLocks, RestartWhileAnotherHoldsThePortLockReturns102AndLeavesThePortOpen) {
  SimDirectory dir;
  Scratch scratch;
  SyslogCapture syslog(scratch.path());
  ASSERT_TRUE(syslog.ok());
  SimulatedReader sim({.dir = dir.path()});
  ASSERT_TRUE(sim.published());
  CDllPort port;
  port.timings().portLockRestartMs = 50;
  ASSERT_EQ(OpenRequest(port, "vid_fff1&pid_7c02", PortKindHid, 5000, "USB\\vid_FFF1&pid_7C02", "ZqLockTest", 1), 0);
  {
    LockHolder holder(port.portLock());
    PortRequest r{};
    r.code = DeviceRestart;
    r.restart = {"POTR", 1};
    EXPECT_EQ(port.Dispatch(&r), 102);
  }
  EXPECT_TRUE(port.isOpen());
  EXPECT_TRUE(port.readerRunning());
  EXPECT_TRUE(sim.State()["hid_open"]);
  const std::vector<std::string> entries = syslog.Take();
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(EntryMessage(entries[0], "ZqLockTest"),
            "event 0x800003EE type 2 category 0 \"one\" \"two\" data 66 00 00 00 00 00 00 00");
  EXPECT_EQ(Simple(port, ClosePort), 0);
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
