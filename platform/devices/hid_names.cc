#include "platform/devices/hid_names.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <cstdio>

namespace zq::platform {
namespace {

std::string Trim(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && std::isspace(static_cast<unsigned char>(s[b]))) ++b;
  while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1]))) --e;
  return s.substr(b, e - b);
}

std::string Upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

bool ParseHex(const std::string& text, unsigned long* value) {
  std::string t = Trim(text);
  if (t.empty() || t.size() > 8) return false;
  unsigned long v = 0;
  for (char c : t) {
    int d;
    if (c >= '0' && c <= '9') {
      d = c - '0';
    } else if (c >= 'a' && c <= 'f') {
      d = c - 'a' + 10;
    } else if (c >= 'A' && c <= 'F') {
      d = c - 'A' + 10;
    } else {
      return false;
    }
    v = v * 16 + static_cast<unsigned long>(d);
  }
  *value = v;
  return true;
}

std::string Hex(unsigned long v, int digits) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%0*lX", digits, v);
  return buf;
}

// Characters that may stand in a device-instance ID segment: what is not
// printable ASCII, a blank, '#' or a backslash becomes '_', as Windows
// does with serial numbers it cannot use.
std::string IdSegment(const std::string& raw) {
  std::string out;
  for (char c : Trim(raw)) {
    unsigned char u = static_cast<unsigned char>(c);
    out.push_back(u > 0x20 && u < 0x7F && c != '#' && c != '\\' && c != ',' ? c : '_');
  }
  return Upper(out);
}

// "&MI_01" when the USB device has more than one interface, as Windows
// names the functions of a composite device.
std::string InterfaceSuffix(const NodeFacts& f) {
  unsigned long count = 0, number = 0;
  if (!ParseHex(f.numInterfaces, &count) || count <= 1) return "";
  if (!ParseHex(f.interfaceNumber, &number)) return "";
  return "&MI_" + Hex(number, 2);
}

void FillUsbNode(const NodeFacts& f, const std::string& vp, const std::string& rev, DeviceInterface* out) {
  std::string tail = IdSegment(f.serial);
  if (tail.empty()) tail = IdSegment(Trim(f.busnum) + "&" + Trim(f.devpath));
  out->usbInstanceId = "USB\\" + vp + "\\" + tail;
  out->usbHardwareIds.clear();
  if (!rev.empty()) out->usbHardwareIds.push_back("USB\\" + vp + "&REV_" + rev);
  out->usbHardwareIds.push_back("USB\\" + vp);
  out->usbCompatibleIds.clear();
  unsigned long cls = 0, sub = 0, prot = 0;
  if (ParseHex(f.interfaceClass, &cls) && ParseHex(f.interfaceSubClass, &sub) && ParseHex(f.interfaceProtocol, &prot)) {
    const std::string c = "USB\\Class_" + Hex(cls, 2);
    out->usbCompatibleIds.push_back(c + "&SubClass_" + Hex(sub, 2) + "&Prot_" + Hex(prot, 2));
    out->usbCompatibleIds.push_back(c + "&SubClass_" + Hex(sub, 2));
    out->usbCompatibleIds.push_back(c);
  }
}

std::string Revision(const NodeFacts& f) {
  unsigned long rev = 0;
  return ParseHex(f.bcdDevice, &rev) ? Hex(rev, 4) : std::string();
}

}  // namespace

// ---- sysfs facts ------------------------------------------------------------------

std::map<std::string, std::string> ParseUevent(const std::string& text) {
  std::map<std::string, std::string> out;
  size_t at = 0;
  while (at < text.size()) {
    size_t nl = text.find('\n', at);
    if (nl == std::string::npos) nl = text.size();
    const std::string line = text.substr(at, nl - at);
    size_t eq = line.find('=');
    if (eq != std::string::npos && eq > 0) out.emplace(line.substr(0, eq), line.substr(eq + 1));
    at = nl + 1;
  }
  return out;
}

// ---- path and ID synthesis ---------------------------------------------------------

