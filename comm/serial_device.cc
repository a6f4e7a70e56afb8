// The serial line (kinds 3 to 5): every comm call passes to the line
// (platform/devices/serial_line.h), which keeps its own state. No reader thread:
// the caller reads, and waits for events, through the comm calls; an event
// wait is the one operation that stays pending, completed from the line's
// thread.
//
// Sections: the device; the open.
#include <memory>

#include "comm/emulated_line.h"
#include "comm/line_settings.h"
#include "platform/devices/serial_line.h"
#include "platform/os/win32_errors.h"

namespace zq::comm {
namespace {

// ---- the device -------------------------------------------------------------------------------

class SerialLineDevice final : public PortDevice {
 public:
  SerialLineDevice(std::shared_ptr<ReceiveSide> side, std::unique_ptr<platform::SerialLine> line)
      : side_(std::move(side)), line_(std::move(line)) {}

  uint32_t HandleValue() const override { return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(line_.get())); }

  void Configure(const LineSetup& setup, DCB* shadow) override {
    line_->Purge(kPurgeAll);
    line_->SetTimeouts(setup.timeouts);
    line_->SetQueueSizes(setup.inputQueueSize, setup.outputQueueSize);
    line_->GetState(shadow);
    BuildCommDcb(setup.lineSettings, shadow);
    line_->SetState(*shadow);
    uint32_t mask = 0;
    if (side_->Lock() == platform::kWaitObject0) {
      mask = side_->eventMask;
      side_->lock.Release();
    }
    line_->SetMask(mask);
    if (shadow->fRtsControl == RTS_CONTROL_DISABLE) line_->Escape(CLRRTS);
    if (shadow->fRtsControl == RTS_CONTROL_ENABLE) line_->Escape(SETRTS);
    if (shadow->fDtrControl == DTR_CONTROL_DISABLE) line_->Escape(CLRDTR);
    if (shadow->fDtrControl == DTR_CONTROL_ENABLE) line_->Escape(SETDTR);
  }

  std::function<void()> ReaderWork(uint32_t) const override { return {}; }
  void CancelIo() override {}
  void Close() override {}

  uint32_t Write(const uint8_t* data, uint32_t length, const COMMTIMEOUTS&, uint32_t* written) override {
    trace().Data("AAd0", length, data);
    const uint32_t e = line_->Write(data, length, written);
    trace().Line("AAd1", 2, e == 0 ? 1 : 0, e);
    if (e != 0) platform::SetLastError(e);
    return e;
  }

  uint32_t Read(void* buffer, uint32_t length, uint32_t* count, ReadFailure* failure) override {
    *count = 0;
    trace().Line("AAh1", 1, length, 0);
    const uint32_t e = length > 0 && !buffer ? platform::kErrorInvalidParameter : line_->Read(buffer, length, count);
    trace().Line("AAh2", 2, e == 0 ? 1 : 0, e);
    if (e != 0) {
      // The line's error state is cleared, as a ClearCommError after the
      // failed read would.
      uint32_t errors = 0;
      COMSTAT stat{};
      line_->ClearErrors(&errors, &stat);
      *failure = ReadFailure::kDevice;
    }
    return e;
  }

  uint32_t SetMask(uint32_t mask) override { return line_->SetMask(mask); }

  uint32_t WaitInput(const WaitInputParams& p) override {
    uint32_t* word = p.eventMask;
    OVERLAPPED* o = p.overlapped;
    ResetEventOf(o);
    CompleteOverlapped(o, platform::kErrorIoPending, 0);
    // The line completes a pending wait from its own thread: the caller
    // keeps both alive until its event is set.
    const uint32_t e = line_->WaitEvent(word, [word, o](uint32_t result, uint32_t events) {
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
    return e;
  }

  uint32_t ClearErrors(uint32_t* errors, COMSTAT* stat) override { return line_->ClearErrors(errors, stat); }
  uint32_t Purge(uint32_t flags) override { return line_->Purge(flags); }

  uint32_t GetState(DCB* dcb) override { return line_->GetState(dcb); }
  uint32_t SetState(const DCB& dcb) override { return line_->SetState(dcb); }
  uint32_t SetTimeouts(const COMMTIMEOUTS& timeouts) override { return line_->SetTimeouts(timeouts); }
  uint32_t SetQueueSizes(uint32_t input, uint32_t output) override { return line_->SetQueueSizes(input, output); }
  uint32_t Escape(uint32_t function) override { return line_->Escape(function); }
  uint32_t Properties(COMMPROP* properties) override { return line_->Properties(properties); }
  uint32_t ModemStatus(uint32_t* status) override { return line_->ModemStatus(status); }

  uint32_t OverlappedResult(OVERLAPPED* overlapped, uint32_t wait, uint32_t* bytes) override {
    return CompletedOverlappedResult(trace(), overlapped, wait, bytes);
  }
  uint32_t IoControl(uint32_t controlCode, OVERLAPPED* overlapped) override {
    return UnsupportedIoControl(trace(), controlCode, overlapped);
  }

 private:
  const TraceSink& trace() const { return side_->trace; }

  const std::shared_ptr<ReceiveSide> side_;  // the trace and the event mask of the port
  const std::unique_ptr<platform::SerialLine> line_;
};

}  // namespace

// ---- the open ------------------------------------------------------------------------------------

uint32_t OpenSerialLine(const PortDeviceSettings& s, const std::shared_ptr<ReceiveSide>& side,
                        std::unique_ptr<PortDevice>* device) {
  std::unique_ptr<platform::SerialLine> line;
  if (uint32_t e = platform::SerialLine::Open(s.deviceName, &line); e != 0) return e;
  *device = std::make_unique<SerialLineDevice>(side, std::move(line));
  return 0;
}

}  // namespace zq::comm
