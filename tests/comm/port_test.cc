// libZqRfrwCommVO.so loaded with dlopen as the driver loads it (Init, Func,
// Term), against zelquar-sim processes started for each test in a directory
// of its own: entry points, open results and device discovery, feature
// reports on the simulated bridge, bytes both ways through the reader, the
// receive buffer's requests and the reader thread's events.
#include <gtest/gtest.h>

#include "comm_test_util.h"
#include "protocol/frame.h"

namespace zq::comm::test {
namespace {

const std::string kFragment = "vid_FFF1&pid_7C02";

Bytes Frame(uint8_t address, const Bytes& payload) { return protocol::EncodeFrame(address, payload); }

// The firmware-version query of the reader; its reply frame is 8 bytes.
const Bytes kVersionQuery = {0x00, 0x02, 0x00, 0x04, 0x00, 0x1F, 0x02, 0x1D};

bool ReplyFrameIsWhole(const Bytes& f) {
  protocol::FrameView view;
  return protocol::DecodeFrame(f, &view) == protocol::FrameStatus::kComplete && view.wireLength == f.size();
}

// A wait's word-free half: the OVERLAPPED and the manual-reset event the
// library sets when it completes.
struct Completion {
  platform::SyncEvent event{true};
  OVERLAPPED o{};
  Completion() { o.hEvent = &event; }
};

class CommPort : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(lib_.ok()) << ::dlerror(); }

  // Opened for EV_RXCHAR and EV_ERR with `retryTime`, then powered up.
  void OpenPowered(Port& port, uint32_t retryTime = 5000) {
    ASSERT_EQ(port.Open(kFragment, PortKindHid, retryTime, EV_RXCHAR | EV_ERR), 0);
    PowerUp(port);
  }

  // Bridge UART on at the reader's 115200 8E1 and the reader powered; its
  // boot bytes are read away.
  void PowerUp(Port& port) {
    ASSERT_EQ(port.SetFeature({0x41, 0x01}), 0);
    ASSERT_EQ(port.SetFeature({0x50, 0x00, 0x01, 0xC2, 0x00, 0x02, 0x00, 0x03, 0x00}), 0);
    ASSERT_EQ(port.SetFeature({0x45, 0x20, 0x00, 0x20, 0x00}), 0);
    port.ReadAtLeast(1, 2000);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    Bytes rest;
    port.Read(&rest, 4096);
  }

  CommLib lib_;
  SimDirectory dir_;
};

// ---- entry points -----------------------------------------------------------------------

TEST_F(CommPort, InitHandsOutFuncAndTermTakesNull) {
  PortFunc func = nullptr;
  uint32_t error = 0xFFFF;
  void* port = lib_.init()(&func, &error);
  ASSERT_NE(port, nullptr);
  EXPECT_NE(func, nullptr);
  EXPECT_EQ(error, 0u);
  EXPECT_EQ(::dlsym(lib_.handle(), "Func"), nullptr);  // reached only through Init
  lib_.term()(nullptr);                                 // does nothing
  lib_.term()(port);

  // Without a slot for Func the object is still made (it can only be
  // ended); the error word holds one of Init's own values.
  error = 0xFFFF;
  port = lib_.init()(nullptr, &error);
  ASSERT_NE(port, nullptr);
  EXPECT_EQ(error, 0u);
  lib_.term()(port);
}

TEST_F(CommPort, UnknownRequestCodesReturnOneAndLeaveThePortAsItWas) {
  SimulatedReader sim({.dir = dir_.path()});
  ASSERT_TRUE(sim.published());
  Port port(lib_);
  ASSERT_EQ(port.Open(kFragment), 0);
  for (int32_t code : {18, 89, -1, 92}) {
    PortRequest r{};
    r.code = code;
    EXPECT_EQ(port.Call(r), 1) << code;
  }
  Bytes gpio;
  EXPECT_EQ(port.GetFeature(0x44, &gpio), 0);  // still open
  EXPECT_TRUE(sim.State()["hid_open"]);
}

// ---- open results and discovery -------------------------------------------------------------

