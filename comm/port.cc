// CDllPort: life cycle, dispatch, open and close. The device of the port
// kind is opened by OpenPortDevice (port_device.h).
//
// Sections: life cycle; dispatch; OpenPort; event log; InternalCreateComm
// and the reader; ClosePort and InternalCloseComm.
#include "comm/port.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <new>

#include "platform/os/win32_errors.h"

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

CDllPort::CDllPort() : side_(std::make_shared<ReceiveSide>()) {}

CDllPort::~CDllPort() {
  // Term is the caller's last word: no request runs any more, so the close
  // needs no lock. Ending the reader here keeps it from outliving the object.
  TearDownDevice();
  platform::CloseThread(reader_);
  CloseEventSource();
  // The rest of the close sequence: a Term without ClosePort still closes
  // the trace it opened (a ClosePort before has closed it already).
  trace_lib_.Close(side_->trace);
  CloseNamedEvents();
}

bool CDllPort::SyncObjectsReady() const { return side_->lock.ok() && port_lock_.ok() && api_lock_.ok(); }

uint32_t CDllPort::HandleValue() const { return device_ ? device_->HandleValue() : 0xFFFFFFFF; }

// ---- dispatch -----------------------------------------------------------------------

int32_t CDllPort::Dispatch(PortRequest* r) {
  if (uint32_t w = api_lock_.Wait(side_->timings.apiLockMs); w != platform::kWaitObject0) {
    trace().Line("AA00", 2, w, platform::LastError());
    return kResultBusy;
  }
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
      case WaitPortInput:
        return DoWaitPortInput(r->waitInput);
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
        return DoDeviceRestart(r->restart);
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
    return static_cast<int32_t>(platform::kErrorGenFailure);
  }
}

// ---- OpenPort -----------------------------------------------------------------------

int32_t CDllPort::DoOpenPort(const PortOpenParams& p) {
  trace().Line(Api("OpenPort() start"), 0, 0, 0);  // only while tracing is still on from an earlier open
  TakeOverSettings(p);
  RenewNamedEvents();
  trace_lib_.set_enabled(1);
  side_->trace.set_state(-2);
  trace_lib_.Open(logical_device_name_, side_->trace);
  // Tracing is on exactly when a logical device name was given.
  if (!logical_device_name_.empty()) side_->trace.set_state(1);
  trace().Text("AA10", device_name_);
  RenewEventSource();
  restart_refusal_ = 1;
  const int32_t result = InternalCreateComm();
  restart_refusal_ = 0;
  trace().Line(Api("OpenPort() end"), 4, static_cast<uint32_t>(result), static_cast<uint32_t>(port_kind_));
  return result;
}

