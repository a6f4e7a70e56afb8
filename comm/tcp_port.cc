// CDllPort: the TCP/IP kinds 6 and 7. The device name is host, ":", port and
// one more character, which is removed before it is split; kind 7 announces
// itself by sending the logical device name first. The close is graceful:
// the sending side ends first and what the peer still sends is drained.
//
// Sections: Alias_CreateFile_TCPIP; socket send; TCP close.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "comm/port.h"
#include "platform/os/clock.h"
#include "platform/os/win32_errors.h"

namespace zq::comm {
namespace {

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

}  // namespace

// ---- Alias_CreateFile_TCPIP --------------------------------------------------------------

uint32_t CDllPort::AliasCreateFileTcpIp() {
  trace().Text("AAj0 Alias_CreateFile_TCPIP() start", device_name_);
  std::string work = device_name_.substr(0, kTcpNameWork - 1);
  if (!work.empty()) work.pop_back();  // the name's extra last character
  const std::vector<std::string> t = Tokens(work);
  // A name without host or port opens nothing: the open must not report
  // success with the port closed.
  if (t.empty()) {
    trace().Line("AAj1", 0, 0, 0);
    return platform::kErrorInvalidParameter;
  }
  if (t.size() < 2) {
    trace().Line("AAj2", 0, 0, 0);
    return platform::kErrorInvalidParameter;
  }
  std::unique_ptr<platform::TcpConnection> c;
  platform::TcpConnection::Step step;
  if (uint32_t e = platform::TcpConnection::Connect(t[0], t[1], &c, &step); e != 0) {
    if (step == platform::TcpConnection::Step::kResolve) {
      trace().Line("AAj3", 0, 0, 0);
    } else {
      trace().Line(step == platform::TcpConnection::Step::kSocket ? "AAj4" : "AAj5", 1, e, 0);
    }
    return e;
  }
  if (port_kind_ == PortKindTcpAnnounce) {
    trace().Text("AAj6", logical_device_name_);
    if (uint32_t e = c->Send(logical_device_name_.data(), logical_device_name_.size(),
                             SendTimeoutMs(logical_device_name_.size()));
        e != 0) {
      trace().Line("AAj7", 1, e, 0);
      return e;
    }
  }
  socket_ = std::move(c);
  trace().Line("AAj8 Alias_CreateFile_TCPIP() end", 1, 0, 0);
  return 0;
}

// ---- socket send ----------------------------------------------------------------------------

int CDllPort::SendTimeoutMs(size_t length) const {
  // The write total timeout of the port's timeouts, as a serial line would
  // bound a write; without one, as long as a request waits for the port
  // lock, so that a peer that stopped reading cannot hold the port.
  const uint64_t total = static_cast<uint64_t>(timeouts_.WriteTotalTimeoutMultiplier) * length + timeouts_.WriteTotalTimeoutConstant;
  if (total == 0) return side_->timings.portLockIoMs;
  return static_cast<int>(std::min<uint64_t>(total, INT32_MAX));
}

bool CDllPort::SendSocket(const uint8_t* data, uint32_t length, uint32_t* written, uint32_t* error) {
  trace().Data("AAk0", length, data);
  const uint32_t e = length > 0 ? socket_->Send(data, length, SendTimeoutMs(length)) : 0;
  if (e == 0) {
    *written = length;
  } else {
    *error = platform::kErrorDeviceNotConnected;
    platform::SetLastError(*error);
  }
  trace().Line("AAk1", 3, e == 0 ? 1 : 0, e);
  return e == 0;
}

// ---- TCP close -------------------------------------------------------------------------------

void CDllPort::CloseTcp() {
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

}  // namespace zq::comm