TEST_F(CommPort, OpenResultsForMissingBusyAndUnknownDevices) {
  SimulatedReader sim({.dir = dir_.path()});
  ASSERT_TRUE(sim.published());
  Port first(lib_), second(lib_), other(lib_);
  EXPECT_EQ(other.Open("vid_1234&pid_5678"), 2);   // no such device
  EXPECT_EQ(other.Open(kFragment, 8), 87);         // no such kind
  EXPECT_EQ(other.Open(kFragment, 3), 2);          // a serial name that is no device
  ASSERT_EQ(first.Open(kFragment), 0);
  EXPECT_EQ(second.Open(kFragment), 5);            // already open elsewhere
  EXPECT_EQ(first.Close(), 0);
  EXPECT_EQ(second.Open(kFragment), 0);
  EXPECT_EQ(second.Open(kFragment), 0);            // open again: keeps its device
  EXPECT_EQ(other.Close(), 0);                     // never opened: nothing to do
}

TEST_F(CommPort, FragmentInUpperCaseAndTheFirstOfTwoMatchingDevices) {
  SimulatedReader a({.dir = dir_.path()});
  SimulatedReader b({.dir = dir_.path(), .name = "reader1", .extraArgs = {"--serial", "SIM0002"}});
  ASSERT_TRUE(a.published() && b.published());
  Port port(lib_);
  ASSERT_EQ(port.Open("VID_FFF1&PID_7C02"), 0);
  EXPECT_TRUE(a.State()["hid_open"]);
  EXPECT_FALSE(b.State()["hid_open"]);
  ASSERT_EQ(port.Close(), 0);
  EXPECT_TRUE(WaitUntil([&] { return a.State()["hid_open"] == false; }));
  // The second one is found by its own path.
  ASSERT_EQ(port.Open("SIM&READER1"), 0);
  EXPECT_TRUE(b.State()["hid_open"]);
}

TEST_F(CommPort, DeadSimulatorIsNotListed) {
  SimulatedReader sim({.dir = dir_.path()});
  ASSERT_TRUE(sim.published());
  sim.Kill();  // like a crash: its files stay behind
  ASSERT_TRUE(std::filesystem::exists(dir_.path() + "/reader0.json"));
  Port port(lib_);
  EXPECT_EQ(port.Open(kFragment), 2);
}

// ---- feature reports --------------------------------------------------------------------------

TEST_F(CommPort, FeatureReportsSwitchAndReadTheBridgeGpio) {
  SimulatedReader sim({.dir = dir_.path()});
  ASSERT_TRUE(sim.published());
  Port port(lib_);
  Bytes report;
  EXPECT_EQ(port.SetFeature({0x45, 0x00, 0x05, 0x00, 0x05}), 6);  // not open yet
  ASSERT_EQ(port.Open(kFragment), 0);
  ASSERT_EQ(port.SetFeature({0x45, 0x00, 0x05, 0x00, 0x0F}), 0);  // lines 0 and 2 on, 1 and 3 off
  ASSERT_EQ(port.GetFeature(0x44, &report), 0);
  EXPECT_EQ(report[0], 0x44);
  EXPECT_EQ((report[1] << 8) | report[2], 0x0005);
  EXPECT_EQ(sim.State()["gpio_latch"], "0005");
  ASSERT_EQ(port.GetFeature(0x46, &report), 0);
  EXPECT_EQ(report[1], 0x0A);                       // the bridge's part number
  EXPECT_EQ(port.GetFeature(0x77, &report), 31);    // an unknown report stalls
  EXPECT_EQ(sim.Control("fault feature-error 1"), "OK");
  EXPECT_EQ(port.SetFeature({0x45, 0x00, 0x00, 0x00, 0x0F}), 31);
  PortRequest r{};
  r.code = RfrwSetFeature;
  r.feature = {nullptr, 64};
  EXPECT_EQ(port.Call(r), 87);
}

// ---- bytes both ways ----------------------------------------------------------------------------

