#include "platform/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/access.h"
#include "platform/syscalls.h"
#include "platform/win32_errors.h"

namespace zq::platform {

uint32_t FileExistsError(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0) return 0;
  return Win32FromErrno(errno);
}

InputFile::~InputFile() {
  if (fd_ >= 0) ::close(fd_);
}

bool OnlyRootMayChange(const std::string& path) {
  struct stat file {}, dir {};
  const size_t slash = path.find_last_of('/');
  const std::string parent = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  if (::stat(path.c_str(), &file) != 0 || ::stat(parent.c_str(), &dir) != 0) return false;
  // A sticky directory (such as /tmp) lets nobody replace root's file.
  const bool dirSafe = dir.st_uid == 0 && ((dir.st_mode & 022) == 0 || (dir.st_mode & S_ISVTX) != 0);
  return file.st_uid == 0 && (file.st_mode & 022) == 0 && dirSafe;
}

uint32_t InputFile::Open(const std::string& path) {
  if (fd_ >= 0) ::close(fd_);
  fd_ = Sys().open(path.c_str(), O_RDONLY | O_CLOEXEC, 0);
  return fd_ < 0 ? Win32FromErrno(errno) : 0;
}

uint32_t InputFile::OpenFoundByName(const std::string& path) {
  if (fd_ >= 0) ::close(fd_);
  // Without waiting: a FIFO under the name is refused, not waited on.
  fd_ = Sys().open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK, 0);
  if (fd_ < 0) return Win32FromErrno(errno);
  ObjectFacts facts;
  const Verdict v = FactsOf(fd_, &facts) ? JudgeFileFoundByName(facts, ProcessTrust()) : Verdict::kWrongKind;
  if (v == Verdict::kTrusted) return 0;
  NoteRefusal(v);
  ::close(fd_);
  fd_ = -1;
  return kErrorAccessDenied;
}

uint32_t InputFile::Read(uint8_t* buffer, size_t length, size_t* got) {
  *got = 0;
  if (fd_ < 0) return kErrorInvalidHandle;
  while (*got < length) {
    const ssize_t n = Sys().read(fd_, buffer + *got, length - *got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return Win32FromErrno(errno);
    if (n == 0) break;
    *got += static_cast<size_t>(n);
  }
  return 0;
}

}  // namespace zq::platform
