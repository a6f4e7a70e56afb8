// Pipes and events for channels between threads of one process, with the
// shapes of their Windows counterparts. An event wait of a thread started by
// StartThread (threads.h) ends when the thread is asked to stop.
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
// error or when the write end closed first (kErrorBrokenPipe). What one
// read brings beyond them stays with the end for the next ReadWhole (and
// counts in BytesAvailable). One reader of an end at a time.
bool ReadWhole(PipeEnd* end, void* data, size_t length);
// Bytes that can be read without blocking (those the end holds and those in
// the pipe); -1 (LastError set) on error. Safe beside a reader.
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

// An event owned by an object: the event above with a lifetime. A
// manual-reset event stays set until Reset; an auto-reset event releases
// one waiter and resets itself. The comm library's OVERLAPPED events are
// these (zq_comm_boundary.h).
class SyncEvent {
 public:
  explicit SyncEvent(bool manualReset, bool initiallySet = false);
  ~SyncEvent();
  SyncEvent(const SyncEvent&) = delete;
  SyncEvent& operator=(const SyncEvent&) = delete;

  void Set();
  void Reset();
  bool IsSet() const;
  // kWaitObject0 once set (an auto-reset event is then reset), or
  // kWaitTimeout after timeoutMs (< 0: no limit); kWaitFailed when the
  // calling thread is asked to stop. Blocks.
  uint32_t Wait(int32_t timeoutMs);

 private:
  Event* event_;
};

}  // namespace zq::platform
