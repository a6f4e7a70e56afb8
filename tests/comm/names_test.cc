// The pure parts of device discovery and HID framing, fed with recorded
// data: sysfs uevent texts and attributes of hidraw and usblp nodes, report
// descriptors of real devices, simulator descriptions, and the walk of an
// interface set.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "comm/device_search.h"
#include "comm/hid_framing.h"
#include "comm/zq_comm_boundary.h"
#include "platform/devices/hid_names.h"
#include "platform/os/win32_errors.h"

namespace zq::comm {
namespace {

using platform::DeviceInterface;
using platform::NodeFacts;

// ---- hidraw and usblp path synthesis ----------------------------------------------

// /sys/class/hidraw/hidraw3/device/uevent of a USB-UART bridge, and the
// attributes of its USB interface and device, as sysfs returns them.
NodeFacts BridgeFacts() {
  NodeFacts f;
  f.node = "hidraw3";
  f.hidUevent =
      "DRIVER=hid-generic\n"
      "HID_ID=0003:0000FFF1:00007C02\n"
      "HID_NAME=USB HID UART Bridge\n"
      "HID_PHYS=usb-0000:00:14.0-2/input0\n"
      "HID_UNIQ=0092A1B4\n"
      "MODALIAS=hid:b0003g0001v0000FFF1p00007C02\n";
  f.idVendor = "fff1\n";
  f.idProduct = "7c02\n";
  f.bcdDevice = "0100\n";
  f.serial = "0092A1B4\n";
  f.busnum = "1\n";
  f.devpath = "2\n";
  f.numInterfaces = " 1\n";
  f.interfaceNumber = "00\n";
  f.interfaceClass = "03\n";
  f.interfaceSubClass = "00\n";
  f.interfaceProtocol = "00\n";
  return f;
}

TEST(HidrawNames, BridgeGetsWindowsShapedPathAndIds) {
  DeviceInterface d;
  ASSERT_TRUE(platform::DescribeHidrawNode(BridgeFacts(), &d));
  EXPECT_EQ(d.path, "\\\\?\\hid#vid_fff1&pid_7c02#hidraw3#{4d1e55b2-f16f-11cf-88cb-001111000030}");
  EXPECT_EQ(d.instanceId, "HID\\VID_FFF1&PID_7C02\\HIDRAW3");
  EXPECT_EQ(d.hardwareIds, (std::vector<std::string>{"HID\\VID_FFF1&PID_7C02&REV_0100", "HID\\VID_FFF1&PID_7C02",
                                                      "HID_DEVICE_SYSTEM_VENDOR", "HID_DEVICE"}));
  EXPECT_EQ(d.usbInstanceId, "USB\\VID_FFF1&PID_7C02\\0092A1B4");
  EXPECT_EQ(d.usbHardwareIds, (std::vector<std::string>{"USB\\VID_FFF1&PID_7C02&REV_0100", "USB\\VID_FFF1&PID_7C02"}));
  EXPECT_EQ(d.usbCompatibleIds, (std::vector<std::string>{"USB\\Class_03&SubClass_00&Prot_00",
                                                           "USB\\Class_03&SubClass_00", "USB\\Class_03"}));
  // The driver's fragment finds it.
  EXPECT_TRUE(platform::PathMatchesFragment(d.path, "vid_FFF1&pid_7C02"));
}

TEST(HidrawNames, CompositeDeviceNamesItsInterfaceAndSerialLessDeviceItsPort) {
  // Second interface of a wireless receiver with three interfaces and no serial number.
  NodeFacts f;
  f.node = "hidraw5";
  f.hidUevent = "HID_ID=0003:0000046D:0000C52B\nHID_NAME=USB Receiver\nHID_PHYS=usb-0000:00:14.0-3.1/input1\n";
  f.idVendor = "046d";
  f.idProduct = "c52b";
  f.bcdDevice = "1211";
  f.busnum = "3";
  f.devpath = "3.1";
  f.numInterfaces = " 3";
  f.interfaceNumber = "01";
  f.interfaceClass = "03";
  f.interfaceSubClass = "01";
  f.interfaceProtocol = "02";
  DeviceInterface d;
  ASSERT_TRUE(platform::DescribeHidrawNode(f, &d));
  EXPECT_EQ(d.path, "\\\\?\\hid#vid_046d&pid_c52b&mi_01#hidraw5#{4d1e55b2-f16f-11cf-88cb-001111000030}");
  EXPECT_EQ(d.hardwareIds.front(), "HID\\VID_046D&PID_C52B&REV_1211&MI_01");
  EXPECT_EQ(d.usbInstanceId, "USB\\VID_046D&PID_C52B\\3&3.1");
  EXPECT_EQ(d.usbCompatibleIds.front(), "USB\\Class_03&SubClass_01&Prot_02");
}

TEST(HidrawNames, HidOnAnotherBusHasNoUsbNodeAndBrokenUeventIsSkipped) {
  NodeFacts bt;
  bt.node = "hidraw7";
  bt.hidUevent = "HID_ID=0005:0000054C:000005C4\nHID_NAME=Wireless Controller\n";
  DeviceInterface d;
  ASSERT_TRUE(platform::DescribeHidrawNode(bt, &d));
  EXPECT_EQ(d.path, "\\\\?\\hid#vid_054c&pid_05c4#hidraw7#{4d1e55b2-f16f-11cf-88cb-001111000030}");
  EXPECT_EQ(d.hardwareIds.front(), "HID\\VID_054C&PID_05C4");
  EXPECT_TRUE(d.usbInstanceId.empty());

  NodeFacts broken = BridgeFacts();
  broken.hidUevent = "DRIVER=hid-generic\nHID_NAME=x\n";
  EXPECT_FALSE(platform::DescribeHidrawNode(broken, &d));
  broken.hidUevent = "HID_ID=0003:zzzz:00007C02\n";
  EXPECT_FALSE(platform::DescribeHidrawNode(broken, &d));
}

TEST(HidrawNames, UsbPrinterNodeUsesThePrinterClass) {
  NodeFacts f;
  f.node = "lp0";
  f.idVendor = "04b8\n";
  f.idProduct = "0202\n";
  f.bcdDevice = "0100\n";
  f.serial = "L4KF012345\n";
  f.numInterfaces = " 1\n";
  f.interfaceClass = "07\n";
  f.interfaceSubClass = "01\n";
  f.interfaceProtocol = "02\n";
  DeviceInterface d;
  ASSERT_TRUE(platform::DescribeUsbPrinterNode(f, &d));
  EXPECT_EQ(d.path, "\\\\?\\usb#vid_04b8&pid_0202#lp0#{28d78fad-5a12-11d1-ae5b-0000f803a8c2}");
  EXPECT_EQ(d.usbInstanceId, "USB\\VID_04B8&PID_0202\\L4KF012345");
}

// ---- report descriptors ---------------------------------------------------------------

// The boot keyboard of the USB HID class definition (appendix B.1): 8 input bytes,
// 1 output byte (LEDs), no report IDs.
const std::vector<uint8_t> kBootKeyboard = {
    0x05, 0x01, 0x09, 0x06, 0xA1, 0x01, 0x05, 0x07, 0x19, 0xE0, 0x29, 0xE7, 0x15, 0x00, 0x25, 0x01,
    0x75, 0x01, 0x95, 0x08, 0x81, 0x02, 0x95, 0x01, 0x75, 0x08, 0x81, 0x01, 0x95, 0x05, 0x75, 0x01,
    0x05, 0x08, 0x19, 0x01, 0x29, 0x05, 0x91, 0x02, 0x95, 0x01, 0x75, 0x03, 0x91, 0x01, 0x95, 0x06,
    0x75, 0x08, 0x15, 0x00, 0x25, 0x65, 0x05, 0x07, 0x19, 0x00, 0x29, 0x65, 0x81, 0x00, 0xC0};

// The boot mouse (appendix B.2): 3 input bytes.
const std::vector<uint8_t> kBootMouse = {0x05, 0x01, 0x09, 0x02, 0xA1, 0x01, 0x09, 0x01, 0xA1, 0x00, 0x05, 0x09,
                                         0x19, 0x01, 0x29, 0x03, 0x15, 0x00, 0x25, 0x01, 0x95, 0x03, 0x75, 0x01,
                                         0x81, 0x02, 0x95, 0x01, 0x75, 0x05, 0x81, 0x01, 0x05, 0x01, 0x09, 0x30,
                                         0x09, 0x31, 0x15, 0x81, 0x25, 0x7F, 0x75, 0x08, 0x95, 0x02, 0x81, 0x06,
                                         0xC0, 0xC0};

TEST(ReportDescriptor, BootDevicesGiveTheLengthsWindowsReports) {
  platform::DescriptorInfo kb = platform::ParseReportDescriptor(kBootKeyboard.data(), kBootKeyboard.size());
  ASSERT_TRUE(kb.valid);
  EXPECT_FALSE(kb.usesReportIds);
  EXPECT_EQ(kb.lengths.input, 9);  // 8 bytes and the (zero) report ID byte
  EXPECT_EQ(kb.lengths.output, 2);
  EXPECT_EQ(kb.lengths.feature, 0);
  platform::DescriptorInfo mouse = platform::ParseReportDescriptor(kBootMouse.data(), kBootMouse.size());
  ASSERT_TRUE(mouse.valid);
  EXPECT_EQ(mouse.lengths.input, 4);
  EXPECT_EQ(mouse.lengths.output, 0);
}

TEST(ReportDescriptor, NumberedReportsTakeTheLongestOneAndPushPopAndLongItemsAreHonoured) {
  // The bridge's layout: data reports 1..63 carrying that many bytes both
  // ways, and 64-byte feature reports, with a Push/Pop pair and a long item.
  std::vector<uint8_t> d = {0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x08};
  for (uint8_t id = 1; id <= 63; ++id) {
    const uint8_t more[] = {0x85, id, 0x95, id, 0x09, 0x01, 0x81, 0x02, 0x09, 0x01, 0x91, 0x02};
    d.insert(d.end(), std::begin(more), std::end(more));
  }
  const uint8_t tail[] = {0xA4, 0x75, 0x10, 0x95, 0x40, 0xB4,              // pushed 16-bit sizes, popped again
                          0xFE, 0x02, 0x10, 0xAA, 0xBB,                    // a long item
                          0x85, 0x41, 0x95, 0x3F, 0x09, 0x01, 0xB1, 0x02,  // feature 0x41: 63 bytes
                          0xC0};
  d.insert(d.end(), std::begin(tail), std::end(tail));
  platform::DescriptorInfo info = platform::ParseReportDescriptor(d.data(), d.size());
  ASSERT_TRUE(info.valid);
  EXPECT_TRUE(info.usesReportIds);
  EXPECT_EQ(info.lengths.input, 64);
  EXPECT_EQ(info.lengths.output, 64);
  EXPECT_EQ(info.lengths.feature, 64);
}

TEST(ReportDescriptor, TruncatedDescriptorsAreRefused) {
  std::vector<uint8_t> cut(kBootKeyboard.begin(), kBootKeyboard.begin() + 8);  // whole items only
  cut.push_back(0x26);  // a two-byte item without its data
  EXPECT_FALSE(platform::ParseReportDescriptor(cut.data(), cut.size()).valid);
  const uint8_t popAlone[] = {0xB4};
  EXPECT_FALSE(platform::ParseReportDescriptor(popAlone, sizeof popAlone).valid);
}

// ---- fragment match and the walk of an interface set ---------------------------------------

TEST(DevicePath, FragmentMatchIgnoresCaseAndLimitsLengths) {
  const std::string path = "\\\\?\\hid#vid_fff1&pid_7c02#hidraw3#{4d1e55b2-f16f-11cf-88cb-001111000030}";
  EXPECT_TRUE(platform::PathMatchesFragment(path, "VID_FFF1&PID_7C02"));
  EXPECT_TRUE(platform::PathMatchesFragment(path, "Hidraw3"));
  EXPECT_FALSE(platform::PathMatchesFragment(path, "vid_fff1&pid_7c03"));
  EXPECT_FALSE(platform::PathMatchesFragment(path + std::string(200, 'x'), "vid_fff1"));  // 270 characters
  EXPECT_FALSE(platform::PathMatchesFragment(path, std::string(261, 'v')));
}

TEST(DevicePath, SearchTakesTheFirstMatchStopsAtTheEndAndOnAnEnumerationError) {
  std::vector<std::string> set = {"\\\\?\\hid#vid_046d&pid_c52b#hidraw0#{g}", "\\\\?\\hid#vid_fff1&pid_7c02#hidraw1#{g}",
                                  "\\\\?\\hid#vid_fff1&pid_7c02#hidraw2#{g}"};
  size_t calls = 0;
  auto walk = [&](size_t i, std::string* p) -> uint32_t {
    ++calls;
    if (i >= set.size()) return platform::kErrorNoMoreItems;
    *p = set[i];
    return 0;
  };
  char out[kDevicePathSize] = {};
  EXPECT_EQ(SearchDevicePath("VID_FFF1&PID_7C02", walk, out), 0u);
  EXPECT_EQ(std::string(out), set[1]);
  EXPECT_EQ(SearchDevicePath("vid_1234", walk, out), platform::kErrorNoMoreItems);

  // A failing member ends the search with its error instead of retrying it.
  calls = 0;
  auto failing = [&](size_t i, std::string* p) -> uint32_t {
    ++calls;
    if (i == 1) return platform::kErrorNotEnoughMemory;
    *p = set[i];
    return 0;
  };
  EXPECT_EQ(SearchDevicePath("vid_fff1", failing, out), platform::kErrorNotEnoughMemory);
  EXPECT_EQ(calls, 2u);
}

TEST(DevicePath, SimulatorDescriptionBecomesARecord) {
  const std::string json = R"({"name":"reader0","vendor_id":"FFF1","product_id":"7C02","input_report_length":64,
    "output_report_length":64,"feature_report_length":64,
    "interface_path":"\\\\?\\hid#vid_fff1&pid_7c02#sim&reader0&0000#{4d1e55b2-f16f-11cf-88cb-001111000030}",
    "hid_instance_id":"HID\\VID_FFF1&PID_7C02\\SIM&reader0&0000","usb_instance_id":"USB\\VID_FFF1&PID_7C02\\SIM0001",
    "usb_hardware_ids":["USB\\VID_FFF1&PID_7C02&REV_0100","USB\\VID_FFF1&PID_7C02"],
    "hid_socket":"reader0.hid","control_socket":"reader0.ctl","server_pid":1})";
  DeviceInterface d;
  std::string ctl;
  ASSERT_TRUE(platform::DescribeSimDevice(json, "/tmp/x", &d, &ctl));
  EXPECT_EQ(d.location, "/tmp/x/reader0.hid");
  EXPECT_EQ(ctl, "/tmp/x/reader0.ctl");
  EXPECT_EQ(d.lengths.input, 64);
  EXPECT_EQ(d.usbInstanceId, "USB\\VID_FFF1&PID_7C02\\SIM0001");
  EXPECT_TRUE(platform::PathMatchesFragment(d.path, "vid_FFF1&pid_7C02"));
  // A socket name that would leave the directory is not a description.
  EXPECT_FALSE(platform::DescribeSimDevice(
      R"({"interface_path":"p","hid_socket":"../x.hid","input_report_length":64,"output_report_length":64,"feature_report_length":64})",
      "/tmp/x", &d, &ctl));
  EXPECT_FALSE(platform::DescribeSimDevice("not json", "/tmp/x", &d, &ctl));
}

