// CDllPort: the data path. Writes with their retry, feature reports, and
// the requests answered from the receive buffer the way serial-port calls
// would be (or passed to the serial line for kinds 3 to 5).
//
// Every operation of the non-serial kinds, and every read and write of the
// serial ones, has finished when its request returns: the OVERLAPPED then
// holds its outcome (Internal = result, InternalHigh = bytes). Only a
// serial WaitPortEvent stays pending (Internal = 997) until the line
// completes it.
//
// Sections: WritePort and the writers; feature reports; ReadPort;
// WaitPortEvent and SetPortMask; ClearPortError and PurgePort;
// GetPortOverlappedResult and IoControlPort.
#include <algorithm>
#include <cstring>

#include "comm/port.h"
#include "platform/os/win32_errors.h"

namespace zq::comm {
namespace {

constexpr size_t kWriteDumpFrom = 16;
constexpr size_t kWriteDumpMax = 20;

}  // namespace

// ---- WritePort and the writers ------------------------------------------------------------

int32_t CDllPort::DoWritePort(const WriteParams& p) {
  const TraceSink& t = trace();
  t.Line(Api("WritePort() start"), p.length, 0, 0);
  // A write needs somewhere to report its count, and data when it has a length.
  if (!p.bytesWritten || (p.length > 0 && !p.data)) {
    t.Line(Api("WritePort() error end"), 0, 0, 0);
    return kResultWriteFailed;
  }
  const bool internal = !p.overlapped;
  t.Line("WritePort() 1", 0, 0, 0);
  t.Data("AA40", p.length, p.data);
  t.Line("WritePort() 2", 0, 0, 0);
  *p.bytesWritten = 0;

  bool ok = false;
  uint32_t written = 0;
  if (port_lock_.Wait(side_->timings.portLockIoMs) == platform::kWaitObject0) {
    t.Line("WritePort() 3", 0, 0, 0);
    if (!isOpen()) {
      t.Line("WritePort() 9", 0, 0, 0);
      ResetEventOf(p.overlapped);
      t.Line("AA42", 0, 0, 0);
      t.Line("WritePort() 10", 0, 0, 0);
    } else {
      const auto* data = static_cast<const uint8_t*>(p.data);
      t.Line("WritePort() 4", 0, 0, 0);
      if (p.length > kWriteDumpFrom) {
        t.Line("WritePort() 5", 0, 0, 0);
        trace_lib_.Dump(t, data + kWriteDumpFrom, std::min<size_t>(p.length - kWriteDumpFrom, kWriteDumpMax));
      }
      t.Line("WritePort() 6", 0, 0, 0);
      const uint32_t attempts = std::max<uint32_t>(1, retry_time_ / 100);
      uint32_t error = 0;
      for (uint32_t attempt = 1;; ++attempt) {
        written = 0;
        error = 0;
        if (IsHidKind()) {
          ok = WriteHidReports(data, p.length, &written, &error);
        } else if (IsTcpKind()) {
          ok = SendSocket(data, p.length, &written, &error);
        } else if (port_kind_ >= PortKindUsbPrint && port_kind_ <= PortKindSerial5) {
          ok = WritePlain(data, p.length, &written, &error);
        } else {
          error = platform::kErrorInvalidParameter;
        }
        // Only a general failure (a device that choked on the report) is worth
        // another try; anything else will fail the same way again.
        if (ok || error != platform::kErrorGenFailure || attempt >= attempts) break;
        platform::SleepMilliseconds(100);
      }
      if (!ok) t.Line("AA45", 0, 0, 0);
      t.Line("WritePort() 8", 0, 0, 0);
      *p.bytesWritten = written;
      CompleteOverlapped(p.overlapped, ok ? 0 : error, written);
      t.Line("AA41", 3, 0, written);
      t.Line("WritePort() 10", 0, 0, 0);
    }
    port_lock_.Release();
  }
  t.Line("WritePort() 11", 0, 0, 0);
  if (internal) t.Line("WritePort() 12", 0, 0, 0);
  t.Line("WritePort() 13", 0, 0, 0);
  if (!ok) {
    t.Line(Api("WritePort() error end"), 0, 0, 0);
    return kResultWriteFailed;
  }
  t.Line(Api("WritePort() normal end"), written, 0, 0);
  return 0;
}

bool CDllPort::WriteHidReports(const uint8_t* data, uint32_t length, uint32_t* written, uint32_t* error) {
  const TraceSink& t = trace();
  t.Line("Alias_WriteFile_HID() START", 0, 0, 0);
  uint8_t report[kOutputWorkArea];
  size_t offset = 0;
  // A write of length 0 still sends one (all-zero) report.
  do {
    const size_t chunk = BuildOutputReport(port_kind_, data, length, offset, lengths_.output, report);
    t.Data("AAc0", lengths_.output, report);
    size_t n = 0;
    if (uint32_t e = device_->Write(report, lengths_.output, &n); e != 0) {
      t.Line("AAc3", 2, 0, e);
      *error = e;
      platform::SetLastError(e);
      t.Line("Alias_WriteFile_HID() error end: LastError=", e, 0, 0);
      return false;
    }
    t.Line("AAc4", 2, 1, static_cast<uint32_t>(n));
    *written += static_cast<uint32_t>(chunk);
    offset += chunk;
  } while (offset < length);
  t.Line("Alias_WriteFile_HID() normal end", 0, 0, 0);
  return true;
}

bool CDllPort::WritePlain(const uint8_t* data, uint32_t length, uint32_t* written, uint32_t* error) {
  trace().Data("AAd0", length, data);
  uint32_t e = 0;
  if (serial_) {
    e = serial_->Write(data, length, written);
  } else if (length > 0) {
    size_t n = 0;
    e = device_->Write(data, length, &n);
    *written = static_cast<uint32_t>(n);
  }
  trace().Line("AAd1", 2, e == 0 ? 1 : 0, e);
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
  trace().Line(Api("RfrwSetFeature() start"), p.report ? p.report[0] : 0, 0, 0);
  const uint32_t e = !p.report ? platform::kErrorInvalidParameter
                     : !device_ ? platform::kErrorInvalidHandle
                                : device_->SetFeature(p.report, p.length);
  if (e != 0) {
    trace().Line(Api("RfrwSetFeature() error end"), 0, e, 0);
    return static_cast<int32_t>(e);
  }
  trace().Line(Api("RfrwSetFeature() normal end"), 0, 0, 0);
  return 0;
}

int32_t CDllPort::DoGetFeature(const FeatureParams& p) {
  trace().Line(Api("RfrwGetFeature() start"), p.report ? p.report[0] : 0, 0, 0);
  const uint32_t e = !p.report ? platform::kErrorInvalidParameter
                     : !device_ ? platform::kErrorInvalidHandle
                                : device_->GetFeature(p.report, p.length);
  if (e != 0) {
    trace().Line(Api("RfrwGetFeature() error end"), 0, e, 0);
    return static_cast<int32_t>(e);
  }
  trace().Line(Api("RfrwGetFeature() normal end"), 0, 0, 0);
  return 0;
}

// ---- ReadPort -----------------------------------------------------------------------------------------

int32_t CDllPort::DoReadPort(const ReadParams& p) {
  if (!p.bytesRead) return kResultInvalidParameter;
  *p.bytesRead = 0;
  if (!isOpen()) {
    ResetEventOf(p.overlapped);
    trace().Line("AA32", 0, 0, 0);
    return 0;
  }
  uint32_t n = 0;
  if (serial_) {
    trace().Line("AAh1", 1, p.length, 0);
    const uint32_t e = p.length > 0 && !p.buffer ? platform::kErrorInvalidParameter
                                                 : serial_->Read(p.buffer, p.length, &n);
    trace().Line("AAh2", 2, e == 0 ? 1 : 0, e);
    if (e != 0) {
      serial_->ClearErrors(&comm_errors_, &comm_stat_);  // the line's error state is cleared
      CompleteOverlapped(p.overlapped, e, 0);
      return static_cast<int32_t>(e);
    }
  } else {
    if (side_->Lock() != platform::kWaitObject0) {
      // A buffer lock that cannot be had means a reader stuck inside it.
      platform::RequestThreadStop(reader_);
      trace().Line("AAh0", 0, 0, 0);
      return static_cast<int32_t>(platform::kErrorGenFailure);
    }
    if (p.buffer && p.length > 0 && side_->buffer.count() > 0)
      n = static_cast<uint32_t>(side_->buffer.Take(static_cast<uint8_t*>(p.buffer), p.length));
    side_->lock.Release();
  }
  *p.bytesRead = n;
  CompleteOverlapped(p.overlapped, 0, n);
  if (trace().on() && n > kWriteDumpFrom) {
    // The delivered bytes beyond the first 16, without the trailing zero
    // bytes but one.
    const auto* b = static_cast<const uint8_t*>(p.buffer);
    size_t shown = n;
    while (shown > 1 && b[shown - 1] == 0 && b[shown - 2] == 0) --shown;
    if (shown > kWriteDumpFrom) {
      size_t length = shown - kWriteDumpFrom;
      if (trace_dump_limit_ > 0) length = std::min<size_t>(length, static_cast<size_t>(trace_dump_limit_));
      trace_lib_.Dump(trace(), b + kWriteDumpFrom, length);
    }
  }
  return 0;
}

// ---- WaitPortEvent and SetPortMask ----------------------------------------------------------------------

int32_t CDllPort::DoWaitPortEvent(const WaitEventParams& p) {
  if (!p.eventMask || !p.overlapped) {
    trace().Line("AA70", 0, 0, 0);
    return kResultInvalidParameter;
  }
  if (!isOpen()) {
    ResetEventOf(p.overlapped);
    trace().Line("AA72", 0, 0, 0);
    return 0;
  }
  if (serial_) {
    uint32_t* word = p.eventMask;
    OVERLAPPED* o = p.overlapped;
    ResetEventOf(o);
    CompleteOverlapped(o, platform::kErrorIoPending, 0);
    // The line completes a pending wait from its own thread: the caller
    // keeps both alive until its event is set.
    const uint32_t e = serial_->WaitEvent(word, [word, o](uint32_t result, uint32_t events) {
      *word = events;
      CompleteOverlapped(o, result, 0);
      SetEventOf(o);
    });
    if (e == 0) {
      CompleteOverlapped(o, 0, 0);
      SetEventOf(o);
      return 0;
    }
    if (e != platform::kErrorIoPending) CompleteOverlapped(o, e, 0);
    trace().Line("AA71", 2, 0, e);
    return static_cast<int32_t>(e);
  }
  if (side_->Lock() != platform::kWaitObject0) return 0;
  uint32_t events = 0;
  if ((side_->eventMask & EV_RXCHAR) && side_->buffer.count() > 0) events |= EV_RXCHAR;
  if ((side_->eventMask & EV_ERR) && side_->errorLatched) {
    events |= EV_ERR;
    side_->errorLatched = 0;
  }
  const auto held = static_cast<uint32_t>(side_->buffer.count());
  if (events != 0) {
    side_->waiterMask = nullptr;
    side_->waiterOverlapped = nullptr;
    *p.eventMask = events;
    CompleteOverlapped(p.overlapped, 0, 0);
    SetEventOf(p.overlapped);
    trace().Line("AAg0", 2, events, held);
  } else {
    // The reader completes it: the caller keeps both alive until its event is set.
    side_->waiterMask = p.eventMask;
    side_->waiterOverlapped = p.overlapped;
    *p.eventMask = 0;
    ResetEventOf(p.overlapped);
    trace().Line("AAg1", 1, held, 0);
  }
  side_->lock.Release();
  return 0;
}

int32_t CDllPort::DoSetPortMask(uint32_t mask) {
  if (side_->Lock() == platform::kWaitObject0) {
    side_->eventMask = mask;
    side_->waiterMask = nullptr;  // dropped without completing
    side_->waiterOverlapped = nullptr;
    side_->lock.Release();
  }
  trace().Line("AAB0", 0, 0, 0);
  if (!isOpen()) {
    trace().Line("AAB2", 0, 0, 0);
    return 0;
  }
  if (serial_) {
    if (uint32_t e = serial_->SetMask(mask); e != 0) {
      trace().Line("AAB1", 2, 0, e);
      return static_cast<int32_t>(e);
    }
  }
  return 0;
}

// ---- ClearPortError and PurgePort --------------------------------------------------------------------------

int32_t CDllPort::DoClearPortError(const ClearErrorParams& p) {
  if (!p.errors || !p.stat) {
    trace().Line("AA90", 0, 0, 0);
    return kResultInvalidParameter;
  }
  if (!isOpen()) {
    trace().Line("AA92", 0, 0, 0);
    return 0;
  }
  if (serial_) {
    if (uint32_t e = serial_->ClearErrors(p.errors, p.stat); e != 0) {
      trace().Line("AA91", 2, 0, e);
      return static_cast<int32_t>(e);
    }
    return 0;
  }
  *p.errors = 0;
  std::memset(p.stat, 0, sizeof *p.stat);
  if (side_->Lock() == platform::kWaitObject0) {
    p.stat->cbInQue = static_cast<uint32_t>(side_->buffer.count());
    side_->lock.Release();
  }
  return 0;
}

int32_t CDllPort::DoPurgePort(uint32_t flags) {
  if (!isOpen()) {
    trace().Line("AA81", 0, 0, 0);
    return 0;
  }
  if (serial_) {
    if (uint32_t e = serial_->Purge(flags); e != 0) {
      trace().Line("AA80", 2, 0, e);
      return static_cast<int32_t>(e);
    }
    return 0;
  }
  if (flags & PURGE_RXCLEAR) side_->Empty();
  // PURGE_TXABORT and PURGE_RXABORT end the caller's pending operations. The
  // caller has none here (its reads and writes finish within their
  // requests), and the reader's own read is not the caller's: nothing is
  // cancelled.
  return 0;
}

// ---- GetPortOverlappedResult and IoControlPort ----------------------------------------------------------------

int32_t CDllPort::DoGetOverlappedResult(const OverlappedResultParams& p) {
  if (!p.overlapped || !p.bytesTransferred) {
    trace().Line("AA60", 0, 0, 0);
    return kResultInvalidParameter;
  }
  if (port_lock_.Wait(side_->timings.portLockIoMs) != platform::kWaitObject0) return 0;
  uint32_t error = 0;
  if (!isOpen()) {
    trace().Line("AA62", 0, 0, 0);
  } else if (!IsTcpKind()) {
    trace().Line("AAf0", 1, p.wait, 0);
    error = OverlappedStatus(p.overlapped);
    if (error == platform::kErrorIoPending) {
      // Only a serial event wait is still pending.
      auto* event = static_cast<platform::SyncEvent*>(p.overlapped->hEvent);
      if (p.wait && event) event->Wait(-1);
      error = OverlappedStatus(p.overlapped);
      if (error == platform::kErrorIoPending) error = platform::kErrorIoIncomplete;
    }
    *p.bytesTransferred = static_cast<uint32_t>(p.overlapped->InternalHigh);
    trace().Line("AAf1", 3, error == 0 ? 1 : 0, error);
    if (error == platform::kErrorGenFailure || error == platform::kErrorDeviceNotConnected) restart_refusal_ = 1;
    if (error != 0) trace().Line("AA61", 2, 0, error);
  }
  port_lock_.Release();
  return static_cast<int32_t>(error);
}

int32_t CDllPort::DoIoControlPort(const IoControlParams& p) {
  trace().Line("AA50", 3, p.controlCode, p.inSize);
  if (port_lock_.Wait(side_->timings.portLockIoMs) != platform::kWaitObject0) return 0;
  uint32_t result = 0;
  if (p.bytesReturned) *p.bytesReturned = 0;
  if (!isOpen()) {
    ResetEventOf(p.overlapped);
    trace().Line("AA52", 0, 0, 0);
  } else if (!IsTcpKind()) {
    // Windows I/O control codes of HID, printer and serial drivers have no
    // counterpart on these Linux nodes: the device does not support them.
    trace().Line("AAe0", 1, p.controlCode, 0);
    result = platform::kErrorNotSupported;
    trace().Line("AAe1", 2, 0, result);
    CompleteOverlapped(p.overlapped, result, 0);
  }
  trace().Line("AA51", 3, result, 0);
  port_lock_.Release();
  return static_cast<int32_t>(result);
}

}  // namespace zq::comm
