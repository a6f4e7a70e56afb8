// EmulatedLine and InterfaceDevice: the comm calls of the kinds without a
// line, answered from the receive side and the port's DCB shadow, and the
// device interface's handle and reader.
//
// Sections: configuration and ReadFile; WaitCommEvent, ClearCommError and
// PurgeComm; properties and modem status; overlapped results and I/O
// control; InterfaceDevice.
#include "comm/emulated_line.h"

#include <cstring>

#include "comm/device_search.h"
#include "comm/line_settings.h"
#include "platform/devices/comm_sync.h"
#include "platform/os/win32_errors.h"

namespace zq::comm {

// ---- configuration and ReadFile ---------------------------------------------------------------

void EmulatedLine::Configure(const LineSetup& setup, DCB* shadow) {
  // Nothing can be pending on a device just opened, and a cancel now would
  // abort the reader's first read: only the buffer is emptied.
  side_->Empty();
  BuildCommDcb(setup.lineSettings, shadow);
}

uint32_t EmulatedLine::Read(void* buffer, uint32_t length, uint32_t* count, ReadFailure* failure) {
  *count = 0;
  if (side_->Lock() != platform::kWaitObject0) {
    *failure = ReadFailure::kBufferLock;
    return platform::kErrorGenFailure;
  }
  if (buffer && length > 0 && side_->buffer.count() > 0)
    *count = static_cast<uint32_t>(side_->buffer.Take(static_cast<uint8_t*>(buffer), length));
  side_->lock.Release();
  return 0;
}

// ---- WaitCommEvent, ClearCommError and PurgeComm ---------------------------------------------------

uint32_t EmulatedLine::WaitInput(const WaitInputParams& p) {
  uint32_t* eventMask = p.eventMask;
  OVERLAPPED* overlapped = p.overlapped;
  if (side_->Lock() != platform::kWaitObject0) return 0;
  const auto held = static_cast<uint32_t>(side_->buffer.count());
  const uint32_t quiet = held > 0 ? side_->QuietMs() : 0;
  if (p.held) *p.held = held;
  if (p.quiet) *p.quiet = quiet;
  uint32_t events = 0;
  const uint32_t minimum = p.minimum < 1 ? 1 : p.minimum;
  if ((side_->eventMask & EV_RXCHAR) && held > 0 && (held >= minimum || quiet >= p.quietMs)) events |= EV_RXCHAR;
  if ((side_->eventMask & EV_ERR) && side_->errorLatched) {
    events |= EV_ERR;
    side_->errorLatched = 0;
  }
  if (events != 0) {
    side_->waiterMask = nullptr;
    side_->waiterOverlapped = nullptr;
    *eventMask = events;
    CompleteOverlapped(overlapped, 0, 0);
    SetEventOf(overlapped);
    trace().Line("AAg0", 2, events, held);
  } else {
    // The reader completes it: the caller keeps both alive until its event is set.
    side_->waiterMask = eventMask;
    side_->waiterOverlapped = overlapped;
    side_->waiterMinimum = minimum;
    *eventMask = 0;
    ResetEventOf(overlapped);
    trace().Line("AAg1", 1, held, 0);
  }
  side_->lock.Release();
  return 0;
}

uint32_t EmulatedLine::ClearErrors(uint32_t* errors, COMSTAT* stat) {
  *errors = 0;
  std::memset(stat, 0, sizeof *stat);
  if (side_->Lock() == platform::kWaitObject0) {
    stat->cbInQue = static_cast<uint32_t>(side_->buffer.count());
    side_->lock.Release();
  }
  return 0;
}

uint32_t EmulatedLine::Purge(uint32_t flags) {
  if (flags & PURGE_RXCLEAR) side_->Empty();
  // PURGE_TXABORT and PURGE_RXABORT end the caller's pending operations. The
  // caller has none here (its reads and writes finish within their
  // requests), and the reader's own read is not the caller's: nothing is
  // cancelled.
  return 0;
}

// ---- properties and modem status ----------------------------------------------------------------

uint32_t EmulatedLine::Properties(COMMPROP* properties) {
  *properties = COMMPROP{};
  return 0;
}

uint32_t EmulatedLine::ModemStatus(uint32_t* status) {
  *status = MS_CTS_ON | MS_DSR_ON;  // an emulated line is always ready
  return 0;
}

// ---- overlapped results and I/O control ------------------------------------------------------------

uint32_t EmulatedLine::OverlappedResult(OVERLAPPED* overlapped, uint32_t wait, uint32_t* bytes) {
  return CompletedOverlappedResult(trace(), overlapped, wait, bytes);
}

uint32_t EmulatedLine::IoControl(uint32_t controlCode, OVERLAPPED* overlapped) {
  return UnsupportedIoControl(trace(), controlCode, overlapped);
}

uint32_t CompletedOverlappedResult(const TraceSink& trace, OVERLAPPED* overlapped, uint32_t wait, uint32_t* bytes) {
  trace.Line("AAf0", 1, wait, 0);
  uint32_t error = OverlappedStatus(overlapped);
  if (error == platform::kErrorIoPending) {
    // Only a serial event wait is still pending.
    auto* event = static_cast<platform::SyncEvent*>(overlapped->hEvent);
    if (wait && event) event->Wait(-1);
    error = OverlappedStatus(overlapped);
    if (error == platform::kErrorIoPending) error = platform::kErrorIoIncomplete;
  }
  *bytes = static_cast<uint32_t>(overlapped->InternalHigh);
  trace.Line("AAf1", 3, error == 0 ? 1 : 0, error);
  return error;
}

uint32_t UnsupportedIoControl(const TraceSink& trace, uint32_t controlCode, OVERLAPPED* overlapped) {
  // Windows I/O control codes of HID, printer and serial drivers have no
  // counterpart on these Linux nodes: the device does not support them.
  trace.Line("AAe0", 1, controlCode, 0);
  const uint32_t result = platform::kErrorNotSupported;
  trace.Line("AAe1", 2, 0, result);
  CompleteOverlapped(overlapped, result, 0);
  return result;
}

// ---- InterfaceDevice ---------------------------------------------------------------------------------

uint32_t InterfaceDevice::HandleValue() const {
  return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(handle_.get()));
}

std::function<void()> InterfaceDevice::ReaderWork(uint32_t retryTime) const {
  std::shared_ptr<ReceiveSide> side = side_;
  std::shared_ptr<platform::DeviceHandle> device = handle_;
  const int32_t kind = kind_;
  const size_t input = lengths_.input;
  return [side, device, kind, input, retryTime] { DoReadThread(side, device, kind, input, retryTime); };
}

uint32_t OpenInterface(const PortDeviceSettings& s, platform::InterfaceClass interfaceClass, const TraceSink& t,
                       const InterfaceOpenCodes& codes, std::unique_ptr<platform::DeviceHandle>* handle) {
  t.Text(codes.fragment, s.deviceName);
  char path[kDevicePathSize] = {};
  if (uint32_t r = GetDevicePath(s.deviceName, s.serialNumber, path, interfaceClass, t); r != 0) {
    t.Line(codes.notFound, 1, r, 0);
    return platform::kErrorFileNotFound;
  }
  t.Text(codes.path, path);
  if (uint32_t e = platform::OpenDeviceInterface(interfaceClass, path, handle); e != 0) {
    t.Line(codes.failed, 1, e, 0);
    t.Line(codes.failedEnd, 0, 0, 0);
    return e;
  }
  return 0;
}

}  // namespace zq::comm