// ---- framing and the receive buffer ------------------------------------------------------------

TEST(HidFraming, CountedInputReportsMarkContinuationAndCountsAreCutAtTheReport) {
  uint8_t full[64] = {0x01, 63};
  InputData in = ParseInputReport(PortKindHidCounted, full, 64);
  EXPECT_TRUE(in.continued);
  EXPECT_EQ(in.count, 62u);
  uint8_t last[64] = {0x01, 5};
  in = ParseInputReport(PortKindHidCounted, last, 64);
  EXPECT_FALSE(in.continued);
  EXPECT_EQ(in.count, 5u);
  uint8_t liar[64] = {200};  // kind 0: a count beyond the report
  EXPECT_EQ(ParseInputReport(PortKindHid, liar, 64).count, 63u);
}

TEST(HidFraming, ReceiveBufferDropsWhatDoesNotFitAndDeliversInOrder) {
  ReceiveBuffer b;
  std::vector<uint8_t> data(4095);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7);
  EXPECT_EQ(b.Append(data.data(), data.size()), 4095u);
  const uint8_t more[3] = {1, 2, 3};
  EXPECT_EQ(b.Append(more, 3), 1u);
  std::vector<uint8_t> out(10);
  EXPECT_EQ(b.Take(out.data(), 10), 10u);
  EXPECT_TRUE(std::equal(out.begin(), out.end(), data.begin()));
  EXPECT_EQ(b.count(), 4086u);
}

}  // namespace
}  // namespace zq::comm

