// The TCP/IP kinds through the loaded library against a loopback server of
// the test: the device name's form, kind 7's announcement, bytes both
// ways through the TCP reader, the graceful close and the peer's close.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>

#include <future>

#include "comm_test_util.h"

namespace zq::comm::test {
namespace {

// Listens on 127.0.0.1 at a port of the system's choosing; one peer.
class LoopbackServer {
 public:
  LoopbackServer() {
    listen_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (listen_ < 0 || ::bind(listen_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(listen_, 4) != 0 ||
        ::getsockname(listen_, reinterpret_cast<sockaddr*>(&a), &len) != 0)
      return;
    port_ = ntohs(a.sin_port);
  }
  ~LoopbackServer() {
    if (peer_ >= 0) ::close(peer_);
    if (listen_ >= 0) ::close(listen_);
  }
  uint16_t port() const { return port_; }
  // "127.0.0.1:<port>" and the extra last character the library removes.
  std::string Name() const { return "127.0.0.1:" + std::to_string(port_) + "x"; }
  bool Accept(int ms = 3000) {
    pollfd p{listen_, POLLIN, 0};
    if (::poll(&p, 1, ms) <= 0) return false;
    peer_ = ::accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
    return peer_ >= 0;
  }
  void Send(const std::string& s) { ASSERT_EQ(::send(peer_, s.data(), s.size(), MSG_NOSIGNAL), static_cast<ssize_t>(s.size())); }
  // Reads until `count` bytes came, the peer closed, or `ms` of silence.
  std::string Receive(size_t count, int ms = 1000) {
    std::string out;
    while (out.size() < count) {
      pollfd p{peer_, POLLIN, 0};
      if (::poll(&p, 1, ms) <= 0) break;
      char buf[65536];
      ssize_t n = ::recv(peer_, buf, sizeof buf, 0);
      if (n <= 0) {
        closed_ = true;
        break;
      }
      out.append(buf, static_cast<size_t>(n));
    }
    return out;
  }
  bool SawClose() {
    Receive(1, 3000);
    return closed_;
  }
  void ClosePeer() {
    ::close(peer_);
    peer_ = -1;
  }

 private:
  int listen_ = -1;
  int peer_ = -1;
  uint16_t port_ = 0;
  bool closed_ = false;
};

class Tcp : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(lib_.ok()) << ::dlerror();
    ASSERT_NE(server_.port(), 0);
  }
  OpenOptions Options(const std::string& name, int32_t kind = PortKindTcp) {
    OpenOptions o;
    o.deviceName = name;
    o.kind = kind;
    o.logicalName = "READER-A";
    o.eventMask = EV_RXCHAR | EV_ERR;
    return o;
  }

