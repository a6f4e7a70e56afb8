// The simulated backend: the devices zelquar-sim publishes in its directory.
//
// One SOCK_SEQPACKET connection to NAME.hid is one open handle; one message
// is one report: 'O' output report, 'S' set feature, 'G' get feature (ID and
// 16-bit LE length) from us; 'I' input report, 'A' set result, 'F' get result
// and report from the device. Input reports and feature answers share the
// connection, so whichever thread waits receives for all (a leader that
// polls the socket while the others wait on a condition) and files each
// message where it belongs.
//
// Sections: enumeration; the handle; open; restart; backend table.
#include <dirent.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <optional>

#include "platform/devices/hid.h"
#include "platform/devices/hid_names.h"
#include "platform/devices/sim_client.h"
#include "platform/os/clock.h"
#include "platform/os/files.h"
#include "platform/os/syscalls.h"
#include "platform/os/win32_errors.h"

namespace zq::platform {
namespace {

constexpr int kFeatureTimeoutMs = 5000;
constexpr size_t kMaxMessage = 1 + 65535 + 4;

// ---- enumeration ------------------------------------------------------------------

// A published device whose server has died leaves its files behind: only a
// server that accepts on its control socket counts as present.
bool ServerAnswers(const std::string& ctlPath) {
  if (ctlPath.empty()) return true;
  sockaddr_un addr{};
  if (ctlPath.size() >= sizeof addr.sun_path) return false;
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path, ctlPath.c_str(), ctlPath.size() + 1);
  int rc;
  do {
    rc = Sys().connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  } while (rc != 0 && errno == EINTR);
  ::close(fd);
  return rc == 0;
}

uint32_t EnumerateSim(InterfaceClass cls, std::vector<DeviceInterface>* out) {
  if (cls != InterfaceClass::kHid) return 0;
  const std::string dir = SimulatorDirectory("");
  // Devices in a directory another user made or may write could be that
  // user's: a reader session never talks to them.
  if (CheckSimulatorDirectory(dir) != 0) return 0;
  DIR* d = ::opendir(dir.c_str());
  if (!d) return 0;  // no simulator directory: nothing simulated is present
  std::vector<std::string> names;
  while (dirent* e = ::readdir(d)) {
    std::string n = e->d_name;
    if (n.size() > 5 && n.compare(n.size() - 5, 5, ".json") == 0 && n[0] != '.') names.push_back(n);
  }
  ::closedir(d);
  std::sort(names.begin(), names.end());
  for (const std::string& n : names) {
    std::string text;
    // A description is a few hundred bytes; anything else under the name
    // (a FIFO, a huge file) is not a published device and must not stall
    // or swamp the listing.
    constexpr size_t kMaxDescription = 64 * 1024;
    if (ReadWholeFile(dir + "/" + n, &text, kMaxDescription) != 0) continue;
    DeviceInterface iface;
    std::string ctl;
    if (!DescribeSimDevice(text, dir, &iface, &ctl) || !ServerAnswers(ctl)) continue;
    out->push_back(std::move(iface));
  }
  return 0;
}

// ---- the handle ---------------------------------------------------------------------

class SimHandle final : public DeviceHandle {
 public:
  SimHandle(int fd, int cancelFd, ReportLengths lengths) : fd_(fd), cancel_fd_(cancelFd), lengths_(lengths) {}
  ~SimHandle() override {
    ::close(fd_);
    ::close(cancel_fd_);
  }

  ReportLengths Lengths() const override { return lengths_; }

  uint32_t Read(uint8_t* buffer, size_t capacity, int timeoutMs, size_t* count) override {
    *count = 0;
    if (capacity < lengths_.input) return kErrorInsufficientBuffer;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(std::max(timeoutMs, 0));
    std::unique_lock<std::mutex> g(mutex_);
    for (;;) {
      if (cancels_ > 0) {
        cancels_ = 0;
        return kErrorOperationAborted;
      }
      if (!inputs_.empty()) {
        std::vector<uint8_t>& m = inputs_.front();
        std::memset(buffer, 0, lengths_.input);
        std::memcpy(buffer, m.data(), std::min<size_t>(m.size(), lengths_.input));
        inputs_.pop_front();
        *count = lengths_.input;
        return 0;
      }
      if (closed_) return kErrorDeviceNotConnected;
      if (!WaitTurn(g, deadline)) return kErrorTimeout;
    }
  }

