#include "platform/os/mailslot.h"

#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/os/access.h"
#include "platform/os/object_names.h"
#include "platform/os/syscalls.h"
#include "platform/os/win32_errors.h"

namespace zq::platform {
namespace {

long MonotonicMs() {
  struct timespec ts {};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1000L + ts.tv_nsec / 1000000L;
}

// The Win32 number of the errno of the call that just failed.
uint32_t Fail() { return Win32FromErrno(errno); }

socklen_t AddressOf(const std::string& path, sockaddr_un* addr) {
  std::memset(addr, 0, sizeof *addr);
  addr->sun_family = AF_UNIX;
  const size_t n = path.size() < sizeof addr->sun_path - 1 ? path.size() : sizeof addr->sun_path - 1;
  std::memcpy(addr->sun_path, path.data(), n);
  return static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + n + 1);
}

// Connects `fd` to the socket file open as `pathFd` (O_PATH): through its
// /proc/self/fd link, so the socket reached is the file that was judged
// (and a long path fits), or by `path` where /proc is not mounted.
int ConnectTo(int fd, int pathFd, const std::string& path) {
  sockaddr_un addr;
  const std::string viaProc = "/proc/self/fd/" + std::to_string(pathFd);
  socklen_t len = AddressOf(viaProc, &addr);
  int rc = Sys().connect(fd, reinterpret_cast<sockaddr*>(&addr), len);
  if (rc != 0 && errno == ENOENT && ::access("/proc/self/fd", F_OK) != 0 && path.size() < sizeof addr.sun_path) {
    len = AddressOf(path, &addr);
    rc = Sys().connect(fd, reinterpret_cast<sockaddr*>(&addr), len);
  }
  return rc;
}

// Opens the file `path` as a place (O_PATH, not following a link) and
// judges it as a socket of the reader's users. Returns the descriptor, or
// -1 with *error: kErrorFileNotFound when absent, kErrorAccessDenied when
// refused.
int OpenJudgedSocketFile(const std::string& path, uint32_t* error) {
  const int fd = Sys().open(path.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC, 0);
  if (fd < 0) {
    *error = errno == ENOENT ? kErrorFileNotFound : (errno == ELOOP ? kErrorAccessDenied : Fail());
    if (errno == ELOOP) NoteRefusal(Verdict::kWrongKind);
    return -1;
  }
  if (JudgeOpenObject(fd, ObjectKind::kSocket, std::nullopt) != Verdict::kTrusted) {
    ::close(fd);
    *error = kErrorAccessDenied;
    return -1;
  }
  return fd;
}

// Makes room for a new reader at `path`: 0 when the name is free (a dead
// reader's file is removed), kErrorAlreadyExists while a reader serves it,
// kErrorAccessDenied for a file the rules refuse.
uint32_t ClaimPlace(const std::string& path) {
  uint32_t error = 0;
  const int place = OpenJudgedSocketFile(path, &error);
  if (place < 0) return error == kErrorFileNotFound ? 0 : error;
  const int probe = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  uint32_t result = 0;
  if (probe < 0) {
    result = Fail();
  } else if (ConnectTo(probe, place, path) == 0) {
    result = kErrorAlreadyExists;
  } else if (errno == ECONNREFUSED) {
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) result = Fail();
  } else {
    result = Fail();
  }
  if (probe >= 0) ::close(probe);
  ::close(place);
  return result;
}

}  // namespace

std::string MailslotPath(const std::string& name) { return "/dev/shm" + SharedObjectName("slot", name); }

MailslotServer::~MailslotServer() { Close(); }

uint32_t MailslotServer::Create(const std::string& name) {
  Close();
  ClearRefusal();
  const std::string path = MailslotPath(name);
  if (const uint32_t held = ClaimPlace(path); held != 0) return held;
  // The socket is bound in a directory of this process's own and given its
  // rights there, where nobody else can reach it, then moved into place
  // whole: nobody ever sees it with the rights the umask gave it.
  char dir[] = "/dev/shm/ZELQUAR-slot-XXXXXX";
  if (!::mkdtemp(dir)) return Fail();
  const std::string made = std::string(dir) + "/s";
  uint32_t result = 0;
  int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_un addr;
  const socklen_t len = AddressOf(made, &addr);
  const Creation rights = ProcessCreation();
  if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&addr), len) != 0 ||
      (rights.group && ::chown(made.c_str(), static_cast<uid_t>(-1), static_cast<gid_t>(*rights.group)) != 0) ||
      ::chmod(made.c_str(), static_cast<mode_t>(rights.permissions)) != 0) {
    result = Fail();
  } else if (::renameat2(AT_FDCWD, made.c_str(), AT_FDCWD, path.c_str(), RENAME_NOREPLACE) != 0) {
    result = errno == EEXIST ? kErrorAlreadyExists : Fail();
  }
  ::unlink(made.c_str());
  ::rmdir(dir);
  struct stat st {};
  if (result == 0 && ::lstat(path.c_str(), &st) != 0) result = Fail();
  if (result != 0) {
    if (fd >= 0) ::close(fd);
    return result;
  }
  // Room for bursts from many writers before they have to wait.
  int size = 4 * 1024 * 1024;
  (void)::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
  fd_ = fd;
  path_ = path;
  device_ = st.st_dev;
  inode_ = st.st_ino;
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
  // The file goes only while it is still the one this reader made.
  struct stat st {};
  if (!path_.empty() && ::lstat(path_.c_str(), &st) == 0 && st.st_dev == device_ && st.st_ino == inode_) {
    ::unlink(path_.c_str());
  }
  path_.clear();
}

MailslotClient::~MailslotClient() { Close(); }

uint32_t MailslotClient::Open(const std::string& name) {
  Close();
  ClearRefusal();
  const std::string path = MailslotPath(name);
  uint32_t error = 0;
  const int place = OpenJudgedSocketFile(path, &error);
  if (place < 0) return error;
  int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    error = Fail();
  } else if (ConnectTo(fd, place, path) != 0) {
    error = (errno == ECONNREFUSED || errno == ENOENT) ? kErrorFileNotFound : Fail();
    ::close(fd);
    fd = -1;
  }
  ::close(place);
  if (fd < 0) return error;
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
