// CDllPort: the data path. Writes with their retry, feature reports, the
// reader thread that fills the receive buffer, and the requests answered
// from that buffer the way serial-port calls would be.
//
// Sections: helpers; WritePort and the writers; feature reports; reader
// thread; reader-side appends; ReadPort; WaitPortEvent and SetPortMask;
// ClearPortError and PurgePort; GetPortOverlappedResult and IoControlPort.
#include <algorithm>
#include <cstring>

#include "comm/port.h"
#include "platform/win32_errors.h"

namespace zq::comm {
namespace {

platform::SyncEvent* EventOf(const OVERLAPPED* o) { return o ? static_cast<platform::SyncEvent*>(o->hEvent) : nullptr; }

void ResetEventOf(const OVERLAPPED* o) {
  if (platform::SyncEvent* e = EventOf(o)) e->Reset();
}

void SetEventOf(const OVERLAPPED* o) {
  if (platform::SyncEvent* e = EventOf(o)) e->Set();
}

// Records a finished operation where GetOverlappedResult looks for it.
void Complete(OVERLAPPED* o, uint32_t error, uint32_t bytes) {
  if (!o) return;
  o->Internal = error;
  o->InternalHigh = bytes;
}

}  // namespace

// ---- WritePort and the writers ------------------------------------------------------------

int32_t CDllPort::DoWritePort(const WriteParams& p) {
  // A write needs somewhere to report its count, and data when it has a length.
  if (!p.bytesWritten || (p.length > 0 && !p.data)) return kResultWriteFailed;
  *p.bytesWritten = 0;
  if (port_lock_.Wait(timings_.portLockIoMs) != platform::kWaitObject0) return kResultWriteFailed;

  bool ok = false;
  uint32_t written = 0, error = 0;
  if (!handle_) {
    ResetEventOf(p.overlapped);
  } else {
    const auto* data = static_cast<const uint8_t*>(p.data);
    const uint32_t attempts = std::max<uint32_t>(1, retry_time_ / 100);
    for (uint32_t attempt = 1;; ++attempt) {
      written = 0;
      if (IsHidKind()) {
        ok = WriteHidReports(data, p.length, &written, &error);
      } else if (port_kind_ == PortKindUsbPrint) {
        ok = WritePlain(data, p.length, &written, &error);
      } else {
        error = platform::kErrorInvalidParameter;
      }
      // Only a general failure (a device that choked on the report) is worth
      // another try; anything else will fail the same way again.
      if (ok || error != platform::kErrorGenFailure || attempt >= attempts) break;
      platform::SleepMilliseconds(100);
    }
    *p.bytesWritten = written;
    Complete(p.overlapped, ok ? 0 : error, written);
  }
  port_lock_.Release();
  return ok ? 0 : kResultWriteFailed;
}

bool CDllPort::WriteHidReports(const uint8_t* data, uint32_t length, uint32_t* written, uint32_t* error) {
  uint8_t report[kOutputWorkArea];
  size_t offset = 0;
  // A write of length 0 still sends one (all-zero) report.
  do {
    const size_t chunk = BuildOutputReport(port_kind_, data, length, offset, lengths_.output, report);
    size_t n = 0;
    if (uint32_t e = handle_->Write(report, lengths_.output, &n); e != 0) {
      *error = e;
      platform::SetLastError(e);
      return false;
    }
    *written += static_cast<uint32_t>(chunk);
    offset += chunk;
  } while (offset < length);
  return true;
}

bool CDllPort::WritePlain(const uint8_t* data, uint32_t length, uint32_t* written, uint32_t* error) {
  size_t n = 0;
  const uint32_t e = length > 0 ? handle_->Write(data, length, &n) : 0;
  *written = static_cast<uint32_t>(n);
  if (e != 0) {
    *error = e;
    platform::SetLastError(e);
    return false;
  }
  return true;
}

// ---- feature reports ------------------------------------------------------------------------

// Feature reports take no port lock (they are control transfers beside the
// data path); the API lock keeps them from overlapping an open or close.
int32_t CDllPort::DoSetFeature(const FeatureParams& p) {
  if (!p.report) return kResultInvalidParameter;
  if (!handle_) return platform::kErrorInvalidHandle;
  return static_cast<int32_t>(handle_->SetFeature(p.report, p.length));
}

int32_t CDllPort::DoGetFeature(const FeatureParams& p) {
  if (!p.report) return kResultInvalidParameter;
  if (!handle_) return platform::kErrorInvalidHandle;
  return static_cast<int32_t>(handle_->GetFeature(p.report, p.length));
}

// ---- reader thread ------------------------------------------------------------------------------

void CDllPort::DoReadThread(int32_t kind, platform::DeviceHandle* device, uint32_t retryTime) {
  const uint32_t errorLimit = retryTime / 100;
  uint32_t errors = 0;
  EmptyReceiveBuffer();
  uint8_t local[kInputWorkArea] = {};
  size_t kept = 0;  // stream bytes that did not fit yet
  const bool stream = kind == PortKindUsbPrint;
  const size_t readLength = stream ? kInputWorkArea : lengths_.input;

  while (!reader_.stopRequested()) {
    if (stream && kept > 0) {
      // Bytes held back from a full buffer go first; nothing is read over them.
      kept = StreamAppend(local, kept);
      if (kept == kInputWorkArea) {
        reader_.SleepFor(30);
        continue;
      }
    }
    size_t count = 0;
    const uint32_t e = device->Read(local + kept, readLength - kept, timings_.readerSliceMs, &count);
    if (e == 0) {
      errors = 0;
      if (stream) {
        kept = StreamAppend(local, kept + count);
      } else if (local[0] == 0 && kind == PortKindHid) {
        reader_.SleepFor(30);  // an empty report: nothing to deliver
      } else {
        ReportAppend(kind, local, readLength);
      }
      continue;
    }
    if (e == platform::kErrorTimeout) continue;  // a quiet slice: look at the stop flag
    if (e == platform::kErrorDeviceNotConnected) return;  // the device went away: end quietly
    if (e == platform::kErrorOperationAborted && reader_.stopRequested()) return;  // cancelled by the close
    if (++errors > errorLimit) {
      ErrorNotify();
      return;
    }
    reader_.SleepFor(100);
  }
}

// ---- reader-side appends ---------------------------------------------------------------------------

void CDllPort::ReportAppend(int32_t kind, const uint8_t* report, size_t inputLength) {
  if (buffer_lock_.Wait(timings_.bufferLockMs) != platform::kWaitObject0) return;  // the report is dropped
  const InputData in = ParseInputReport(kind, report, inputLength);
  receive_.Append(in.data, in.count);  // what does not fit is dropped
  if (!in.continued && (event_mask_ & EV_RXCHAR) && waiter_mask_) CompleteWaiter(EV_RXCHAR);
  buffer_lock_.Release();
}

size_t CDllPort::StreamAppend(uint8_t* bytes, size_t count) {
  if (buffer_lock_.Wait(timings_.bufferLockMs) != platform::kWaitObject0) return count;  // all kept
  const size_t k = receive_.Append(bytes, count);
  if ((event_mask_ & EV_RXCHAR) && waiter_mask_) CompleteWaiter(EV_RXCHAR);
  buffer_lock_.Release();
  std::memmove(bytes, bytes + k, count - k);
  std::memset(bytes + (count - k), 0, k);
  return count - k;
}

void CDllPort::ErrorNotify() {
  if (buffer_lock_.Wait(timings_.bufferLockMs) != platform::kWaitObject0) return;
  if (waiter_mask_) {
    uint32_t events = 0;
    if (event_mask_ & EV_ERR) events |= EV_ERR;
    if ((event_mask_ & EV_RXCHAR) && receive_.count() > 0) events |= EV_RXCHAR;
    CompleteWaiter(events);
  } else if (event_mask_ & EV_ERR) {
    error_latched_ = 1;
  }
  buffer_lock_.Release();
}

void CDllPort::CompleteWaiter(uint32_t events) {
  *waiter_mask_ = events;
  OVERLAPPED* o = waiter_overlapped_;
  waiter_mask_ = nullptr;
  waiter_overlapped_ = nullptr;
  Complete(o, 0, 0);
  SetEventOf(o);
}

void CDllPort::EmptyReceiveBuffer() {
  if (buffer_lock_.Wait(timings_.bufferLockMs) != platform::kWaitObject0) return;
  receive_.Clear();
  buffer_lock_.Release();
}

// ---- ReadPort -----------------------------------------------------------------------------------------

int32_t CDllPort::DoReadPort(const ReadParams& p) {
  if (!p.bytesRead) return kResultInvalidParameter;
  *p.bytesRead = 0;
  if (!handle_) {
    ResetEventOf(p.overlapped);
    return 0;
  }
  if (buffer_lock_.Wait(timings_.bufferLockMs) != platform::kWaitObject0) {
    // A buffer lock that cannot be had means a reader stuck inside it.
    reader_.RequestStop();
    return platform::kErrorGenFailure;
  }
  uint32_t n = 0;
  if (p.buffer && p.length > 0 && receive_.count() > 0)
    n = static_cast<uint32_t>(receive_.Take(static_cast<uint8_t*>(p.buffer), p.length));
  buffer_lock_.Release();
  *p.bytesRead = n;
  Complete(p.overlapped, 0, n);
  return 0;
}

// ---- WaitPortEvent and SetPortMask ----------------------------------------------------------------------

int32_t CDllPort::DoWaitPortEvent(const WaitEventParams& p) {
  if (!p.eventMask || !p.overlapped) return kResultInvalidParameter;
  if (!handle_) {
    ResetEventOf(p.overlapped);
    return 0;
  }
  if (buffer_lock_.Wait(timings_.bufferLockMs) != platform::kWaitObject0) return 0;
  uint32_t events = 0;
  if ((event_mask_ & EV_RXCHAR) && receive_.count() > 0) events |= EV_RXCHAR;
  if ((event_mask_ & EV_ERR) && error_latched_) {
    events |= EV_ERR;
    error_latched_ = 0;
  }
  if (events != 0) {
    waiter_mask_ = nullptr;
    waiter_overlapped_ = nullptr;
    *p.eventMask = events;
    Complete(p.overlapped, 0, 0);
    SetEventOf(p.overlapped);
  } else {
    // The reader completes it: the caller keeps both alive until its event is set.
    waiter_mask_ = p.eventMask;
    waiter_overlapped_ = p.overlapped;
    *p.eventMask = 0;
    ResetEventOf(p.overlapped);
  }
  buffer_lock_.Release();
  return 0;
}

int32_t CDllPort::DoSetPortMask(uint32_t mask) {
  if (buffer_lock_.Wait(timings_.bufferLockMs) == platform::kWaitObject0) {
    event_mask_ = mask;
    waiter_mask_ = nullptr;  // dropped without completing
    waiter_overlapped_ = nullptr;
    buffer_lock_.Release();
  }
  return 0;
}

// ---- ClearPortError and PurgePort --------------------------------------------------------------------------

int32_t CDllPort::DoClearPortError(const ClearErrorParams& p) {
  if (!p.errors || !p.stat) return kResultInvalidParameter;
  if (!handle_) return 0;
  *p.errors = 0;
  std::memset(p.stat, 0, sizeof *p.stat);
  if (buffer_lock_.Wait(timings_.bufferLockMs) == platform::kWaitObject0) {
    p.stat->cbInQue = static_cast<uint32_t>(receive_.count());
    buffer_lock_.Release();
  }
  return 0;
}

int32_t CDllPort::DoPurgePort(uint32_t flags) {
  if (!handle_) return 0;
  if (flags & PURGE_RXCLEAR) EmptyReceiveBuffer();
  if (flags & (PURGE_TXABORT | PURGE_RXABORT)) handle_->CancelIo();
  return 0;
}

// ---- GetPortOverlappedResult and IoControlPort ----------------------------------------------------------------

int32_t CDllPort::DoGetOverlappedResult(const OverlappedResultParams& p) {
  if (!p.overlapped || !p.bytesTransferred) return kResultInvalidParameter;
  if (port_lock_.Wait(timings_.portLockIoMs) != platform::kWaitObject0) return 0;
  int32_t result = 0;
  if (handle_) {
    // Every operation of these kinds has finished by the time its request
    // returns: the OVERLAPPED holds its outcome.
    const auto error = static_cast<uint32_t>(p.overlapped->Internal);
    *p.bytesTransferred = static_cast<uint32_t>(p.overlapped->InternalHigh);
    if (error != 0) {
      if (error == platform::kErrorGenFailure ||
          error == platform::kErrorDeviceNotConnected)
        restart_refusal_ = 1;
      result = static_cast<int32_t>(error);
    }
  }
  port_lock_.Release();
  return result;
}

int32_t CDllPort::DoIoControlPort(const IoControlParams& p) {
  if (port_lock_.Wait(timings_.portLockIoMs) != platform::kWaitObject0) return 0;
  int32_t result = 0;
  if (p.bytesReturned) *p.bytesReturned = 0;
  if (!handle_) {
    ResetEventOf(p.overlapped);
  } else {
    // Windows I/O control codes of HID and printer drivers have no
    // counterpart on hidraw and usblp nodes: the device does not support them.
    result = platform::kErrorNotSupported;
    Complete(p.overlapped, static_cast<uint32_t>(result), 0);
  }
  port_lock_.Release();
  return result;
}

}  // namespace zq::comm
