// CDllPort: the comm library's port object. One per Init; the driver owns it
// until Term. Every request arrives through Dispatch (the Func entry) and
// runs under the API lock; device I/O also takes the port lock, and the
// receive buffer, its error flag, the event mask and the pending event
// waiter are touched only under the buffer lock. The locks are always taken
// in the order API, port, buffer; the reader thread takes only the buffer
// lock, so stopping it while holding the port lock cannot deadlock.
//
// Sections: timings; the object (life cycle, requests, reader side, state).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "comm/hid_framing.h"
#include "platform/comm_sync.h"
#include "platform/hid.h"
#include "zq_comm_boundary.h"

namespace zq::comm {

// ---- timings -------------------------------------------------------------------------

// Lock waits and reader pacing. Fixed for the driver; tests that exercise a
// busy lock shorten them through CDllPort::timings().
struct CommTimings {
  int32_t apiLockMs = 10000;
  int32_t portLockOpenCloseMs = 60000;  // InternalCreateComm, InternalCloseComm
  int32_t portLockIoMs = 2000;          // WritePort, IoControlPort, GetPortOverlappedResult
  int32_t bufferLockMs = 10000;
  int32_t readerSliceMs = 1000;         // the reader looks at its stop flag at least this often
  int32_t readerStopWaitMs = 10000;
};

// Event IDs of the event-log entries this library writes.
inline constexpr uint32_t kEventOpenFailed = 0x400003EA;

// ---- the object -------------------------------------------------------------------------

class CDllPort {
 public:
  CDllPort();
  // Ends what is still open: the reader thread, the device, the named events
  // and the event source, whatever state the locks are in.
  ~CDllPort();
  CDllPort(const CDllPort&) = delete;
  CDllPort& operator=(const CDllPort&) = delete;

  // Init's step 3: false when a lock could not be made.
  bool SyncObjectsReady() const;

  // Func: one request under the API lock. Never throws.
  int32_t Dispatch(PortRequest* request);

  // ---- for tests that link the library's internals ----
  CommTimings& timings() { return timings_; }
  platform::TimedMutex& apiLock() { return api_lock_; }
  platform::TimedMutex& portLock() { return port_lock_; }
  bool readerRunning() const { return reader_.running(); }
  bool isOpen() const { return handle_ != nullptr; }
  platform::ReportLengths reportLengths() const { return lengths_; }

 private:
  // ---- requests (Dispatch runs them under the API lock) ----
  int32_t DoOpenPort(const PortOpenParams& p);
  int32_t DoClosePort();
  int32_t DoReadPort(const ReadParams& p);
  int32_t DoWritePort(const WriteParams& p);
  int32_t DoIoControlPort(const IoControlParams& p);
  int32_t DoGetOverlappedResult(const OverlappedResultParams& p);
  int32_t DoWaitPortEvent(const WaitEventParams& p);
  int32_t DoPurgePort(uint32_t flags);
  int32_t DoClearPortError(const ClearErrorParams& p);
  int32_t DoGetModemStatus(const ModemStatusParams& p);
  int32_t DoSetPortMask(uint32_t mask);
  int32_t DoSetPortState(const StateParams& p);
  int32_t DoSetPortTimeouts(const TimeoutsParams& p);
  int32_t DoEscapeFunction(uint32_t function);
  int32_t DoGetProperties(const PropertiesParams& p);
  int32_t DoGetPortState(const StateParams& p);
  int32_t DoSetFeature(const FeatureParams& p);
  int32_t DoGetFeature(const FeatureParams& p);

  // ---- open and close ----
  void TakeOverSettings(const PortOpenParams& p);
  void RenewNamedEvents();
  void CloseNamedEvents();
  void RenewEventSource();
  void CloseEventSource();
  int32_t InternalCreateComm();
  // The device open of the port kind: 0 with handle_ set, or the Win32 error.
  uint32_t OpenByKind();
  uint32_t OpenHid();
  uint32_t OpenUsbPrinter();
  void ConfigureAfterOpen();
  void InternalCloseComm();
  // Stops the reader, drops the waiter and closes the device (port lock held,
  // or no other thread left).
  void TearDownDevice();
  void StopReader();

  // ---- write path ----
  bool WriteHidReports(const uint8_t* data, uint32_t length, uint32_t* written, uint32_t* error);
  bool WritePlain(const uint8_t* data, uint32_t length, uint32_t* written, uint32_t* error);

  // ---- reader side ----
  void DoReadThread(int32_t kind, platform::DeviceHandle* device, uint32_t retryTime);
  void ReportAppend(int32_t kind, const uint8_t* report, size_t inputLength);
  size_t StreamAppend(uint8_t* bytes, size_t count);
  void ErrorNotify();
  // With the buffer lock held: completes the pending waiter with `events`.
  void CompleteWaiter(uint32_t events);
  void EmptyReceiveBuffer();

  bool IsHidKind() const { return port_kind_ == PortKindHid || port_kind_ == PortKindHidCounted; }
  bool IsReaderKind() const { return IsHidKind() || port_kind_ == PortKindUsbPrint; }

  // ---- settings taken over at OpenPort (bounded copies) ----
  std::string device_name_;
  std::string logical_device_name_;
  std::string event_source_name_;
  std::string event_text1_;
  std::string event_text2_;
  int32_t event_log_level_ = 0;
  std::string restart_pattern_;
  uint32_t retry_time_ = 0;
  uint32_t event_mask_ = 0;  // guarded by the buffer lock once a reader runs
  COMMTIMEOUTS timeouts_{};
  uint32_t input_queue_size_ = 0;
  uint32_t output_queue_size_ = 0;
  std::string line_settings_;
  int32_t port_kind_ = 0;
  int32_t trace_dump_limit_ = 0;

  // ---- trace and event log ----
  int32_t trace_enabled_ = 0;
  int32_t trace_state_ = 0;
  platform::EventSource* event_source_ = nullptr;

  // ---- device ----
  std::unique_ptr<platform::DeviceHandle> handle_;  // m_PortHandle: null while closed
  platform::ReportLengths lengths_;
  DCB dcb_shadow_{};
  platform::WorkerThread reader_;
  uint32_t restart_refusal_ = 0;

  // ---- receive buffer (buffer lock) ----
  ReceiveBuffer receive_;
  uint32_t error_latched_ = 0;
  uint32_t* waiter_mask_ = nullptr;
  OVERLAPPED* waiter_overlapped_ = nullptr;
  uint32_t comm_errors_ = 0;
  COMSTAT comm_stat_{};

  // ---- locks and named events ----
  CommTimings timings_;
  platform::TimedMutex buffer_lock_;
  platform::TimedMutex port_lock_;
  platform::TimedMutex api_lock_;
  std::string restart_event_name_;
  std::string complete_event_name_;
  platform::NamedEvent* restart_event_ = nullptr;
  platform::NamedEvent* complete_event_ = nullptr;
};

}  // namespace zq::comm
