#include "platform/os/shm_objects.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>

#include "platform/os/access.h"
#include "platform/os/syscalls.h"

namespace zq::platform::detail {
namespace {

// Objects are opened without blocking: a FIFO planted under an object's name
// must not stop the opener (it is refused as the wrong kind).
constexpr int kOpenFlags = O_RDWR | O_CLOEXEC | O_NONBLOCK;

void SleepMs(long ms) {
  struct timespec ts {ms / 1000, (ms % 1000) * 1000000L};
  while (::nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

}  // namespace

long NowMs() {
  struct timespec ts {};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1000L + ts.tv_nsec / 1000000L;
}

int FlockRetry(int fd, int op) {
  int rc;
  do {
    rc = Sys().flock(fd, op);
  } while (rc != 0 && errno == EINTR);
  return rc;
}

int FlockWithin(int fd, int op, int timeoutMs) {
  if (timeoutMs < 0) return FlockRetry(fd, op);
  const long deadline = NowMs() + timeoutMs;
  long step = 1;
  for (;;) {
    if (FlockRetry(fd, op | LOCK_NB) == 0) return 0;
    if (errno != EWOULDBLOCK) return -1;
    const long left = deadline - NowMs();
    if (left <= 0) {
      errno = ETIMEDOUT;
      return -1;
    }
    SleepMs(step < left ? step : left);
    if (step < 20) step *= 2;
  }
}

int OpenSharedObject(const std::string& name) {
  // An object removed between the two opens below is made anew; a few
  // rounds settle any race with its last user.
  for (int round = 0; round < 8; ++round) {
    int fd = Sys().shm_open(name.c_str(), kOpenFlags | O_CREAT | O_EXCL, 0600);
    if (fd >= 0) {
      if (!ApplyCreation(fd)) {
        const int err = errno;
        ::shm_unlink(name.c_str());
        ::close(fd);
        errno = err;
        return -1;
      }
      return fd;
    }
    if (errno != EEXIST) return -1;
    fd = Sys().shm_open(name.c_str(), kOpenFlags, 0);
    if (fd < 0) {
      if (errno == ENOENT) continue;
      if (errno == EACCES) NoteRefusal(Verdict::kForeignOwner);
      return -1;
    }
    if (JudgeOpenObject(fd, ObjectKind::kRegular, std::nullopt) != Verdict::kTrusted) {
      ::close(fd);
      errno = EACCES;
      return -1;
    }
    return fd;
  }
  errno = EAGAIN;
  return -1;
}

bool StillNamed(int fd, const std::string& name) {
  const int again = Sys().shm_open(name.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK, 0);
  if (again < 0) return false;
  struct stat a {}, b {};
  const bool same = ::fstat(fd, &a) == 0 && ::fstat(again, &b) == 0 && a.st_dev == b.st_dev && a.st_ino == b.st_ino;
  ::close(again);
  return same;
}

int OpenLocked(const std::string& name, int op, int timeoutMs) {
  const long deadline = timeoutMs < 0 ? -1 : NowMs() + timeoutMs;
  for (;;) {
    const int fd = OpenSharedObject(name);
    if (fd < 0) return -1;
    long left = -1;
    if (deadline >= 0) {
      left = deadline - NowMs();
      if (left < 0) left = 0;
    }
    if (FlockWithin(fd, op, static_cast<int>(left)) != 0) {
      const int err = errno;
      ::close(fd);
      errno = err;
      return -1;
    }
    if (StillNamed(fd, name)) return fd;
    ::close(fd);  // removed while we waited: the name has a new object, or none yet
  }
}

bool LockInitialisation(int fd, bool lock, int timeoutMs) {
  struct flock range {};
  range.l_type = lock ? F_WRLCK : F_UNLCK;
  range.l_whence = SEEK_SET;
  range.l_start = 0;
  range.l_len = 1;
  const long deadline = NowMs() + timeoutMs;
  for (;;) {
    if (::fcntl(fd, F_SETLK, &range) == 0) return true;
    if (errno == EINTR) continue;
    if (errno != EACCES && errno != EAGAIN) return false;
    if (NowMs() >= deadline) {
      errno = ETIMEDOUT;
      return false;
    }
    SleepMs(2);
  }
}

bool RemoveIfAlone(int fd, const std::string& name) {
  if (FlockRetry(fd, LOCK_EX | LOCK_NB) != 0 || !StillNamed(fd, name)) return false;
  return ::shm_unlink(name.c_str()) == 0;
}

}  // namespace zq::platform::detail
