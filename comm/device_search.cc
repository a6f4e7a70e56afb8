#include "comm/device_search.h"

#include <cctype>
#include <cstring>
#include <vector>

#include "platform/devices/hid_names.h"
#include "platform/os/win32_errors.h"

namespace zq::comm {

uint32_t SearchDevicePath(const std::string& fragment, const InterfaceEnumerator& next, char (&out)[kDevicePathSize],
                          const std::function<void(const std::string& path)>& onPath) {
  for (size_t index = 0;; ++index) {
    std::string path;
    const uint32_t e = next(index, &path);
    if (e != 0) return e;  // 259 at the end; any other error ends the search too
    if (onPath) onPath(path);
    if (platform::PathMatchesFragment(path, fragment)) {
      // A matching path is at most 259 characters: it fits with its terminator.
      std::memcpy(out, path.c_str(), path.size() + 1);
      return 0;
    }
  }
}

bool UsbSerialMatches(const std::string& usbInstanceId, const std::string& serial) {
  if (serial.empty()) return true;
  const size_t slash = usbInstanceId.find_last_of('\\');
  if (slash == std::string::npos) return false;
  const std::string last = usbInstanceId.substr(slash + 1);
  if (last.size() != serial.size()) return false;
  for (size_t i = 0; i < last.size(); ++i) {
    if (std::toupper(static_cast<unsigned char>(last[i])) != std::toupper(static_cast<unsigned char>(serial[i]))) return false;
  }
  return true;
}

uint32_t GetDevicePath(const std::string& fragment, const std::string& serial, char (&out)[kDevicePathSize],
                       platform::InterfaceClass cls, const TraceSink& trace) {
  trace.Text("F000:GetDevicePath() start", fragment);
  if (!serial.empty()) trace.Text("F002 serial", serial);
  std::vector<platform::DeviceInterface> set;
  if (uint32_t e = platform::EnumerateDeviceInterfaces(cls, &set); e != 0) return e;
  std::erase_if(set, [&](const platform::DeviceInterface& d) { return !UsbSerialMatches(d.usbInstanceId, serial); });
  return SearchDevicePath(
      fragment,
      [&](size_t index, std::string* path) -> uint32_t {
        if (index >= set.size()) return platform::kErrorNoMoreItems;
        *path = set[index].path;
        return 0;
      },
      out, [&](const std::string& path) { trace.Text("F001", path); });
}

}  // namespace zq::comm
