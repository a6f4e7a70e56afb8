// PortDevice: the open device of a port, one implementation per port kind,
// chosen once when the port opens (OpenPortDevice):
//   HID bridge   kinds 0, 1  a HID interface; data in input and output
//                            reports framed by hid_framing.h
//   USB printer  kind 2      a USB printer-class interface as a byte stream
//   serial line  kinds 3..5  a terminal line (platform/devices/serial_line.h)
//   TCP/IP       kinds 6, 7  a TCP connection (platform/devices/tcp_connection.h)
//
// The serial line keeps its line state itself and passes every comm call to
// the line. The other kinds have no line: a reader thread of theirs fills
// the port's receive side (receive_side.h), reads, event waits, error
// queries and purges are answered from it, and the line state is the port's
// DCB shadow, so nothing reaches the USB or network device.
//
// The port object (port.h) keeps the locks, the trace and the dispatch: a
// device is used by one request at a time, from the thread that runs it
// (under the API lock, and the port lock where the request takes it),
// except CancelIo, and the reader thread it starts, which holds shares of
// its own. A device writes the trace lines of its own steps to the receive
// side's trace sink.
//
// A device restart (restart.cc) stays the port's for every kind: it closes
// the device and resets the USB device its restart pattern finds among the
// HID class's nodes; the caller reopens the port, which opens a new device.
//
// Results are Win32 numbers (platform/os/win32_errors.h), 0 for success.
//
// Sections: open settings; PortDevice; the open by kind.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "comm/receive_side.h"
#include "comm/zq_comm_boundary.h"
#include "platform/devices/hid.h"
#include "platform/os/win32_errors.h"

namespace zq::comm {

// The value m_PortHandle holds while a TCP socket is connected.
inline constexpr uint32_t kTcpHandleMarker = 0x12345678;

// Every purge flag: what the close and the open of a port purge.
inline constexpr uint32_t kPurgeAll = PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR;

// ---- open settings --------------------------------------------------------------------

// What an open takes from the port's settings.
struct PortDeviceSettings {
  int32_t kind = 0;                // PortKind
  std::string deviceName;          // PID_VID fragment, line name, or host:port plus one character
  std::string serialNumber;        // the USB serial number asked for; "" the first matching device
  std::string logicalDeviceName;   // what kind 7 announces
  COMMTIMEOUTS timeouts{};         // the port's timeouts at the open (kind 7's announcement)
};

// The line's first settings, applied once after the open (Configure).
struct LineSetup {
  COMMTIMEOUTS timeouts{};
  uint32_t inputQueueSize = 0;
  uint32_t outputQueueSize = 0;
  std::string lineSettings;  // a BuildCommDCB text (line_settings.h)
};

// Why a Read failed.
enum class ReadFailure {
  kDevice,      // the device failed it: the caller's OVERLAPPED is to carry the error
  kBufferLock,  // the receive buffer's lock could not be had (a reader stuck
                // inside it): the reader is to be stopped, the OVERLAPPED left alone
};

// ---- PortDevice ---------------------------------------------------------------------------

class PortDevice {
 public:
  // Releases the device (Close first for the graceful end). A reader thread
  // that still runs keeps its own share of the handle or connection until
  // it ends.
  virtual ~PortDevice() = default;

  // ---- identity ----

  // m_PortHandle as the trace shows it: the address of the open handle or
  // line, kTcpHandleMarker for a TCP connection. Never blocks.
  virtual uint32_t HandleValue() const = 0;
  // HID report lengths; all 0 for the kinds without reports. Never blocks.
  virtual platform::ReportLengths Lengths() const { return {}; }

  // ---- after the open, reader, close ----

  // The configuration step after the open, with the port lock held and
  // before the reader starts: a serial line is purged, given the timeouts
  // and queue sizes, read into *shadow, set to *shadow with `setup`'s line
  // text applied, given the receive side's event mask and its RTS and DTR
  // escapes; the other kinds empty the receive buffer and apply the text to
  // *shadow only. Failures of the steps leave the port open as it is.
  // Blocks briefly (the line's calls, the buffer lock).
  virtual void Configure(const LineSetup& setup, DCB* shadow) = 0;
  // The reader thread's work, started by the port on a stoppable thread
  // (platform/os/threads.h): it holds its own shares of the receive side and
  // the device, so it may outlive this object. Empty for the serial line,
  // whose caller uses the comm calls. Never blocks.
  virtual std::function<void()> ReaderWork(uint32_t retryTime) const = 0;
  // Makes the reader's pending device read (HID bridge, USB printer) return
  // at once; nothing for the other kinds. Never blocks; any thread.
  virtual void CancelIo() = 0;
  // Ends the device before it is released: a TCP connection stops sending
  // and reads away what the peer still sends (traced as AAb2); nothing for
  // the other kinds. Blocks up to about 300 ms (TCP).
  virtual void Close() = 0;

  // ---- data ----

  // WriteFile of `length` bytes (*written 0 on entry); `timeouts` are the
  // port's timeouts now, whose write total bounds a TCP send (the serial
  // line goes by those it was given). 0 with *written the bytes taken, or a
  // Win32 error, also set as the last error, with *written what the device
  // took before it failed (TCP: any failed send is kErrorDeviceNotConnected). HID writes one or more output
  // reports (a length of 0 still sends one); kErrorGenFailure is the
  // failure a retry may cure. Blocks until the device took it.
  virtual uint32_t Write(const uint8_t* data, uint32_t length, const COMMTIMEOUTS& timeouts, uint32_t* written) = 0;
  // ReadFile of up to `length` bytes: what the receive buffer holds now
  // (never waits), or the serial line's read under its timeouts (blocks).
  // 0 with *count set, or a Win32 error with *failure saying how to answer
  // it; a failed serial read clears the line's error state.
  virtual uint32_t Read(void* buffer, uint32_t length, uint32_t* count, ReadFailure* failure) = 0;
  // HID feature reports, byte 0 the report ID (platform::DeviceHandle):
  // kErrorInvalidHandle for the kinds without a device interface. Blocks up
  // to 5 s.
  virtual uint32_t SetFeature(const uint8_t* /*report*/, size_t /*length*/) { return platform::kErrorInvalidHandle; }
  virtual uint32_t GetFeature(uint8_t* /*report*/, size_t /*length*/) { return platform::kErrorInvalidHandle; }

