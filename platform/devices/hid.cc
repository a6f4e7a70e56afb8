#include "platform/devices/hid.h"

#include "platform/devices/hid_names.h"
#include "platform/os/win32_errors.h"

namespace zq::platform {

namespace {
// Constant-initialised: usable at any time, nothing to free at unload.
constexpr const DeviceBackend* kBackends[] = {&kHidrawBackend, &kSimBackend};
}  // namespace

std::span<const DeviceBackend* const> DeviceBackends() { return kBackends; }

uint32_t EnumerateDeviceInterfaces(InterfaceClass cls, std::vector<DeviceInterface>* out) {
  out->clear();
  uint32_t firstError = 0;
  bool anyListed = false;
  for (const DeviceBackend* b : DeviceBackends()) {
    uint32_t e = b->enumerate(cls, out);
    if (e == 0) {
      anyListed = true;
    } else if (firstError == 0) {
      firstError = e;
    }
  }
  return anyListed ? 0 : firstError;
}

uint32_t EnumerateHidClassNodes(std::vector<DeviceNode>* out) {
  out->clear();
  std::vector<DeviceInterface> interfaces;
  if (uint32_t e = EnumerateDeviceInterfaces(InterfaceClass::kHid, &interfaces); e != 0) return e;
  *out = HidClassNodes(interfaces);
  return 0;
}

uint32_t RestartDeviceNode(const DeviceNode& node) {
  const DeviceInterface& iface = node.source;
  if (iface.restartLocation.empty()) {
    SetLastError(kErrorNotSupported);
    return kErrorNotSupported;
  }
  // usblp records name their backend "usblp" but belong to the hidraw table.
  const std::string owner = iface.backend == "usblp" ? "hidraw" : iface.backend;
  for (const DeviceBackend* b : DeviceBackends()) {
    if (owner == b->name) {
      const uint32_t e = b->restart(iface);
      if (e != 0) SetLastError(e);
      return e;
    }
  }
  SetLastError(kErrorNotSupported);
  return kErrorNotSupported;
}

uint32_t ListReaderBridges(const std::string& fragment, std::vector<DeviceInterface>* out) {
  out->clear();
  std::vector<DeviceInterface> all;
  if (uint32_t e = EnumerateDeviceInterfaces(InterfaceClass::kHid, &all); e != 0) return e;
  for (DeviceInterface& iface : all) {
    if (PathMatchesFragment(iface.path, fragment)) out->push_back(std::move(iface));
  }
  return 0;
}

uint32_t OpenDeviceInterface(InterfaceClass cls, const std::string& path, std::unique_ptr<DeviceHandle>* handle) {
  handle->reset();
  for (const DeviceBackend* b : DeviceBackends()) {
    std::vector<DeviceInterface> list;
    if (b->enumerate(cls, &list) != 0) continue;
    for (const DeviceInterface& iface : list) {
      // Equal paths: a fragment match of the whole path.
      if (iface.path.size() == path.size() && PathMatchesFragment(iface.path, path)) return b->open(iface, handle);
    }
  }
  return kErrorFileNotFound;
}

}  // namespace zq::platform
