#include "platform/mailslot.h"

#include <poll.h>
#include <sys/time.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/object_names.h"
#include "platform/syscalls.h"
#include "platform/win32_errors.h"

namespace zq::platform {
namespace {

// The abstract address "\0ZELQUAR.<ns>.slot.<name>"; returns its length.
socklen_t AddressOf(const std::string& name, sockaddr_un* addr) {
  std::memset(addr, 0, sizeof *addr);
  addr->sun_family = AF_UNIX;
  std::string path = SharedObjectName("slot", name);  // "/ZELQUAR.<ns>.slot.<name>"
  path.erase(0, 1);
  size_t n = path.size() < sizeof addr->sun_path - 1 ? path.size() : sizeof addr->sun_path - 1;
  std::memcpy(addr->sun_path + 1, path.data(), n);
  return static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + n);
}

long MonotonicMs() {
  struct timespec ts {};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1000L + ts.tv_nsec / 1000000L;
}

// The Win32 number of the errno of the call that just failed.
uint32_t Fail() { return Win32FromErrno(errno); }

}  // namespace

MailslotServer::~MailslotServer() { Close(); }

uint32_t MailslotServer::Create(const std::string& name) {
  Close();
  int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return Fail();
  sockaddr_un addr;
  socklen_t len = AddressOf(name, &addr);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), len) != 0) {
    uint32_t code = errno == EADDRINUSE ? kErrorAlreadyExists : Win32FromErrno(errno);
    ::close(fd);
    return code;
  }
  // Room for bursts from many writers before they have to wait.
  int size = 4 * 1024 * 1024;
  (void)::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
  fd_ = fd;
  return 0;
}

long MailslotServer::Read(uint8_t* buf, size_t capacity, int timeoutMs) {
  // One system call per message: the wait is the socket's receive timeout,
  // changed only when the caller asks for another one.
  if (timeoutMs != timeoutSet_) {
    struct timeval tv {};
    // A zero timeval would mean "wait forever"; the shortest wait is 1 us.
    tv.tv_sec = timeoutMs / 1000;
    tv.tv_usec = timeoutMs > 0 ? (timeoutMs % 1000) * 1000 : 1;
    if (::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) != 0) {
      SetLastError(Fail());
      return -1;
    }
    timeoutSet_ = timeoutMs;
  }
  // MSG_TRUNC makes recv report the message's real length.
  ssize_t n;
  do {
    n = Sys().recv(fd_, buf, capacity, MSG_TRUNC);
  } while (n < 0 && errno == EINTR);
  if (n < 0) {
    if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
    SetLastError(Fail());
    return -1;
  }
  if (static_cast<size_t>(n) > capacity) return kTooLong;
  return static_cast<long>(n);
}

void MailslotServer::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  timeoutSet_ = -1;
}

MailslotClient::~MailslotClient() { Close(); }

uint32_t MailslotClient::Open(const std::string& name) {
  Close();
  int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return Fail();
  sockaddr_un addr;
  socklen_t len = AddressOf(name, &addr);
  if (Sys().connect(fd, reinterpret_cast<sockaddr*>(&addr), len) != 0) {
    uint32_t code = (errno == ECONNREFUSED || errno == ENOENT) ? kErrorFileNotFound : Win32FromErrno(errno);
    ::close(fd);
    return code;
  }
  fd_ = fd;
  return 0;
}

uint32_t MailslotClient::Send(const uint8_t* data, size_t length, int timeoutMs) {
  if (fd_ < 0) return kErrorInvalidHandle;
  long deadline = -1;
  for (;;) {
    ssize_t n = Sys().send(fd_, data, length, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n >= 0) return 0;
    if (errno == EINTR) continue;
    if (errno != EAGAIN) {
      return (errno == ECONNREFUSED || errno == ENOTCONN) ? kErrorFileNotFound : Win32FromErrno(errno);
    }
    // The reader's queue is full: wait for room, within the limit (other
    // writers may take the room first, so wait again until the deadline).
    const long now = MonotonicMs();
    if (deadline < 0) deadline = now + timeoutMs;
    const long left = deadline - now;
    if (left <= 0) return kErrorTimeout;
    struct pollfd p {fd_, POLLOUT, 0};
    (void)Sys().poll(&p, 1, static_cast<int>(left));
  }
}

void MailslotClient::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

}  // namespace zq::platform
