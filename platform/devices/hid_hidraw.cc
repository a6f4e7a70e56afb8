// The real-device backend: hidraw nodes for the HID interface class and the
// usblp driver's nodes for the USB printer interface class, listed with
// libudev and described by the pure functions of hid_names.h.
//
// Sections: udev facts; enumeration; handles (HID report, byte stream); open;
// restart; backend table.
#include <fcntl.h>
#include <libudev.h>
#include <linux/hidraw.h>
#include <linux/usbdevice_fs.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>

#include "platform/devices/hid.h"
#include "platform/devices/hid_names.h"
#include "platform/os/syscalls.h"
#include "platform/os/win32_errors.h"

namespace zq::platform {
namespace {

// ---- udev facts --------------------------------------------------------------------

std::string Attr(udev_device* d, const char* name) {
  if (!d) return "";
  const char* v = udev_device_get_sysattr_value(d, name);
  return v ? v : "";
}

NodeFacts FactsOf(udev_device* dev) {
  NodeFacts f;
  const char* sysname = udev_device_get_sysname(dev);
  f.node = sysname ? sysname : "";
  udev_device* hid = udev_device_get_parent_with_subsystem_devtype(dev, "hid", nullptr);
  f.hidUevent = Attr(hid, "uevent");
  udev_device* intf = udev_device_get_parent_with_subsystem_devtype(dev, "usb", "usb_interface");
  udev_device* usb = udev_device_get_parent_with_subsystem_devtype(dev, "usb", "usb_device");
  f.interfaceNumber = Attr(intf, "bInterfaceNumber");
  f.interfaceClass = Attr(intf, "bInterfaceClass");
  f.interfaceSubClass = Attr(intf, "bInterfaceSubClass");
  f.interfaceProtocol = Attr(intf, "bInterfaceProtocol");
  f.idVendor = Attr(usb, "idVendor");
  f.idProduct = Attr(usb, "idProduct");
  f.bcdDevice = Attr(usb, "bcdDevice");
  f.serial = Attr(usb, "serial");
  f.busnum = Attr(usb, "busnum");
  f.devpath = Attr(usb, "devpath");
  f.numInterfaces = Attr(usb, "bNumInterfaces");
  return f;
}

// ---- enumeration ---------------------------------------------------------------------

uint32_t EnumerateHidraw(InterfaceClass cls, std::vector<DeviceInterface>* out) {
  udev* u = udev_new();
  if (!u) return kErrorNotSupported;  // no udev here: no real devices to list
  udev_enumerate* en = udev_enumerate_new(u);
  if (!en) {
    udev_unref(u);
    return kErrorNotEnoughMemory;
  }
  const bool hid = cls == InterfaceClass::kHid;
  udev_enumerate_add_match_subsystem(en, hid ? "hidraw" : "usbmisc");
  uint32_t result = 0;
  if (udev_enumerate_scan_devices(en) < 0) {
    result = kErrorGenFailure;
  } else {
    for (udev_list_entry* e = udev_enumerate_get_list_entry(en); e; e = udev_list_entry_get_next(e)) {
      udev_device* dev = udev_device_new_from_syspath(u, udev_list_entry_get_name(e));
      if (!dev) continue;
      const char* node = udev_device_get_devnode(dev);
      const char* sysname = udev_device_get_sysname(dev);
      if (node && sysname && (hid || std::strncmp(sysname, "lp", 2) == 0)) {
        DeviceInterface iface;
        NodeFacts facts = FactsOf(dev);
        if (hid ? DescribeHidrawNode(facts, &iface) : DescribeUsbPrinterNode(facts, &iface)) {
          iface.backend = hid ? "hidraw" : "usblp";
          iface.location = node;
          udev_device* usb = udev_device_get_parent_with_subsystem_devtype(dev, "usb", "usb_device");
          const char* usbNode = usb ? udev_device_get_devnode(usb) : nullptr;
          if (usbNode) iface.restartLocation = usbNode;
          out->push_back(std::move(iface));
        }
      }
      udev_device_unref(dev);
    }
  }
  udev_enumerate_unref(en);
  udev_unref(u);
  return result;
}

// ---- handles -----------------------------------------------------------------------------

// Waits for the node or the cancel event. 0 readable; kErrorTimeout;
// kErrorOperationAborted; kErrorDeviceNotConnected when the node reports a hang-up.
uint32_t WaitReadable(int fd, int cancelFd, std::atomic<int>& cancels, int timeoutMs) {
  for (;;) {
    if (cancels.exchange(0) > 0) return kErrorOperationAborted;
    pollfd fds[2] = {{fd, POLLIN, 0}, {cancelFd, POLLIN, 0}};
    int r = Sys().poll(fds, 2, timeoutMs);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) return Win32FromErrno(errno);
    if (r == 0) return kErrorTimeout;
    if (fds[1].revents) {
      uint64_t v;
      (void)!Sys().read(cancelFd, &v, sizeof v);
      if (cancels.exchange(0) > 0) return kErrorOperationAborted;
    }
    if (fds[0].revents & POLLIN) return 0;
    if (fds[0].revents & (POLLERR | POLLHUP | POLLNVAL)) return kErrorDeviceNotConnected;
  }
}

// After an unplug hidraw and usblp fail with EIO or ENODEV.
uint32_t DeviceError(int err) {
  return err == EIO || err == ENODEV || err == ESHUTDOWN ? kErrorDeviceNotConnected : Win32FromErrno(err);
}

class NodeHandle : public DeviceHandle {
 public:
  NodeHandle(int fd, int cancelFd) : fd_(fd), cancel_fd_(cancelFd) {}
  ~NodeHandle() override {
    ::close(fd_);  // also drops the flock
    ::close(cancel_fd_);
  }
  void CancelIo() override {
    cancels_.fetch_add(1);
    uint64_t one = 1;
    (void)!Sys().write(cancel_fd_, &one, sizeof one);
  }

