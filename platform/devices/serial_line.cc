// The serial line on a Linux terminal device.
//
// Sections: the line (open, state, control, data, events).
#include "platform/devices/serial_line.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "platform/devices/serial_termios.h"
#include "platform/os/syscalls.h"
#include "platform/os/win32_errors.h"

namespace zq::platform {

using win32::COMMPROP;
using win32::COMMTIMEOUTS;
using win32::COMSTAT;
using win32::DCB;

namespace {

// COMMPROP values of an RS-232 port whose settings are all changeable.
constexpr uint32_t kSpSerialComm = 0x00000001;
constexpr uint32_t kPstRs232 = 0x00000001;
constexpr uint32_t kBaudUser = 0x10000000;
constexpr uint32_t kAllProvCapabilities = 0x00FF;  // DTR/DSR .. interval time-outs
constexpr uint32_t kAllSettableParams = 0x007F;    // parity .. RLSD
constexpr uint32_t kSettableBauds = 0x1007FFFF;    // BAUD_075 .. BAUD_57600, BAUD_USER
constexpr uint16_t kSettableData = 0x000F;         // 5 to 8 data bits
constexpr uint16_t kSettableStopParity = 0x1F07;   // 1, 1.5, 2 stop bits; every parity

constexpr uint32_t kMaxDword = 0xFFFFFFFF;

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// ---- the line ----------------------------------------------------------------------

class TerminalLine final : public SerialLine {
 public:
  TerminalLine(int fd, int wakeFd) : fd_(fd), wake_fd_(wakeFd) {
    int bits = 0;
    modem_lines_ = ::ioctl(fd_, TIOCMGET, &bits) == 0;
    serial_icounter_struct ic{};
    counters_ = ::ioctl(fd_, TIOCGICOUNT, &ic) == 0;
    // A terminal opened raises DTR and RTS: the line starts with both on.
    kept_.DCBlength = sizeof(DCB);
    kept_.fBinary = 1;
    kept_.fDtrControl = win32::DTR_CONTROL_ENABLE;
    kept_.fRtsControl = win32::RTS_CONTROL_ENABLE;
    kept_.XonChar = 0x11;
    kept_.XoffChar = 0x13;
    input_queue_ = output_queue_ = 4096;
  }

  ~TerminalLine() override {
    EndWait(kErrorOperationAborted);
    ::close(wake_fd_);
    ::close(fd_);  // also drops the flock
  }

  // ---- state ----

  uint32_t GetState(DCB* dcb) override {
    termios t{};
    if (::tcgetattr(fd_, &t) != 0) return Win32FromErrno(errno);
    *dcb = DcbFromTermios(t, kept_);
    return 0;
  }

  uint32_t SetState(const DCB& d) override {
    termios t{};
    if (::tcgetattr(fd_, &t) != 0) return Win32FromErrno(errno);
    if (!ApplyDcbToTermios(d, &t)) return kErrorInvalidParameter;
    if (::tcsetattr(fd_, TCSANOW, &t) != 0) return Win32FromErrno(errno);
    kept_ = d;
    // The output lines follow their control fields; handshake and toggle
    // modes leave them to the line.
    if (d.fDtrControl == win32::DTR_CONTROL_ENABLE || d.fDtrControl == win32::DTR_CONTROL_DISABLE)
      DriveLine(TIOCM_DTR, d.fDtrControl == win32::DTR_CONTROL_ENABLE);
    if (d.fRtsControl == win32::RTS_CONTROL_ENABLE || d.fRtsControl == win32::RTS_CONTROL_DISABLE)
      DriveLine(TIOCM_RTS, d.fRtsControl == win32::RTS_CONTROL_ENABLE);
    return 0;
  }

  uint32_t SetTimeouts(const COMMTIMEOUTS& t) override {
    timeouts_ = t;
    return 0;
  }

  uint32_t SetQueueSizes(uint32_t input, uint32_t output) override {
    if (input > 0) input_queue_ = input;
    if (output > 0) output_queue_ = output;
    return 0;
  }

