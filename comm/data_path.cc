// CDllPort: the data path. Writes with their retry, feature reports, and
// the requests the port's device answers (port_device.h): from the receive
// buffer the way serial-port calls would, or from the serial line for
// kinds 3 to 5.
//
// Every operation of the non-serial kinds, and every read and write of the
// serial ones, has finished when its request returns: the OVERLAPPED then
// holds its outcome (Internal = result, InternalHigh = bytes). Only a
// serial WaitPortEvent stays pending (Internal = 997) until the line
// completes it.
//
// Sections: WritePort; feature reports; ReadPort;
// WaitPortEvent and SetPortMask; ClearPortError and PurgePort;
// GetPortOverlappedResult and IoControlPort.
#include <algorithm>

#include "comm/port.h"
#include "platform/os/win32_errors.h"

namespace zq::comm {
namespace {

constexpr size_t kWriteDumpFrom = 16;
constexpr size_t kWriteDumpMax = 20;

}  // namespace

// ---- WritePort ------------------------------------------------------------------------------

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
        error = device_->Write(data, p.length, timeouts_, &written);
        ok = error == 0;
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
  ReadFailure failure = ReadFailure::kDevice;
  if (uint32_t e = device_->Read(p.buffer, p.length, &n, &failure); e != 0) {
    if (failure == ReadFailure::kBufferLock) {
      // A buffer lock that cannot be had means a reader stuck inside it.
      platform::RequestThreadStop(reader_);
      trace().Line("AAh0", 0, 0, 0);
    } else {
      CompleteOverlapped(p.overlapped, e, 0);
    }
    return static_cast<int32_t>(e);
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
  // Any byte completes it: the count wait for one byte, with no quiet time.
  return DoWaitPortInput(WaitInputParams{p.eventMask, p.overlapped, 1, 0, nullptr, nullptr});
}

int32_t CDllPort::DoWaitPortInput(const WaitInputParams& p) {
  if (p.held) *p.held = 0;
  if (p.quiet) *p.quiet = 0;
  if (!p.eventMask || !p.overlapped) {
    trace().Line("AA70", 0, 0, 0);
    return kResultInvalidParameter;
  }
  if (!isOpen()) {
    ResetEventOf(p.overlapped);
    trace().Line("AA72", 0, 0, 0);
    return 0;
  }
  return static_cast<int32_t>(device_->WaitInput(p));
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
  if (uint32_t e = device_->SetMask(mask); e != 0) {
    trace().Line("AAB1", 2, 0, e);
    return static_cast<int32_t>(e);
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
  if (uint32_t e = device_->ClearErrors(p.errors, p.stat); e != 0) {
    trace().Line("AA91", 2, 0, e);
    return static_cast<int32_t>(e);
  }
  return 0;
}

int32_t CDllPort::DoPurgePort(uint32_t flags) {
  if (!isOpen()) {
    trace().Line("AA81", 0, 0, 0);
    return 0;
  }
  if (uint32_t e = device_->Purge(flags); e != 0) {
    trace().Line("AA80", 2, 0, e);
    return static_cast<int32_t>(e);
  }
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
  } else {
    error = device_->OverlappedResult(p.overlapped, p.wait, p.bytesTransferred);
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
  } else {
    result = device_->IoControl(p.controlCode, p.overlapped);
  }
  trace().Line("AA51", 3, result, 0);
  port_lock_.Release();
  return static_cast<int32_t>(result);
}

}  // namespace zq::comm
