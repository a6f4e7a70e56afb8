// The comm library's device calls with every other system call interrupted
// by a signal (EINTR) and transfers cut short: a simulated HID bridge served
// by a real zelquar-sim process, and a TCP/IP connection to a loopback peer.
// Each must retry and arrive at what it gets without the faults; a restart
// of the bridge goes through the simulator's control socket the same way.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/devices/hid.h"
#include "platform/devices/tcp_connection.h"
#include "platform/os/syscalls.h"
#include "platform/os/win32_errors.h"
#include "tests/support/sim_fixture.h"
#include "tests/support/syscall_hook.h"

namespace zq::platform {
namespace {

using test::SyscallHook;

// Every other call of a member fails with EINTR before it reaches the
// system; the count of interruptions is kept.
template <auto Member>
std::shared_ptr<void> InterruptEveryOther(const char* name, std::atomic<int>* interruptions) {
  using Hook = SyscallHook<Member>;
  auto calls = std::make_shared<std::atomic<int>>(0);
  return std::make_shared<Hook>(name, [calls, interruptions](auto real, auto... a) {
    if (calls->fetch_add(1) % 2 == 0) {
      interruptions->fetch_add(1);
      errno = EINTR;
      return static_cast<decltype(real(a...))>(-1);
    }
    return real(a...);
  });
}

TEST(DevicesUnderFaults, ASimulatedBridgeOpensAnswersFeatureReportsAndTakesReportsThroughInterruptedCalls) {
  test::SimDirectory dir;
  test::SimulatedReader reader(test::SimOptions{.dir = dir.path()});
  ASSERT_TRUE(reader.published());
  std::vector<DeviceInterface> found;
  ASSERT_EQ(kSimBackend.enumerate(InterfaceClass::kHid, &found), 0u);
  ASSERT_EQ(found.size(), 1u);

  std::atomic<int> interruptions{0};
  std::vector<std::shared_ptr<void>> hooks = {
      InterruptEveryOther<&Syscalls::connect>("connect", &interruptions),
      InterruptEveryOther<&Syscalls::send>("send", &interruptions),
      InterruptEveryOther<&Syscalls::recv>("recv", &interruptions),
      InterruptEveryOther<&Syscalls::poll>("poll", &interruptions),
  };
  std::unique_ptr<DeviceHandle> handle;
  ASSERT_EQ(kSimBackend.open(found[0], &handle), 0u);
  // The bridge as plugged in: UART off; switched on, it reads back on.
  uint8_t enable[2] = {0x41, 0xEE};
  ASSERT_EQ(handle->GetFeature(enable, sizeof enable), 0u);
  EXPECT_EQ(enable[1], 0);
  const uint8_t on[2] = {0x41, 0x01};
  ASSERT_EQ(handle->SetFeature(on, sizeof on), 0u);
  ASSERT_EQ(handle->GetFeature(enable, sizeof enable), 0u);
  EXPECT_EQ(enable[1], 1);
  uint8_t version[3] = {0x46, 0, 0};
  ASSERT_EQ(handle->GetFeature(version, sizeof version), 0u);
  EXPECT_EQ(version[1], 0x0A);
  // An output report with UART bytes is taken whole; the powered-off
  // reader answers nothing, so a read ends with its time-out.
  std::vector<uint8_t> report(handle->Lengths().output, 0);
  ASSERT_GE(report.size(), 5u);
  report[0] = 4;
  report[1] = 0x00;
  report[2] = 0x00;
  report[3] = 0x00;
  report[4] = 0x00;
  size_t written = 0;
  EXPECT_EQ(handle->Write(report.data(), report.size(), &written), 0u);
  EXPECT_EQ(written, report.size());
  std::vector<uint8_t> input(handle->Lengths().input, 0);
  size_t count = 0;
  EXPECT_EQ(handle->Read(input.data(), input.size(), 100, &count), kErrorTimeout);
  // A restart through the simulator's control socket: the open handle ends
  // with "device not connected", and the bridge can be opened again.
  EXPECT_EQ(kSimBackend.restart(found[0]), 0u);
  EXPECT_EQ(handle->Read(input.data(), input.size(), 1000, &count), kErrorDeviceNotConnected);
  handle.reset();
  found.clear();
  ASSERT_EQ(kSimBackend.enumerate(InterfaceClass::kHid, &found), 0u);
  ASSERT_EQ(found.size(), 1u);
  ASSERT_EQ(kSimBackend.open(found[0], &handle), 0u);
  ASSERT_EQ(handle->GetFeature(enable, sizeof enable), 0u);
  EXPECT_EQ(enable[1], 0);  // a replugged bridge starts with its UART off
  handle.reset();
  hooks.clear();
  EXPECT_GT(interruptions.load(), 5);
  EXPECT_FALSE(reader.State()["uart"]["enabled"].get<bool>());
}

TEST(DevicesUnderFaults, ATcpConnectionCarriesEveryByteBothWaysThroughInterruptedAndShortCalls) {
  const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(listener, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  socklen_t len = sizeof addr;
  ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len), 0);
  ASSERT_EQ(::listen(listener, 1), 0);
  // The peer echoes every byte until the stream ends.
  std::thread peer([listener] {
    const int c = ::accept(listener, nullptr, nullptr);
    char buf[4096];
    for (ssize_t n; (n = ::read(c, buf, sizeof buf)) > 0;) {
      for (ssize_t done = 0; done < n;) done += ::write(c, buf + done, static_cast<size_t>(n - done));
    }
    ::close(c);
  });

