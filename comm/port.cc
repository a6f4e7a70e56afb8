// CDllPort: life cycle, dispatch, open and close, device discovery by kind,
// and the emulated line state of the non-serial kinds.
//
// Sections: life cycle; dispatch; OpenPort; InternalCreateComm and the open
// by kind; ClosePort and InternalCloseComm; line state requests.
#include "comm/port.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "comm/device_search.h"
#include "platform/win32_errors.h"

namespace zq::comm {
namespace {

// The caller's text, cut at `bound` characters; a null text is empty.
std::string BoundedText(const char* text, size_t bound) {
  if (!text) return std::string();
  size_t n = 0;
  while (n < bound && text[n] != '\0') ++n;
  return std::string(text, n);
}

constexpr size_t kRestartEventNameSize = 70;   // including the terminator
constexpr size_t kCompleteEventNameSize = 67;

// A scope that holds a TimedMutex taken by the caller.
class Held {
 public:
  explicit Held(platform::TimedMutex& m) : m_(m) {}
  ~Held() { m_.Release(); }
  Held(const Held&) = delete;
  Held& operator=(const Held&) = delete;

 private:
  platform::TimedMutex& m_;
};

}  // namespace

// ---- life cycle ---------------------------------------------------------------------

CDllPort::CDllPort() = default;

CDllPort::~CDllPort() {
  // Term is the caller's last word: no request runs any more, so the close
  // needs no lock. Ending the reader here keeps it from outliving the object.
  TearDownDevice();
  CloseEventSource();
  CloseNamedEvents();
}

bool CDllPort::SyncObjectsReady() const { return buffer_lock_.ok() && port_lock_.ok() && api_lock_.ok(); }

// ---- dispatch -----------------------------------------------------------------------

int32_t CDllPort::Dispatch(PortRequest* r) {
  if (api_lock_.Wait(timings_.apiLockMs) != platform::kWaitObject0) return kResultBusy;
  Held api(api_lock_);
  if (!r) return kResultInvalidParameter;
  try {
    switch (r->code) {
      case OpenPort:
        return DoOpenPort(r->open);
      case ClosePort:
        return DoClosePort();
      case ReadPort:
        return DoReadPort(r->read);
      case WritePort:
        return DoWritePort(r->write);
      case IoControlPort:
        return DoIoControlPort(r->ioControl);
      case GetPortOverlappedResult:
        return DoGetOverlappedResult(r->overlappedResult);
      case WaitPortEvent:
        return DoWaitPortEvent(r->waitEvent);
      case PurgePort:
        return DoPurgePort(r->purge.flags);
      case ClearPortError:
        return DoClearPortError(r->clearError);
      case GetPortModemStatus:
        return DoGetModemStatus(r->modemStatus);
      case SetPortMask:
        return DoSetPortMask(r->mask.mask);
      case SetPortState:
        return DoSetPortState(r->state);
      case SetPortTimeouts:
        return DoSetPortTimeouts(r->timeouts);
      case EscapePortFunction:
        return DoEscapeFunction(r->escape.function);
      case GetPortProperties:
        return DoGetProperties(r->properties);
      case GetPortState:
        return DoGetPortState(r->state);
      case DeviceRestart:
        // The class-installer restart is not available yet: refuse without
        // touching the port, so the caller's reopen finds it as it was.
        return platform::kErrorNotSupported;
      case RfrwSetFeature:
        return DoSetFeature(r->feature);
      case RfrwGetFeature:
        return DoGetFeature(r->feature);
      default:
        return kResultUnknownRequest;
    }
  } catch (const std::bad_alloc&) {
    return static_cast<int32_t>(platform::kErrorNotEnoughMemory);
  } catch (...) {
    return platform::kErrorGenFailure;
  }
}

// ---- OpenPort -----------------------------------------------------------------------

int32_t CDllPort::DoOpenPort(const PortOpenParams& p) {
  TakeOverSettings(p);
  RenewNamedEvents();
  // Tracing is on exactly when a logical device name was given.
  trace_enabled_ = 1;
  trace_state_ = -2;
  if (!logical_device_name_.empty()) trace_state_ = 1;
  RenewEventSource();
  restart_refusal_ = 1;
  const int32_t result = InternalCreateComm();
  restart_refusal_ = 0;
  return result;
}

void CDllPort::TakeOverSettings(const PortOpenParams& p) {
  device_name_ = BoundedText(p.deviceName, kDeviceNameMax);
  logical_device_name_ = BoundedText(p.logicalDeviceName, kLogicalDeviceNameMax);
  event_source_name_ = BoundedText(p.eventSourceName, kEventSourceNameMax);
  event_text1_ = BoundedText(p.eventText1, kEventText1Max);
  event_text2_ = BoundedText(p.eventText2, kEventText2Max);
  event_log_level_ = p.eventLogLevel;
  restart_pattern_ = BoundedText(p.restartPattern, kRestartPatternMax);
  retry_time_ = p.retryTime;
  // The reader reads the mask under the buffer lock; an open on an open port
  // changes it while the reader runs.
  if (buffer_lock_.Wait(timings_.bufferLockMs) == platform::kWaitObject0) {
    event_mask_ = p.eventMask;
    buffer_lock_.Release();
  }
  timeouts_ = p.timeouts;
  input_queue_size_ = p.inputQueueSize;
  output_queue_size_ = p.outputQueueSize;
  line_settings_ = BoundedText(p.lineSettings, kLineSettingsMax);
  // The kind of an open port stays what the device was opened as.
  if (!handle_) port_kind_ = p.portKind;
  if (p.portKind == PortKindSerial || p.portKind == PortKindTcp || p.portKind == PortKindTcpAnnounce)
    trace_dump_limit_ = p.values[0];
}

void CDllPort::RenewNamedEvents() {
  CloseNamedEvents();
  restart_event_name_ = ("_USBPOW_" + logical_device_name_ + "_restart").substr(0, kRestartEventNameSize - 1);
  complete_event_name_ = ("_USBPOW_" + logical_device_name_ + "_comp").substr(0, kCompleteEventNameSize - 1);
  restart_event_ = platform::OpenNamedEvent(restart_event_name_);
  complete_event_ = platform::OpenNamedEvent(complete_event_name_);
}

void CDllPort::CloseNamedEvents() {
  platform::CloseNamedEvent(restart_event_);
  platform::CloseNamedEvent(complete_event_);
  restart_event_ = complete_event_ = nullptr;
}

void CDllPort::RenewEventSource() {
  CloseEventSource();
  // A failed registration is no error: the port opens without event-log entries.
  event_source_ = platform::RegisterEventSource(event_source_name_);
}

void CDllPort::CloseEventSource() {
  platform::DeregisterEventSource(event_source_);
  event_source_ = nullptr;
}

// ---- InternalCreateComm and the open by kind ------------------------------------------

int32_t CDllPort::InternalCreateComm() {
  if (port_lock_.Wait(timings_.portLockOpenCloseMs) != platform::kWaitObject0) return kResultBusy;
  Held port(port_lock_);
  if (handle_) return 0;

  if (uint32_t e = OpenByKind(); e != 0) {
    if (event_source_ && event_log_level_ >= 2) {
      platform::ReportEvent(event_source_, platform::EventType::kInformation, 0, kEventOpenFailed,
                            {event_text1_, event_text2_}, &e, sizeof e);
    }
    return static_cast<int32_t>(e);
  }
  platform::SleepMilliseconds(30);
  ConfigureAfterOpen();

  if (IsReaderKind()) {
    platform::DeviceHandle* device = handle_.get();
    const int32_t kind = port_kind_;
    const uint32_t retryTime = retry_time_;
    if (uint32_t e = reader_.Start([this, kind, device, retryTime] { DoReadThread(kind, device, retryTime); });
        e != 0) {
      handle_.reset();
      return static_cast<int32_t>(e);
    }
  }
  return 0;
}

uint32_t CDllPort::OpenByKind() {
  switch (port_kind_) {
    case PortKindHid:
    case PortKindHidCounted:
      return OpenHid();
    case PortKindUsbPrint:
      return OpenUsbPrinter();
    case PortKindSerial:
    case PortKindSerial4:
    case PortKindSerial5:
    case PortKindTcp:
    case PortKindTcpAnnounce:
      // Serial lines and TCP/IP are not available in this build.
      return platform::kErrorNotSupported;
    default:
      return platform::kErrorInvalidParameter;
  }
}

uint32_t CDllPort::OpenHid() {
  char path[kDevicePathSize] = {};
  if (GetDevicePath(device_name_, path, platform::InterfaceClass::kHid) != 0) return platform::kErrorFileNotFound;
  std::unique_ptr<platform::DeviceHandle> h;
  if (uint32_t e = platform::OpenDeviceInterface(platform::InterfaceClass::kHid, path, &h); e != 0) {
    restart_refusal_ = 0;
    return e;
  }
  const platform::ReportLengths l = h->Lengths();
  // The reader reads into a 256-byte area and a write builds its reports in
  // a 257-byte one; a device with longer reports, or too short ones to carry
  // a count and a data byte, cannot be served without overrunning them or
  // writing forever.
  if (l.input > kInputWorkArea || l.output > kOutputWorkArea || l.input < MinimumInputLength(port_kind_) ||
      l.output < MinimumOutputLength(port_kind_)) {
    return platform::kErrorNotSupported;
  }
  lengths_ = l;
  handle_ = std::move(h);
  return 0;
}

uint32_t CDllPort::OpenUsbPrinter() {
  char path[kDevicePathSize] = {};
  if (GetDevicePath(device_name_, path, platform::InterfaceClass::kUsbPrinter) != 0) return platform::kErrorFileNotFound;
  std::unique_ptr<platform::DeviceHandle> h;
  if (uint32_t e = platform::OpenDeviceInterface(platform::InterfaceClass::kUsbPrinter, path, &h); e != 0) {
    restart_refusal_ = 0;
    return e;
  }
  lengths_ = {};
  handle_ = std::move(h);
  return 0;
}

// The configuration step after an open, for the kinds this build opens: an
// empty receive buffer. (Nothing can be pending on a handle just opened, so
// there is no I/O to cancel; a cancel here would abort the reader's first read.)
void CDllPort::ConfigureAfterOpen() { EmptyReceiveBuffer(); }

// ---- ClosePort and InternalCloseComm -------------------------------------------------

int32_t CDllPort::DoClosePort() {
  InternalCloseComm();
  CloseEventSource();
  if (trace_enabled_) trace_state_ = -2;
  return 0;
}

void CDllPort::InternalCloseComm() {
  if (port_lock_.Wait(timings_.portLockOpenCloseMs) != platform::kWaitObject0) return;
  Held port(port_lock_);
  TearDownDevice();
}

void CDllPort::TearDownDevice() {
  if (!handle_) return;
  StopReader();
  handle_.reset();
}

void CDllPort::StopReader() {
  // The stop flag goes up before the purge cancels the pending read, so the
  // reader takes the cancelled read for the stop it is and not for a device
  // error to report through EV_ERR.
  reader_.RequestStop();
  handle_->CancelIo();
  EmptyReceiveBuffer();
  reader_.Join(timings_.readerStopWaitMs);
  // A waiter registered on this open must not be completed by the reader of
  // a later one, after its caller has let the OVERLAPPED go.
  if (buffer_lock_.Wait(timings_.bufferLockMs) == platform::kWaitObject0) {
    waiter_mask_ = nullptr;
    waiter_overlapped_ = nullptr;
    buffer_lock_.Release();
  }
}

// ---- line state requests ----------------------------------------------------------------

int32_t CDllPort::DoGetModemStatus(const ModemStatusParams& p) {
  if (!p.status) return kResultInvalidParameter;
  *p.status = handle_ ? (MS_CTS_ON | MS_DSR_ON) : 0;
  return 0;
}

int32_t CDllPort::DoSetPortState(const StateParams& p) {
  if (p.dcb) dcb_shadow_ = *p.dcb;
  return 0;
}

int32_t CDllPort::DoSetPortTimeouts(const TimeoutsParams& p) {
  if (p.timeouts) timeouts_ = *p.timeouts;
  return 0;
}

int32_t CDllPort::DoEscapeFunction(uint32_t function) {
  switch (function) {
    case SETRTS:
      dcb_shadow_.fRtsControl = 1;
      break;
    case CLRRTS:
      dcb_shadow_.fRtsControl = 0;
      break;
    case SETDTR:
      dcb_shadow_.fDtrControl = 1;
      break;
    case CLRDTR:
      dcb_shadow_.fDtrControl = 0;
      break;
    default:
      break;
  }
  return 0;
}

int32_t CDllPort::DoGetProperties(const PropertiesParams& p) {
  if (!p.properties) return kResultInvalidParameter;
  if (handle_) std::memset(p.properties, 0, sizeof *p.properties);
  return 0;
}

int32_t CDllPort::DoGetPortState(const StateParams& p) {
  if (!p.dcb) return kResultInvalidParameter;
  if (handle_) *p.dcb = dcb_shadow_;
  return 0;
}

}  // namespace zq::comm