  CommLib lib_;
  Scratch scratch_;
  LoopbackServer server_;
};

TEST_F(Tcp, Kind6ConnectsToTheNameWithoutItsLastCharacterAndMovesBytesBothWays) {
  Port port(lib_);
  ASSERT_EQ(port.Open(Options(server_.Name())), 0);
  ASSERT_TRUE(server_.Accept());
  ASSERT_EQ(port.Write({'p', 'i', 'n', 'g'}), 0);
  EXPECT_EQ(server_.Receive(4), "ping");
  server_.Send("pong");
  const Bytes got = port.ReadAtLeast(4);
  EXPECT_EQ(std::string(got.begin(), got.end()), "pong");
  uint32_t status = 0;
  EXPECT_EQ(port.ModemStatus(&status), 0);
  EXPECT_EQ(status, 0x30u);
  const auto t = TraceMessages();
  EXPECT_TRUE(HasMessage(t, "AAj0 Alias_CreateFile_TCPIP() start," + server_.Name()));
  EXPECT_TRUE(HasMessage(t, "AAj8 Alias_CreateFile_TCPIP() end 0x1 0x0 0x0"));
  EXPECT_TRUE(HasMessage(t, "AAk0 0x5 0x4 0x676e6970"));  // "ping", little-endian
  EXPECT_TRUE(HasMessage(t, "AAi3 0x5 0x4 0x676e6f70"));  // "pong"

  // Without the trace library a long write traces no data rows.
  ASSERT_EQ(port.Write(Bytes(40, 0x41)), 0);
  const auto after = TraceMessages();
  const long at = MessageAt(after, "WritePort() 5 0x0 0x0 0x0");
  ASSERT_GE(at, 0);
  EXPECT_EQ(after[at + 1], "WritePort() 6 0x0 0x0 0x0");
}

TEST_F(Tcp, NamesWithoutAPortOrWithNobodyListeningFail) {
  Port port(lib_);
  EXPECT_EQ(port.Open(Options("127.0.0.1x")), 87);
  EXPECT_TRUE(HasMessage(TraceMessages(), "AAj2 0x0 0x0 0x0"));
  EXPECT_EQ(port.Open(Options(":" + std::to_string(server_.port()) + "x")), 87);
  EXPECT_TRUE(HasMessage(TraceMessages(), "AAj2 0x0 0x0 0x0"));
  uint16_t closed;
  {
    LoopbackServer gone;
    closed = gone.port();
  }
  EXPECT_EQ(port.Open(Options("127.0.0.1:" + std::to_string(closed) + "x")), 10061);
  EXPECT_TRUE(HasMessage(TraceMessages(), "AAj5 0x1 0x274d 0x0"));
  EXPECT_EQ(port.Write({1}), -1);  // nothing is open
}

TEST_F(Tcp, Kind7SendsTheLogicalNameFirst) {
  Port port(lib_);
  ASSERT_EQ(port.Open(Options(server_.Name(), PortKindTcpAnnounce)), 0);
  ASSERT_TRUE(server_.Accept());
  ASSERT_EQ(port.Write({'!', '!'}), 0);
  EXPECT_EQ(server_.Receive(10), "READER-A!!");
  EXPECT_TRUE(HasMessage(TraceMessages(), "AAj6,READER-A"));
}

TEST_F(Tcp, TheGracefulCloseDeliversEveryByteWrittenBeforeIt) {
  Port port(lib_);
  ASSERT_EQ(port.Open(Options(server_.Name())), 0);
  ASSERT_TRUE(server_.Accept());
  server_.Send("unread by the caller");  // left in the receive buffer at close
  Bytes data(300000);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7);
  // The peer reads while the write goes out (more than the socket queues
  // hold), until the stream ends.
  std::string got;
  std::thread peer([&] { got = server_.Receive(data.size() + 1, 3000); });
  uint32_t written = 0;
  EXPECT_EQ(port.Write(data, &written), 0);
  EXPECT_EQ(written, data.size());
  EXPECT_EQ(port.Close(), 0);
  peer.join();
  EXPECT_EQ(got.size(), data.size());
  EXPECT_TRUE(got == std::string(data.begin(), data.end()));
  EXPECT_TRUE(server_.SawClose());
}

TEST_F(Tcp, AWriteToAPeerThatStoppedReadingFailsWithinTheWriteTimeoutAndThePortGoesOn) {
  Port port(lib_);
  OpenOptions o = Options(server_.Name());
  o.timeouts = {10, 10, 100, 0, 300};  // a write may take 300 ms, whatever its length
  ASSERT_EQ(port.Open(o), 0);
  ASSERT_TRUE(server_.Accept());
  // The peer reads nothing: far more than the sockets' queues hold.
  const Bytes data(32 * 1024 * 1024, 0x5A);
  auto write = std::async(std::launch::async, [&] {
    uint32_t n = 7;
    const int32_t r = port.Write(data, &n);
    return std::make_pair(r, n);
  });
  if (write.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
    ADD_FAILURE() << "WritePort still blocked after 10 s";
    server_.ClosePeer();  // lets a send that would wait for ever fail, so that the test ends
  }
  const auto [result, written] = write.get();
  EXPECT_EQ(result, -1);
  EXPECT_EQ(written, 0u);
  // The send gave up with WSAETIMEDOUT, reported as a device that is gone.
  EXPECT_TRUE(HasMessage(TraceMessages(), "AAk1 0x3 0x0 0x274c"));
  // Every other request is answered at once, the close too.
  uint32_t status = 0;
  EXPECT_EQ(port.ModemStatus(&status), 0);
  EXPECT_EQ(port.Close(), 0);
}

TEST_F(Tcp, ThePeersCloseIsSeenByTheReader) {
  Port port(lib_);
  ASSERT_EQ(port.Open(Options(server_.Name())), 0);
  ASSERT_TRUE(server_.Accept());
  platform::SyncEvent event(true);
  OVERLAPPED o{};
  o.hEvent = &event;
  uint32_t mask = 0xFF;
  ASSERT_EQ(port.WaitEvent(&mask, &o), 0);
  EXPECT_EQ(mask, 0u);
  server_.ClosePeer();
  ASSERT_EQ(event.Wait(3000), platform::kWaitObject0);
  EXPECT_EQ(mask, EV_ERR);
  EXPECT_TRUE(HasMessage(TraceMessages(), "AAi2 0x1 0x0 0x0"));
}

}  // namespace
}  // namespace zq::comm::test