void CDllPort::TakeOverSettings(const PortOpenParams& p) {
  device_name_ = BoundedText(p.deviceName, kDeviceNameMax);
  serial_number_ = BoundedText(p.alternateDeviceName, kSerialNumberMax);
  logical_device_name_ = BoundedText(p.logicalDeviceName, kLogicalDeviceNameMax);
  event_source_name_ = BoundedText(p.eventSourceName, kEventSourceNameMax);
  event_text1_ = BoundedText(p.eventText1, kEventText1Max);
  event_text2_ = BoundedText(p.eventText2, kEventText2Max);
  event_log_level_ = p.eventLogLevel;
  restart_pattern_ = BoundedText(p.restartPattern, kRestartPatternMax);
  retry_time_ = p.retryTime;
  // The reader reads the mask under the buffer lock; an open on an open port
  // changes it while the reader runs.
  if (side_->Lock() == platform::kWaitObject0) {
    side_->eventMask = p.eventMask;
    side_->lock.Release();
  }
  timeouts_ = p.timeouts;
  input_queue_size_ = p.inputQueueSize;
  output_queue_size_ = p.outputQueueSize;
  line_settings_ = BoundedText(p.lineSettings, kLineSettingsMax);
  // The kind of an open port stays what the device was opened as.
  if (!isOpen()) port_kind_ = p.portKind;
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

// ---- event log ----------------------------------------------------------------------------

void CDllPort::RenewEventSource() {
  CloseEventSource();
  // A failed registration is no error: the port opens without event-log entries.
  event_source_ = platform::RegisterEventSource(event_source_name_);
}

void CDllPort::CloseEventSource() {
  platform::DeregisterEventSource(event_source_);
  event_source_ = nullptr;
}

void CDllPort::ReportEvent(platform::EventType type, uint32_t id, int32_t threshold, const char* extra,
                           const void* data, size_t length) {
  if (!event_source_ || event_log_level_ < threshold) return;
  std::vector<std::string> strings{event_text1_, event_text2_};
  if (extra) strings.emplace_back(extra);
  platform::ReportEvent(event_source_, type, 0, id, strings, data, length);  // a failure is ignored
}

// ---- InternalCreateComm and the reader ------------------------------------------------

int32_t CDllPort::InternalCreateComm() {
  trace().Text("AAI5 InternalCreateComm() start", device_name_);
  if (uint32_t w = port_lock_.Wait(side_->timings.portLockOpenCloseMs); w != platform::kWaitObject0) {
    trace().Line("AAI0", 2, w, platform::LastError());
    return kResultBusy;
  }
  Held port(port_lock_);
  trace().Text("AAI1", device_name_);
  if (!isOpen()) {
    const PortDeviceSettings settings{port_kind_, device_name_, serial_number_, logical_device_name_, timeouts_};
    if (uint32_t e = OpenPortDevice(settings, side_, &device_); e != 0) {
      trace().Line("AAI2", 1, e, 0);
      ReportEvent(platform::EventType::kInformation, kEventOpenFailed, 2, nullptr, &e, sizeof e);
      return static_cast<int32_t>(e);
    }
    platform::SleepMilliseconds(30);
    ConfigureAfterOpen();
    if (uint32_t e = StartReader(); e != 0) {
      CloseDevice();
      trace().Line("AAI3", 1, e, 0);
      return static_cast<int32_t>(e);
    }
  }
  trace().Line("AAI4", 1, 0, 0);
  trace().Line("InternalCreateComm() normal end:m_PortHandle=", HandleValue(), 0, 0);
  return 0;
}

uint32_t CDllPort::StartReader() {
  std::function<void()> work = device_->ReaderWork(retry_time_);
  if (!work) return 0;  // the serial kinds: the caller uses the comm calls
  platform::CloseThread(reader_);  // a reader of an earlier open that has ended
  reader_ = platform::StartThread([work = std::move(work)] {
    work();
    return 0u;
  });
  return reader_ ? 0 : platform::LastError();
}

// ---- ClosePort and InternalCloseComm -------------------------------------------------

int32_t CDllPort::DoClosePort() {
  trace().Line(Api("ClosePort() start"), 1, 0, 0);
  InternalCloseComm();
  CloseEventSource();
  trace().Line(Api("ClosePort() end"), 1, 0, 0);
  trace_lib_.Close(side_->trace);
  return 0;
}

void CDllPort::InternalCloseComm() {
  trace().Line("AAJ0 InternalCloseComm() start", 2, 0, platform::LastError());
  if (uint32_t w = port_lock_.Wait(side_->timings.portLockOpenCloseMs); w != platform::kWaitObject0) {
    trace().Line("AAJ0", 2, w, platform::LastError());
    return;
  }
  Held port(port_lock_);
  trace().Line("AAJ1", 1, 0, 0);
  TearDownDevice();
  trace().Line("AAJ2 InternalCloseComm() end", 0, 0, 0);
}

void CDllPort::TearDownDevice() {
  if (!isOpen()) return;
  device_->Purge(kPurgeAll);  // a serial line's queues, or the receive buffer
  StopReader();
  device_->SetMask(0);
  CloseDevice();
}

void CDllPort::StopReader() {
  if (readerRunning()) {
    // The stop flag goes up before the pending read is cancelled, so the
    // reader takes the cancelled read for the stop it is and not for a
    // device error to report through EV_ERR.
    platform::RequestThreadStop(reader_);
    if (device_) device_->CancelIo();
    if (!platform::WaitThreadEnd(reader_, side_->timings.readerStopWaitMs)) {
      // It runs on detached, holding its own share of the receive side and
      // the device: they stay alive until it ends.
      trace().Line("AAQ1", 2, platform::kWaitTimeout, platform::LastError());
    }
  }
  platform::CloseThread(reader_);
  reader_ = nullptr;
  // A waiter registered on this open must not be completed by the reader of
  // a later one, after its caller has let the OVERLAPPED go.
  side_->DropWaiter();
}

void CDllPort::CloseDevice() {
  trace().Line("AAb0", 0, 0, 0);
  if (device_) device_->Close();
  device_.reset();
  trace().Line("AAb1", 1, 1, 0);
}

}  // namespace zq::comm
