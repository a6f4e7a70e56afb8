// Device interfaces for the comm library: the present HID and USB printer
// interfaces with Windows-shaped interface paths and device IDs, and the
// handle that an exclusive open of one gives (input and output reports,
// feature reports, byte streams).
//
// Two backends stand behind one table (DeviceBackend), listed in this order:
//   hidraw  real devices: hidraw nodes (HID class) and usblp nodes (USB
//           printer class), found with libudev;
//   sim     the devices that zelquar-sim publishes in its directory
//           ($ZELQUAR_SIM_DIR, else $XDG_RUNTIME_DIR/zelquar-sim, else
//           /tmp/zelquar-sim-<uid>), HID class only.
//
// Results are Win32 numbers (win32_errors.h). The pure parts (paths, IDs,
// report descriptors, matching) are in hid_names.h.
//
// Sections: interface records; DeviceHandle; backend table; enumeration and open
// (and the reader bridges present).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace zq::platform {

// ---- interface records ------------------------------------------------------------

enum class InterfaceClass {
  kHid,         // {4D1E55B2-F16F-11CF-88CB-001111000030}
  kUsbPrinter,  // {28D78FAD-5A12-11D1-AE5B-0000F803A8C2}
};

// HidP_GetCaps' lengths: bytes per report including the report ID byte
// (0 when the device has no report of that direction).
struct ReportLengths {
  uint16_t input = 0;
  uint16_t output = 0;
  uint16_t feature = 0;
};

// One present device interface, as SetupAPI would list it.
struct DeviceInterface {
  std::string path;        // interface path, e.g. \\?\hid#vid_fff1&pid_7c02#hidraw3#{4d1e55b2-...}
  std::string instanceId;  // the interface's device node, e.g. HID\VID_FFF1&PID_7C02\HIDRAW3
  std::vector<std::string> hardwareIds;
  std::vector<std::string> compatibleIds;
  std::string usbInstanceId;  // the USB device node behind it, e.g. USB\VID_FFF1&PID_7C02\<serial>
  std::vector<std::string> usbHardwareIds;
  std::vector<std::string> usbCompatibleIds;
  std::string backend;   // "hidraw", "usblp" or "sim"
  std::string location;  // the backend's address: device node or socket path
  // Where a restart of the USB device behind it goes: its usbfs node
  // /dev/bus/usb/BBB/DDD (hidraw), the simulator's control socket (sim);
  // empty when it cannot be restarted.
  std::string restartLocation;
  ReportLengths lengths;  // known at enumeration (simulated devices); else read at open
};

// ---- DeviceHandle --------------------------------------------------------------------

// An open interface (the CreateFile handle). Opened exclusively: a second
// open of the same interface, by this or another process, fails with 5.
// Destroying the handle closes the device.
//
// Threads: one thread may Read while others Write, SetFeature, GetFeature
// or CancelIo; two concurrent Reads are not allowed.
class DeviceHandle {
 public:
  virtual ~DeviceHandle() = default;

  // HID report lengths (all 0 for a byte stream).
  virtual ReportLengths Lengths() const = 0;

  // Waits at most timeoutMs (>= 0) for input. HID: one input report, report
  // ID first, zero-padded to the input report length (capacity must hold
  // it, else 122); *count = that length. Stream: up to `capacity` bytes.
  // Results: 0; kErrorTimeout (nothing came); kErrorOperationAborted
  // (CancelIo); kErrorDeviceNotConnected (unplugged; reports queued before
  // the unplug are delivered first); another Win32 error. Blocks.
  virtual uint32_t Read(uint8_t* buffer, size_t capacity, int timeoutMs, size_t* count) = 0;

  // Writes one whole output report (byte 0 = report ID) or a run of stream
  // bytes. 0 with *written = length, or a Win32 error (1167 unplugged).
  // Blocks until the device has taken it.
  virtual uint32_t Write(const uint8_t* data, size_t length, size_t* written) = 0;

