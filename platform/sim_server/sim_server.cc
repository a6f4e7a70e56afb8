// Sections: server (sockets, event loop); daemon.
#include "platform/sim_server/sim_server.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/os/clock.h"
#include "platform/os/local_socket.h"
#include "platform/os/syscalls.h"
#include "platform/os/win32_errors.h"

namespace zq::platform {
namespace {

// The Win32 number of the errno of the call that just failed.
uint32_t Fail() { return Win32FromErrno(errno); }

// When a received message was queued, from its SO_TIMESTAMPNS stamp (the
// real-time clock) brought to the monotonic one by its age; -1 without a
// stamp or with an age a clock step makes implausible.
int64_t ArrivalMicroseconds(msghdr& message) {
  for (cmsghdr* c = CMSG_FIRSTHDR(&message); c; c = CMSG_NXTHDR(&message, c)) {
    if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_TIMESTAMPNS) continue;
    timespec stamp{};
    std::memcpy(&stamp, CMSG_DATA(c), sizeof stamp);
    timespec real{};
    clock_gettime(CLOCK_REALTIME, &real);
    const int64_t monotonic = MonotonicMicroseconds();
    const int64_t ageUs = (int64_t{real.tv_sec} - stamp.tv_sec) * 1000000 + (real.tv_nsec - stamp.tv_nsec) / 1000;
    if (ageUs < 0 || ageUs > 1000000) return -1;
    return monotonic - ageUs;
  }
  return -1;
}

int g_daemon_pipe = -1;

}  // namespace

// ---- server ----------------------------------------------------------------

SimServer::~SimServer() { Shutdown(); }

uint32_t SimServer::Start(const std::string& hidPath, const std::string& ctlPath) {
  hid_path_ = hidPath;
  ctl_path_ = ctlPath;
  // Paced UART bytes are ~100 us apart: wake-ups must not be coalesced.
  (void)::prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0);
  ::signal(SIGPIPE, SIG_IGN);
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  if (::sigprocmask(SIG_BLOCK, &set, nullptr) != 0) return Fail();
  signal_fd_ = ::signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
  if (signal_fd_ < 0) return Fail();
  uint32_t e = 0;
  ctl_listen_ = ListenLocal(ctlPath, LocalSocketType::kStream, &e);
  if (ctl_listen_ < 0) return e;
  return ListenHid();
}

uint32_t SimServer::ListenHid() {
  if (hid_listen_ >= 0) return 0;
  uint32_t e = 0;
  hid_listen_ = ListenLocal(hid_path_, LocalSocketType::kSeqpacket, &e);
  return hid_listen_ < 0 ? e : 0;
}

void SimServer::CloseHidConnection() {
  if (hid_conn_ >= 0) ::close(hid_conn_);
  hid_conn_ = -1;
}

void SimServer::StopHid() {
  CloseHidConnection();
  if (hid_listen_ >= 0) {
    ::close(hid_listen_);
    hid_listen_ = -1;
    ::unlink(hid_path_.c_str());
  }
  for (auto it = events_.begin(); it != events_.end();) {
    it = it->kind == EventKind::kHidMessage ? events_.erase(it) : it + 1;
  }
}

