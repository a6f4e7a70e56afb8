// Sections: directory and files; clock; server (sockets, event loop);
// clients; daemon.
#include "platform/sim_endpoint.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/access.h"
#include "platform/syscalls.h"
#include "platform/win32_errors.h"

namespace zq::platform {
namespace {

// The Win32 number of the errno of the call that just failed.
uint32_t Fail() { return Win32FromErrno(errno); }

bool AddressOf(const std::string& path, sockaddr_un* addr) {
  std::memset(addr, 0, sizeof *addr);
  addr->sun_family = AF_UNIX;
  if (path.size() >= sizeof addr->sun_path) return false;
  std::memcpy(addr->sun_path, path.data(), path.size());
  return true;
}

// Binds and listens on `path`; a file left by a dead server is replaced.
int Listen(const std::string& path, int type, uint32_t* error) {
  sockaddr_un addr;
  if (!AddressOf(path, &addr)) {
    *error = kErrorFilenameExceedRange;
    return -1;
  }
  int fd = ::socket(AF_UNIX, type | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) {
    *error = Fail();
    return -1;
  }
  ::unlink(path.c_str());
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd, 16) != 0) {
    *error = Fail();
    ::close(fd);
    return -1;
  }
  *error = 0;
  return fd;
}

int Connect(const std::string& path, int type, uint32_t* error) {
  sockaddr_un addr;
  if (!AddressOf(path, &addr)) {
    *error = kErrorFilenameExceedRange;
    return -1;
  }
  int fd = ::socket(AF_UNIX, type | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    *error = Fail();
    return -1;
  }
  // A signal may break the connect; one that went through meanwhile is
  // connected all the same.
  int rc;
  do {
    rc = Sys().connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0 && errno == EISCONN) rc = 0;
  if (rc != 0) {
    *error = (errno == ENOENT || errno == ECONNREFUSED) ? kErrorFileNotFound : Win32FromErrno(errno);
    ::close(fd);
    return -1;
  }
  *error = 0;
  return fd;
}

// poll() with a millisecond limit (negative: none) that survives signals.
int PollOne(int fd, short events, int timeoutMs) {
  pollfd p{fd, events, 0};
  int64_t end = MonotonicMicroseconds() + int64_t{timeoutMs} * 1000;
  for (;;) {
    int wait = timeoutMs < 0 ? -1 : static_cast<int>((end - MonotonicMicroseconds() + 999) / 1000);
    if (timeoutMs >= 0 && wait < 0) wait = 0;
    int r = Sys().poll(&p, 1, wait);
    if (r >= 0 || errno != EINTR) return r < 0 ? -1 : (r == 0 ? 0 : p.revents);
  }
}

int g_daemon_pipe = -1;

}  // namespace

// ---- directory and files ---------------------------------------------------

std::string SimulatorDirectory(const std::string& explicitDir) {
  if (!explicitDir.empty()) return explicitDir;
  if (const char* d = std::getenv("ZELQUAR_SIM_DIR"); d && *d) return d;
  if (const char* x = std::getenv("XDG_RUNTIME_DIR"); x && *x) return std::string(x) + "/zelquar-sim";
  return "/tmp/zelquar-sim-" + std::to_string(::getuid());
}

uint32_t CheckSimulatorDirectory(const std::string& path) {
  int err = 0;
  const Verdict v = CheckDirectory(path, false, false, &err);
  if (err != 0) return err == ELOOP ? kErrorAccessDenied : Win32FromErrno(err);
  if (v != Verdict::kTrusted) {
    NoteRefusal(v);
    return kErrorAccessDenied;
  }
  return 0;
}

uint32_t MakeDirectories(const std::string& path) {
  for (size_t pos = 1; pos <= path.size(); ++pos) {
    if (pos != path.size() && path[pos] != '/') continue;
    std::string part = path.substr(0, pos);
    if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return Fail();
  }
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return Fail();
  if (!S_ISDIR(st.st_mode)) return kErrorPathNotFound;
  return CheckSimulatorDirectory(path);
}

uint32_t WriteFileAtomically(const std::string& path, const std::string& content) {
  std::string tmp = path + ".tmp" + std::to_string(::getpid());
  int fd = Sys().open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return Fail();
  size_t done = 0;
  while (done < content.size()) {
    ssize_t n = Sys().write(fd, content.data() + done, content.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      uint32_t e = Fail();
      ::close(fd);
      ::unlink(tmp.c_str());
      return e;
    }
    done += static_cast<size_t>(n);
  }
  ::close(fd);
  if (::rename(tmp.c_str(), path.c_str()) != 0) {
    uint32_t e = Fail();
    ::unlink(tmp.c_str());
    return e;
  }
  return 0;
}

