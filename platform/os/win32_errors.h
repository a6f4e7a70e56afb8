// Win32 result numbers that cross this system's interfaces, and the one place
// where errno values become them.
//
// The driver and the comm library report Win32 error numbers (log lines,
// "detail=%d" fields, comm library results), so every platform call maps its
// errno right where the system call failed. As in Win32, a call whose result
// is a Win32 number returns it and leaves the last error alone; any other
// call that fails (nullptr, false, -1, 0, kWaitFailed) sets the calling
// thread's last error instead (docs/platform.md). These are the tree's only
// names for the numbers.
#pragma once

#include <cstdint>

namespace zq::platform {

inline constexpr uint32_t kErrorSuccess = 0;
inline constexpr uint32_t kErrorFileNotFound = 2;
inline constexpr uint32_t kErrorPathNotFound = 3;
inline constexpr uint32_t kErrorTooManyOpenFiles = 4;
inline constexpr uint32_t kErrorAccessDenied = 5;
inline constexpr uint32_t kErrorInvalidHandle = 6;
inline constexpr uint32_t kErrorNotEnoughMemory = 8;
inline constexpr uint32_t kErrorWriteProtect = 19;
inline constexpr uint32_t kErrorGenFailure = 31;
inline constexpr uint32_t kErrorSharingViolation = 32;
inline constexpr uint32_t kErrorNotSupported = 50;
inline constexpr uint32_t kErrorInvalidParameter = 87;
inline constexpr uint32_t kErrorBrokenPipe = 109;
inline constexpr uint32_t kErrorDiskFull = 112;
inline constexpr uint32_t kErrorInsufficientBuffer = 122;
inline constexpr uint32_t kErrorModNotFound = 126;
inline constexpr uint32_t kErrorProcNotFound = 127;
inline constexpr uint32_t kErrorBusy = 170;
inline constexpr uint32_t kErrorAlreadyExists = 183;
inline constexpr uint32_t kErrorFilenameExceedRange = 206;
inline constexpr uint32_t kErrorBadFileType = 222;   // not a regular file (a FIFO, a device, a directory)
inline constexpr uint32_t kErrorFileTooLarge = 223;
inline constexpr uint32_t kErrorNotOwner = 288;
inline constexpr uint32_t kErrorStillActive = 259;  // a thread's exit code while it runs
inline constexpr uint32_t kErrorNoMoreItems = 259;  // the same number, as an enumeration's end
inline constexpr uint32_t kErrorOperationAborted = 995;
inline constexpr uint32_t kErrorIoIncomplete = 996;
inline constexpr uint32_t kErrorIoPending = 997;
inline constexpr uint32_t kErrorDeviceNotConnected = 1167;
inline constexpr uint32_t kErrorTimeout = 1460;

// Winsock error numbers (WSAGetLastError) of the comm library's TCP/IP kinds.
inline constexpr uint32_t kWsaeIntr = 10004;
inline constexpr uint32_t kWsaeAccess = 10013;
inline constexpr uint32_t kWsaeInval = 10022;
inline constexpr uint32_t kWsaeMFile = 10024;
inline constexpr uint32_t kWsaeWouldBlock = 10035;
inline constexpr uint32_t kWsaeAfNoSupport = 10047;
inline constexpr uint32_t kWsaeAddrNotAvail = 10049;
inline constexpr uint32_t kWsaeNetDown = 10050;
inline constexpr uint32_t kWsaeNetUnreach = 10051;
inline constexpr uint32_t kWsaeConnAborted = 10053;
inline constexpr uint32_t kWsaeConnReset = 10054;
inline constexpr uint32_t kWsaeNoBufs = 10055;
inline constexpr uint32_t kWsaeNotConn = 10057;
inline constexpr uint32_t kWsaeShutdown = 10058;
inline constexpr uint32_t kWsaeTimedOut = 10060;
inline constexpr uint32_t kWsaeConnRefused = 10061;
inline constexpr uint32_t kWsaeHostUnreach = 10065;
inline constexpr uint32_t kWsaTypeNotFound = 10109;
inline constexpr uint32_t kWsaHostNotFound = 11001;
inline constexpr uint32_t kWsaTryAgain = 11002;
inline constexpr uint32_t kWsaNoRecovery = 11003;
inline constexpr uint32_t kWsaNoData = 11004;

// Wait results.
inline constexpr uint32_t kWaitObject0 = 0x00000000;
inline constexpr uint32_t kWaitAbandoned = 0x00000080;
inline constexpr uint32_t kWaitTimeout = 0x00000102;
inline constexpr uint32_t kWaitFailed = 0xFFFFFFFF;

// The Win32 number for an errno value; unknown values become kErrorGenFailure.
// Pure; callable from any thread.
uint32_t Win32FromErrno(int err);

// The Winsock number for an errno value of a socket call; unknown values
// become kWsaeNetDown. Pure; callable from any thread.
uint32_t WsaFromErrno(int err);
// The Winsock number for a getaddrinfo result (EAI_ values). Pure.
uint32_t WsaFromAddrInfoError(int eai);

// The calling thread's last error, as set by the last platform call that
// failed and reports its failure by its failure value. Thread-local; never
// blocks.
uint32_t LastError();
void SetLastError(uint32_t code);

}  // namespace zq::platform
