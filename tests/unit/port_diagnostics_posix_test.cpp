// The port diagnostics' POSIX parts on pseudo-terminals and a made-up device
// tree: the exclusive probe, a port's settings read back from termios, and
// the device scan with its sysfs details.
#ifndef _WIN32

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "common/common.h"
#include "serial/devices.h"
#include "serial/port_settings.h"
#include "serial/serial.h"
#include "tests/support/pty.h"

namespace {

namespace fs = std::filesystem;

void no_delay(int) {}

class PosixDiagnostics : public testing::Test {
 protected:
  void SetUp() override {
    previous_ = set_delay_hook(no_delay);
    ASSERT_TRUE(open_pty(&master_, &slave_));
    char dir[] = "/tmp/stoker-devices-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    root_ = dir;
  }
  void TearDown() override {
    serial_close(&port_);
    close(master_);
    set_delay_hook(previous_);
    std::error_code ignored;
    fs::remove_all(root_, ignored);
  }

  void put(const std::string& path, const std::string& text) {
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream(path) << text;
  }
  void link(const std::string& target, const std::string& path) {
    fs::create_directories(fs::path(path).parent_path());
    fs::create_symlink(target, path);
  }

  DelayHook previous_ = nullptr;
  int master_ = -1;
  std::string slave_;
  std::string root_;
  SerialPort port_;
};

TEST_F(PosixDiagnostics, ProbeOpensOnlyAFreeExistingTerminal) {
  EXPECT_EQ(serial_probe_device(slave_.c_str()), 0);
  EXPECT_EQ(serial_probe_device(slave_.c_str()), 0) << "the probe let it go again";
  ASSERT_EQ(serial_open_device(&port_, slave_.c_str(), "115200,8,N,1"), 0);
  EXPECT_EQ(serial_probe_device(slave_.c_str()), EBUSY) << "our own open port is not free";
  serial_close(&port_);
  EXPECT_EQ(serial_probe_device(slave_.c_str()), 0);
  EXPECT_EQ(serial_probe_device((root_ + "/none").c_str()), ENOENT);
  put(root_ + "/file", "x");
  EXPECT_EQ(serial_probe_device((root_ + "/file").c_str()), ENOTTY);
}

TEST_F(PosixDiagnostics, SettingsReadBackWhatTheOpenApplied) {
  ASSERT_EQ(serial_open_device(&port_, slave_.c_str(), "9600,7,E,2"), 0);
  PortSettings s;
  serial_read_port_settings(port_.handle, &s);
  ASSERT_TRUE(s.stateRead);
  EXPECT_EQ(s.state[PS_BAUD].value, 9600);
  EXPECT_EQ(s.state[PS_BAUD].note, nullptr);
  // A pseudo-terminal keeps 8 bits without parity, whatever is asked.
  EXPECT_EQ(s.state[PS_BYTE_SIZE].value, 8);
  EXPECT_EQ(s.state[PS_PARITY].value, 0);
  EXPECT_EQ(s.state[PS_STOP_BITS].value, 2);
  EXPECT_EQ(s.state[PS_CTS_FLOW].value, 0);
  EXPECT_EQ(s.state[PS_OUT_X].value, 0);
  EXPECT_EQ(s.state[PS_IN_X].value, 0);
  EXPECT_EQ(s.state[PS_PARITY_CHECK].value, 0);
  // A pseudo-terminal has no modem lines to report DTR and RTS from.
  EXPECT_STREQ(s.state[PS_DTR_CONTROL].note, "not reported by the device");
  EXPECT_STREQ(s.state[PS_RTS_CONTROL].note, "not reported by the device");
  for (int item :
       {PS_LENGTH, PS_BINARY, PS_DSR_SENSITIVITY, PS_DUMMY2, PS_XON_LIM, PS_EVT_CHAR, PS_RESERVED1})
    EXPECT_STREQ(s.state[item].note, "no POSIX equivalent") << item;
  ASSERT_TRUE(s.timeoutsRead);
  EXPECT_EQ(s.timeouts[PT_READ_INTERVAL].value, 0);
  EXPECT_EQ(s.timeouts[PT_READ_MULTIPLIER].value, 0);
  EXPECT_EQ(s.timeouts[PT_READ_CONSTANT].value, 2);
  EXPECT_EQ(s.timeouts[PT_WRITE_MULTIPLIER].value, 0);
  EXPECT_EQ(s.timeouts[PT_WRITE_CONSTANT].value, 0);

  ASSERT_EQ(serial_configure(&port_, "250000,8,N,1"), 0);
  serial_set_cts_flow(&port_, 1);
  serial_read_port_settings(port_.handle, &s);
  EXPECT_EQ(s.state[PS_BAUD].value, 250000) << "a rate outside the table";
  EXPECT_EQ(s.state[PS_STOP_BITS].value, 0);
  EXPECT_EQ(s.state[PS_CTS_FLOW].value, 1);
#ifdef __linux__
  EXPECT_EQ(s.state[PS_RTS_CONTROL].value, 2) << "one flag for both directions";
#endif
}

TEST_F(PosixDiagnostics, SettingsOfSomethingElseCantBeRead) {
  PortSettings s;
  serial_read_port_settings(kInvalidHandle, &s);
  EXPECT_FALSE(s.stateRead);
  const int file = open("/dev/null", O_RDONLY);
  serial_read_port_settings(file, &s);
  close(file);
  EXPECT_FALSE(s.stateRead);
  EXPECT_FALSE(s.timeoutsRead);
}

TEST_F(PosixDiagnostics, ScanListsTheSerialDevicesWithTheirUsbDetails) {
  const std::string dev = root_ + "/dev";
  const std::string sys = root_ + "/sys";
  // A USB adapter (a plain file: the probe refuses it as no terminal), two
  // more adapters for the order, a modem on a real terminal, built-in
  // ports with and without a UART, and a by-id name.
  put(dev + "/ttyUSB0", "");
  put(dev + "/ttyUSB10", "");
  put(dev + "/ttyUSB2", "");
  link(slave_, dev + "/ttyACM0");
  link(slave_, dev + "/ttyS0");
  link(root_ + "/gone", dev + "/ttyS1");  // no UART: left out
  put(dev + "/ttyX0", "");                // not a serial name
  link("../../ttyUSB0", dev + "/serial/by-id/usb-Maker_Board_42-if00-port0");
  const std::string usb = sys + "/devices/pci0/usb1/1-1";
  put(usb + "/idVendor", "0403\n");
  put(usb + "/idProduct", "6001\n");
  put(usb + "/manufacturer", "Maker\n");
  put(usb + "/product", "Board UART\n");
  put(usb + "/serial", "42\n");
  put(usb + "/1-1:1.0/ttyUSB0/uevent", "");
  link(usb + "/1-1:1.0/ttyUSB0", sys + "/class/tty/ttyUSB0/device");

  std::vector<SerialDeviceInfo> found = serial_scan_devices(dev.c_str(), sys.c_str());
  std::vector<std::string> paths;
  for (const SerialDeviceInfo& d : found) paths.push_back(d.path);
  const std::string byId = dev + "/serial/by-id/usb-Maker_Board_42-if00-port0";
  EXPECT_EQ(paths, (std::vector<std::string>{dev + "/ttyUSB0", dev + "/ttyUSB2", dev + "/ttyUSB10",
                                             dev + "/ttyACM0", dev + "/ttyS0", byId}));
  ASSERT_EQ(found.size(), 6u);
  const SerialDeviceInfo& adapter = found[0];
  EXPECT_EQ(adapter.vendorId, "0403");
  EXPECT_EQ(adapter.productId, "6001");
  EXPECT_EQ(adapter.manufacturer, "Maker");
  EXPECT_EQ(adapter.product, "Board UART");
  EXPECT_EQ(adapter.serial, "42");
  EXPECT_EQ(adapter.openError, ENOTTY);
  EXPECT_EQ(found[1].vendorId, "") << "no sysfs entry, no details";
  EXPECT_EQ(found[3].openError, 0);
  EXPECT_EQ(serial_device_state(found[3].openError), "free");
  const SerialDeviceInfo& alias = found[5];
  EXPECT_EQ(alias.target, fs::canonical(dev + "/ttyUSB0").string());
  EXPECT_EQ(alias.product, "Board UART") << "a by-id name has its device's details";

  ASSERT_EQ(serial_open_device(&port_, slave_.c_str(), "115200,8,N,1"), 0);
  found = serial_scan_devices(dev.c_str(), sys.c_str());
  ASSERT_EQ(found.size(), 6u);
  EXPECT_EQ(serial_device_state(found[3].openError), "busy");
  EXPECT_EQ(serial_device_state(found[4].openError), "busy");
}

}  // namespace

#endif