TEST_F(CommPort, FrameGoesOutAndTheReplyComesBackThroughTheReceiveBuffer) {
  SimulatedReader sim({.dir = dir_.path()});
  ASSERT_TRUE(sim.published());
  Port port(lib_);
  ASSERT_EQ(port.Open(kFragment), 0);
  PowerUp(port);

  Bytes none;
  EXPECT_EQ(port.Read(&none, 64), 0);  // empty buffer: nothing, and success
  EXPECT_TRUE(none.empty());

  uint32_t written = 0;
  ASSERT_EQ(port.Write(Frame(0x01, kVersionQuery), &written), 0);
  EXPECT_EQ(written, 12u);
  // Wait until the whole reply is held, then take it in two short reads.
  ASSERT_TRUE(WaitUntil([&] {
    COMSTAT st{};
    uint32_t errors = 9;
    PortRequest r{};
    r.code = ClearPortError;
    r.clearError = {&errors, &st};
    return port.Call(r) == 0 && errors == 0 && st.cbInQue >= 8;
  }));
  Bytes head, rest;
  ASSERT_EQ(port.Read(&head, 3), 0);
  ASSERT_EQ(port.Read(&rest, 100), 0);
  ASSERT_EQ(head.size(), 3u);
  Bytes reply = head;
  reply.insert(reply.end(), rest.begin(), rest.end());
  ASSERT_TRUE(ReplyFrameIsWhole(reply));
  EXPECT_EQ(reply[0], 0x01);  // the sequence bit of the request
  EXPECT_EQ(Bytes(reply.end() - 3, reply.end() - 1), (Bytes{0x90, 0x00}));
  EXPECT_EQ(sim.State()["counters"]["commands_executed"], 1);

  EXPECT_EQ(port.Close(), 0);
  EXPECT_EQ(port.Write(Frame(0x00, kVersionQuery)), -1);  // closed
  EXPECT_EQ(port.Read(&rest, 100), 0);
  EXPECT_TRUE(rest.empty());
}

// ---- events ---------------------------------------------------------------------------------------

TEST_F(CommPort, WaitPortEventCompletesAtOnceOrLaterFromTheReader) {
  SimulatedReader sim({.dir = dir_.path()});
  ASSERT_TRUE(sim.published());
  Port port(lib_);
  OpenPowered(port);
  Completion c;
  auto& [event, o] = c;
  uint32_t mask = 0xFFFF;
  EXPECT_EQ(port.WaitEvent(nullptr, &o), 87);

  // Nothing held: the wait is registered and the reader completes it.
  ASSERT_EQ(port.WaitEvent(&mask, &o), 0);
  EXPECT_EQ(mask, 0u);
  EXPECT_FALSE(event.IsSet());
  ASSERT_EQ(port.Write(Frame(0x01, kVersionQuery)), 0);
  ASSERT_EQ(event.Wait(3000), platform::kWaitObject0);
  EXPECT_EQ(mask, EV_RXCHAR);

  // Bytes held: completes at once.
  mask = 0;
  event.Reset();
  ASSERT_EQ(port.WaitEvent(&mask, &o), 0);
  EXPECT_EQ(mask, EV_RXCHAR);
  EXPECT_TRUE(event.IsSet());
}