  uint32_t Properties(COMMPROP* p) override {
    std::memset(p, 0, sizeof *p);
    p->wPacketLength = sizeof(COMMPROP);
    p->wPacketVersion = 2;
    p->dwServiceMask = kSpSerialComm;
    p->dwMaxBaud = kBaudUser;
    p->dwProvSubType = kPstRs232;
    p->dwProvCapabilities = kAllProvCapabilities;
    p->dwSettableParams = kAllSettableParams;
    p->dwSettableBaud = kSettableBauds;
    p->wSettableData = kSettableData;
    p->wSettableStopParity = kSettableStopParity;
    p->dwCurrentTxQueue = output_queue_;
    p->dwCurrentRxQueue = input_queue_;
    return 0;
  }

  // ---- control ----

  uint32_t Purge(uint32_t flags) override {
    int which = -1;
    if ((flags & win32::PURGE_RXCLEAR) && (flags & win32::PURGE_TXCLEAR)) {
      which = TCIOFLUSH;
    } else if (flags & win32::PURGE_RXCLEAR) {
      which = TCIFLUSH;
    } else if (flags & win32::PURGE_TXCLEAR) {
      which = TCOFLUSH;
    }
    if (which >= 0 && ::tcflush(fd_, which) != 0) return Win32FromErrno(errno);
    return 0;
  }

  uint32_t Escape(uint32_t function) override {
    switch (function) {
      case win32::SETRTS:
      case win32::CLRRTS:
        if (kept_.fRtsControl != win32::RTS_CONTROL_HANDSHAKE)
          kept_.fRtsControl = function == win32::SETRTS ? win32::RTS_CONTROL_ENABLE : win32::RTS_CONTROL_DISABLE;
        return DriveLine(TIOCM_RTS, function == win32::SETRTS);
      case win32::SETDTR:
      case win32::CLRDTR:
        if (kept_.fDtrControl != win32::DTR_CONTROL_HANDSHAKE)
          kept_.fDtrControl = function == win32::SETDTR ? win32::DTR_CONTROL_ENABLE : win32::DTR_CONTROL_DISABLE;
        return DriveLine(TIOCM_DTR, function == win32::SETDTR);
      case win32::SETXOFF:
        return ::tcflow(fd_, TCOOFF) == 0 ? 0 : Win32FromErrno(errno);
      case win32::SETXON:
        return ::tcflow(fd_, TCOON) == 0 ? 0 : Win32FromErrno(errno);
      case win32::SETBREAK:
        return ::ioctl(fd_, TIOCSBRK) == 0 ? 0 : Win32FromErrno(errno);
      case win32::CLRBREAK:
        return ::ioctl(fd_, TIOCCBRK) == 0 ? 0 : Win32FromErrno(errno);
      default:
        return kErrorInvalidParameter;
    }
  }

  uint32_t ModemStatus(uint32_t* status) override {
    *status = 0;
    int bits = 0;
    if (!modem_lines_) return 0;
    if (::ioctl(fd_, TIOCMGET, &bits) != 0) return Win32FromErrno(errno);
    *status = ModemBits(bits);
    return 0;
  }

  uint32_t ClearErrors(uint32_t* errors, COMSTAT* stat) override {
    *errors = 0;
    std::memset(stat, 0, sizeof *stat);
    serial_icounter_struct ic{};
    if (counters_ && ::ioctl(fd_, TIOCGICOUNT, &ic) == 0) {
      *errors = ErrorFlags(cleared_, ic);
      cleared_ = ic;
    }
    int n = 0;
    if (::ioctl(fd_, FIONREAD, &n) == 0 && n > 0) stat->cbInQue = static_cast<uint32_t>(n);
    if (::ioctl(fd_, TIOCOUTQ, &n) == 0 && n > 0) stat->cbOutQue = static_cast<uint32_t>(n);
    return 0;
  }

