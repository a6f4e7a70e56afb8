// GetDevicePath: the first present device interface of a class whose path
// contains a fragment, compared without regard to letter case, and, when a
// serial number is asked for, whose USB device has that serial number.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "comm/trace.h"
#include "platform/devices/hid.h"

namespace zq::comm {

inline constexpr size_t kDevicePathSize = 260;  // including the terminator

// The interface set as SetupDiEnumDeviceInterfaces walks it: fills *path of
// member `index` and returns 0, 259 when there is no such member, or another
// Win32 error.
using InterfaceEnumerator = std::function<uint32_t(size_t index, std::string* path)>;

// Walks members 0, 1, 2 ... until one matches (its path is copied with its
// terminator into `out` and 0 returned), the set ends (259), or the walk
// fails with another error, which ends the search and is returned.
// `onPath` sees every path the walk looks at.
uint32_t SearchDevicePath(const std::string& fragment, const InterfaceEnumerator& next, char (&out)[kDevicePathSize],
                          const std::function<void(const std::string& path)>& onPath = {});

// Whether the USB device instance ID `usbInstanceId` (USB\VID_v&PID_p\SERIAL)
// names the serial number `serial`: its last part equals it without regard
// to letter case (Windows upper-cases instance IDs). An empty `serial`
// matches every device. Pure.
bool UsbSerialMatches(const std::string& usbInstanceId, const std::string& serial);

// The search over the interfaces present now, traced ("F000", "F001"):
// those of another serial number than `serial` (when not empty) are passed
// over. 0, 259, or the error of an enumeration that could list nothing.
uint32_t GetDevicePath(const std::string& fragment, const std::string& serial, char (&out)[kDevicePathSize],
                       platform::InterfaceClass cls, const TraceSink& trace);

}  // namespace zq::comm
