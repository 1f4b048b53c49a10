// Fuzz target for port names as users type them: a COM number, a device
// path or a board's usb: name, picked among a fixed set of scanned boards;
// flash's list of several ports; and the USB identity in a Windows device
// instance id. The input is the text; nothing is opened, and the list's
// device scan looks at a directory that does not exist.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/kit_flash.h"
#include "app/kit_port.h"
#include "serial/usb_port.h"

namespace {

void check(bool condition) {
  if (!condition) std::abort();
}

std::vector<SerialDeviceInfo> boards() {
  std::vector<SerialDeviceInfo> all(4);
  const char* fields[4][4] = {{"/dev/ttyUSB0", "0403", "6001", "A1"},
                              {"/dev/ttyUSB1", "0403", "6001", ""},
                              {"/dev/ttyACM0", "2e8a", "000a", "E66141"},
                              {"/dev/ttyS0", "", "", ""}};
  for (size_t i = 0; i < all.size(); ++i) {
    all[i].path = fields[i][0];
    all[i].vendorId = fields[i][1];
    all[i].productId = fields[i][2];
    all[i].serial = fields[i][3];
  }
  return all;
}

void check_usb_name(const std::string& text) {
  UsbPortName name;
  std::string error;
  if (!usb_port_parse(text, &name, &error)) {
    check(!error.empty());
    return;
  }
  check(!name.serial.empty() || (name.vendorId <= 0xFFFF && name.productId <= 0xFFFF));
  check(name.index >= 0 && name.index <= 9999);
  const std::vector<SerialDeviceInfo> candidates = usb_port_candidates(boards());
  SerialDeviceInfo found;
  int matches = -1;
  const UsbPortMatch match = usb_port_pick(name, candidates, &found, &matches);
  check(matches >= 0 && matches <= static_cast<int>(candidates.size()));
  if (match == USB_PORT_FOUND) check(!found.vendorId.empty());
  if (match == USB_PORT_NONE) check(matches == 0);
  if (match == USB_PORT_SEVERAL) check(matches > 1 && name.index == 0);
  if (match == USB_PORT_TOO_FEW) check(name.index > matches);
}

// A list the command takes names boards, each under a label, none twice.
void check_port_list(const std::string& text) {
  KitScanRoots roots;
  roots.dev = "/nonexistent/stoker-fuzz/dev";
  roots.sys = "/nonexistent/stoker-fuzz/sys";
  std::vector<GangBoard> boards;
  std::string error;
  if (!kit_gang_boards(text, roots, &boards, &error)) {
    check(!error.empty());
    return;
  }
  check(!boards.empty());
  std::vector<std::string> identities;
  for (const GangBoard& board : boards) {
    check(!board.label.empty() && !board.device.empty());
    identities.push_back(serial_device_identity(board.device));
  }
  for (size_t i = 0; i < identities.size(); ++i) {
    for (size_t j = i + 1; j < identities.size(); ++j) check(identities[i] != identities[j]);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  KitPortName port;
  std::string error;
  if (kit_parse_port(text, &port, &error)) {
    const int kinds = (port.number > 0) + !port.device.empty() + !port.usb.empty();
    check(kinds == 1);
  } else {
    check(!error.empty());
  }
  if (usb_port_form(text)) check_usb_name(text);
  if (kit_gang_form(text)) check_port_list(text);
  SerialDeviceInfo device;
  if (usb_ids_from_instance_id(text, &device)) {
    check(device.vendorId.size() == 4 && device.productId.size() == 4);
    check(device.serial.size() < text.size());
  }
  return 0;
}