  // ---- data ----

  uint32_t Read(void* buffer, uint32_t length, uint32_t* bytesRead) override {
    *bytesRead = 0;
    if (length == 0) return 0;
    auto* out = static_cast<uint8_t*>(buffer);
    const COMMTIMEOUTS t = timeouts_;
    const bool atOnce = t.ReadIntervalTimeout == kMaxDword && t.ReadTotalTimeoutMultiplier == 0 &&
                        t.ReadTotalTimeoutConstant == 0;
    const bool firstByte = t.ReadIntervalTimeout == kMaxDword && t.ReadTotalTimeoutMultiplier == kMaxDword &&
                           t.ReadTotalTimeoutConstant > 0 && t.ReadTotalTimeoutConstant < kMaxDword;
    int64_t deadline = -1;
    if (firstByte) {
      deadline = NowMs() + t.ReadTotalTimeoutConstant;
    } else if (!atOnce && (t.ReadTotalTimeoutMultiplier != 0 || t.ReadTotalTimeoutConstant != 0)) {
      deadline = NowMs() + static_cast<int64_t>(t.ReadTotalTimeoutMultiplier) * length + t.ReadTotalTimeoutConstant;
    }
    const int64_t interval = atOnce || firstByte || t.ReadIntervalTimeout == 0 ? -1 : t.ReadIntervalTimeout;
    uint32_t got = 0;
    while (got < length) {
      int wait = -1;
      if (atOnce) {
        wait = 0;
      } else {
        if (deadline >= 0) wait = static_cast<int>(std::max<int64_t>(0, deadline - NowMs()));
        if (got > 0 && interval >= 0 && (wait < 0 || interval < wait)) wait = static_cast<int>(interval);
        if (got > 0 && firstByte) wait = 0;
      }
      pollfd p{fd_, POLLIN, 0};
      int r = Sys().poll(&p, 1, wait);
      if (r < 0 && errno == EINTR) continue;
      if (r < 0) return Win32FromErrno(errno);
      if (r == 0) break;  // a time-out: what came is the result
      ssize_t n = Sys().read(fd_, out + got, length - got);
      if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
      if (n < 0 && errno != EIO) return Win32FromErrno(errno);
      if (n <= 0) {
        // Hung up: the bytes that came first still count.
        if (got > 0) break;
        return kErrorDeviceNotConnected;
      }
      got += static_cast<uint32_t>(n);
    }
    *bytesRead = got;
    return 0;
  }

  uint32_t Write(const void* data, uint32_t length, uint32_t* bytesWritten) override {
    *bytesWritten = 0;
    const auto* in = static_cast<const uint8_t*>(data);
    const COMMTIMEOUTS t = timeouts_;
    const int64_t deadline =
        t.WriteTotalTimeoutMultiplier != 0 || t.WriteTotalTimeoutConstant != 0
            ? NowMs() + static_cast<int64_t>(t.WriteTotalTimeoutMultiplier) * length + t.WriteTotalTimeoutConstant
            : -1;
    uint32_t done = 0;
    while (done < length) {
      ssize_t n = Sys().write(fd_, in + done, length - done);
      if (n > 0) {
        done += static_cast<uint32_t>(n);
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && errno != EAGAIN) {
        *bytesWritten = done;
        return errno == EIO ? kErrorDeviceNotConnected : Win32FromErrno(errno);
      }
      const int wait = deadline < 0 ? -1 : static_cast<int>(std::max<int64_t>(0, deadline - NowMs()));
      pollfd p{fd_, POLLOUT, 0};
      int r = Sys().poll(&p, 1, wait);
      if (r == 0) break;  // the write time-out: what was taken is the result
    }
    *bytesWritten = done;
    if (done > 0) tx_written_.store(true);
    return 0;
  }

  // ---- events ----

  uint32_t SetMask(uint32_t mask) override {
    EndWait(0);
    mask_ = mask;
    return 0;
  }