namespace zq::comm {
namespace {

TEST(DevicePath, ASerialNumberPicksItsBridgeFromTheRecordsTheBackendsMake) {
  // A real bridge with a serial number, the same model without one (its
  // instance ID ends in its port), and a simulated one.
  std::vector<platform::DeviceInterface> present(3);
  platform::NodeFacts withSerial = BridgeFacts();
  platform::NodeFacts without = BridgeFacts();
  without.serial = "";
  ASSERT_TRUE(platform::DescribeHidrawNode(withSerial, &present[0]));
  ASSERT_TRUE(platform::DescribeHidrawNode(without, &present[1]));
  std::string control;
  ASSERT_TRUE(platform::DescribeSimDevice(
      R"({"name":"r1","vendor_id":"FFF1","product_id":"7C02","input_report_length":64,"output_report_length":64,
          "feature_report_length":64,"interface_path":"\\\\?\\hid#vid_fff1&pid_7c02#sim&r1&0000#{4d1e55b2-f16f-11cf-88cb-001111000030}",
          "hid_instance_id":"HID\\VID_FFF1&PID_7C02\\SIM&r1&0000","usb_instance_id":"USB\\VID_FFF1&PID_7C02\\ZQB0002",
          "hid_socket":"r1.hid","control_socket":"r1.ctl","server_pid":1})",
      "/tmp", &present[2], &control));
  struct Case {
    std::string serial;
    int expected;  // index into present, -1 none
  };
  const Case cases[] = {
      {"", 0},           // unbound: the first matching bridge
      {"0092A1B4", 0},   // the real one's serial
      {"0092a1b4", 0},   // letter case aside
      {"ZQB0002", 2},    // the simulated one, behind a bridge that does not match
      {"zqb0002", 2},
      {"ZQB000", -1},    // a prefix is another serial number
      {"ZQB00022", -1},
      {"7C02", -1},      // a part of the IDs that is not the serial number
      {"1&2", 1},        // a bridge without a serial number goes by its port, as its instance ID ends
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.serial);
    int found = -1;
    for (size_t i = 0; i < present.size() && found < 0; ++i) {
      if (platform::PathMatchesFragment(present[i].path, "vid_FFF1&pid_7C02") && UsbSerialMatches(present[i].usbInstanceId, c.serial))
        found = static_cast<int>(i);
    }
    EXPECT_EQ(found, c.expected);
  }
}

}  // namespace
}  // namespace zq::comm
