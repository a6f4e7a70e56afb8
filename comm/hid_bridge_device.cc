// The HID bridge (kinds 0 and 1): a reader's HID interface, found by its
// PID_VID fragment and USB serial number, whose data travel in input and
// output reports framed by hid_framing.h.
//
// Sections: the device; the open.
#include <memory>

#include "comm/emulated_line.h"
#include "comm/hid_framing.h"
#include "platform/os/win32_errors.h"

namespace zq::comm {
namespace {

// ---- the device -------------------------------------------------------------------------------

class HidBridgeDevice final : public InterfaceDevice {
 public:
  HidBridgeDevice(std::shared_ptr<ReceiveSide> side, int32_t kind, std::unique_ptr<platform::DeviceHandle> handle,
                  platform::ReportLengths lengths)
      : InterfaceDevice(std::move(side), kind, std::move(handle), lengths) {}

  // Alias_WriteFile_HID: the data cut into output reports, one write each.
  uint32_t Write(const uint8_t* data, uint32_t length, const COMMTIMEOUTS&, uint32_t* written) override {
    const TraceSink& t = trace();
    t.Line("Alias_WriteFile_HID() START", 0, 0, 0);
    uint8_t report[kOutputWorkArea];
    size_t offset = 0;
    // A write of length 0 still sends one (all-zero) report.
    do {
      const size_t chunk = BuildOutputReport(kind_, data, length, offset, lengths_.output, report);
      t.Data("AAc0", lengths_.output, report);
      size_t n = 0;
      if (uint32_t e = handle_->Write(report, lengths_.output, &n); e != 0) {
        t.Line("AAc3", 2, 0, e);
        platform::SetLastError(e);
        t.Line("Alias_WriteFile_HID() error end: LastError=", e, 0, 0);
        return e;
      }
      t.Line("AAc4", 2, 1, static_cast<uint32_t>(n));
      *written += static_cast<uint32_t>(chunk);
      offset += chunk;
    } while (offset < length);
    t.Line("Alias_WriteFile_HID() normal end", 0, 0, 0);
    return 0;
  }
};

}  // namespace

// ---- the open ------------------------------------------------------------------------------------

uint32_t OpenHidBridge(const PortDeviceSettings& s, const std::shared_ptr<ReceiveSide>& side,
                       std::unique_ptr<PortDevice>* device) {
  const TraceSink& t = side->trace;
  std::unique_ptr<platform::DeviceHandle> h;
  static constexpr InterfaceOpenCodes kCodes{"AAZ0", "AAZ1", "AAZ4", "AAZ5", "AAZ6"};
  if (uint32_t e = OpenInterface(s, platform::InterfaceClass::kHid, t, kCodes, &h); e != 0) return e;
  t.Line("AAZ7", 0, 0, 0);
  const platform::ReportLengths l = h->Lengths();
  // The reader reads into a 256-byte area and a write builds its reports in
  // a 257-byte one; a device with longer reports, or too short ones to carry
  // a count and a data byte, cannot be served without overrunning them or
  // writing forever.
  if (l.input > kInputWorkArea || l.output > kOutputWorkArea || l.input < MinimumInputLength(s.kind) ||
      l.output < MinimumOutputLength(s.kind)) {
    t.Line("AAZ9", 1, platform::kErrorNotSupported, 0);
    return platform::kErrorNotSupported;
  }
  *device = std::make_unique<HidBridgeDevice>(side, s.kind, std::move(h), l);
  t.Line("AAZC", 0, 0, 0);
  return 0;
}

}  // namespace zq::comm