  uint32_t WaitEvent(uint32_t* events, EventDone done) override {
    *events = 0;
    if (mask_ == 0 || (watcher_.joinable() && !watcher_done_.load())) return kErrorInvalidParameter;
    if (watcher_.joinable()) watcher_.join();
    const uint32_t now = EventsNow(mask_);
    if (now != 0) {
      *events = now;
      return 0;
    }
    end_reason_.store(kNoEnd);
    watcher_done_.store(false);
    uint64_t v;
    while (Sys().read(wake_fd_, &v, sizeof v) > 0) {
    }
    const uint32_t mask = mask_;
    try {
      watcher_ = std::thread([this, mask, done = std::move(done)] { Watch(mask, done); });
    } catch (const std::system_error& e) {
      return Win32FromErrno(e.code().value());
    }
    return kErrorIoPending;
  }

 private:
  static constexpr uint32_t kNoEnd = 0xFFFFFFFF;
  static constexpr int kLinePollMs = 20;

  uint32_t DriveLine(int bit, bool on) {
    if (!modem_lines_) return 0;  // nothing to drive: the state is kept
    return ::ioctl(fd_, on ? TIOCMBIS : TIOCMBIC, &bit) == 0 ? 0 : Win32FromErrno(errno);
  }

  static uint32_t ModemBits(int bits) {
    uint32_t s = 0;
    if (bits & TIOCM_CTS) s |= win32::MS_CTS_ON;
    if (bits & TIOCM_DSR) s |= win32::MS_DSR_ON;
    if (bits & TIOCM_RNG) s |= win32::MS_RING_ON;
    if (bits & TIOCM_CAR) s |= win32::MS_RLSD_ON;
    return s;
  }

  static uint32_t ErrorFlags(const serial_icounter_struct& before, const serial_icounter_struct& now) {
    uint32_t e = 0;
    if (now.frame != before.frame) e |= win32::CE_FRAME;
    if (now.overrun != before.overrun) e |= win32::CE_OVERRUN;
    if (now.parity != before.parity) e |= win32::CE_RXPARITY;
    if (now.brk != before.brk) e |= win32::CE_BREAK;
    if (now.buf_overrun != before.buf_overrun) e |= win32::CE_RXOVER;
    return e;
  }

  // The mask's events that hold now (EV_RXCHAR, EV_TXEMPTY); the line
  // changes are judged by the watcher against what it saw first.
  uint32_t EventsNow(uint32_t mask) {
    uint32_t e = 0;
    int n = 0;
    if ((mask & win32::EV_RXCHAR) && ::ioctl(fd_, FIONREAD, &n) == 0 && n > 0) e |= win32::EV_RXCHAR;
    if ((mask & win32::EV_TXEMPTY) && tx_written_.load() && ::ioctl(fd_, TIOCOUTQ, &n) == 0 && n == 0) {
      tx_written_.store(false);
      e |= win32::EV_TXEMPTY;
    }
    return e;
  }

