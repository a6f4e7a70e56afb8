// The pure side of device-interface handling: no system calls, so tests feed
// it recorded data (sysfs uevent texts and attributes, report descriptors,
// simulator descriptions).
//
//  - Windows-shaped interface paths and device IDs for hidraw and usblp
//    nodes, from the sysfs facts of the node and its USB parents;
//  - HidP_GetCaps' report lengths from a HID report descriptor;
//  - the device nodes of the HID setup class;
//  - the interface-path fragment match of device discovery;
//  - a simulated device's record from its NAME.json.
//
// Sections: sysfs facts; path and ID synthesis; report descriptors; setup
// class nodes; fragment match; simulated devices.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "platform/devices/hid.h"

namespace zq::platform {

inline constexpr const char* kHidInterfaceGuid = "{4d1e55b2-f16f-11cf-88cb-001111000030}";
inline constexpr const char* kUsbPrinterInterfaceGuid = "{28d78fad-5a12-11d1-ae5b-0000f803a8c2}";

// ---- sysfs facts --------------------------------------------------------------------

// KEY=VALUE lines of a uevent file; other lines are ignored.
std::map<std::string, std::string> ParseUevent(const std::string& text);

// What sysfs tells about one hidraw or usblp node and the USB device and
// interface above it. Attribute texts as sysfs has them (hex without "0x",
// possibly with a trailing newline); empty when absent (a HID device on
// another bus has no USB parents).
struct NodeFacts {
  std::string node;        // "hidraw3", "lp0"
  std::string hidUevent;   // uevent of the HID device (hidraw only)
  std::string idVendor;    // USB device: "fff1"
  std::string idProduct;   // "7c02"
  std::string bcdDevice;   // "0100"
  std::string serial;      // iSerialNumber string
  std::string busnum;      // "1"
  std::string devpath;     // "2.3"
  std::string numInterfaces;      // bNumInterfaces, " 1"
  std::string interfaceNumber;    // USB interface: bInterfaceNumber "00"
  std::string interfaceClass;     // "03"
  std::string interfaceSubClass;  // "00"
  std::string interfaceProtocol;  // "00"
};

// ---- path and ID synthesis ----------------------------------------------------------

// The record of a hidraw node. Vendor and product come from the HID_ID of
// the uevent (any bus); the USB node's IDs only when USB facts are present.
// False when the uevent has no usable HID_ID. `location` and `backend` are
// left to the caller.
bool DescribeHidrawNode(const NodeFacts& facts, DeviceInterface* out);

// The record of a usblp node (USB printer interface class). False without
// vendor and product.
bool DescribeUsbPrinterNode(const NodeFacts& facts, DeviceInterface* out);

// ---- report descriptors ---------------------------------------------------------------

struct DescriptorInfo {
  bool valid = false;        // false: truncated or otherwise unreadable
  bool usesReportIds = false;
  ReportLengths lengths;     // capped at 0xFFFF
};

// The longest input, output and feature report of the descriptor in bytes,
// plus one for the report ID byte (which Windows counts also when the
// device uses no report IDs), as HidP_GetCaps reports them.
DescriptorInfo ParseReportDescriptor(const uint8_t* data, size_t length);

// ---- setup class nodes --------------------------------------------------------------

// The HID setup class's device nodes of these interfaces, in order: for each
// interface its USB node (when it has one, and only the first time that
// instance ID appears) and then its HID node.
std::vector<DeviceNode> HidClassNodes(const std::vector<DeviceInterface>& interfaces);

// ---- fragment match ----------------------------------------------------------------------

// True when `fragment` occurs in `path`, both upper-cased; a path longer than
// 259 characters or a fragment longer than 260 never matches.
bool PathMatchesFragment(const std::string& path, const std::string& fragment);

// ---- simulated devices -------------------------------------------------------------------

// The record of a simulated device from the text of its NAME.json in `dir`.
// *controlSocket gets the path of its control socket. False when the text
// is not a usable description.
bool DescribeSimDevice(const std::string& jsonText, const std::string& dir, DeviceInterface* out,
                       std::string* controlSocket);

}  // namespace zq::platform
