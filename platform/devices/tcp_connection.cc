#include "platform/devices/tcp_connection.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

#include "platform/os/syscalls.h"
#include "platform/os/win32_errors.h"

namespace zq::platform {

uint32_t TcpConnection::Connect(const std::string& host, const std::string& port,
                                std::unique_ptr<TcpConnection>* connection, Step* failedStep) {
  connection->reset();
  *failedStep = Step::kNone;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  addrinfo* list = nullptr;
  if (int rc = ::getaddrinfo(host.c_str(), port.c_str(), &hints, &list); rc != 0 || !list) {
    *failedStep = Step::kResolve;
    const uint32_t e = rc == EAI_SYSTEM ? WsaFromErrno(errno) : rc != 0 ? WsaFromAddrInfoError(rc) : kWsaHostNotFound;
    if (list) ::freeaddrinfo(list);
    return e;
  }
  int fd = ::socket(list->ai_family, list->ai_socktype | SOCK_CLOEXEC, list->ai_protocol);
  if (fd < 0) {
    *failedStep = Step::kSocket;
    const uint32_t e = WsaFromErrno(errno);
    ::freeaddrinfo(list);
    return e;
  }
  int rc;
  do {
    rc = Sys().connect(fd, list->ai_addr, list->ai_addrlen);
  } while (rc != 0 && errno == EINTR);
  const int err = errno;
  ::freeaddrinfo(list);  // released after the connect
  if (rc != 0) {
    *failedStep = Step::kConnect;
    ::close(fd);
    return WsaFromErrno(err);
  }
  // Sends as well as receives never wait on the socket itself: the waits
  // are polls with bounds.
  if (const int flags = ::fcntl(fd, F_GETFL); flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) {
    *failedStep = Step::kSocket;
    const uint32_t e = WsaFromErrno(errno);
    ::close(fd);
    return e;
  }
  connection->reset(new TcpConnection(fd));
  return 0;
}

TcpConnection::~TcpConnection() {
  ::shutdown(fd_, SHUT_RD);
  ::close(fd_);
}

uint32_t TcpConnection::Send(const void* data, size_t length, int timeoutMs) {
  const auto* p = static_cast<const uint8_t*>(data);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
  size_t done = 0;
  while (done < length) {
    ssize_t n = Sys().send(fd_, p + done, length - done, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      // The queue is full: wait for room, as long as the time allows.
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return kWsaeTimedOut;
      pollfd w{fd_, POLLOUT, 0};
      const int r = Sys().poll(&w, 1, static_cast<int>(left.count()));
      if (r < 0 && errno != EINTR) return WsaFromErrno(errno);
      continue;
    }
    if (n < 0) return WsaFromErrno(errno);
    done += static_cast<size_t>(n);
  }
  return 0;
}

uint32_t TcpConnection::Receive(void* buffer, size_t capacity, int timeoutMs, size_t* received) {
  *received = 0;
  pollfd p{fd_, POLLIN, 0};
  int r;
  do {
    r = Sys().poll(&p, 1, timeoutMs);
  } while (r < 0 && errno == EINTR);
  if (r < 0) return WsaFromErrno(errno);
  if (r == 0) return kWsaeWouldBlock;
  ssize_t n;
  do {
    n = Sys().recv(fd_, buffer, capacity, MSG_DONTWAIT);
  } while (n < 0 && errno == EINTR);
  if (n < 0) return WsaFromErrno(errno);
  *received = static_cast<size_t>(n);
  return 0;
}

void TcpConnection::ShutdownSending() { ::shutdown(fd_, SHUT_WR); }

}  // namespace zq::platform