uint32_t ReadWholeFile(const std::string& path, std::string* content, size_t maxBytes) {
  content->clear();
  // O_NONBLOCK: the open of a FIFO without a writer must not wait; the type
  // check below refuses it.
  int fd = Sys().open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK, 0);
  if (fd < 0) return Fail();
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    SetLastError(kErrorBadFileType);
    return kErrorBadFileType;
  }
  char buf[4096];
  for (;;) {
    ssize_t n = Sys().read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      uint32_t e = Fail();
      ::close(fd);
      return e;
    }
    if (n == 0) break;
    // A file that grows while it is read is bounded all the same.
    if (content->size() + static_cast<size_t>(n) > maxBytes) {
      ::close(fd);
      content->clear();
      SetLastError(kErrorFileTooLarge);
      return kErrorFileTooLarge;
    }
    content->append(buf, static_cast<size_t>(n));
  }
  ::close(fd);
  return 0;
}

void RemoveFile(const std::string& path) { ::unlink(path.c_str()); }

// ---- clock -----------------------------------------------------------------

int64_t MonotonicMicroseconds() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return int64_t{ts.tv_sec} * 1000000 + ts.tv_nsec / 1000;
}

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
  ctl_listen_ = Listen(ctlPath, SOCK_STREAM, &e);
  if (ctl_listen_ < 0) return e;
  return ListenHid();
}

uint32_t SimServer::ListenHid() {
  if (hid_listen_ >= 0) return 0;
  uint32_t e = 0;
  hid_listen_ = Listen(hid_path_, SOCK_SEQPACKET, &e);
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
      int64_t left = deadlineUs - MonotonicMicroseconds();
      if (left <= 0) return Event{};
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
        ssize_t n = Sys().recv(hid_conn_, buf, sizeof buf, MSG_DONTWAIT);
        if (n > 0) {
          events_.push_back({EventKind::kHidMessage, std::vector<uint8_t>(buf, buf + n), -1, ""});
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
    if (PollOne(control, POLLOUT, 1000) <= 0) return;
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

// ---- clients ---------------------------------------------------------------

SeqpacketClient::~SeqpacketClient() { Close(); }

uint32_t SeqpacketClient::Connect(const std::string& path) {
  Close();
  uint32_t e = 0;
  fd_ = zq::platform::Connect(path, SOCK_SEQPACKET, &e);
  return e;
}

uint32_t SeqpacketClient::Send(const uint8_t* data, size_t length) {
  if (fd_ < 0) return kErrorInvalidHandle;
  for (;;) {
    ssize_t n = Sys().send(fd_, data, length, MSG_NOSIGNAL);
    if (n == static_cast<ssize_t>(length)) return 0;
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EPIPE || errno == ECONNRESET || errno == ENOTCONN)) return kErrorDeviceNotConnected;
    return Fail();
  }
}

long SeqpacketClient::Receive(uint8_t* buffer, size_t capacity, int timeoutMs) {
  if (fd_ < 0) {
    SetLastError(kErrorInvalidHandle);
    return -1;
  }
  int r = PollOne(fd_, POLLIN, timeoutMs);
  if (r == 0) return 0;
  if (r < 0) {
    SetLastError(Fail());
    return -1;
  }
  ssize_t n;
  do {
    n = Sys().recv(fd_, buffer, capacity, 0);
  } while (n < 0 && errno == EINTR);
  if (n > 0) return n;
  SetLastError(n == 0 ? kErrorDeviceNotConnected : Fail());
  return -1;
}

void SeqpacketClient::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

uint32_t ControlRequest(const std::string& ctlPath, const std::string& line, std::string* reply, int timeoutMs) {
  uint32_t e = 0;
  int fd = Connect(ctlPath, SOCK_STREAM, &e);
  if (fd < 0) return e;
  const std::string text = line + "\n";
  for (size_t done = 0; done < text.size();) {
    const ssize_t n = Sys().send(fd, text.data() + done, text.size() - done, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      e = n < 0 ? Fail() : kErrorBrokenPipe;
      ::close(fd);
      return e;
    }
    done += static_cast<size_t>(n);
  }
  reply->clear();
  int64_t end = MonotonicMicroseconds() + int64_t{timeoutMs} * 1000;
  for (;;) {
    int left = static_cast<int>((end - MonotonicMicroseconds()) / 1000);
    if (left < 0 || PollOne(fd, POLLIN, left) <= 0) {
      ::close(fd);
      return kErrorTimeout;
    }
    char buf[4096];
    ssize_t n = Sys().recv(fd, buf, sizeof buf, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ::close(fd);
      return n == 0 ? kErrorBrokenPipe : Fail();
    }
    reply->append(buf, static_cast<size_t>(n));
    size_t nl = reply->find('\n');
    if (nl != std::string::npos) {
      reply->resize(nl);
      ::close(fd);
      return 0;
    }
  }
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