 protected:
  uint32_t WriteAll(const uint8_t* data, size_t length, size_t* written) {
    *written = 0;
    while (*written < length) {
      ssize_t n = Sys().write(fd_, data + *written, length - *written);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return DeviceError(errno);
      *written += static_cast<size_t>(n);
    }
    return 0;
  }

  const int fd_;
  const int cancel_fd_;
  std::atomic<int> cancels_{0};
};

class HidrawHandle final : public NodeHandle {
 public:
  HidrawHandle(int fd, int cancelFd, const DescriptorInfo& info) : NodeHandle(fd, cancelFd), info_(info) {}

  ReportLengths Lengths() const override { return info_.lengths; }

  uint32_t Read(uint8_t* buffer, size_t capacity, int timeoutMs, size_t* count) override {
    *count = 0;
    const size_t length = info_.lengths.input;
    if (capacity < length || length == 0) return kErrorInsufficientBuffer;
    if (uint32_t e = WaitReadable(fd_, cancel_fd_, cancels_, timeoutMs); e != 0) return e;
    // A device without report IDs delivers no ID byte: Windows puts a 0 there.
    uint8_t report[4097] = {};
    const size_t at = info_.usesReportIds ? 0 : 1;
    ssize_t n;
    do {
      n = Sys().read(fd_, report + at, sizeof report - at);
    } while (n < 0 && errno == EINTR);
    if (n < 0) return errno == EAGAIN ? kErrorTimeout : DeviceError(errno);
    std::memset(buffer, 0, length);
    std::memcpy(buffer, report, std::min(length, static_cast<size_t>(n) + at));
    *count = length;
    return 0;
  }

  uint32_t Write(const uint8_t* data, size_t length, size_t* written) override {
    if (length < 2) return kErrorInvalidParameter;
    return WriteAll(data, length, written);
  }

  uint32_t SetFeature(const uint8_t* report, size_t length) override {
    if (length < 2 || length > 4096) return kErrorInvalidParameter;
    std::vector<uint8_t> buf(report, report + length);
    return Ioctl(HIDIOCSFEATURE(length), buf.data());
  }

  uint32_t GetFeature(uint8_t* report, size_t length) override {
    if (length < 2 || length > 4096) return kErrorInvalidParameter;
    std::vector<uint8_t> buf(length, 0);
    buf[0] = report[0];
    uint32_t e = Ioctl(HIDIOCGFEATURE(length), buf.data());
    if (e == 0) std::memcpy(report, buf.data(), length);
    return e;
  }

