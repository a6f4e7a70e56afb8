#include "platform/os/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/os/access.h"
#include "platform/os/syscalls.h"
#include "platform/os/win32_errors.h"

namespace zq::platform {
namespace {

// The Win32 number of the errno of the call that just failed.
uint32_t Fail() { return Win32FromErrno(errno); }

}  // namespace

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

// ---- small files read or replaced whole ----------------------------------------------

uint32_t WriteFileAtomically(const std::string& path, const std::string& content) {
  std::string tmp = path + ".tmp" + std::to_string(::getpid());
  int fd = Sys().open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return Fail();
  size_t done = 0;
  while (done < content.size()) {
    ssize_t n = Sys().write(fd, content.data() + done, content.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      uint32_t e = Fail();
      ::close(fd);
      ::unlink(tmp.c_str());
      return e;
    }
    done += static_cast<size_t>(n);
  }
  ::close(fd);
  if (::rename(tmp.c_str(), path.c_str()) != 0) {
    uint32_t e = Fail();
    ::unlink(tmp.c_str());
    return e;
  }
  return 0;
}

uint32_t ReadWholeFile(const std::string& path, std::string* content, size_t maxBytes) {
  content->clear();
  // O_NONBLOCK: the open of a FIFO without a writer must not wait; the type
  // check below refuses it.
  int fd = Sys().open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK, 0);
  if (fd < 0) return Fail();
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    SetLastError(kErrorBadFileType);
    return kErrorBadFileType;
  }
  char buf[4096];
  for (;;) {
    ssize_t n = Sys().read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      uint32_t e = Fail();
      ::close(fd);
      return e;
    }
    if (n == 0) break;
    // A file that grows while it is read is bounded all the same.
    if (content->size() + static_cast<size_t>(n) > maxBytes) {
      ::close(fd);
      content->clear();
      SetLastError(kErrorFileTooLarge);
      return kErrorFileTooLarge;
    }
    content->append(buf, static_cast<size_t>(n));
  }
  ::close(fd);
  return 0;
}

void RemoveFile(const std::string& path) { ::unlink(path.c_str()); }

}  // namespace zq::platform
