#include "platform/shm_objects.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>

#include <cerrno>

namespace zq::platform::detail {

int FlockRetry(int fd, int op) {
  int rc;
  do {
    rc = ::flock(fd, op);
  } while (rc != 0 && errno == EINTR);
  return rc;
}

int OpenSharedObject(const std::string& name) {
  int fd = ::shm_open(name.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  if (fd >= 0) (void)::fchmod(fd, 0666);
  return fd;
}

}  // namespace zq::platform::detail
