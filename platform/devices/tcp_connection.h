// A TCP/IP connection as the comm library's kinds 6 and 7 use it, with
// Winsock's error numbers (kWsae* of win32_errors.h). Winsock's start-up
// and clean-up have no counterpart here.
//
// Threads: one thread may Receive while another Sends (the comm library's
// TCP reader and its request thread); everything else from one thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace zq::platform {

class TcpConnection {
 public:
  // Resolves `host` and `port` for IPv4 TCP (getaddrinfo, AF_INET,
  // SOCK_STREAM, IPPROTO_TCP) and connects to the first address; the
  // connected socket is non-blocking. 0 with *connection set, or
  // `failedStep` and the WSA error of the step that failed. Blocks for the
  // resolution and the connect.
  enum class Step { kNone, kResolve, kSocket, kConnect };
  static uint32_t Connect(const std::string& host, const std::string& port, std::unique_ptr<TcpConnection>* connection,
                          Step* failedStep);

  // Shuts down the receiving direction and closes the socket.
  ~TcpConnection();
  TcpConnection(const TcpConnection&) = delete;
  TcpConnection& operator=(const TcpConnection&) = delete;

  // One send of all `length` bytes, within `timeoutMs` (>= 0) in all. The
  // socket is non-blocking: while its queue is full (a peer that stopped
  // reading) the send waits for room, and gives up when the time is spent.
  // 0; kWsaeTimedOut when not everything went in time (what did go stays
  // sent); another WSA error. Blocks at most timeoutMs.
  uint32_t Send(const void* data, size_t length, int timeoutMs);
  // Waits at most timeoutMs (0: a look) for bytes and receives up to
  // `capacity` of them. 0 with *received > 0; kWsaeWouldBlock when nothing
  // came; 0 with *received = 0 when the peer has closed its side; another
  // WSA error.
  uint32_t Receive(void* buffer, size_t capacity, int timeoutMs, size_t* received);
  // No more sending: what was sent before still reaches the peer, then the
  // peer sees the end of the stream.
  void ShutdownSending();

 private:
  explicit TcpConnection(int fd) : fd_(fd) {}
  const int fd_;
};

}  // namespace zq::platform
