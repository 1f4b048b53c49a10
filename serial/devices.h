// The serial devices present on the machine, with what the system knows of
// each, for a user looking for the board's port.
#pragma once

#include <string>
#include <vector>

struct SerialDeviceInfo {
  std::string path;    // as found: /dev/ttyUSB0, /dev/serial/by-id/usb-...
  std::string target;  // the device a link such as a by-id name points at
  // From the USB device behind the port (Linux sysfs, Windows SetupAPI);
  // empty when unknown.
  std::string vendorId;
  std::string productId;
  std::string manufacturer;
  std::string product;
  std::string serial;
  // 0 when it opened exclusively (free), else the OS error of that open.
  int openError = 0;
};

// Every serial device under devRoot (the system's device directory: "/dev")
// in a stable order: USB serial adapters, USB modems (CDC ACM), the built-in
// ports that answer, the by-id names, and on macOS the call-up devices.
// sysRoot ("/sys") is where Linux describes the devices. Each is probed with
// the exclusive open of serial_open. On Windows the roots are not used: the
// COM ports the system names, with the USB details of SetupAPI's devices.
// With probe false nothing is opened (every openError is 0): for the
// details of devices that are about to be opened anyway.
std::vector<SerialDeviceInfo> serial_scan_devices(const char* devRoot, const char* sysRoot,
                                                  bool probe = true);

// The path that opens a scanned device with serial_open_device: its path on
// POSIX, "//./COMn" for Windows' COMn.
std::string serial_device_open_path(const SerialDeviceInfo& device);

// One word or two for an openError: "free", "busy", "no permission", or the
// system's text of the error.
std::string serial_device_state(int openError);
