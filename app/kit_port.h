// Opening the port for a toolkit subcommand, the way stoker opens it: the
// same port argument and settings, with a clear message when it fails.
#pragma once

#include <string>

#include "serial/serial.h"

namespace CLI {
class App;
}

// Where a port argument points: a number n (COMn; "COMn" in any case is
// taken too), or a device path (any argument containing '/').
struct KitPortName {
  int number = 0;
  std::string device;  // empty when the argument is a number
};

// Parses a port argument. False with *error set for anything else.
bool kit_parse_port(const std::string& text, KitPortName* name, std::string* error);

// The settings string for a baud argument: "BAUD,8,N,1". False with *error
// set when BAUD is not a positive decimal number of at most 45 digits.
bool kit_settings(const std::string& baud, std::string* settings, std::string* error);

// Opens the port named by portArg with "BAUD,8,N,1". On failure prints one
// line on standard error, "<who>: <what failed>", and returns false.
bool kit_open_port(SerialPort* port, const std::string& portArg, const std::string& baud,
                   const char* who);

// Adds the PORT and BAUD arguments of a subcommand that opens a port.
void kit_add_port_arguments(CLI::App* sub, std::string* port, std::string* baud);
