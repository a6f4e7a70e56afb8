// The part of a port object that its reader thread uses: the receive
// buffer with its buffer lock, latched error flag, event mask and pending
// event waiter, the trace state, and the timings. A reader thread holds it
// (and its device) by shared ownership, so a reader that outlives the bound
// of its stop, and so runs on detached, never touches freed memory; the
// last holder frees it.
//
// Sections: timings; ReceiveSide; reader threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "comm/hid_framing.h"
#include "comm/trace.h"
#include "comm/zq_comm_boundary.h"
#include "platform/devices/comm_sync.h"

namespace zq::platform {
class DeviceHandle;
class TcpConnection;
}  // namespace zq::platform

namespace zq::comm {

// ---- timings -------------------------------------------------------------------------

// Lock waits and reader pacing. Fixed for the driver; tests that exercise a
// busy lock shorten them through CDllPort::timings().
struct CommTimings {
  int32_t apiLockMs = 10000;
  int32_t portLockOpenCloseMs = 60000;  // InternalCreateComm, InternalCloseComm
  int32_t portLockRestartMs = 60000;    // DoDeviceRestart
  int32_t portLockIoMs = 2000;          // WritePort, IoControlPort, GetPortOverlappedResult
  int32_t bufferLockMs = 10000;
  int32_t readerSliceMs = 1000;         // the reader looks at its stop flag at least this often
  int32_t readerStopWaitMs = 10000;
};

// ---- ReceiveSide ------------------------------------------------------------------------

class ReceiveSide {
 public:
  CommTimings timings;
  TraceSink trace;
  platform::TimedMutex lock;  // the buffer lock

  // Guarded by `lock`.
  ReceiveBuffer buffer;
  uint32_t errorLatched = 0;
  uint32_t eventMask = 0;
  uint32_t* waiterMask = nullptr;        // a pending WaitPortEvent's word ...
  OVERLAPPED* waiterOverlapped = nullptr;  // ... and OVERLAPPED
  uint32_t waiterMinimum = 1;            // bytes held that complete it for EV_RXCHAR
  uint32_t lastArrivalMs = 0;            // tick count of the newest append

  // Milliseconds since the newest byte came (under the lock).
  uint32_t QuietMs() const;

  // Takes the buffer lock for at most timings.bufferLockMs: kWaitObject0 or
  // the failed wait's result.
  uint32_t Lock() { return lock.Wait(timings.bufferLockMs); }

  // One HID input report (kinds 0 and 1) into the buffer; what does not fit
  // is dropped. Completes a waiter for EV_RXCHAR once the buffer holds its
  // minimum, unless more reports continue this one.
  void ReportAppend(int32_t kind, const uint8_t* report, size_t inputLength);
  // Appends what fits of `count` stream bytes, completes a waiter for
  // EV_RXCHAR once the buffer holds its minimum, moves what did not fit to
  // the front of `bytes` and returns its count.
  size_t StreamAppend(uint8_t* bytes, size_t count);
  // A reader gives up: the waiter learns EV_ERR (and EV_RXCHAR when bytes
  // are held), or EV_ERR is latched for the next wait.
  void ErrorNotify();
  // With the lock held: writes `events` into the waiter's word, completes
  // its OVERLAPPED and forgets the waiter. Returns that OVERLAPPED, whose
  // event the caller sets (SetEventOf) once it has released the lock: a
  // waiter woken while the lock is held would at once block on it, two more
  // thread switches for every input report.
  OVERLAPPED* CompleteWaiter(uint32_t events);
  // Under the lock (skipped when it cannot be had): empties the buffer; or
  // forgets the waiter without completing it.
  void Empty();
  void DropWaiter();
};

// ---- reader threads ---------------------------------------------------------------------

// Both readers run on a stoppable thread (platform/os/threads.h) and end soon
// after it is asked to stop.
//
// DoReadThread (kinds 0, 1, 2): reads input reports or stream bytes into
// the receive side until stopped, the device goes away (quietly) or more
// than retryTime / 100 consecutive reads fail (error-notify).
void DoReadThread(const std::shared_ptr<ReceiveSide>& side, const std::shared_ptr<platform::DeviceHandle>& device,
                  int32_t kind, size_t inputLength, uint32_t retryTime);

// The TCP reader (kinds 6, 7): stream bytes into the receive side until
// stopped; any receive error, and the peer's close, error-notifies and ends it.
void TcpReadThread(const std::shared_ptr<ReceiveSide>& side, const std::shared_ptr<platform::TcpConnection>& socket);

// The OVERLAPPED's outcome where GetPortOverlappedResult looks for it, and
// its event. Safe against a reader of the same OVERLAPPED on another thread.
void CompleteOverlapped(OVERLAPPED* o, uint32_t error, uint32_t bytes);
uint32_t OverlappedStatus(const OVERLAPPED* o);
void ResetEventOf(const OVERLAPPED* o);
void SetEventOf(const OVERLAPPED* o);

}  // namespace zq::comm