// The reader's reply comes a byte a report at the wire's pace: a wait for
// its 8 bytes ends once, when all are held; a wait for more than come ends
// when the last has waited its quiet time.
TEST_F(CommPort, WaitPortInputEndsOnceTheBytesAreThereOrHaveStopped) {
  SimulatedReader sim({.dir = dir_.path(), .wireTiming = true});
  ASSERT_TRUE(sim.published());
  Port port(lib_);
  OpenPowered(port);
  Completion c;
  auto& [event, o] = c;
  uint32_t mask = 0xFFFF, held = 0xFFFF, quiet = 0xFFFF;
  EXPECT_EQ(port.WaitInput(nullptr, &o, 8, 100, &held, &quiet), 87);

  ASSERT_EQ(port.WaitInput(&mask, &o, 8, 1000, &held, &quiet), 0);
  EXPECT_EQ(held, 0u);
  EXPECT_FALSE(event.IsSet());
  ASSERT_EQ(port.Write(Frame(0x01, kVersionQuery)), 0);
  ASSERT_EQ(event.Wait(3000), platform::kWaitObject0);
  EXPECT_EQ(mask, EV_RXCHAR);
  EXPECT_EQ(port.Held(), 8u);  // not woken by the first byte of the eight
  // Held bytes that make the count complete it at once.
  event.Reset();
  ASSERT_EQ(port.WaitInput(&mask, &o, 8, 100000, &held, &quiet), 0);
  EXPECT_TRUE(event.IsSet());
  EXPECT_EQ(held, 8u);
  EXPECT_TRUE(ReplyFrameIsWhole(port.ReadAtLeast(8)));

  // Twenty wanted, eight come: the wait ends 300 ms after the last.
  ASSERT_EQ(port.WaitInput(&mask, &o, 20, 300, &held, &quiet), 0);
  const auto sent = std::chrono::steady_clock::now();
  ASSERT_EQ(port.Write(Frame(0x00, kVersionQuery)), 0);
  ASSERT_EQ(event.Wait(200), platform::kWaitTimeout);
  // While its quiet time runs the wait stays; the request tells how long
  // the newest byte has waited.
  ASSERT_EQ(port.WaitInput(&mask, &o, 20, 300, &held, &quiet), 0);
  EXPECT_FALSE(event.IsSet());
  EXPECT_EQ(held, 8u);
  EXPECT_LT(quiet, 300u);
  // Nothing completes a waiter whose count is not reached: the caller asks
  // again once the quiet time has run out.
  ASSERT_EQ(event.Wait(400), platform::kWaitTimeout);
  ASSERT_EQ(port.WaitInput(&mask, &o, 20, 300, &held, &quiet), 0);
  EXPECT_TRUE(event.IsSet());
  EXPECT_EQ(mask, EV_RXCHAR);
  EXPECT_GE(quiet, 300u);
  EXPECT_GE(std::chrono::steady_clock::now() - sent, std::chrono::milliseconds(300));
  EXPECT_TRUE(ReplyFrameIsWhole(port.ReadAtLeast(8)));
}

TEST_F(CommPort, PurgeAbortLeavesTheReadersOwnReadAlone) {
  SimulatedReader sim({.dir = dir_.path()});
  ASSERT_TRUE(sim.published());
  Port port(lib_);
  // Retry time 0: one failed read would end the reader with EV_ERR.
  OpenPowered(port, 0);
  ASSERT_EQ(port.Purge(PURGE_RXABORT | PURGE_TXABORT), 0);
  Completion c;
  auto& [event, o] = c;
  uint32_t mask = 0xFFFF;
  ASSERT_EQ(port.WaitEvent(&mask, &o), 0);
  EXPECT_EQ(mask, 0u);  // nothing latched: the reader did not fail
  ASSERT_EQ(port.Write(Frame(0x01, kVersionQuery)), 0);
  ASSERT_EQ(event.Wait(3000), platform::kWaitObject0);
  EXPECT_EQ(mask, EV_RXCHAR);
  EXPECT_TRUE(ReplyFrameIsWhole(port.ReadAtLeast(8)));
}

TEST_F(CommPort, UnpluggedDeviceEndsTheReaderQuietly) {
  SimulatedReader sim({.dir = dir_.path()});
  ASSERT_TRUE(sim.published());
  Port port(lib_);
  ASSERT_EQ(port.Open(kFragment, PortKindHid, 5000, EV_RXCHAR | EV_ERR), 0);
  Completion c;
  auto& [event, o] = c;
  uint32_t mask = 0xFFFF;
  ASSERT_EQ(port.WaitEvent(&mask, &o), 0);
  EXPECT_EQ(sim.Control("unplug"), "OK");
  // No EV_ERR for a vanished device, neither to the waiter nor latched.
  EXPECT_EQ(event.Wait(500), platform::kWaitTimeout);
  EXPECT_EQ(mask, 0u);
  EXPECT_EQ(port.Write(Frame(0x01, kVersionQuery)), -1);
  Bytes report;
  EXPECT_EQ(port.GetFeature(0x44, &report), 1167);
  // Replugged, the device opens again after a close.
  EXPECT_EQ(sim.Control("replug"), "OK");
  EXPECT_EQ(port.Close(), 0);
  EXPECT_EQ(port.Open(kFragment), 0);
  EXPECT_EQ(port.GetFeature(0x44, &report), 0);
}

}  // namespace
}  // namespace zq::comm::test