SimServer::Event SimServer::Wait(int64_t deadlineUs) {
  for (;;) {
    if (!events_.empty()) {
      Event e = std::move(events_.front());
      events_.pop_front();
      return e;
    }
    std::vector<pollfd> fds;
    fds.push_back({hid_conn_, POLLIN, 0});
    fds.push_back({signal_fd_, POLLIN, 0});
    fds.push_back({hid_listen_, POLLIN, 0});
    fds.push_back({ctl_listen_, POLLIN, 0});
    for (const Control& c : controls_) fds.push_back({c.fd, POLLIN, 0});
    timespec ts{};
    timespec* limit = nullptr;
    if (deadlineUs >= 0) {
      const int64_t left = std::max<int64_t>(0, deadlineUs - MonotonicMicroseconds());
      ts.tv_sec = left / 1000000;
      ts.tv_nsec = (left % 1000000) * 1000;
      limit = &ts;
    }
    int r = ::ppoll(fds.data(), fds.size(), limit, nullptr);
    if (r < 0 && errno == EINTR) continue;
    if (r == 0) return Event{};
    if (r < 0) return Event{EventKind::kStop, {}, -1, ""};

    if (fds[0].fd >= 0 && fds[0].revents) {
      // Every message queued, in order: replies go out between them.
      for (;;) {
        uint8_t buf[512];
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(timespec))];
        iovec iov{buf, sizeof buf};
        msghdr message{};
        message.msg_iov = &iov;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        ssize_t n = Sys().recvmsg(hid_conn_, &message, MSG_DONTWAIT);
        if (n > 0) {
          Event e{EventKind::kHidMessage, std::vector<uint8_t>(buf, buf + n), -1, ""};
          e.atUs = ArrivalMicroseconds(message);
          events_.push_back(std::move(e));
          continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) break;
        CloseHidConnection();
        events_.push_back({EventKind::kHidClosed, {}, -1, ""});
        break;
      }
    }
    if (fds[1].revents) {
      signalfd_siginfo si;
      while (Sys().read(signal_fd_, &si, sizeof si) == static_cast<ssize_t>(sizeof si)) {
      }
      events_.push_back({EventKind::kStop, {}, -1, ""});
    }
    if (fds[2].fd >= 0 && fds[2].revents) {
      int fd = Sys().accept4(hid_listen_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
      if (fd >= 0) {
        if (hid_conn_ >= 0) {
          ::close(fd);  // opened without sharing: one handle at a time
          events_.push_back({EventKind::kHidRefused, {}, -1, ""});
        } else {
          // The kernel stamps each message as it is queued: the bridge's
          // UART starts on a message when it arrives, not when this loop
          // gets to it (tens of microseconds later when its core slept).
          const int on = 1;
          (void)::setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
          hid_conn_ = fd;
          events_.push_back({EventKind::kHidOpened, {}, -1, ""});
        }
      }
    }
    if (fds[3].revents) {
      int fd = Sys().accept4(ctl_listen_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
      if (fd >= 0) controls_.push_back({fd, ""});
    }
    for (size_t i = 4; i < fds.size(); ++i) {
      if (!fds[i].revents) continue;
      auto it = std::find_if(controls_.begin(), controls_.end(), [&](const Control& c) { return c.fd == fds[i].fd; });
      if (it == controls_.end()) continue;
      char buf[4096];
      ssize_t n = Sys().recv(it->fd, buf, sizeof buf, MSG_DONTWAIT);
      if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
      if (n <= 0) {
        ::close(it->fd);
        controls_.erase(it);
        continue;
      }
      it->pending.append(buf, static_cast<size_t>(n));
      for (size_t nl; (nl = it->pending.find('\n')) != std::string::npos;) {
        events_.push_back({EventKind::kControlLine, {}, it->fd, it->pending.substr(0, nl)});
        it->pending.erase(0, nl + 1);
      }
    }
  }
}

bool SimServer::SendHid(const uint8_t* data, size_t length) {
  if (hid_conn_ < 0) return false;
  return Sys().send(hid_conn_, data, length, MSG_DONTWAIT | MSG_NOSIGNAL) == static_cast<ssize_t>(length);
}

void SimServer::ReplyControl(int control, const std::string& line) {
  std::string text = line + "\n";
  // Answers are short; a client that stops reading loses the rest.
  size_t done = 0;
  while (done < text.size()) {
    if (WaitLocal(control, kLocalWritable, 1000) <= 0) return;
    ssize_t n = Sys().send(control, text.data() + done, text.size() - done, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

void SimServer::Shutdown() {
  StopHid();
  if (ctl_listen_ >= 0) {
    ::close(ctl_listen_);
    ctl_listen_ = -1;
    ::unlink(ctl_path_.c_str());
  }
  for (const Control& c : controls_) ::close(c.fd);
  controls_.clear();
  if (signal_fd_ >= 0) ::close(signal_fd_);
  signal_fd_ = -1;
}

// ---- daemon ----------------------------------------------------------------

int DaemonStart() {
  int p[2];
  if (Sys().pipe2(p, O_CLOEXEC) != 0) return 1;
  std::fflush(nullptr);
  pid_t pid = ::fork();
  if (pid < 0) return 1;
  if (pid == 0) {
    ::close(p[0]);
    ::setsid();
    g_daemon_pipe = p[1];
    return -1;
  }
  ::close(p[1]);
  char c = 0;
  ssize_t n;
  do {
    n = Sys().read(p[0], &c, 1);
  } while (n < 0 && errno == EINTR);
  ::close(p[0]);
  if (n == 1) {
    std::printf("%d\n", static_cast<int>(pid));
    std::fflush(stdout);
    return 0;
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  return 1;
}

void DaemonReady() {
  if (g_daemon_pipe < 0) return;
  int devnull = ::open("/dev/null", O_RDWR | O_CLOEXEC);
  if (devnull >= 0) {
    ::dup2(devnull, 0);
    ::dup2(devnull, 1);
    ::dup2(devnull, 2);
    ::close(devnull);
  }
  char c = 1;
  (void)!::write(g_daemon_pipe, &c, 1);
  ::close(g_daemon_pipe);
  g_daemon_pipe = -1;
}

}  // namespace zq::platform
