// A mailslot: a one-way message channel from many writers (every process
// that loads the driver) to one reader (the log collector). Built on a Unix
// datagram socket, so each send is delivered whole as one message.
//
// The socket is a file beside the shared-memory objects,
// /dev/shm/ZELQUAR.<ns>.slot.<name>, under the access rules of
// platform/access.h: the reader makes it with the creation rules (0660 for
// group "zelquar", else 0600), so only the reader's users can send to it,
// and a writer sends only to a socket that passes JudgeObject, so a name
// taken by another user is refused, never written to. A reader that died
// leaves its file behind; the next reader of the name replaces it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace zq::platform {

// The reader side. Not thread-safe; one thread reads.
class MailslotServer {
 public:
  MailslotServer() = default;
  ~MailslotServer();
  MailslotServer(const MailslotServer&) = delete;
  MailslotServer& operator=(const MailslotServer&) = delete;

  // Creates the mailslot `name`. Returns 0, kErrorAlreadyExists when another
  // reader serves it, kErrorAccessDenied when the name is held by a file
  // the access rules refuse (LastRefusal() says why), or another Win32
  // error. Never blocks.
  uint32_t Create(const std::string& name);

  // Waits up to timeoutMs for one message and copies it into buf. Returns
  // its length, 0 when none came in time, or -1 on an error (LastError()).
  // A message longer than `capacity` is taken off the queue and reported as
  // kTooLong, so one oversized message never blocks the ones behind it.
  static constexpr long kTooLong = -2;
  long Read(uint8_t* buf, size_t capacity, int timeoutMs);

  // Stops serving and removes the socket file (when it is still this
  // reader's).
  void Close();

 private:
  int fd_ = -1;
  int timeoutSet_ = -1;  // the receive timeout the socket has now
  std::string path_;
  uint64_t device_ = 0, inode_ = 0;  // the socket file this reader made
};

// The file of the mailslot `name` in this process's object namespace.
std::string MailslotPath(const std::string& name);

// The writer side. Send may be called from several threads at once.
class MailslotClient {
 public:
  MailslotClient() = default;
  ~MailslotClient();
  MailslotClient(const MailslotClient&) = delete;
  MailslotClient& operator=(const MailslotClient&) = delete;

  // Opens the existing mailslot `name`: 0, kErrorFileNotFound when no
  // reader serves it, kErrorAccessDenied when its file is refused by the
  // access rules (LastRefusal() says why) or by the system, or another
  // Win32 error. Never blocks.
  uint32_t Open(const std::string& name);
  bool IsOpen() const { return fd_ >= 0; }

  // Sends one message; waits at most timeoutMs while the reader's queue is
  // full. Returns 0, kErrorTimeout when the queue stayed full, or another
  // Win32 error (kErrorFileNotFound when the reader has gone).
  uint32_t Send(const uint8_t* data, size_t length, int timeoutMs);

  void Close();
  // A number naming the handle in log lines.
  uint32_t HandleValue() const { return fd_ < 0 ? 0xFFFFFFFFu : static_cast<uint32_t>(fd_); }

 private:
  int fd_ = -1;
};

}  // namespace zq::platform
