// Ctrl-C and SIGTERM as a request to stop, for programs that end their
// work in an orderly way (close the port, stop what they started), and
// SIGHUP as a request to read the configuration again (a service).
#pragma once

#include <cstdint>

namespace zq::platform {

// From now on SIGINT and SIGTERM only record that they came (the first one
// that came is kept); a call they interrupt is restarted; SIGPIPE is ignored. Idempotent; call it from the main
// thread before other threads start. Never blocks.
void CatchStopSignals();
// The stop signal that came (SIGINT 2, SIGTERM 15), 0 while none came.
// Thread-safe, async-signal-safe; never blocks.
int StopSignalReceived();
// Sleeps up to `ms`, returning early once a stop signal came: true when it
// slept the whole time, false when a stop signal cut it short (or had come
// before). Thread-safe; blocks up to `ms`.
bool SleepUnlessSignalled(uint32_t ms);
// From now on SIGHUP only records that it came. Idempotent; call it from
// the main thread before other threads start. Never blocks.
void CatchReloadSignal();
// Whether SIGHUP came since the last call (which this call answers).
// Thread-safe; never blocks.
bool ReloadRequested();
// Ends the process at once with `code`, running no destructors or exit
// handlers (for a watchdog that gives up on a call that never returns).
[[noreturn]] void ExitProcessNow(int code);

}  // namespace zq::platform