bool DescribeHidrawNode(const NodeFacts& f, DeviceInterface* out) {
  const auto uevent = ParseUevent(f.hidUevent);
  auto it = uevent.find("HID_ID");
  if (it == uevent.end()) return false;
  // HID_ID=BBBB:VVVVVVVV:PPPPPPPP (bus, vendor, product in hex).
  const std::string& id = it->second;
  size_t c1 = id.find(':'), c2 = id.find(':', c1 == std::string::npos ? 0 : c1 + 1);
  unsigned long bus = 0, vid = 0, pid = 0;
  if (c1 == std::string::npos || c2 == std::string::npos || !ParseHex(id.substr(0, c1), &bus) ||
      !ParseHex(id.substr(c1 + 1, c2 - c1 - 1), &vid) || !ParseHex(id.substr(c2 + 1), &pid) || vid > 0xFFFF ||
      pid > 0xFFFF || f.node.empty()) {
    return false;
  }
  const bool usb = bus == 0x0003 && !f.idVendor.empty();
  const std::string mi = usb ? InterfaceSuffix(f) : "";
  const std::string vp = "VID_" + Hex(vid, 4) + "&PID_" + Hex(pid, 4);
  const std::string rev = usb ? Revision(f) : "";

  out->instanceId = "HID\\" + vp + mi + "\\" + IdSegment(f.node);
  out->path = "\\\\?\\hid#" + Lower(vp + mi) + "#" + Lower(IdSegment(f.node)) + "#" + kHidInterfaceGuid;
  out->hardwareIds.clear();
  if (!rev.empty()) out->hardwareIds.push_back("HID\\" + vp + "&REV_" + rev + mi);
  out->hardwareIds.push_back("HID\\" + vp + mi);
  out->hardwareIds.push_back("HID_DEVICE_SYSTEM_VENDOR");
  out->hardwareIds.push_back("HID_DEVICE");
  out->compatibleIds = {"HID_DEVICE_SYSTEM_VENDOR", "HID_DEVICE"};
  out->usbInstanceId.clear();
  out->usbHardwareIds.clear();
  out->usbCompatibleIds.clear();
  if (usb) FillUsbNode(f, vp, rev, out);
  return true;
}

bool DescribeUsbPrinterNode(const NodeFacts& f, DeviceInterface* out) {
  unsigned long vid = 0, pid = 0;
  if (!ParseHex(f.idVendor, &vid) || !ParseHex(f.idProduct, &pid) || vid > 0xFFFF || pid > 0xFFFF || f.node.empty())
    return false;
  const std::string vp = "VID_" + Hex(vid, 4) + "&PID_" + Hex(pid, 4);
  const std::string mi = InterfaceSuffix(f);
  const std::string rev = Revision(f);
  out->instanceId = "USBPRINT\\" + vp + mi + "\\" + IdSegment(f.node);
  out->path = "\\\\?\\usb#" + Lower(vp + mi) + "#" + Lower(IdSegment(f.node)) + "#" + kUsbPrinterInterfaceGuid;
  out->hardwareIds.clear();
  if (!rev.empty()) out->hardwareIds.push_back("USB\\" + vp + "&REV_" + rev + mi);
  out->hardwareIds.push_back("USB\\" + vp + mi);
  out->compatibleIds = {"USB\\Class_07&SubClass_01", "USB\\Class_07"};
  FillUsbNode(f, vp, rev, out);
  return true;
}

// ---- report descriptors ------------------------------------------------------------

DescriptorInfo ParseReportDescriptor(const uint8_t* data, size_t length) {
  DescriptorInfo info;
  struct Globals {
    uint32_t reportSize = 0;
    uint32_t reportCount = 0;
    uint32_t reportId = 0;
  };
  Globals g;
  std::vector<Globals> stack;
  // Bits per (main item kind, report ID); kind 0 input, 1 output, 2 feature.
  std::map<uint32_t, uint64_t> bits[3];
  size_t at = 0;
  while (at < length) {
    const uint8_t prefix = data[at];
    if (prefix == 0xFE) {  // long item: size, tag, data
      if (at + 2 >= length) return info;
      const size_t size = data[at + 1];
      if (at + 3 + size > length) return info;
      at += 3 + size;
      continue;
    }
    const size_t size = (prefix & 3) == 3 ? 4 : (prefix & 3);
    if (at + 1 + size > length) return info;
    uint32_t value = 0;
    for (size_t i = 0; i < size; ++i) value |= static_cast<uint32_t>(data[at + 1 + i]) << (8 * i);
    const uint8_t type = (prefix >> 2) & 3;
    const uint8_t tag = prefix >> 4;
    if (type == 0) {  // main
      int kind = tag == 0x8 ? 0 : tag == 0x9 ? 1 : tag == 0xB ? 2 : -1;
      if (kind >= 0) bits[kind][g.reportId] += static_cast<uint64_t>(g.reportSize) * g.reportCount;
    } else if (type == 1) {  // global
      switch (tag) {
        case 0x7:
          g.reportSize = value;
          break;
        case 0x9:
          g.reportCount = value;
          break;
        case 0x8:
          g.reportId = value;
          info.usesReportIds = true;
          break;
        case 0xA:
          stack.push_back(g);
          break;
        case 0xB:
          if (stack.empty()) return info;
          g = stack.back();
          stack.pop_back();
          break;
        default:
          break;
      }
    }
    at += 1 + size;
  }
  uint16_t* targets[3] = {&info.lengths.input, &info.lengths.output, &info.lengths.feature};
  for (int k = 0; k < 3; ++k) {
    uint64_t longest = 0;
    bool any = false;
    for (const auto& [id, count] : bits[k]) {
      any = true;
      longest = std::max<uint64_t>(longest, (count + 7) / 8);
    }
    *targets[k] = any ? static_cast<uint16_t>(std::min<uint64_t>(longest + 1, 0xFFFF)) : 0;
  }
  info.valid = true;
  return info;
}

