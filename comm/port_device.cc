// OpenPortDevice: the implementation of a port kind, chosen once at the open.
#include "comm/port_device.h"

#include "platform/os/win32_errors.h"

namespace zq::comm {

uint32_t OpenPortDevice(const PortDeviceSettings& settings, const std::shared_ptr<ReceiveSide>& side,
                        std::unique_ptr<PortDevice>* device) {
  switch (settings.kind) {
    case PortKindHid:
    case PortKindHidCounted:
      return OpenHidBridge(settings, side, device);
    case PortKindUsbPrint:
      return OpenUsbPrinter(settings, side, device);
    case PortKindSerial:
    case PortKindSerial4:
    case PortKindSerial5:
      return OpenSerialLine(settings, side, device);
    case PortKindTcp:
    case PortKindTcpAnnounce:
      return OpenTcpIp(settings, side, device);
    default:
      return platform::kErrorInvalidParameter;
  }
}

}  // namespace zq::comm
