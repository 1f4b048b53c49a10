#include "app/kit_port.h"

#include <CLI/CLI.hpp>
#include <cctype>
#include <climits>
#include <cstdio>
#include <vector>

#include "app/kit_ports.h"
#include "serial/devices.h"
#include "serial/trace.h"
#include "serial/usb_port.h"

namespace {

// Set while the command line is read, then only read.
KitScanRoots g_scanRoots;

// The decimal number of text (digits only), at most INT_MAX; false otherwise.
bool whole_number(const std::string& text, int* value) {
  if (text.empty() || text.size() > 9) return false;
  int n = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    n = n * 10 + (c - '0');
  }
  *value = n;
  return true;
}

bool starts_with_com(const std::string& text) {
  return text.size() > 3 && std::toupper(static_cast<unsigned char>(text[0])) == 'C' &&
         std::toupper(static_cast<unsigned char>(text[1])) == 'O' &&
         std::toupper(static_cast<unsigned char>(text[2])) == 'M';
}

// The boards a usb: name may pick, one line each as `ports` prints them.
std::string boards_present(const std::vector<SerialDeviceInfo>& candidates) {
  if (candidates.empty())
    return "; no USB serial boards are present (stoker-kit ports lists the serial devices)";
  std::string text = "; boards present:";
  for (const SerialDeviceInfo& board : candidates) text += "\n  " + kit_device_line(board);
  return text;
}

std::string why_not_picked(const std::string& text, UsbPortMatch match, int matches) {
  switch (match) {
    case USB_PORT_SEVERAL:
      return text + " matches " + std::to_string(matches) + " boards: name one as " + text +
             "#N, N from 1 to " + std::to_string(matches);
    case USB_PORT_TOO_FEW:
      return text + ": only " + std::to_string(matches) +
             (matches == 1 ? " board matches" : " boards match");
    default:
      return "no USB serial board matches " + text;
  }
}

}  // namespace

const KitScanRoots& kit_scan_roots() {
  return g_scanRoots;
}

void kit_add_scan_root_options(CLI::App* app) {
  app->add_option("--device-root", g_scanRoots.dev, "Device directory the scan reads")->group("");
  app->add_option("--sysfs-root", g_scanRoots.sys, "sysfs directory the scan reads")->group("");
}

bool kit_resolve_usb_port(const std::string& text, const KitScanRoots& roots, std::string* device,
                          std::string* error) {
  UsbPortName name;
  if (!usb_port_parse(text, &name, error)) return false;
  const std::vector<SerialDeviceInfo> candidates =
      usb_port_candidates(serial_scan_devices(roots.dev.c_str(), roots.sys.c_str()));
  SerialDeviceInfo found;
  int matches = 0;
  const UsbPortMatch match = usb_port_pick(name, candidates, &found, &matches);
  if (match == USB_PORT_FOUND) {
    *device = serial_device_open_path(found);
    return true;
  }
  *error = why_not_picked(text, match, matches) + boards_present(candidates);
  return false;
}

bool kit_trace_start(SerialPort* port, const std::string& path, const char* who) {
  if (path.empty()) return true;
  std::string error;
  SerialTracePtr trace = serial_trace_create(path, &error);
  if (!trace) {
    std::fprintf(stderr, "%s: no trace: %s\n", who, error.c_str());
    return false;
  }
  port->trace = trace.release();  // the port holds it until kit_trace_end
  return true;
}

void kit_trace_end(SerialPort* port, const char* who) {
  if (port->trace == nullptr) return;
  SerialTracePtr trace(port->trace);
  port->trace = nullptr;
  std::string error;
  if (!serial_trace_finish(std::move(trace), &error))
    std::fprintf(stderr, "%s: the trace is incomplete: %s\n", who, error.c_str());
}

bool kit_parse_port(const std::string& text, KitPortName* name, std::string* error) {
  *name = KitPortName{};
  if (text.find('/') != std::string::npos) {
    name->device = text;
    return true;
  }
  if (usb_port_form(text)) {
    UsbPortName usb;
    if (!usb_port_parse(text, &usb, error)) return false;
    name->usb = text;
    return true;
  }
  const std::string digits = starts_with_com(text) ? text.substr(3) : text;
  if (whole_number(digits, &name->number) && name->number > 0) return true;
  *error = "not a port: '" + text + "' (a COM port number such as 3, a device path such as " +
           "/dev/ttyUSB0, or a board as usb:SERIAL or usb:VVVV:PPPP)";
  return false;
}

bool kit_settings(const std::string& baud, std::string* settings, std::string* error) {
  bool digits = !baud.empty() && baud.size() <= kMaxBaudLength &&
                baud.find_first_not_of('0') != std::string::npos;
  for (char c : baud) digits = digits && c >= '0' && c <= '9';
  if (!digits) {
    *error = "not a baud rate: '" + baud + "' (a number such as 115200)";
    return false;
  }
  *settings = baud + ",8,N,1";
  return true;
}

bool kit_open_port(SerialPort* port, const std::string& portArg, const std::string& baud,
                   const std::string& traceFile, const char* who) {
  KitPortName name;
  std::string settings;
  std::string error;
  if (!kit_parse_port(portArg, &name, &error) || !kit_settings(baud, &settings, &error)) {
    std::fprintf(stderr, "%s: %s\n", who, error.c_str());
    return false;
  }
  if (!kit_trace_start(port, traceFile, who)) return false;
  if (!name.usb.empty() &&
      !kit_resolve_usb_port(name.usb, kit_scan_roots(), &name.device, &error)) {
    std::fprintf(stderr, "%s: %s\n", who, error.c_str());
    kit_trace_end(port, who);
    return false;
  }
  const bool byNumber = name.device.empty();
  const int result = byNumber ? serial_open(port, name.number, settings.c_str())
                              : serial_open_device(port, name.device.c_str(), settings.c_str());
  if (result == 0) return true;
  const std::string path = byNumber ? serial_device_name(name.number) : name.device;
  std::fprintf(stderr, "%s: cannot open %s with %s: %s\n", who, path.c_str(), settings.c_str(),
               serial_open_failure_text(port, settings.c_str()).c_str());
  kit_trace_end(port, who);
  return false;
}

void kit_close_port(SerialPort* port, const char* who) {
  serial_close(port);
  kit_trace_end(port, who);
}

void kit_add_port_arguments(CLI::App* sub, std::string* port, std::string* baud,
                            std::string* traceFile) {
  sub->add_option("PORT", *port,
                  "Port number (3 for COM3), device path, or board: usb:SERIAL, usb:VVVV:PPPP, "
                  "usb:VVVV:PPPP#N")
      ->required();
  sub->add_option("BAUD", *baud, "Baud rate, for example 115200")->required();
  sub->add_option("--trace", *traceFile,
                  "Record every operation on the port, with its bytes and times, in this file")
      ->type_name("FILE");
}
