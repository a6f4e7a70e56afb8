#include "platform/win32_errors.h"

#include <cerrno>

namespace zq::platform {
namespace {

struct ErrnoRow {
  int err;
  uint32_t win32;
};

// One table: every errno the platform layer can meet, and its Win32 number.
constexpr ErrnoRow kErrnoTable[] = {
    {0, kErrorSuccess},
    {ENOENT, kErrorFileNotFound},
    {ENOTDIR, kErrorPathNotFound},
    {EMFILE, kErrorTooManyOpenFiles},
    {ENFILE, kErrorTooManyOpenFiles},
    {EACCES, kErrorAccessDenied},
    {EISDIR, kErrorAccessDenied},
    {EPERM, kErrorAccessDenied},
    {EBADF, kErrorInvalidHandle},
    {ENOMEM, kErrorNotEnoughMemory},
    {EROFS, kErrorWriteProtect},
    {EIO, kErrorGenFailure},
    {EBUSY, kErrorBusy},
    {EWOULDBLOCK, kErrorSharingViolation},
    {ENOTSUP, kErrorNotSupported},
    {ENOSYS, kErrorNotSupported},
    {ENOTTY, kErrorNotSupported},
    {EEXIST, kErrorAlreadyExists},
    {EINVAL, kErrorInvalidParameter},
    {EPIPE, kErrorBrokenPipe},
    {ENOSPC, kErrorDiskFull},
    {ENAMETOOLONG, kErrorFilenameExceedRange},
    {ETIMEDOUT, kErrorTimeout},
    {ENODEV, kErrorDeviceNotConnected},
    {ENXIO, kErrorDeviceNotConnected},
    {ECONNREFUSED, kErrorFileNotFound},
    {EINTR, kErrorOperationAborted},
};

thread_local uint32_t t_lastError = 0;

}  // namespace

uint32_t Win32FromErrno(int err) {
  for (const ErrnoRow& row : kErrnoTable) {
    if (row.err == err) return row.win32;
  }
  return kErrorGenFailure;
}

uint32_t LastError() { return t_lastError; }
void SetLastError(uint32_t code) { t_lastError = code; }

}  // namespace zq::platform