  // ---- events, errors, purge ----

  // SetCommMask of the device itself (the port has set the receive side's
  // mask already): the serial line takes it, ending a pending wait with
  // events 0; 0 and nothing else for the other kinds. Never blocks.
  virtual uint32_t SetMask(uint32_t mask) = 0;
  // WaitCommEvent with the caller's word and OVERLAPPED, both non-null: the
  // request's result. 0 with the OVERLAPPED completed and its event set
  // when an event of the mask is there now; otherwise the wait stays
  // pending, completed later from the line's or the reader's thread, which
  // is why the caller keeps both alive until the event is set (serial:
  // kErrorIoPending; other kinds: 0, the event reset). Traces AAg0, AAg1 or
  // AA71. Blocks at most for the buffer lock. The other kinds count
  // EV_RXCHAR once `minimum` bytes are held or the newest has waited
  // `quietMs` (WaitPortInput, zq_comm_boundary.h; WaitPortEvent is the
  // count of 1); a serial line has no such count: any byte ends its wait,
  // `held` and `quiet` stay 0.
  virtual uint32_t WaitInput(const WaitInputParams& p) = 0;
  // ClearCommError: the CE_ flags since the last call and the queue counts
  // (the other kinds: no errors, cbInQue = the receive buffer's count).
  // Blocks at most for the buffer lock.
  virtual uint32_t ClearErrors(uint32_t* errors, COMSTAT* stat) = 0;
  // PurgeComm: the serial line flushes its queues; the other kinds empty the
  // receive buffer for PURGE_RXCLEAR, and have nothing pending to abort.
  // Blocks at most for the buffer lock.
  virtual uint32_t Purge(uint32_t flags) = 0;

  // ---- line state ----

  // GetCommState into *dcb. A kind without a line has no state of its own:
  // *dcb is left as it is (the caller's shadow is the answer), and so it is
  // on an error.
  virtual uint32_t GetState(DCB* dcb) = 0;
  // SetCommState, SetCommTimeouts, SetupComm, EscapeCommFunction: the
  // serial line takes them (87 for what it cannot take); 0 and nothing
  // else for the other kinds, whose shadow the port keeps. Never block for
  // long.
  virtual uint32_t SetState(const DCB& dcb) = 0;
  virtual uint32_t SetTimeouts(const COMMTIMEOUTS& timeouts) = 0;
  virtual uint32_t SetQueueSizes(uint32_t input, uint32_t output) = 0;
  virtual uint32_t Escape(uint32_t function) = 0;
  // GetCommProperties: the line's; all zero for the other kinds.
  virtual uint32_t Properties(COMMPROP* properties) = 0;
  // GetCommModemStatus: the line's MS_ flags; MS_CTS_ON | MS_DSR_ON for the
  // other kinds (an emulated line is always ready).
  virtual uint32_t ModemStatus(uint32_t* status) = 0;

  // ---- overlapped results and I/O control ----

  // GetOverlappedResult of an OVERLAPPED this port completed (bWait =
  // `wait`): its error and *bytes, traced as AAf0 and AAf1; only a pending
  // serial event wait can still be incomplete (996, or waited for). A TCP
  // port answers 0 and leaves *bytes alone. Blocks only when waiting.
  virtual uint32_t OverlappedResult(OVERLAPPED* overlapped, uint32_t wait, uint32_t* bytes) = 0;
  // DeviceIoControl: no Windows control code has a counterpart on these
  // Linux devices, so kErrorNotSupported, completed into the OVERLAPPED and
  // traced as AAe0 and AAe1; a TCP port answers 0 and does nothing. Never
  // blocks.
  virtual uint32_t IoControl(uint32_t controlCode, OVERLAPPED* overlapped) = 0;
};

// ---- the open by kind ---------------------------------------------------------------------

// Opens the device of `settings.kind` for the port whose receive side is
// `side`, tracing its steps there: 0 with *device set, or a Win32 error
// (kErrorInvalidParameter for an unknown kind). Blocks for the open (device
// search, connect).
uint32_t OpenPortDevice(const PortDeviceSettings& settings, const std::shared_ptr<ReceiveSide>& side,
                        std::unique_ptr<PortDevice>* device);

// The factory's parts, one per implementation (same results).
uint32_t OpenHidBridge(const PortDeviceSettings& settings, const std::shared_ptr<ReceiveSide>& side,
                       std::unique_ptr<PortDevice>* device);
uint32_t OpenUsbPrinter(const PortDeviceSettings& settings, const std::shared_ptr<ReceiveSide>& side,
                        std::unique_ptr<PortDevice>* device);
uint32_t OpenSerialLine(const PortDeviceSettings& settings, const std::shared_ptr<ReceiveSide>& side,
                        std::unique_ptr<PortDevice>* device);
uint32_t OpenTcpIp(const PortDeviceSettings& settings, const std::shared_ptr<ReceiveSide>& side,
                   std::unique_ptr<PortDevice>* device);

}  // namespace zq::comm
