#include "platform/shm_objects.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>

#include <unistd.h>

#include <cerrno>

#include "platform/syscalls.h"

namespace zq::platform::detail {

int FlockRetry(int fd, int op) {
  int rc;
  do {
    rc = Sys().flock(fd, op);
  } while (rc != 0 && errno == EINTR);
  return rc;
}

int OpenSharedObject(const std::string& name) {
  int fd = Sys().shm_open(name.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  if (fd >= 0) (void)::fchmod(fd, 0666);
  return fd;
}

bool StillNamed(int fd, const std::string& name) {
  const int again = Sys().shm_open(name.c_str(), O_RDONLY | O_CLOEXEC, 0);
  if (again < 0) return false;
  struct stat a {}, b {};
  const bool same = ::fstat(fd, &a) == 0 && ::fstat(again, &b) == 0 && a.st_dev == b.st_dev && a.st_ino == b.st_ino;
  ::close(again);
  return same;
}

int OpenLocked(const std::string& name, int op) {
  for (;;) {
    const int fd = OpenSharedObject(name);
    if (fd < 0) return -1;
    if (FlockRetry(fd, op) != 0) {
      const int err = errno;
      ::close(fd);
      errno = err;
      return -1;
    }
    if (StillNamed(fd, name)) return fd;
    ::close(fd);  // removed while we waited: the name has a new object, or none yet
  }
}

bool RemoveIfAlone(int fd, const std::string& name) {
  if (FlockRetry(fd, LOCK_EX | LOCK_NB) != 0 || !StillNamed(fd, name)) return false;
  return ::shm_unlink(name.c_str()) == 0;
}

}  // namespace zq::platform::detail
