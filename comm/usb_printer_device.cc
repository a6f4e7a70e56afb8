// The USB printer class (kind 2): a reader's printer-class interface, found
// by its PID_VID fragment and USB serial number, as a byte stream both ways.
//
// Sections: the device; the open.
#include <memory>

#include "comm/emulated_line.h"
#include "platform/os/win32_errors.h"

namespace zq::comm {
namespace {

// ---- the device -------------------------------------------------------------------------------

class UsbPrinterDevice final : public InterfaceDevice {
 public:
  UsbPrinterDevice(std::shared_ptr<ReceiveSide> side, std::unique_ptr<platform::DeviceHandle> handle)
      : InterfaceDevice(std::move(side), PortKindUsbPrint, std::move(handle), platform::ReportLengths{}) {}

  // The bytes in one stream write (none for a length of 0).
  uint32_t Write(const uint8_t* data, uint32_t length, const COMMTIMEOUTS&, uint32_t* written) override {
    trace().Data("AAd0", length, data);
    uint32_t e = 0;
    if (length > 0) {
      size_t n = 0;
      e = handle_->Write(data, length, &n);
      *written = static_cast<uint32_t>(n);
    }
    trace().Line("AAd1", 2, e == 0 ? 1 : 0, e);
    if (e != 0) platform::SetLastError(e);
    return e;
  }
};

}  // namespace

// ---- the open ------------------------------------------------------------------------------------

uint32_t OpenUsbPrinter(const PortDeviceSettings& s, const std::shared_ptr<ReceiveSide>& side,
                        std::unique_ptr<PortDevice>* device) {
  const TraceSink& t = side->trace;
  std::unique_ptr<platform::DeviceHandle> h;
  static constexpr InterfaceOpenCodes kCodes{"AAa0", "AAa1", "AAa2", "AAa3", "AAa4"};
  if (uint32_t e = OpenInterface(s, platform::InterfaceClass::kUsbPrinter, t, kCodes, &h); e != 0) return e;
  *device = std::make_unique<UsbPrinterDevice>(side, std::move(h));
  t.Line("AAa5", 0, 0, 0);
  return 0;
}

}  // namespace zq::comm
