#include "platform/os/win32_errors.h"

#include <netdb.h>

#include <cerrno>
#include <iterator>

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

// The same for socket calls, whose errors Winsock numbers apart.
constexpr ErrnoRow kSocketErrnoTable[] = {
    {0, kErrorSuccess},
    {EINTR, kWsaeIntr},
    {EACCES, kWsaeAccess},
    {EPERM, kWsaeAccess},
    {EINVAL, kWsaeInval},
    {EMFILE, kWsaeMFile},
    {ENFILE, kWsaeMFile},
    {EWOULDBLOCK, kWsaeWouldBlock},
    {EINPROGRESS, kWsaeWouldBlock},
    {EAFNOSUPPORT, kWsaeAfNoSupport},
    {EADDRNOTAVAIL, kWsaeAddrNotAvail},
    {ENETDOWN, kWsaeNetDown},
    {ENETUNREACH, kWsaeNetUnreach},
    {ECONNABORTED, kWsaeConnAborted},
    {ECONNRESET, kWsaeConnReset},
    {EPIPE, kWsaeConnReset},
    {ENOBUFS, kWsaeNoBufs},
    {ENOMEM, kWsaeNoBufs},
    {ENOTCONN, kWsaeNotConn},
    {ESHUTDOWN, kWsaeShutdown},
    {ETIMEDOUT, kWsaeTimedOut},
    {ECONNREFUSED, kWsaeConnRefused},
    {EHOSTUNREACH, kWsaeHostUnreach},
    {EHOSTDOWN, kWsaeHostUnreach},
};

constexpr ErrnoRow kAddrInfoTable[] = {
    {0, kErrorSuccess},
    {EAI_NONAME, kWsaHostNotFound},
    {EAI_AGAIN, kWsaTryAgain},
    {EAI_FAIL, kWsaNoRecovery},
#ifdef EAI_NODATA
    {EAI_NODATA, kWsaNoData},
#endif
    {EAI_FAMILY, kWsaeAfNoSupport},
    {EAI_SOCKTYPE, kWsaTypeNotFound},
    {EAI_SERVICE, kWsaTypeNotFound},
    {EAI_MEMORY, kErrorNotEnoughMemory},
    {EAI_BADFLAGS, kWsaeInval},
};

uint32_t Lookup(const ErrnoRow* begin, const ErrnoRow* end, int err, uint32_t otherwise) {
  for (const ErrnoRow* row = begin; row != end; ++row) {
    if (row->err == err) return row->win32;
  }
  return otherwise;
}

thread_local uint32_t t_lastError = 0;

}  // namespace

uint32_t Win32FromErrno(int err) { return Lookup(std::begin(kErrnoTable), std::end(kErrnoTable), err, kErrorGenFailure); }

uint32_t WsaFromErrno(int err) {
  return Lookup(std::begin(kSocketErrnoTable), std::end(kSocketErrnoTable), err, kWsaeNetDown);
}

uint32_t WsaFromAddrInfoError(int eai) {
  return Lookup(std::begin(kAddrInfoTable), std::end(kAddrInfoTable), eai, kWsaNoRecovery);
}

uint32_t LastError() { return t_lastError; }
void SetLastError(uint32_t code) { t_lastError = code; }

}  // namespace zq::platform
