#include "platform/files.h"

#include <sys/stat.h>

#include <cerrno>

#include "platform/win32_errors.h"

namespace zq::platform {

uint32_t FileExistsError(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0) return 0;
  return Win32FromErrno(errno);
}

}  // namespace zq::platform
