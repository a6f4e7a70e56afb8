// The driver's log writer: the single log call, the collector start, and
// this process's log output.
#pragma once

#include <cstdarg>
#include <cstdint>

namespace zq::drv {

struct SharedArea;

// The level of a log record. A record is written when its level is at most
// the configured "LogLevel" (kDefaultLogLevel unless the INI file says
// otherwise).
enum class LogLevel : int32_t {
  kError = 0,   // errors, and the key events of a process: attach, detach, thread lines, settings
  kCall = 1,    // exported calls and their results, frames to and from the reader, the comm library's
                // loading, open and close, the end of a link thread
  kStep = 2,    // the steps inside a call: port-list and RW mutexes, channel messages, byte I/O
  kDetail = 3,  // channel objects created, link-level errors, feature reports, reads drained before a resend
  kTrace = 4,   // byte by byte: the link thread's receive steps, the API mutex
};
inline constexpr int32_t kDefaultLogLevel = 3;

// Writes one log record of `level` for `port` (the port does not enter the
// record): the printf-formatted text and `dataLen` bytes of `data`. Records
// above the configured LogLevel cost no formatting. Safe from every thread
// of every process; never throws; waits at most about 1000 ms in all even
// when the collector has stalled.
void OutputLog(LogLevel level, uint32_t port, const void* data, int32_t dataLen, const char* format, ...)
    __attribute__((format(printf, 5, 6)));
// The same with the arguments as a va_list.
void OutputLogV(LogLevel level, uint32_t port, const void* data, int32_t dataLen, const char* format, va_list args)
    __attribute__((format(printf, 5, 0)));
// A record whose whole text is `text`, UTF-8 like a format's own text (it is
// converted to the log's code page; a '%' in it is just a character).
void OutputLogText(LogLevel level, uint32_t port, const void* data, int32_t dataLen, const char* text);

// Starts the collector program beside the library (first attach, logging
// on); its process id goes into the shared area, 0 when it could not start.
void StartCollector(SharedArea& area);

// Opens and closes this process's log output (every attach and detach).
void OpenLogOutput(const SharedArea& area);
void CloseLogOutput(const SharedArea& area);

// The process's log output handle as the detach line shows it.
uint32_t LogOutputHandleValue();

// Appends one line to the fatal-error file in the current directory:
// the local time, `event` cut or padded to 20 characters, the system error
// code and `info`.
void WriteFatalErrorLine(const char* event, uint32_t systemError, int32_t info);

// A pointer as the log lines print it: whole for the "%llx" and "0x%016llX"
// fields, its low 32 bits for the "%x" fields. Pure.
inline unsigned long long Address(const void* p) {
  return static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(p));
}
inline uint32_t Address32(const void* p) { return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(p)); }

}  // namespace zq::drv
