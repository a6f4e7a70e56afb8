// The driver's single log call and the log settings it filters by.
#pragma once

#include <cstdint>

namespace zq::platform {
class IniText;
}

namespace zq::drv {

struct SharedArea;

// Writes one log record of `level` for `port` (the port does not enter the
// record): the printf-formatted text and `dataLen` bytes of `data`. Records
// above the configured LogLevel cost no formatting. Safe from every thread of
// every process; never throws.
void OutputLog(int32_t level, uint32_t port, const void* data, int32_t dataLen, const char* format, ...)
    __attribute__((format(printf, 5, 6)));

// Reads "LogFileFlg", "LogLevel" and "LogDisp" of section "RFRW_Drv" into the
// shared area. Called by the first attach of the system.
void ReadLogSettings(SharedArea& area, const platform::IniText& ini);

// The process's log output handle as the detach line shows it.
uint32_t LogOutputHandleValue();

}  // namespace zq::drv
