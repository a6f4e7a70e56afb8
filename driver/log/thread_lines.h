// The thread attach and detach lines. Linux does not tell a library when
// threads start and end, so a thread is noted the first time it enters the
// library (an exported call, or a thread the driver started itself) and its
// detach line is logged when a noted thread ends.
#pragma once

namespace zq::drv {

// Starts and stops the watching of noted threads (process attach and
// detach; one thread at a time). Threads still running at the stop get no
// detach line.
void StartThreadLines();
void StopThreadLines();

// Logs the thread attach line the first time the calling thread comes here.
// Never blocks beyond the log call; callable from any thread.
void NoteThread();

// Logs the calling thread's detach line now, if it was noted, instead of
// when it ends: for a thread of the driver's own whose last steps must not
// log any more (they may come after the process detached).
void EndThreadNote();

}  // namespace zq::drv
