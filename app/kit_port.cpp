#include "app/kit_port.h"

#include <CLI/CLI.hpp>
#include <cctype>
#include <climits>
#include <cstdio>

namespace {

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

}  // namespace

bool kit_parse_port(const std::string& text, KitPortName* name, std::string* error) {
  *name = KitPortName{};
  if (text.find('/') != std::string::npos) {
    name->device = text;
    return true;
  }
  const std::string digits = starts_with_com(text) ? text.substr(3) : text;
  if (whole_number(digits, &name->number) && name->number > 0) return true;
  *error = "not a port: '" + text + "' (a COM port number such as 3, or a device path such as " +
           "/dev/ttyUSB0)";
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
                   const char* who) {
  KitPortName name;
  std::string settings;
  std::string error;
  if (!kit_parse_port(portArg, &name, &error) || !kit_settings(baud, &settings, &error)) {
    std::fprintf(stderr, "%s: %s\n", who, error.c_str());
    return false;
  }
  const bool byNumber = name.device.empty();
  const int result = byNumber ? serial_open(port, name.number, settings.c_str())
                              : serial_open_device(port, name.device.c_str(), settings.c_str());
  if (result == 0) return true;
  const std::string path = byNumber ? serial_device_name(name.number) : name.device;
  std::fprintf(stderr, "%s: cannot open %s with %s: %s\n", who, path.c_str(), settings.c_str(),
               serial_open_failure_text(port, settings.c_str()).c_str());
  return false;
}

void kit_add_port_arguments(CLI::App* sub, std::string* port, std::string* baud) {
  sub->add_option("PORT", *port, "Port number (3 for COM3) or device path")->required();
  sub->add_option("BAUD", *baud, "Baud rate, for example 115200")->required();
}
