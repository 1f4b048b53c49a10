// Ports named by the board on them: "usb:SERIAL" (the USB serial number),
// "usb:VVVV:PPPP" (vendor and product id, hex) and either with "#N" for the
// N-th of several, counted from 1 in the order of the device scan.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "serial/devices.h"

constexpr std::string_view kUsbPortPrefix = "usb:";

struct UsbPortName {
  std::string serial;     // empty when the name gives the ids
  unsigned vendorId = 0;  // with productId, when serial is empty
  unsigned productId = 0;
  int index = 0;  // the N of "#N"; 0 when none was given
};

// True when text begins with "usb:" (any case): a port named by its board.
bool usb_port_form(std::string_view text);

// Parses a "usb:..." port name. False with *error saying what is wrong.
bool usb_port_parse(std::string_view text, UsbPortName* name, std::string* error);

// The USB serial devices of a scan that a "usb:" name can pick: each device
// once (a /dev/serial/by-id name of a device listed under its own name is
// left out), in the scan's order.
std::vector<SerialDeviceInfo> usb_port_candidates(const std::vector<SerialDeviceInfo>& devices);

enum UsbPortMatch {
  USB_PORT_FOUND = 0,
  USB_PORT_NONE = 1,     // no board matches
  USB_PORT_SEVERAL = 2,  // several match and the name has no #N
  USB_PORT_TOO_FEW = 3,  // #N beyond the boards that match
};

// Picks the board the name means among the candidates: USB_PORT_FOUND with
// *found set, or why not. *matches is how many candidates matched.
UsbPortMatch usb_port_pick(const UsbPortName& name, const std::vector<SerialDeviceInfo>& candidates,
                           SerialDeviceInfo* found, int* matches);

// Fills vendorId, productId and serial from a Windows device instance id:
// "USB\VID_0403&PID_6001\A50285BI" (a serial made up by Windows, with '&'
// in it, is none), "FTDIBUS\VID_0403+PID_6001+A50285BIA\0000" (the
// driver's letter for the port follows the serial). False when the id names
// no USB ids.
bool usb_ids_from_instance_id(std::string_view id, SerialDeviceInfo* device);