  uint32_t Write(const uint8_t* data, size_t length, size_t* written) override {
    *written = 0;
    if (length < 1) return kErrorInvalidParameter;
    uint32_t e = SendMessage('O', data, length);
    if (e == 0) *written = length;
    return e;
  }

  uint32_t SetFeature(const uint8_t* report, size_t length) override {
    if (length < 2) return kErrorInvalidParameter;
    std::vector<uint8_t> answer;
    uint32_t e = Request('S', report, length, &answer);
    if (e != 0) return e;
    return answer.size() >= 5 ? Le32(&answer[1]) : kErrorGenFailure;
  }

  uint32_t GetFeature(uint8_t* report, size_t length) override {
    if (length < 2 || length > 0xFFFF) return kErrorInvalidParameter;
    const uint8_t ask[3] = {report[0], static_cast<uint8_t>(length), static_cast<uint8_t>(length >> 8)};
    std::vector<uint8_t> answer;
    uint32_t e = Request('G', ask, sizeof ask, &answer);
    if (e != 0) return e;
    if (answer.size() < 5) return kErrorGenFailure;
    uint32_t result = Le32(&answer[1]);
    if (result != 0) return result;
    // The report keeps its ID in byte 0; what the device did not send stays zero.
    const size_t n = std::min(length, answer.size() - 5);
    std::memset(report + 1, 0, length - 1);
    if (n > 1) std::memcpy(report + 1, answer.data() + 6, n - 1);
    return 0;
  }

  void CancelIo() override {
    {
      std::lock_guard<std::mutex> g(mutex_);
      ++cancels_;
    }
    uint64_t one = 1;
    (void)!Sys().write(cancel_fd_, &one, sizeof one);
    cond_.notify_all();
  }

  // Opening handshake: a get without its length is answered at once (87) by
  // a server that serves this connection, while a connection the server
  // refuses (another holder has the device) is closed unanswered.
  uint32_t Handshake() {
    const uint8_t probe = 'G';
    ssize_t n;
    do {
      n = Sys().send(fd_, &probe, 1, MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    if (n != 1) {
      // Closed before we could ask: refused just the same.
      return errno == EPIPE || errno == ECONNRESET ? kErrorAccessDenied : Win32FromErrno(errno);
    }
    std::unique_lock<std::mutex> g(mutex_);
    answer_wanted_ = true;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kFeatureTimeoutMs);
    while (!answer_ && !closed_) {
      if (!WaitTurn(g, deadline)) break;
    }
    answer_wanted_ = false;
    if (answer_) {
      answer_.reset();
      return 0;
    }
    return closed_ ? kErrorAccessDenied : kErrorTimeout;
  }

 private:
  static uint32_t Le32(const uint8_t* p) {
    return p[0] | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
  }

  uint32_t SendMessage(char kind, const uint8_t* data, size_t length) {
    std::vector<uint8_t> m(1 + length);
    m[0] = static_cast<uint8_t>(kind);
    std::memcpy(m.data() + 1, data, length);
    ssize_t n;
    do {
      n = Sys().send(fd_, m.data(), m.size(), MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    if (n == static_cast<ssize_t>(m.size())) return 0;
    if (n < 0 && (errno == EPIPE || errno == ECONNRESET || errno == ENOTCONN)) return kErrorDeviceNotConnected;
    return n < 0 ? Win32FromErrno(errno) : kErrorGenFailure;
  }

  // One feature request and its answer ('A' or 'F'). Feature requests of
  // this handle do not overlap (the caller serialises them).
  uint32_t Request(char kind, const uint8_t* data, size_t length, std::vector<uint8_t>* answer) {
    std::lock_guard<std::mutex> one(request_mutex_);
    {
      std::lock_guard<std::mutex> g(mutex_);
      if (closed_) return kErrorDeviceNotConnected;
      answer_.reset();
      answer_wanted_ = true;
    }
    uint32_t e = SendMessage(kind, data, length);
    std::unique_lock<std::mutex> g(mutex_);
    if (e == 0) {
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kFeatureTimeoutMs);
      while (!answer_ && !closed_) {
        if (!WaitTurn(g, deadline)) break;
      }
      if (answer_) {
        *answer = std::move(*answer_);
      } else {
        e = closed_ ? kErrorDeviceNotConnected : kErrorTimeout;
      }
    }
    answer_.reset();
    answer_wanted_ = false;
    return e;
  }

  // Called with the lock held. Either receives from the socket (when no
  // other thread does) or waits for the one that does, until `deadline`.
  // False when the deadline has passed.
  bool WaitTurn(std::unique_lock<std::mutex>& g, std::chrono::steady_clock::time_point deadline) {
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline) return false;
    if (receiving_) {
      cond_.wait_until(g, deadline);
      return true;
    }
    receiving_ = true;
    const int waitMs = static_cast<int>(
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now + std::chrono::microseconds(999)).count());
    g.unlock();
    std::vector<std::vector<uint8_t>> got;
    bool eof = false;
    pollfd fds[2] = {{fd_, POLLIN, 0}, {cancel_fd_, POLLIN, 0}};
    int r = Sys().poll(fds, 2, waitMs);
    if (r > 0 && fds[1].revents) {
      uint64_t v;
      (void)!Sys().read(cancel_fd_, &v, sizeof v);
    }
    if (r > 0 && fds[0].revents) {
      // One receive area for every message (only the receiving thread uses
      // it); each message keeps just its own bytes. One message a turn: a
      // second receive to find the queue empty would cost every report a
      // system call, and a message still queued makes the next poll return
      // at once.
      if (receive_area_.empty()) receive_area_.resize(kMaxMessage);
      ssize_t n = Sys().recv(fd_, receive_area_.data(), receive_area_.size(), MSG_DONTWAIT);
      if (n > 0) {
        got.emplace_back(receive_area_.begin(), receive_area_.begin() + n);
      } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
        eof = true;  // the server closed the connection: unplugged or refused
      }
    }
    g.lock();
    for (auto& m : got) File(std::move(m));
    if (eof) closed_ = true;
    receiving_ = false;
    cond_.notify_all();
    return true;
  }

