// One entry for the system log, sent the way syslog(3) sends it but with an
// ident of the caller's choosing per entry (openlog's ident is process-wide)
// and a destination that tests can replace.
//
// Destination: the Unix datagram socket named by $ZELQUAR_SYSLOG_SOCKET
// (read at every entry) or, when that is unset or empty, the system's
// /dev/log. Internal to the platform layer.
#pragma once

#include <string>

namespace zq::platform {

// Severity of an entry (syslog's LOG_ERR .. LOG_INFO values).
enum class LogSeverity : int { kError = 3, kWarning = 4, kInformation = 6 };

// Sends "<PRI>Mmm dd hh:mm:ss IDENT[PID]: MESSAGE" (facility user) as one
// datagram. Without $ZELQUAR_SYSLOG_SOCKET an unreachable /dev/log falls back
// to syslog(3). False when the entry could not be handed over. Thread-safe;
// never blocks (a full socket drops the entry).
bool SendToSystemLog(LogSeverity severity, const std::string& ident, const std::string& message);

}  // namespace zq::platform
