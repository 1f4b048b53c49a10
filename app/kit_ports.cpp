// stoker-kit ports
#include "app/kit_ports.h"

#include <CLI/CLI.hpp>
#include <cstdio>
#include <vector>

#include "app/kit.h"
#include "app/kit_port.h"
#include "serial/serial.h"
#include "toolkit/terminal/terminal.h"

namespace {

// Room for every number below kPortListLimit ("999," takes four).
constexpr size_t kFullListSize = 4 * kPortListLimit + 1;

int kit_ports() {
  std::vector<char> list(kFullListSize);
  const int count = list_ports(list.data(), list.size(), kPortListLimit);
  std::printf("Port numbers that open (1 to %d; 1 is %s): %s\n", kPortListLimit - 1,
              serial_device_name(1).c_str(), count > 0 ? list.data() : "none");
  const std::vector<SerialDeviceInfo> devices =
      serial_scan_devices(kit_scan_roots().dev.c_str(), kit_scan_roots().sys.c_str());
  if (devices.empty()) std::printf("No serial devices found.\n");
  for (const SerialDeviceInfo& device : devices)
    std::printf("%s\n", kit_device_line(device).c_str());
  return 0;
}

}  // namespace

std::string kit_device_line(const SerialDeviceInfo& device) {
  std::string line = device.path;
  if (!device.target.empty()) line += " -> " + device.target;
  line += "  " + serial_device_state(device.openError);
  if (!device.vendorId.empty()) line += "  USB " + device.vendorId + ":" + device.productId;
  for (const std::string* text : {&device.manufacturer, &device.product}) {
    if (!text->empty()) line += "  " + *text;
  }
  if (!device.serial.empty()) line += "  serial " + device.serial;
  return line;
}

void kit_register_ports(CLI::App* app, int* status) {
  CLI::App* sub = app->add_subcommand(
      "ports", "List the port numbers that open, then every serial device with its USB details");
  sub->callback([status] { *status = kit_ports(); });
}