  std::atomic<int> interruptions{0};
  auto sends = std::make_shared<std::atomic<int>>(0);
  std::vector<std::shared_ptr<void>> hooks = {
      InterruptEveryOther<&Syscalls::connect>("connect", &interruptions),
      InterruptEveryOther<&Syscalls::recv>("recv", &interruptions),
      InterruptEveryOther<&Syscalls::poll>("poll", &interruptions),
      // Sends are interrupted every other time and take at most 1000 bytes.
      std::make_shared<SyscallHook<&Syscalls::send>>(
          "send", [sends, &interruptions](auto real, int fd, const void* b, size_t n, int flags) -> ssize_t {
            if (sends->fetch_add(1) % 2 == 0) {
              interruptions.fetch_add(1);
              errno = EINTR;
              return -1;
            }
            return real(fd, b, std::min<size_t>(n, 1000), flags);
          }),
  };
  std::unique_ptr<TcpConnection> connection;
  TcpConnection::Step step = TcpConnection::Step::kNone;
  ASSERT_EQ(TcpConnection::Connect("127.0.0.1", std::to_string(ntohs(addr.sin_port)), &connection, &step), 0u);
  std::vector<uint8_t> sent(64 * 1024);
  for (size_t i = 0; i < sent.size(); ++i) sent[i] = static_cast<uint8_t>(i * 13 + i / 251);
  std::vector<uint8_t> got;
  std::thread receiver([&] {
    std::vector<uint8_t> buf(3000);
    while (got.size() < sent.size()) {
      size_t n = 0;
      const uint32_t e = connection->Receive(buf.data(), buf.size(), 2000, &n);
      if (e != 0 || n == 0) break;
      got.insert(got.end(), buf.begin(), buf.begin() + static_cast<long>(n));
    }
  });
  EXPECT_EQ(connection->Send(sent.data(), sent.size(), 10000), 0u);
  receiver.join();
  EXPECT_EQ(got, sent);
  EXPECT_GT(sends->load(), 2 * 64);
  connection->ShutdownSending();
  connection.reset();
  hooks.clear();
  peer.join();
  ::close(listener);
  EXPECT_GT(interruptions.load(), 64);
}

// The reader bridges present: the published devices whose path holds the
// driver's PID_VID fragment, whatever its letter case; an unplugged one
// and one of another product are not among them.
TEST(ReaderBridges, ArePresentDevicesOfTheFragmentOnly) {
  test::SimDirectory dir;
  test::SimulatedReader reader(test::SimOptions{.dir = dir.path()});
  test::SimulatedReader other(test::SimOptions{.dir = dir.path(), .name = "other", .extraArgs = {"--pid", "7C03"}});
  ASSERT_TRUE(reader.published() && other.published());
  auto names = [](const std::string& fragment) {
    std::vector<DeviceInterface> found;
    EXPECT_EQ(ListReaderBridges(fragment, &found), 0u);
    std::vector<std::string> out;
    for (const DeviceInterface& d : found) out.push_back(d.backend + ":" + d.path.substr(d.path.find('#') + 1, 17));
    return out;
  };
  using V = std::vector<std::string>;
  EXPECT_EQ(names("vid_FFF1&pid_7C02"), V{"sim:vid_fff1&pid_7c02"});
  EXPECT_EQ(names("VID_fff1&PID_7c03"), V{"sim:vid_fff1&pid_7c03"});
  EXPECT_EQ(names("vid_FFF1&pid_7C04"), V{});
  ASSERT_EQ(reader.Control("unplug"), "OK");
  EXPECT_EQ(names("vid_FFF1&pid_7C02"), V{});
  ASSERT_EQ(reader.Control("replug"), "OK");
  EXPECT_EQ(names("vid_FFF1&pid_7C02").size(), 1u);
}

}  // namespace
}  // namespace zq::platform