  void Watch(uint32_t mask, const EventDone& done) {
    int bits = 0;
    const bool lines = modem_lines_ && (mask & (win32::EV_CTS | win32::EV_DSR | win32::EV_RLSD | win32::EV_RING));
    const uint32_t firstLines = lines && ::ioctl(fd_, TIOCMGET, &bits) == 0 ? ModemBits(bits) : 0;
    serial_icounter_struct first{};
    const bool errs = counters_ && (mask & (win32::EV_ERR | win32::EV_BREAK)) && ::ioctl(fd_, TIOCGICOUNT, &first) == 0;
    const bool polling = lines || errs || (mask & win32::EV_TXEMPTY);
    uint32_t result = 0, events = 0;
    for (;;) {
      if (uint32_t why = end_reason_.load(); why != kNoEnd) {
        result = why;
        break;
      }
      events = EventsNow(mask);
      if (lines && ::ioctl(fd_, TIOCMGET, &bits) == 0) {
        const uint32_t changed = ModemBits(bits) ^ firstLines;
        if (changed & win32::MS_CTS_ON) events |= win32::EV_CTS & mask;
        if (changed & win32::MS_DSR_ON) events |= win32::EV_DSR & mask;
        if (changed & win32::MS_RLSD_ON) events |= win32::EV_RLSD & mask;
        if (changed & win32::MS_RING_ON) events |= win32::EV_RING & mask;
      }
      serial_icounter_struct ic{};
      if (errs && ::ioctl(fd_, TIOCGICOUNT, &ic) == 0) {
        const uint32_t flags = ErrorFlags(first, ic);
        if (flags & (win32::CE_FRAME | win32::CE_OVERRUN | win32::CE_RXPARITY)) events |= win32::EV_ERR & mask;
        if (flags & win32::CE_BREAK) events |= win32::EV_BREAK & mask;
      }
      if (events != 0) break;
      pollfd fds[2] = {{fd_, static_cast<short>((mask & win32::EV_RXCHAR) ? POLLIN : 0), 0}, {wake_fd_, POLLIN, 0}};
      int r = Sys().poll(fds, 2, polling ? kLinePollMs : -1);
      if (r > 0 && (fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) && !(fds[0].revents & POLLIN)) {
        // A hung-up line raises no more events; wait for the end.
        fds[0].fd = -1;
        Sys().poll(&fds[1], 1, -1);
      }
    }
    // No longer pending before the caller hears of it: its next wait may follow at once.
    watcher_done_.store(true);
    done(result, result == 0 ? events : 0);
  }

  // Ends a pending wait with `reason` (0: the mask changed) and joins it.
  void EndWait(uint32_t reason) {
    if (!watcher_.joinable()) return;
    uint32_t expected = kNoEnd;
    end_reason_.compare_exchange_strong(expected, reason);
    uint64_t one = 1;
    (void)!Sys().write(wake_fd_, &one, sizeof one);
    watcher_.join();
  }

  const int fd_;
  const int wake_fd_;
  bool modem_lines_ = false;
  bool counters_ = false;
  DCB kept_{};
  COMMTIMEOUTS timeouts_{};
  uint32_t input_queue_ = 0, output_queue_ = 0;
  uint32_t mask_ = 0;
  serial_icounter_struct cleared_{};
  std::atomic<bool> tx_written_{false};
  std::thread watcher_;
  std::atomic<uint32_t> end_reason_{kNoEnd};
  std::atomic<bool> watcher_done_{true};
};

}  // namespace

uint32_t SerialLine::Open(const std::string& name, std::unique_ptr<SerialLine>* line) {
  line->reset();
  const std::string path = SerialDevicePath(name);
  int fd;
  do {
    fd = Sys().open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC, 0);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return errno == ENXIO || errno == ENODEV ? kErrorFileNotFound : Win32FromErrno(errno);
  auto fail = [&](uint32_t e) {
    ::close(fd);
    return e;
  };
  if (!::isatty(fd)) return fail(kErrorNotSupported);
  // Opened without sharing, as CreateFile with share mode 0.
  int rc;
  do {
    rc = Sys().flock(fd, LOCK_EX | LOCK_NB);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) return fail(errno == EWOULDBLOCK ? kErrorAccessDenied : Win32FromErrno(errno));
  termios t{};
  if (::tcgetattr(fd, &t) != 0) return fail(Win32FromErrno(errno));
  // A Windows port has no line discipline: bytes pass untouched.
  ::cfmakeraw(&t);
  t.c_cflag |= CLOCAL | CREAD;
  t.c_cc[VMIN] = 0;
  t.c_cc[VTIME] = 0;
  if (::tcsetattr(fd, TCSANOW, &t) != 0) return fail(Win32FromErrno(errno));
  int wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wake < 0) return fail(Win32FromErrno(errno));
  *line = std::make_unique<TerminalLine>(fd, wake);
  return 0;
}

}  // namespace zq::platform