  // HID feature reports, byte 0 = report ID (a get keeps it and fills the
  // rest). 0 or a Win32 error: 31 for a request the device stalls, 87 for a
  // length under 2, 1167 unplugged, 50 on a stream. Blocks up to 5 s.
  virtual uint32_t SetFeature(const uint8_t* report, size_t length) = 0;
  virtual uint32_t GetFeature(uint8_t* report, size_t length) = 0;

  // Makes a Read in progress (or, if none is, the next Read) return
  // kErrorOperationAborted at once. Never blocks.
  virtual void CancelIo() = 0;
};

// A device node of the HID setup class, as the device installer lists it:
// a HID device, or the USB device above one (which Windows files under the
// same class). Restarting either resets the USB device behind `source`.
struct DeviceNode {
  std::string instanceId;
  std::vector<std::string> hardwareIds;
  std::vector<std::string> compatibleIds;
  DeviceInterface source;  // the interface the node was found through
};

// ---- backend table ----------------------------------------------------------------------

struct DeviceBackend {
  const char* name;
  // Appends the present interfaces of `cls` that this backend sees, in a
  // stable order. 0, or a Win32 error when the backend cannot list at all
  // (the caller then goes on with the next backend). Blocks briefly (udev,
  // directory reads, one connect per simulated device). Thread-safe.
  uint32_t (*enumerate)(InterfaceClass cls, std::vector<DeviceInterface>* out);
  // Opens `iface` (a record this backend listed) exclusively for reading and
  // writing. 0 with *handle set; 2 when it is gone, 5 when another holder has
  // it open, 50 when its report lengths exceed what the caller can hold
  // (checked by the caller, not here), other Win32 errors. Blocks briefly.
  // Thread-safe.
  uint32_t (*open)(const DeviceInterface& iface, std::unique_ptr<DeviceHandle>* handle);
  // Resets the USB device behind `iface` (a record this backend listed),
  // the way a stop and start of its driver stack would: open handles end
  // with 1167 and the device is listed again once it is back. 0 or a Win32
  // error. Blocks until the device is back or the reset failed. Thread-safe.
  uint32_t (*restart)(const DeviceInterface& iface);
};

// The backends in enumeration order: hidraw, then sim.
std::span<const DeviceBackend* const> DeviceBackends();

// Defined by the backends.
extern const DeviceBackend kHidrawBackend;
extern const DeviceBackend kSimBackend;

// ---- enumeration and open ----------------------------------------------------------------

// Every present interface of `cls`, over all backends in order (a backend
// that cannot list is skipped). 0 (also when none is present) or a Win32
// error when nothing at all could be listed.
uint32_t EnumerateDeviceInterfaces(InterfaceClass cls, std::vector<DeviceInterface>* out);

// The present device nodes of the HID setup class: for each present HID
// interface, its USB device (once, however many interfaces it has) and then
// the HID device itself. 0 or a Win32 error as EnumerateDeviceInterfaces.
uint32_t EnumerateHidClassNodes(std::vector<DeviceNode>* out);

// Restarts the USB device behind a node (DeviceBackend::restart of the
// backend that listed it). 0, kErrorNotSupported when it has no restart
// location, or a Win32 error.
uint32_t RestartDeviceNode(const DeviceNode& node);

// The reader bridges present now: every HID interface, over all backends
// (real hidraw nodes, then the simulator's published devices), whose path
// contains `fragment` without regard to case, as the comm library's device
// search matches it (`fragment` is the driver's PID_VID setting, such as
// "vid_FFF1&pid_7C02"). For a program that wants to know whether a reader
// is there before it opens one, or to list them. 0 (also when none is
// present) or a Win32 error when nothing could be listed. Blocks briefly
// (udev, one connect per simulated device). Thread-safe.
uint32_t ListReaderBridges(const std::string& fragment, std::vector<DeviceInterface>* out);

// Opens the present interface of `cls` whose path equals `path` without
// regard to case (CreateFile on an interface path). 2 when none is present.
uint32_t OpenDeviceInterface(InterfaceClass cls, const std::string& path, std::unique_ptr<DeviceHandle>* handle);

}  // namespace zq::platform
