#include "platform/os/local_socket.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/os/clock.h"
#include "platform/os/syscalls.h"
#include "platform/os/win32_errors.h"

namespace zq::platform {
namespace {

static_assert(kLocalReadable == POLLIN && kLocalWritable == POLLOUT);

int SocketType(LocalSocketType type) { return type == LocalSocketType::kStream ? SOCK_STREAM : SOCK_SEQPACKET; }

bool AddressOf(const std::string& path, sockaddr_un* addr) {
  std::memset(addr, 0, sizeof *addr);
  addr->sun_family = AF_UNIX;
  if (path.size() >= sizeof addr->sun_path) return false;
  std::memcpy(addr->sun_path, path.data(), path.size());
  return true;
}

}  // namespace

int ListenLocal(const std::string& path, LocalSocketType type, uint32_t* error) {
  sockaddr_un addr;
  if (!AddressOf(path, &addr)) {
    *error = kErrorFilenameExceedRange;
    return -1;
  }
  int fd = ::socket(AF_UNIX, SocketType(type) | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) {
    *error = Win32FromErrno(errno);
    return -1;
  }
  ::unlink(path.c_str());
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd, 16) != 0) {
    *error = Win32FromErrno(errno);
    ::close(fd);
    return -1;
  }
  *error = 0;
  return fd;
}

int ConnectLocal(const std::string& path, LocalSocketType type, uint32_t* error) {
  sockaddr_un addr;
  if (!AddressOf(path, &addr)) {
    *error = kErrorFilenameExceedRange;
    return -1;
  }
  int fd = ::socket(AF_UNIX, SocketType(type) | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    *error = Win32FromErrno(errno);
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

int WaitLocal(int fd, short events, int timeoutMs) {
  pollfd p{fd, events, 0};
  int64_t end = MonotonicMicroseconds() + int64_t{timeoutMs} * 1000;
  for (;;) {
    int wait = timeoutMs < 0 ? -1 : static_cast<int>((end - MonotonicMicroseconds() + 999) / 1000);
    if (timeoutMs >= 0 && wait < 0) wait = 0;
    int r = Sys().poll(&p, 1, wait);
    if (r >= 0 || errno != EINTR) return r < 0 ? -1 : (r == 0 ? 0 : p.revents);
  }
}

void CloseLocal(int fd) {
  if (fd >= 0) ::close(fd);
}

}  // namespace zq::platform
