// The TCP/IP kinds 6 and 7. The device name is host, ":", port and one
// more character, which is removed before it is split; kind 7 announces
// itself by sending the logical device name first. A reader thread receives
// the stream into the receive side. The close is graceful: the sending side
// ends first and what the peer still sends is drained.
//
// Sections: socket send time; the device (send, TCP close); Alias_CreateFile_TCPIP.
#include <algorithm>
#include <cstdint>
#include <vector>

#include "comm/emulated_line.h"
#include "platform/devices/tcp_connection.h"
#include "platform/os/clock.h"
#include "platform/os/win32_errors.h"

namespace zq::comm {
namespace {

// ---- socket send time ------------------------------------------------------------------------

constexpr size_t kTcpNameWork = 260;  // the work buffer, terminator included
constexpr int kDrainReceives = 10;

// strtok(name, ":"): the runs between colons, empty runs skipped.
std::vector<std::string> Tokens(const std::string& s) {
  std::vector<std::string> out;
  size_t at = 0;
  while (at < s.size()) {
    size_t colon = s.find(':', at);
    if (colon == std::string::npos) colon = s.size();
    if (colon > at) out.push_back(s.substr(at, colon - at));
    at = colon + 1;
  }
  return out;
}

// How long a socket send of `length` bytes may take (milliseconds): the
// write total timeout of the port's timeouts, as a serial line would bound
// a write; without one, as long as a request waits for the port lock, so
// that a peer that stopped reading cannot hold the port.
int SendTimeoutMs(const COMMTIMEOUTS& timeouts, int32_t portLockIoMs, size_t length) {
  const uint64_t total =
      static_cast<uint64_t>(timeouts.WriteTotalTimeoutMultiplier) * length + timeouts.WriteTotalTimeoutConstant;
  if (total == 0) return portLockIoMs;
  return static_cast<int>(std::min<uint64_t>(total, INT32_MAX));
}

// ---- the device -------------------------------------------------------------------------------

class TcpIpDevice final : public EmulatedLine {
 public:
  TcpIpDevice(std::shared_ptr<ReceiveSide> side, std::unique_ptr<platform::TcpConnection> socket)
      : EmulatedLine(std::move(side)), socket_(std::move(socket)) {}

  uint32_t HandleValue() const override { return kTcpHandleMarker; }

  std::function<void()> ReaderWork(uint32_t) const override {
    std::shared_ptr<ReceiveSide> side = side_;
    std::shared_ptr<platform::TcpConnection> socket = socket_;
    return [side, socket] { TcpReadThread(side, socket); };
  }

  // The reader receives in slices and looks at its stop flag between them.
  void CancelIo() override {}

  void Close() override {
    socket_->ShutdownSending();
    // Whatever the peer still sends is read away, so that the close does not
    // reset the connection under bytes it has not yet taken from us.
    for (int i = 0; i < kDrainReceives; ++i) {
      if (i > 0) platform::SleepMilliseconds(30);  // between receives, not after the last
      uint8_t buf[256];
      size_t n = 0;
      const uint32_t e = socket_->Receive(buf, sizeof buf, 0, &n);
      const int32_t received = e != 0 ? -1 : static_cast<int32_t>(n);
      trace().Line("AAb2", 1, static_cast<uint32_t>(received), 0);
      if (received <= 0) break;
    }
    socket_.reset();  // the receiving side ends and the socket closes (once the reader lets it go)
  }

  // Any failed send is a lost connection to the caller.
  uint32_t Write(const uint8_t* data, uint32_t length, const COMMTIMEOUTS& timeouts, uint32_t* written) override {
    trace().Data("AAk0", length, data);
    const uint32_t e =
        length > 0 ? socket_->Send(data, length, SendTimeoutMs(timeouts, side_->timings.portLockIoMs, length)) : 0;
    uint32_t result = 0;
    if (e == 0) {
      *written = length;
    } else {
      result = platform::kErrorDeviceNotConnected;
      platform::SetLastError(result);
    }
    trace().Line("AAk1", 3, e == 0 ? 1 : 0, e);
    return result;
  }

  // A TCP port's OVERLAPPED results and control codes are nobody's business:
  // answered with 0, nothing touched.
  uint32_t OverlappedResult(OVERLAPPED*, uint32_t, uint32_t*) override { return 0; }
  uint32_t IoControl(uint32_t, OVERLAPPED*) override { return 0; }

 private:
  std::shared_ptr<platform::TcpConnection> socket_;  // shared with the reader thread
};

}  // namespace

// ---- Alias_CreateFile_TCPIP --------------------------------------------------------------

uint32_t OpenTcpIp(const PortDeviceSettings& s, const std::shared_ptr<ReceiveSide>& side,
                   std::unique_ptr<PortDevice>* device) {
  const TraceSink& trace = side->trace;
  trace.Text("AAj0 Alias_CreateFile_TCPIP() start", s.deviceName);
  std::string work = s.deviceName.substr(0, kTcpNameWork - 1);
  if (!work.empty()) work.pop_back();  // the name's extra last character
  const std::vector<std::string> t = Tokens(work);
  // A name without host or port opens nothing: the open must not report
  // success with the port closed.
  if (t.empty()) {
    trace.Line("AAj1", 0, 0, 0);
    return platform::kErrorInvalidParameter;
  }
  if (t.size() < 2) {
    trace.Line("AAj2", 0, 0, 0);
    return platform::kErrorInvalidParameter;
  }
  std::unique_ptr<platform::TcpConnection> c;
  platform::TcpConnection::Step step;
  if (uint32_t e = platform::TcpConnection::Connect(t[0], t[1], &c, &step); e != 0) {
    if (step == platform::TcpConnection::Step::kResolve) {
      trace.Line("AAj3", 0, 0, 0);
    } else {
      trace.Line(step == platform::TcpConnection::Step::kSocket ? "AAj4" : "AAj5", 1, e, 0);
    }
    return e;
  }
  if (s.kind == PortKindTcpAnnounce) {
    const std::string& name = s.logicalDeviceName;
    trace.Text("AAj6", name);
    if (uint32_t e = c->Send(name.data(), name.size(), SendTimeoutMs(s.timeouts, side->timings.portLockIoMs, name.size()));
        e != 0) {
      trace.Line("AAj7", 1, e, 0);
      return e;
    }
  }
  *device = std::make_unique<TcpIpDevice>(side, std::move(c));
  trace.Line("AAj8 Alias_CreateFile_TCPIP() end", 1, 0, 0);
  return 0;
}

}  // namespace zq::comm
