// The serial kinds through the loaded library on a pseudo-terminal pair:
// the library opens the terminal side, the test plays the far end on the
// master side (which also reads the terminal's settings back).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <termios.h>

#include "comm_test_util.h"

namespace zq::comm::test {
namespace {

class PtyPair {
 public:
  PtyPair() {
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0) return;
    const char* name = ::ptsname(master_);
    if (name) slave_ = name;
  }
  ~PtyPair() {
    if (master_ >= 0) ::close(master_);
  }
  bool ok() const { return !slave_.empty(); }
  const std::string& slave() const { return slave_; }
  void Send(const std::string& s) { ASSERT_EQ(::write(master_, s.data(), s.size()), static_cast<ssize_t>(s.size())); }
  // What arrives within `ms`.
  std::string Receive(int ms = 300) {
    std::string out;
    for (;;) {
      pollfd p{master_, POLLIN, 0};
      if (::poll(&p, 1, ms) <= 0) return out;
      char buf[512];
      ssize_t n = ::read(master_, buf, sizeof buf);
      if (n <= 0) return out;
      out.append(buf, static_cast<size_t>(n));
      ms = 50;
    }
  }
  termios Settings() const {
    termios t{};
    ::tcgetattr(master_, &t);  // the master reports the terminal side's settings
    return t;
  }

 private:
  int master_ = -1;
  std::string slave_;
};

class Serial : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(lib_.ok()) << ::dlerror();
    ASSERT_TRUE(pty_.ok());
  }
  OpenOptions Options() {
    OpenOptions o;
    o.deviceName = pty_.slave();
    o.kind = PortKindSerial;
    o.eventMask = EV_RXCHAR;
    return o;
  }
  std::string Read(Port& port, uint32_t length) {
    Bytes b;
    EXPECT_EQ(port.Read(&b, length), 0);
    return std::string(b.begin(), b.end());
  }

  CommLib lib_;
  PtyPair pty_;
};

TEST_F(Serial, BytesBothWaysAndTheLineSettingsReachTheTerminal) {
  Port port(lib_), other(lib_);
  ASSERT_EQ(port.Open(Options()), 0);
  EXPECT_EQ(other.Open(Options()), 5);  // opened without sharing

  DCB dcb{};
  ASSERT_EQ(port.GetState(&dcb), 0);
  EXPECT_EQ(dcb.BaudRate, 115200u);
  EXPECT_EQ(dcb.ByteSize, 8);
  EXPECT_EQ(dcb.Parity, NOPARITY);
  EXPECT_EQ(dcb.StopBits, ONESTOPBIT);
  EXPECT_EQ(dcb.fDtrControl, DTR_CONTROL_ENABLE);
  termios t = pty_.Settings();
  EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B115200));
  EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_EQ(t.c_lflag & (ICANON | ECHO), 0u);  // raw: nothing echoed or edited

  uint32_t written = 0;
  ASSERT_EQ(port.Write({'h', 'e', 'l', 'l', 'o', '\n'}, &written), 0);
  EXPECT_EQ(written, 6u);
  EXPECT_EQ(pty_.Receive(), "hello\n");
  pty_.Send("wor");
  pty_.Send("ld\r");
  EXPECT_EQ(Read(port, 6), "world\r");  // within 10 ms x 6 + 100 ms
  EXPECT_EQ(Read(port, 6), "");          // the time-out ends an empty read with success

  dcb.BaudRate = 9600;
  dcb.StopBits = TWOSTOPBITS;
  dcb.fOutX = dcb.fInX = 1;
  ASSERT_EQ(port.SetState(&dcb), 0);
  t = pty_.Settings();
  EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B9600));
  EXPECT_NE(t.c_cflag & CSTOPB, 0u);
  EXPECT_EQ(t.c_iflag & (IXON | IXOFF), static_cast<tcflag_t>(IXON | IXOFF));
  dcb.BaudRate = 12345;  // no such rate: refused, nothing changed
  EXPECT_EQ(port.SetState(&dcb), 87);
  t = pty_.Settings();
  EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B9600));
}

