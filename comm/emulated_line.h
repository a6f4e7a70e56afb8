// The parts the PortDevice implementations without a line share (HID
// bridge, USB printer, TCP/IP): the comm calls answered from the receive
// side and the port's DCB shadow (EmulatedLine), and the open handle of a
// device interface with its reader (InterfaceDevice, kinds 0 to 2).
// Contracts are PortDevice's (port_device.h).
//
// Sections: EmulatedLine; InterfaceDevice (and its open).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

#include "comm/port_device.h"
#include "comm/receive_side.h"
#include "platform/devices/hid.h"

namespace zq::comm {

// ---- EmulatedLine ---------------------------------------------------------------------------

class EmulatedLine : public PortDevice {
 public:
  void Configure(const LineSetup& setup, DCB* shadow) override;
  void Close() override {}
  uint32_t Read(void* buffer, uint32_t length, uint32_t* count, ReadFailure* failure) override;

  uint32_t SetMask(uint32_t) override { return 0; }
  uint32_t WaitInput(const WaitInputParams& p) override;
  uint32_t ClearErrors(uint32_t* errors, COMSTAT* stat) override;
  uint32_t Purge(uint32_t flags) override;

  uint32_t GetState(DCB*) override { return 0; }
  uint32_t SetState(const DCB&) override { return 0; }
  uint32_t SetTimeouts(const COMMTIMEOUTS&) override { return 0; }
  uint32_t SetQueueSizes(uint32_t, uint32_t) override { return 0; }
  uint32_t Escape(uint32_t) override { return 0; }
  uint32_t Properties(COMMPROP* properties) override;
  uint32_t ModemStatus(uint32_t* status) override;

  uint32_t OverlappedResult(OVERLAPPED* overlapped, uint32_t wait, uint32_t* bytes) override;
  uint32_t IoControl(uint32_t controlCode, OVERLAPPED* overlapped) override;

 protected:
  explicit EmulatedLine(std::shared_ptr<ReceiveSide> side) : side_(std::move(side)) {}
  const TraceSink& trace() const { return side_->trace; }

  const std::shared_ptr<ReceiveSide> side_;
};

// OverlappedResult of the kinds that answer it (all but TCP): the
// OVERLAPPED's outcome, waited for when still pending and `wait` is set.
uint32_t CompletedOverlappedResult(const TraceSink& trace, OVERLAPPED* overlapped, uint32_t wait, uint32_t* bytes);
// IoControl of the kinds that answer it (all but TCP).
uint32_t UnsupportedIoControl(const TraceSink& trace, uint32_t controlCode, OVERLAPPED* overlapped);

// ---- InterfaceDevice ------------------------------------------------------------------------

// The open HID or USB printer interface, shared with the reader thread,
// which reads input reports or stream bytes into the receive side
// (DoReadThread).
class InterfaceDevice : public EmulatedLine {
 public:
  uint32_t HandleValue() const override;
  platform::ReportLengths Lengths() const override { return lengths_; }
  std::function<void()> ReaderWork(uint32_t retryTime) const override;
  void CancelIo() override { handle_->CancelIo(); }
  uint32_t SetFeature(const uint8_t* report, size_t length) override { return handle_->SetFeature(report, length); }
  uint32_t GetFeature(uint8_t* report, size_t length) override { return handle_->GetFeature(report, length); }

 protected:
  InterfaceDevice(std::shared_ptr<ReceiveSide> side, int32_t kind, std::unique_ptr<platform::DeviceHandle> handle,
                  platform::ReportLengths lengths)
      : EmulatedLine(std::move(side)), kind_(kind), handle_(std::move(handle)), lengths_(lengths) {}

  const int32_t kind_;
  const std::shared_ptr<platform::DeviceHandle> handle_;
  const platform::ReportLengths lengths_;
};

// The trace codes of an interface's open, which differ by kind.
struct InterfaceOpenCodes {
  const char* fragment;   // the fragment looked for
  const char* notFound;   // no present interface matched
  const char* path;       // the interface found
  const char* failed;     // the open failed: its error ...
  const char* failedEnd;  // ... and the end of the open
};

// Finds the interface of `settings` among those of `interfaceClass` and
// opens it: 0 with *handle, kErrorFileNotFound when none is present, or the
// open's Win32 error. Writes the steps' trace lines with `codes`. Blocks
// for the search and the open.
uint32_t OpenInterface(const PortDeviceSettings& settings, platform::InterfaceClass interfaceClass,
                       const TraceSink& trace, const InterfaceOpenCodes& codes,
                       std::unique_ptr<platform::DeviceHandle>* handle);

}  // namespace zq::comm