 private:
  uint32_t Ioctl(unsigned long request, uint8_t* buf) {
    int r;
    do {
      r = ::ioctl(fd_, request, buf);
    } while (r < 0 && errno == EINTR);
    if (r >= 0) return 0;
    // A stalled control request (unknown report) is EPIPE: the device refused it.
    return errno == EPIPE ? kErrorGenFailure : DeviceError(errno);
  }

  const DescriptorInfo info_;
};

class StreamHandle final : public NodeHandle {
 public:
  using NodeHandle::NodeHandle;

  ReportLengths Lengths() const override { return {}; }

  uint32_t Read(uint8_t* buffer, size_t capacity, int timeoutMs, size_t* count) override {
    *count = 0;
    if (uint32_t e = WaitReadable(fd_, cancel_fd_, cancels_, timeoutMs); e != 0) return e;
    ssize_t n;
    do {
      n = Sys().read(fd_, buffer, capacity);
    } while (n < 0 && errno == EINTR);
    if (n < 0) return errno == EAGAIN ? kErrorTimeout : DeviceError(errno);
    *count = static_cast<size_t>(n);
    return 0;
  }

  uint32_t Write(const uint8_t* data, size_t length, size_t* written) override {
    return WriteAll(data, length, written);
  }
  uint32_t SetFeature(const uint8_t*, size_t) override { return kErrorNotSupported; }
  uint32_t GetFeature(uint8_t*, size_t) override { return kErrorNotSupported; }
};

// ---- open ---------------------------------------------------------------------------------

uint32_t OpenNode(const DeviceInterface& iface, std::unique_ptr<DeviceHandle>* handle) {
  int fd = Sys().open(iface.location.c_str(), O_RDWR | O_CLOEXEC | O_NONBLOCK, 0);
  if (fd < 0) return Win32FromErrno(errno);
  // Reads wait in poll; writes block until the device has taken them.
  int flags = ::fcntl(fd, F_GETFL);
  if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  // Opened without sharing: a second holder is refused, as CreateFile with
  // share mode 0 would be.
  int rc;
  do {
    rc = Sys().flock(fd, LOCK_EX | LOCK_NB);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) {
    int err = errno;
    ::close(fd);
    return err == EWOULDBLOCK ? kErrorAccessDenied : Win32FromErrno(err);
  }
  int cancelFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (cancelFd < 0) {
    int err = errno;
    ::close(fd);
    return Win32FromErrno(err);
  }
  if (iface.backend == "usblp") {
    *handle = std::make_unique<StreamHandle>(fd, cancelFd);
    return 0;
  }
  int size = 0;
  hidraw_report_descriptor desc{};
  if (::ioctl(fd, HIDIOCGRDESCSIZE, &size) < 0 || size < 0 || size > HID_MAX_DESCRIPTOR_SIZE) {
    ::close(cancelFd);
    ::close(fd);
    return kErrorFileNotFound;  // capabilities unreadable
  }
  desc.size = static_cast<uint32_t>(size);
  if (::ioctl(fd, HIDIOCGRDESC, &desc) < 0) {
    ::close(cancelFd);
    ::close(fd);
    return kErrorFileNotFound;
  }
  DescriptorInfo info = ParseReportDescriptor(desc.value, desc.size);
  if (!info.valid) {
    ::close(cancelFd);
    ::close(fd);
    return kErrorFileNotFound;
  }
  *handle = std::make_unique<HidrawHandle>(fd, cancelFd, info);
  return 0;
}

// ---- restart ---------------------------------------------------------------------------

// A port reset of the USB device: the kernel unbinds and rebinds its
// interface drivers, so every hidraw and usblp node of it goes and comes back.
uint32_t RestartUsbDevice(const DeviceInterface& iface) {
  int fd;
  do {
    fd = Sys().open(iface.restartLocation.c_str(), O_WRONLY | O_CLOEXEC, 0);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return Win32FromErrno(errno);
  int rc;
  do {
    rc = ::ioctl(fd, USBDEVFS_RESET, 0);
  } while (rc < 0 && errno == EINTR);
  const int err = errno;
  ::close(fd);
  return rc < 0 ? DeviceError(err) : 0;
}

}  // namespace

// ---- backend table -------------------------------------------------------------------------

const DeviceBackend kHidrawBackend = {"hidraw", EnumerateHidraw, OpenNode, RestartUsbDevice};

}  // namespace zq::platform