  void File(std::vector<uint8_t>&& m) {
    if (m.empty()) return;
    if (m[0] == 'I') {
      m.erase(m.begin());
      // The socket is the device's report queue (the server drops reports
      // when it is full); what has been received is kept.
      inputs_.push_back(std::move(m));
    } else if ((m[0] == 'A' || m[0] == 'F') && answer_wanted_ && !answer_) {
      answer_ = std::move(m);
    }
  }

  const int fd_;
  const int cancel_fd_;
  const ReportLengths lengths_;
  std::mutex request_mutex_;
  std::mutex mutex_;
  std::condition_variable cond_;
  bool receiving_ = false;
  std::vector<uint8_t> receive_area_;  // used by the thread that is receiving_
  bool closed_ = false;
  int cancels_ = 0;
  std::deque<std::vector<uint8_t>> inputs_;
  bool answer_wanted_ = false;
  std::optional<std::vector<uint8_t>> answer_;
};

// ---- open -------------------------------------------------------------------------------

uint32_t OpenSim(const DeviceInterface& iface, std::unique_ptr<DeviceHandle>* handle) {
  sockaddr_un addr{};
  if (iface.location.size() >= sizeof addr.sun_path) return kErrorFileNotFound;
  int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  if (fd < 0) return Win32FromErrno(errno);
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path, iface.location.c_str(), iface.location.size() + 1);
  int rc;
  do {
    rc = Sys().connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) {
    int err = errno;
    ::close(fd);
    // Nobody serves the socket any more: the device has gone.
    return err == ECONNREFUSED || err == ENOENT ? kErrorFileNotFound : Win32FromErrno(err);
  }
  int cancelFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (cancelFd < 0) {
    int err = errno;
    ::close(fd);
    return Win32FromErrno(err);
  }
  auto h = std::make_unique<SimHandle>(fd, cancelFd, iface.lengths);
  uint32_t e = h->Handshake();
  if (e != 0) return e;
  *handle = std::move(h);
  return 0;
}

// ---- restart ------------------------------------------------------------------------------

constexpr int kControlTimeoutMs = 5000;

// The simulated device is pulled and plugged in again, in one control
// command: its open handles end, the bridge and the reader start from
// power-up, and the device is published again before the answer comes. A
// simulator that answers after the wait here has ended still puts the
// device back.
uint32_t RestartSim(const DeviceInterface& iface) {
  std::string reply;
  if (uint32_t e = ControlRequest(iface.restartLocation, "restart", &reply, kControlTimeoutMs); e != 0) return e;
  return reply.rfind("OK", 0) == 0 ? 0 : kErrorGenFailure;
}

}  // namespace

// ---- backend table ---------------------------------------------------------------------

const DeviceBackend kSimBackend = {"sim", EnumerateSim, OpenSim, RestartSim};

}  // namespace zq::platform
