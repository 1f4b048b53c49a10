// stoker-kit ports: the port numbers that open, and every serial device.
#pragma once

#include <string>

#include "serial/devices.h"

// One line (without its newline) for a device: its path (and where a link
// points), free or busy, and what the system knows of the USB device.
std::string kit_device_line(const SerialDeviceInfo& device);
