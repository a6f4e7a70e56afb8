// Threads that stop cooperatively, and the per-thread bookkeeping a library
// needs because Linux, unlike the Windows loader, does not tell a library
// when threads start and end.
//
// No thread is ever killed where it stands, so no lock is left held: a stop
// request raises the thread's flag and wakes its event waits (they return
// kWaitFailed with LastError() kErrorOperationAborted) and its stop-aware
// sleeps; the thread sees the request through StopRequested().
#pragma once

#include <cstdint>
#include <functional>

namespace zq::platform {

// ---- stoppable threads ----------------------------------------------------

struct Thread;

// Starts `body` on a new thread at once; its return value is the thread's
// exit code. nullptr (LastError set) when it cannot start.
Thread* StartThread(std::function<uint32_t()> body);
// kErrorStillActive (259) while the thread runs, then its exit code.
uint32_t ThreadExitCode(const Thread* thread);
// The same as a query that can fail: false (and *code untouched) for a null
// handle or a null `code`. Never blocks.
bool ThreadExitCode(const Thread* thread, uint32_t* code);
// Raises the thread's stop flag and wakes its waits and sleeps. Never
// blocks for long; any thread may call it, the thread itself too.
void RequestThreadStop(Thread* thread);
// Waits up to boundMs for the thread to end; true when it ended. Never call
// it on the calling thread.
bool WaitThreadEnd(Thread* thread, uint32_t boundMs);
// RequestThreadStop, then WaitThreadEnd.
bool StopThread(Thread* thread, uint32_t boundMs);
// Releases the handle: joins a thread that has ended; one that still runs
// goes on alone (detached) and what it uses of its record is freed when it
// ends. nullptr is ignored.
void CloseThread(Thread* thread);
uint32_t ThreadHandleValue(const Thread* thread);

// True when the calling thread was started here and asked to stop.
bool StopRequested();
// Sleeps `ms`, or less when the calling thread is asked to stop; false then.
bool SleepUnlessStopped(uint32_t ms);

// Asks the scheduler for short time slices (0.1 ms) for the calling thread:
// one that runs a few microseconds each time it wakes then takes a CPU
// from a long-running job (a compiler, say) as soon as it wakes, where
// with the default slice it may wait for that job's slice to end. Only for
// an ordinary thread (a real-time one is left as it is); its nice value is
// kept. True when the kernel took the request, false (nothing changed) when
// refused; kernels before 6.12 keep their own slices whatever they answer.
// Never blocks.
bool AskForShortTimeSlices();

// Asks that the calling thread run ahead of ordinary threads whenever it is
// ready (SCHED_FIFO at the lowest priority; processes it starts begin as
// ordinary ones). For the simulator's pacing: a simulated device shares the
// host's CPUs with the threads it wakes, and as an ordinary thread its
// paced bytes wait behind them, where a real reader keeps wire time
// whatever the host does. True when granted; false, nothing changed, when
// the system refuses (a user without CAP_SYS_NICE or an RLIMIT_RTPRIO).
// Never blocks.
bool RunAheadOfOrdinaryThreads();

// ---- thread exit hook -----------------------------------------------------

// Arranges for `onExit` to run on every thread marked with MarkCurrentThread
// when that thread ends (not on threads that end unmarked). Install once,
// before any mark; returns false when the system has no room for the hook.
// Unlike a C++ thread_local destructor, the hook never keeps a dlopen'ed
// library from being unloaded.
bool InstallThreadExitHook(void (*onExit)());

// Removes the hook: threads still running get no call. Call before the code
// of `onExit` goes away (library unload).
void RemoveThreadExitHook();

// Marks the calling thread; true the first time for this thread, false when
// it was already marked or no hook is installed. Never blocks.
bool MarkCurrentThread();

// Removes the calling thread's mark, so the hook does not run when it ends;
// true when it was marked. Never blocks.
bool UnmarkCurrentThread();

}  // namespace zq::platform