TEST_F(Serial, EscapesDriveTheLineAndXoffHoldsTheOutputBack) {
  Port port(lib_);
  ASSERT_EQ(port.Open(Options()), 0);
  DCB dcb{};
  ASSERT_EQ(port.Escape(CLRDTR), 0);
  ASSERT_EQ(port.Escape(CLRRTS), 0);
  ASSERT_EQ(port.GetState(&dcb), 0);
  EXPECT_EQ(dcb.fDtrControl, DTR_CONTROL_DISABLE);
  EXPECT_EQ(dcb.fRtsControl, RTS_CONTROL_DISABLE);
  ASSERT_EQ(port.Escape(SETRTS), 0);
  ASSERT_EQ(port.GetState(&dcb), 0);
  EXPECT_EQ(dcb.fRtsControl, RTS_CONTROL_ENABLE);
  EXPECT_EQ(dcb.fDtrControl, DTR_CONTROL_DISABLE);
  EXPECT_EQ(port.Escape(99), 87);

  uint32_t status = 0xFF;
  EXPECT_EQ(port.ModemStatus(&status), 0);
  EXPECT_EQ(status, 0u);  // a pseudo-terminal has no modem lines
  COMMPROP prop{};
  ASSERT_EQ(port.Properties(&prop), 0);
  EXPECT_EQ(prop.dwProvSubType, 1u);  // RS-232
  EXPECT_EQ(prop.dwCurrentRxQueue, 1024u);

  // Held back by XOFF, a write ends at its time-out (20 ms x 3 + 20 ms)
  // with nothing taken; after XON it goes out.
  ASSERT_EQ(port.Escape(SETXOFF), 0);
  uint32_t written = 9;
  ASSERT_EQ(port.Write({'a', 'b', 'c'}, &written), 0);
  EXPECT_EQ(written, 0u);
  EXPECT_EQ(pty_.Receive(150), "");
  ASSERT_EQ(port.Escape(SETXON), 0);
  ASSERT_EQ(port.Write({'a', 'b', 'c'}, &written), 0);
  EXPECT_EQ(written, 3u);
  EXPECT_EQ(pty_.Receive(), "abc");
}

TEST_F(Serial, PurgeEmptiesTheInputAndWaitPortEventCompletesOnReceivedBytes) {
  Port port(lib_);
  ASSERT_EQ(port.Open(Options()), 0);
  pty_.Send("xyz");
  ASSERT_TRUE(WaitUntil([&] { return port.Held() == 3; }));
  ASSERT_EQ(port.Purge(PURGE_RXCLEAR), 0);
  EXPECT_EQ(port.Held(), 0u);
  EXPECT_EQ(Read(port, 3), "");

  platform::SyncEvent event(true);
  OVERLAPPED o{};
  o.hEvent = &event;
  uint32_t mask = 0xFF, n = 0;
  EXPECT_EQ(port.WaitEvent(&mask, &o), 997);  // pending until bytes come
  EXPECT_EQ(port.OverlappedResult(&o, &n, 0), 996);
  EXPECT_EQ(port.WaitEvent(&mask, &o), 87);   // one wait at a time
  pty_.Send("!");
  ASSERT_EQ(event.Wait(3000), platform::kWaitObject0);
  EXPECT_EQ(mask, EV_RXCHAR);
  EXPECT_EQ(port.OverlappedResult(&o, &n, 0), 0);
  // Bytes already there complete the next wait at once.
  event.Reset();
  EXPECT_EQ(port.WaitEvent(&mask, &o), 0);
  EXPECT_EQ(mask, EV_RXCHAR);
  EXPECT_TRUE(event.IsSet());
  EXPECT_EQ(Read(port, 1), "!");

  // A new mask ends a pending wait with no events, and so does the close,
  // which clears the mask before the line goes.
  event.Reset();
  ASSERT_EQ(port.WaitEvent(&mask, &o), 997);
  ASSERT_EQ(port.SetMask(EV_RXCHAR), 0);
  ASSERT_EQ(event.Wait(3000), platform::kWaitObject0);
  EXPECT_EQ(mask, 0u);
  EXPECT_EQ(port.OverlappedResult(&o, &n, 0), 0);
  event.Reset();
  ASSERT_EQ(port.WaitEvent(&mask, &o), 997);
  mask = 0xFF;
  ASSERT_EQ(port.Close(), 0);
  ASSERT_EQ(event.Wait(3000), platform::kWaitObject0);
  EXPECT_EQ(o.Internal, 0u);
  EXPECT_EQ(mask, 0u);
}

}  // namespace
}  // namespace zq::comm::test