// ---- setup class nodes ---------------------------------------------------------------

std::vector<DeviceNode> HidClassNodes(const std::vector<DeviceInterface>& interfaces) {
  std::vector<DeviceNode> out;
  std::vector<std::string> usbSeen;
  for (const DeviceInterface& i : interfaces) {
    if (!i.usbInstanceId.empty() &&
        std::find(usbSeen.begin(), usbSeen.end(), Upper(i.usbInstanceId)) == usbSeen.end()) {
      usbSeen.push_back(Upper(i.usbInstanceId));
      out.push_back({i.usbInstanceId, i.usbHardwareIds, i.usbCompatibleIds, i});
    }
    out.push_back({i.instanceId, i.hardwareIds, i.compatibleIds, i});
  }
  return out;
}

// ---- fragment match ----------------------------------------------------------------

bool PathMatchesFragment(const std::string& path, const std::string& fragment) {
  if (path.size() > 259 || fragment.size() > 260) return false;
  return Upper(path).find(Upper(fragment)) != std::string::npos;
}

// ---- simulated devices ---------------------------------------------------------------

bool DescribeSimDevice(const std::string& jsonText, const std::string& dir, DeviceInterface* out,
                       std::string* controlSocket) {
  const nlohmann::json d = nlohmann::json::parse(jsonText, nullptr, false);
  if (!d.is_object()) return false;
  auto text = [&](const char* key, std::string* v) {
    auto it = d.find(key);
    if (it == d.end() || !it->is_string()) return false;
    *v = it->get<std::string>();
    return true;
  };
  auto list = [&](const char* key, std::vector<std::string>* v) {
    v->clear();
    auto it = d.find(key);
    if (it == d.end() || !it->is_array()) return;
    for (const auto& e : *it)
      if (e.is_string()) v->push_back(e.get<std::string>());
  };
  auto length = [&](const char* key, uint16_t* v) {
    auto it = d.find(key);
    if (it == d.end() || !it->is_number_unsigned() || it->get<uint64_t>() > 0xFFFF) return false;
    *v = static_cast<uint16_t>(it->get<uint64_t>());
    return true;
  };
  std::string hidSocket, ctlSocket;
  if (!text("interface_path", &out->path) || !text("hid_socket", &hidSocket) || hidSocket.empty() ||
      hidSocket.find('/') != std::string::npos || !length("input_report_length", &out->lengths.input) ||
      !length("output_report_length", &out->lengths.output) || !length("feature_report_length", &out->lengths.feature)) {
    return false;
  }
  text("control_socket", &ctlSocket);
  text("hid_instance_id", &out->instanceId);
  text("usb_instance_id", &out->usbInstanceId);
  list("hid_hardware_ids", &out->hardwareIds);
  list("hid_compatible_ids", &out->compatibleIds);
  list("usb_hardware_ids", &out->usbHardwareIds);
  list("usb_compatible_ids", &out->usbCompatibleIds);
  out->backend = "sim";
  out->location = dir + "/" + hidSocket;
  *controlSocket = ctlSocket.empty() || ctlSocket.find('/') != std::string::npos ? std::string() : dir + "/" + ctlSocket;
  out->restartLocation = *controlSocket;
  return true;
}

}  // namespace zq::platform
