// CDllPort: the comm library's port object. One per Init; the driver owns it
// until Term. Every request arrives through Dispatch (the Func entry) and
// runs under the API lock; device I/O also takes the port lock, and the
// receive buffer, its error flag, the event mask and the pending event
// waiter are touched only under the buffer lock. The locks are always taken
// in the order API, port, buffer; the reader thread takes only the buffer
// lock, so stopping it while holding the port lock cannot deadlock.
//
// The open device is a PortDevice (port_device.h), the implementation of
// the port kind chosen at the open: HID bridge (kinds 0, 1), USB printer
// (2), serial line (3 to 5) or TCP/IP (6, 7). The reader thread of kinds 0
// to 2, 6 and 7 shares the receive side and its device with the object
// (receive_side.h).
//
// Sections: the object (life cycle, test access, requests, open and close,
// restart, write path, state).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "comm/port_device.h"
#include "comm/receive_side.h"
#include "comm/trace.h"
#include "comm/zq_comm_boundary.h"
#include "platform/devices/comm_sync.h"
#include "platform/devices/hid.h"
#include "platform/os/threads.h"
#include "platform/os/win32_errors.h"

namespace zq::comm {

// Event IDs of the event-log entries this library writes.
inline constexpr uint32_t kEventOpenFailed = 0x400003EA;
inline constexpr uint32_t kEventRestartBegins = 0x800003ED;
inline constexpr uint32_t kEventRestartFailed = 0x800003EE;

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
  CommTimings& timings() { return side_->timings; }
  platform::TimedMutex& apiLock() { return api_lock_; }
  platform::TimedMutex& portLock() { return port_lock_; }
  platform::TimedMutex& bufferLock() { return side_->lock; }
  std::weak_ptr<ReceiveSide> receiveSide() const { return side_; }
  PortDevice* device() const { return device_.get(); }
  bool readerRunning() const { return reader_ && platform::ThreadExitCode(reader_) == platform::kErrorStillActive; }
  bool isOpen() const { return device_ != nullptr; }
  platform::ReportLengths reportLengths() const { return device_ ? device_->Lengths() : platform::ReportLengths{}; }

 private:
  // ---- requests (Dispatch runs them under the API lock) ----
  int32_t DoOpenPort(const PortOpenParams& p);
  int32_t DoClosePort();
  int32_t DoReadPort(const ReadParams& p);
  int32_t DoWritePort(const WriteParams& p);
  int32_t DoIoControlPort(const IoControlParams& p);
  int32_t DoGetOverlappedResult(const OverlappedResultParams& p);
  int32_t DoWaitPortEvent(const WaitEventParams& p);
  int32_t DoWaitPortInput(const WaitInputParams& p);
  int32_t DoPurgePort(uint32_t flags);
  int32_t DoClearPortError(const ClearErrorParams& p);
  int32_t DoGetModemStatus(const ModemStatusParams& p);
  int32_t DoSetPortMask(uint32_t mask);
  int32_t DoSetPortState(const StateParams& p);
  int32_t DoSetPortTimeouts(const TimeoutsParams& p);
  int32_t DoEscapeFunction(uint32_t function);
  int32_t DoGetProperties(const PropertiesParams& p);
  int32_t DoGetPortState(const StateParams& p);
  int32_t DoDeviceRestart(const RestartParams& p);
  int32_t DoSetFeature(const FeatureParams& p);
  int32_t DoGetFeature(const FeatureParams& p);

  // ---- open and close ----
  void TakeOverSettings(const PortOpenParams& p);
  void RenewNamedEvents();
  void CloseNamedEvents();
  void RenewEventSource();
  void CloseEventSource();
  void ReportEvent(platform::EventType type, uint32_t id, int32_t threshold, const char* extra, const void* data,
                   size_t length);
  int32_t InternalCreateComm();
  uint32_t StartReader();
  void ConfigureAfterOpen();  // the line configuration step (line.cc)
  void InternalCloseComm();
  // Purges, stops the reader, sets the device's mask to 0 and closes the
  // device (port lock held, or no other thread left).
  void TearDownDevice();
  void StopReader();
  void CloseDevice();

  // ---- restart ----
  int32_t RunDeviceRestart(const char* reason, uint32_t value);
  int32_t DevConRestart(uint32_t* systemError);

  const TraceSink& trace() const { return side_->trace; }
  uint32_t HandleValue() const;

  // ---- settings taken over at OpenPort (bounded copies) ----
  std::string device_name_;
  std::string serial_number_;  // the USB serial number asked for; "" the first matching device
  std::string logical_device_name_;
  std::string event_source_name_;
  std::string event_text1_;
  std::string event_text2_;
  int32_t event_log_level_ = 0;
  std::string restart_pattern_;
  uint32_t retry_time_ = 0;
  COMMTIMEOUTS timeouts_{};
  uint32_t input_queue_size_ = 0;
  uint32_t output_queue_size_ = 0;
  std::string line_settings_;
  int32_t port_kind_ = 0;
  int32_t trace_dump_limit_ = 0;

  // ---- trace and event log ----
  CZqTrace trace_lib_;
  platform::EventSource* event_source_ = nullptr;

  // ---- device (m_PortHandle: open while it is set) ----
  std::unique_ptr<PortDevice> device_;
  // The line state of the kinds without a line (and the serial line's last
  // settings), kept across opens.
  DCB dcb_shadow_{};
  platform::Thread* reader_ = nullptr;  // the receive side's reader, while one was started
  uint32_t restart_refusal_ = 0;

  // ---- receive side, locks and named events ----
  std::shared_ptr<ReceiveSide> side_;
  platform::TimedMutex port_lock_;
  platform::TimedMutex api_lock_;
  std::string restart_event_name_;
  std::string complete_event_name_;
  platform::NamedEvent* restart_event_ = nullptr;
  platform::NamedEvent* complete_event_ = nullptr;
};

}  // namespace zq::comm
