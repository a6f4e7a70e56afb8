// The receive side: appends, error-notify, the waiter, and the two reader
// threads that fill it.
//
// Sections: OVERLAPPED helpers; appends and the waiter; DoReadThread; TCP reader.
#include "comm/receive_side.h"

#include <atomic>
#include <cstring>

#include "platform/devices/hid.h"
#include "platform/devices/tcp_connection.h"
#include "platform/os/clock.h"
#include "platform/os/threads.h"
#include "platform/os/win32_errors.h"

namespace zq::comm {
namespace {

platform::SyncEvent* EventOf(const OVERLAPPED* o) { return o ? static_cast<platform::SyncEvent*>(o->hEvent) : nullptr; }

}  // namespace

// ---- OVERLAPPED helpers ---------------------------------------------------------------

void CompleteOverlapped(OVERLAPPED* o, uint32_t error, uint32_t bytes) {
  if (!o) return;
  o->InternalHigh = bytes;
  std::atomic_ref<uintptr_t>(o->Internal).store(error, std::memory_order_release);
}

uint32_t OverlappedStatus(const OVERLAPPED* o) {
  return static_cast<uint32_t>(
      std::atomic_ref<uintptr_t>(const_cast<OVERLAPPED*>(o)->Internal).load(std::memory_order_acquire));
}

void ResetEventOf(const OVERLAPPED* o) {
  if (platform::SyncEvent* e = EventOf(o)) e->Reset();
}

void SetEventOf(const OVERLAPPED* o) {
  if (platform::SyncEvent* e = EventOf(o)) e->Set();
}

// ---- appends and the waiter -----------------------------------------------------------------

void ReceiveSide::ReportAppend(int32_t kind, const uint8_t* report, size_t inputLength) {
  if (uint32_t w = Lock(); w != platform::kWaitObject0) {
    trace.Line("AAS2", 2, w, platform::LastError());
    return;  // the report is dropped
  }
  const InputData in = ParseInputReport(kind, report, inputLength);
  buffer.Append(in.data, in.count);  // what does not fit is dropped
  if (in.count > 0) lastArrivalMs = platform::TickCount();
  OVERLAPPED* completed = nullptr;
  if (!in.continued && (eventMask & EV_RXCHAR) && waiterMask && buffer.count() >= waiterMinimum) {
    completed = CompleteWaiter(EV_RXCHAR);
    trace.Line("AAS0", 0, 0, 0);
  }
  lock.Release();
  SetEventOf(completed);
}

size_t ReceiveSide::StreamAppend(uint8_t* bytes, size_t count) {
  if (uint32_t w = Lock(); w != platform::kWaitObject0) {
    trace.Line("AAT2", 2, w, platform::LastError());
    return count;  // all kept
  }
  const size_t k = buffer.Append(bytes, count);
  if (k > 0) lastArrivalMs = platform::TickCount();
  OVERLAPPED* completed = nullptr;
  if ((eventMask & EV_RXCHAR) && waiterMask && buffer.count() >= waiterMinimum) {
    completed = CompleteWaiter(EV_RXCHAR);
    trace.Line("AAT0", 0, 0, 0);
  } else {
    trace.Line("AAT3", 3, static_cast<uint32_t>(count), static_cast<uint32_t>(k));
  }
  lock.Release();
  SetEventOf(completed);
  std::memmove(bytes, bytes + k, count - k);
  std::memset(bytes + (count - k), 0, k);
  return count - k;
}

void ReceiveSide::ErrorNotify() {
  if (Lock() != platform::kWaitObject0) return;
  OVERLAPPED* completed = nullptr;
  if (waiterMask) {
    uint32_t events = 0;
    if (eventMask & EV_ERR) events |= EV_ERR;
    if ((eventMask & EV_RXCHAR) && buffer.count() > 0) events |= EV_RXCHAR;
    completed = CompleteWaiter(events);
    trace.Line("AAU0", 0, 0, 0);
  } else {
    if (eventMask & EV_ERR) errorLatched = 1;
    trace.Line("AAU2", 0, 0, 0);
  }
  lock.Release();
  SetEventOf(completed);
}

uint32_t ReceiveSide::QuietMs() const { return platform::TickCount() - lastArrivalMs; }

OVERLAPPED* ReceiveSide::CompleteWaiter(uint32_t events) {
  *waiterMask = events;
  OVERLAPPED* o = waiterOverlapped;
  waiterMask = nullptr;
  waiterOverlapped = nullptr;
  CompleteOverlapped(o, 0, 0);
  return o;
}

void ReceiveSide::Empty() {
  if (Lock() != platform::kWaitObject0) return;
  buffer.Clear();
  lock.Release();
}

void ReceiveSide::DropWaiter() {
  if (Lock() != platform::kWaitObject0) return;
  waiterMask = nullptr;
  waiterOverlapped = nullptr;
  lock.Release();
}

// ---- DoReadThread -----------------------------------------------------------------------------

void DoReadThread(const std::shared_ptr<ReceiveSide>& side, const std::shared_ptr<platform::DeviceHandle>& device,
                  int32_t kind, size_t inputLength, uint32_t retryTime) {
  const TraceSink& trace = side->trace;
  trace.Line("AAR0 DoReadThread() START", 0, 0, 0);
  platform::AskForShortTimeSlices();  // a few microseconds a report, and not behind a busy CPU's long jobs
  const uint32_t errorLimit = retryTime / 100;
  uint32_t errors = 0;
  side->Empty();
  uint8_t local[kInputWorkArea] = {};
  size_t kept = 0;  // stream bytes that did not fit yet
  const bool stream = kind == PortKindUsbPrint;
  const size_t readLength = stream ? kInputWorkArea : inputLength;

  while (!platform::StopRequested()) {
    if (stream && kept > 0) {
      // Bytes held back from a full buffer go first; nothing is read over them.
      kept = side->StreamAppend(local, kept);
      if (kept == kInputWorkArea) {
        platform::SleepUnlessStopped(30);
        continue;
      }
    }
    size_t count = 0;
    const uint32_t e = device->Read(local + kept, readLength - kept, side->timings.readerSliceMs, &count);
    if (e == 0) {
      errors = 0;
      if (stream) {
        kept = side->StreamAppend(local, kept + count);
      } else if (local[0] == 0) {
        // Byte 0 is the count the reader goes by for both HID kinds (for
        // kind 1 also the report ID): 0 is an empty report, nothing to deliver.
        platform::SleepUnlessStopped(30);
      } else {
        side->ReportAppend(kind, local, readLength);
      }
      continue;
    }
    if (e == platform::kErrorTimeout) {
      // A quiet slice: the stop flag decides.
      if (platform::StopRequested()) {
        trace.Line("AAR7", 0, 0, 0);
        return;
      }
      continue;
    }
    if (e == platform::kErrorDeviceNotConnected) {
      trace.Line("AAR5", 0, 0, 0);  // the device went away: end quietly
      return;
    }
    if (e == platform::kErrorOperationAborted && platform::StopRequested()) break;  // cancelled by the close
    ++errors;
    trace.Line("AAR6", 3, e, 0);
    if (errors > errorLimit) {
      side->ErrorNotify();
      return;
    }
    platform::SleepUnlessStopped(100);
  }
  trace.Line("AARC DoReadThread() END", 0, 0, 0);
}

// ---- TCP reader ---------------------------------------------------------------------------------

void TcpReadThread(const std::shared_ptr<ReceiveSide>& side, const std::shared_ptr<platform::TcpConnection>& socket) {
  const TraceSink& trace = side->trace;
  trace.Line("AAi0", 0, 0, 0);
  platform::AskForShortTimeSlices();
  side->Empty();
  uint8_t local[kInputWorkArea] = {};
  size_t kept = 0;
  bool quiet = false;  // the previous pass found no data
  // The socket is polled, not blocked on: the stop flag is seen every 30 ms.
  constexpr int kPollMs = 30;
  while (!platform::StopRequested()) {
    if (kept == sizeof local) {
      // A full buffer holds everything back: nothing is received over it.
      kept = side->StreamAppend(local, kept);
      if (kept == sizeof local) platform::SleepUnlessStopped(kPollMs);
      continue;
    }
    if (!quiet) trace.Line("AAi1", 0, 0, 0);
    size_t n = 0;
    const uint32_t e = socket->Receive(local + kept, sizeof local - kept, kPollMs, &n);
    if (e == platform::kWsaeWouldBlock) {
      quiet = true;
      if (kept > 0) kept = side->StreamAppend(local, kept);
      continue;
    }
    if (e != 0 || n == 0) {
      // An error, or the peer's orderly close (no error number then).
      trace.Line("AAi2", 1, e, 0);
      side->ErrorNotify();
      return;
    }
    quiet = false;
    trace.Data("AAi3", static_cast<uint32_t>(n), local + kept);
    kept = side->StreamAppend(local, kept + n);
  }
  trace.Line("AAi4", 0, 0, 0);
}

}  // namespace zq::comm
