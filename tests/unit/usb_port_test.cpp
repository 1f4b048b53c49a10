// Ports named by their board: the usb: names, which scanned devices they
// may pick and which one they pick, and the USB identity in a Windows
// device instance id.
#include "serial/usb_port.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct ParseCase {
  const char* text;
  bool ok;
  const char* serial;
  unsigned vendor;
  unsigned product;
  int index;
};

TEST(UsbPortName, Parse) {
  const ParseCase cases[] = {
      {"usb:A50285BI", true, "A50285BI", 0, 0, 0},
      {"USB:A50285BI", true, "A50285BI", 0, 0, 0},
      {"usb:0403:6001", true, "", 0x0403, 0x6001, 0},
      {"usb:403:6001", true, "", 0x0403, 0x6001, 0},
      {"usb:2E8A:000a#2", true, "", 0x2E8A, 0x000A, 2},
      {"usb:A50285BI#3", true, "A50285BI", 0, 0, 3},
      // Not two hex ids of up to four digits: a serial number.
      {"usb:04030:6001", true, "04030:6001", 0, 0, 0},
      {"usb:0403:60g1", true, "0403:60g1", 0, 0, 0},
      {"usb:0403:", true, "0403:", 0, 0, 0},
      // Refused.
      {"usb:", false, "", 0, 0, 0},
      {"usb:#2", false, "", 0, 0, 0},
      {"usb:0403:6001#", false, "", 0, 0, 0},
      {"usb:0403:6001#0", false, "", 0, 0, 0},
      {"usb:0403:6001#02", false, "", 0, 0, 0},
      {"usb:0403:6001#x", false, "", 0, 0, 0},
      {"usb:0403:6001#10000", false, "", 0, 0, 0},
      {"us:0403:6001", false, "", 0, 0, 0},
      {"/dev/ttyUSB0", false, "", 0, 0, 0},
  };
  for (const ParseCase& c : cases) {
    UsbPortName name;
    std::string error;
    ASSERT_EQ(usb_port_parse(c.text, &name, &error), c.ok) << c.text << ": " << error;
    if (!c.ok) {
      EXPECT_FALSE(error.empty()) << c.text;
      continue;
    }
    EXPECT_EQ(name.serial, c.serial) << c.text;
    EXPECT_EQ(name.vendorId, c.vendor) << c.text;
    EXPECT_EQ(name.productId, c.product) << c.text;
    EXPECT_EQ(name.index, c.index) << c.text;
  }
}

SerialDeviceInfo device(const std::string& path, const std::string& target, const char* vendor,
                        const char* product, const char* serial) {
  SerialDeviceInfo d;
  d.path = path;
  d.target = target;
  d.vendorId = vendor;
  d.productId = product;
  d.serial = serial;
  return d;
}

// Three adapters of one kind (two without a serial number), a modem, a
// built-in port and a by-id name of the first adapter, as a Linux scan
// lists them.
std::vector<SerialDeviceInfo> scanned() {
  return {device("/dev/ttyUSB0", "", "0403", "6001", "A1"),
          device("/dev/ttyUSB1", "", "0403", "6001", ""),
          device("/dev/ttyUSB2", "", "0403", "6001", ""),
          device("/dev/ttyACM0", "", "2e8a", "000a", "E66141"),
          device("/dev/ttyS0", "", "", "", ""),
          device("/dev/serial/by-id/usb-FTDI_A1-if00-port0", "/dev/ttyUSB0", "0403", "6001", "A1")};
}

TEST(UsbPortName, CandidatesAreTheUsbDevicesEachOnce) {
  std::vector<std::string> paths;
  for (const SerialDeviceInfo& d : usb_port_candidates(scanned())) paths.push_back(d.path);
  EXPECT_EQ(paths, (std::vector<std::string>{"/dev/ttyUSB0", "/dev/ttyUSB1", "/dev/ttyUSB2",
                                             "/dev/ttyACM0"}));
  // A by-id name whose device is not listed itself stays.
  std::vector<SerialDeviceInfo> onlyLink = {scanned()[5]};
  EXPECT_EQ(usb_port_candidates(onlyLink).size(), 1u);
}

struct PickCase {
  const char* text;
  UsbPortMatch match;
  int matches;
  const char* path;  // the pick when found
};

TEST(UsbPortName, Pick) {
  const std::vector<SerialDeviceInfo> candidates = usb_port_candidates(scanned());
  const PickCase cases[] = {
      {"usb:A1", USB_PORT_FOUND, 1, "/dev/ttyUSB0"},
      {"usb:a1", USB_PORT_FOUND, 1, "/dev/ttyUSB0"},  // Windows upper-cases serials
      {"usb:e66141", USB_PORT_FOUND, 1, "/dev/ttyACM0"},
      {"usb:2E8A:A", USB_PORT_FOUND, 1, "/dev/ttyACM0"},
      {"usb:0403:6001", USB_PORT_SEVERAL, 3, ""},
      {"usb:0403:6001#1", USB_PORT_FOUND, 3, "/dev/ttyUSB0"},
      {"usb:0403:6001#3", USB_PORT_FOUND, 3, "/dev/ttyUSB2"},
      {"usb:0403:6001#4", USB_PORT_TOO_FEW, 3, ""},
      {"usb:2e8a:000a#2", USB_PORT_TOO_FEW, 1, ""},
      {"usb:0403:6010", USB_PORT_NONE, 0, ""},
      {"usb:A2", USB_PORT_NONE, 0, ""},
  };
  for (const PickCase& c : cases) {
    UsbPortName name;
    std::string error;
    ASSERT_TRUE(usb_port_parse(c.text, &name, &error)) << c.text;
    SerialDeviceInfo found;
    int matches = -1;
    EXPECT_EQ(usb_port_pick(name, candidates, &found, &matches), c.match) << c.text;
    EXPECT_EQ(matches, c.matches) << c.text;
    if (c.match == USB_PORT_FOUND) {
      EXPECT_EQ(found.path, c.path) << c.text;
    }
  }
}

struct InstanceCase {
  const char* id;
  bool usb;
  const char* vendor;
  const char* product;
  const char* serial;
};

TEST(UsbPortName, WindowsInstanceIds) {
  const InstanceCase cases[] = {
      {"USB\\VID_0403&PID_6001\\A50285BI", true, "0403", "6001", "A50285BI"},
      {"FTDIBUS\\VID_0403+PID_6001+A50285BIA\\0000", true, "0403", "6001", "A50285BI"},
      // Windows makes up an id with '&' for a device without a serial.
      {"USB\\VID_1A86&PID_7523\\5&2B6C0A7E&0&2", true, "1a86", "7523", ""},
      {"USB\\VID_2E8A&PID_000A&MI_00\\6&3A5E8F1&0&0000", true, "2e8a", "000a", ""},
      {"ACPI\\PNP0501\\0", false, "", "", ""},
      {"USB\\VID_04&PID_6001\\X", false, "", "", ""},
      {"", false, "", "", ""},
  };
  for (const InstanceCase& c : cases) {
    SerialDeviceInfo d;
    EXPECT_EQ(usb_ids_from_instance_id(c.id, &d), c.usb) << c.id;
    EXPECT_EQ(d.vendorId, c.vendor) << c.id;
    EXPECT_EQ(d.productId, c.product) << c.id;
    EXPECT_EQ(d.serial, c.serial) << c.id;
  }
}

}  // namespace
