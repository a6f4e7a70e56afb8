// Pipes, events and threads for channels between threads of one process,
// with the shapes of their Windows counterparts.
//
// Threads started here can be stopped cooperatively: StopThread asks the
// thread to end and wakes its event waits and stop-aware sleeps; the thread
// sees the request through StopRequested() and its waits returning
// kWaitFailed with LastError() kErrorOperationAborted. No thread is ever
// killed where it stands, so no lock is left held.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zq::platform {

// ---- pipes ----------------------------------------------------------------

struct PipeEnd;

// An anonymous pipe holding at least `minCapacity` bytes before a writer
// blocks. False (LastError set) when it cannot be made. Never blocks.
bool CreatePipe(size_t minCapacity, PipeEnd** readEnd, PipeEnd** writeEnd);
// Writes all `length` bytes, blocking while the pipe is full. False on error
// (the other end closed: kErrorBrokenPipe).
bool WriteWhole(PipeEnd* end, const void* data, size_t length);
// Reads exactly `length` bytes, blocking until they are there. False on
// error or when the write end closed first (kErrorBrokenPipe).
bool ReadWhole(PipeEnd* end, void* data, size_t length);
// Bytes that can be read without blocking; -1 (LastError set) on error.
long BytesAvailable(PipeEnd* end);
// Closes the end; nullptr is ignored.
void ClosePipeEnd(PipeEnd* end);
// A number naming the end in log lines.
uint32_t PipeHandleValue(const PipeEnd* end);

// ---- events ---------------------------------------------------------------

struct Event;

// An auto-reset event (a wait consumes the signal) or a manual-reset one.
Event* CreateEvent(bool manualReset, bool initiallySet);
void SetEvent(Event* event);
void ResetEvent(Event* event);
// Whether it is set now (a look, not a wait: nothing is reset).
bool EventIsSet(const Event* event);
// timeoutMs < 0 waits without limit. kWaitObject0, kWaitTimeout, or
// kWaitFailed when the calling thread was asked to stop or the event was
// closed meanwhile.
uint32_t WaitForEvent(Event* event, int32_t timeoutMs);
// Closes the handle; threads still waiting on it wake with kWaitFailed.
void CloseEvent(Event* event);
uint32_t EventHandleValue(const Event* event);

// ---- threads --------------------------------------------------------------

struct Thread;

// Starts `procedure(argument)` on a new thread at once; its return value is
// the thread's exit code. nullptr (LastError set) when it cannot start.
Thread* StartThread(uint32_t (*procedure)(void*), void* argument);
// Asks for the thread's exit code: kErrorStillActive (259) while it runs,
// then what its procedure returned. False (and *code untouched) for a null
// handle or a null `code`. Never blocks.
bool ThreadExitCode(const Thread* thread, uint32_t* code);
// Asks the thread to stop, wakes its waits, and waits up to boundMs for it to
// end. True when it ended. Never call it on the calling thread.
bool StopThread(Thread* thread, uint32_t boundMs);
// Releases the handle: joins a thread that has ended, lets one that still
// runs go on alone (detached).
void CloseThread(Thread* thread);
uint32_t ThreadHandleValue(const Thread* thread);

// True when the calling thread was started here and asked to stop.
bool StopRequested();
// Sleeps `ms`, or less when the calling thread is asked to stop; false then.
bool SleepUnlessStopped(uint32_t ms);

}  // namespace zq::platform
