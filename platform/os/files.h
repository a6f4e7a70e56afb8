// Files on disk: whether one exists, reading one from start to end, reading
// or replacing a small one whole.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace zq::platform {

// 0 when `path` names an existing file or directory, else the Win32 error
// (kErrorFileNotFound, kErrorPathNotFound, kErrorAccessDenied, ...). Never
// blocks beyond the file system lookup.
uint32_t FileExistsError(const std::string& path);

// True when only root may change the file `path`: it belongs to root, and
// neither its group nor others may write it or the directory it lies in
// (whoever may write the directory could put another file in its place).
// False when it cannot be looked at. Never blocks beyond the file system.
bool OnlyRootMayChange(const std::string& path);

// Writes `content` through a temporary file and a rename: a reader sees the
// whole file or none. 0 or a Win32 error.
uint32_t WriteFileAtomically(const std::string& path, const std::string& content);
// Reads a regular file of at most `maxBytes` bytes whole. 0; kErrorBadFileType
// for anything but a regular file (a FIFO, /dev/zero, a directory: refused
// without waiting on it); kErrorFileTooLarge past `maxBytes`; another Win32
// error. Blocks on file I/O only.
inline constexpr size_t kReadWholeFileLimit = 16 * 1024 * 1024;
uint32_t ReadWholeFile(const std::string& path, std::string* content, size_t maxBytes = kReadWholeFileLimit);
void RemoveFile(const std::string& path);

// A file read as raw bytes from its start, one piece after another (a
// firmware file). Closed when the object goes. One thread at a time; each
// call blocks only for the file system.
class InputFile {
 public:
  InputFile() = default;
  ~InputFile();
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;

  // 0, or the Win32 error of the open (kErrorFileNotFound, ...). A file
  // already open is closed first.
  uint32_t Open(const std::string& path);
  // The same for a file the stack found by name and must trust (the
  // firmware file): once open, a file that is not root's or this user's, or
  // that others may write (access.h: JudgeFileFoundByName), is closed again
  // and refused with kErrorAccessDenied.
  uint32_t OpenFoundByName(const std::string& path);
  // Reads up to `length` bytes into `buffer`, stopping short only at the
  // end of the file: 0 with *got the count (0 at the end), or the Win32
  // error of a failed read (a directory gives one) with *got what came
  // before it.
  uint32_t Read(uint8_t* buffer, size_t length, size_t* got);

 private:
  int fd_ = -1;
};

}  // namespace zq::platform
