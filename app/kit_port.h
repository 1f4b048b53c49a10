// Opening the port for a toolkit subcommand, the way stoker opens it: the
// same port argument and settings, with a clear message when it fails; the
// wire trace of --trace; ports named by their board (usb:...).
#pragma once

#include <string>

#include "serial/serial.h"

namespace CLI {
class App;
}

// Where a port argument points: a number n (COMn; "COMn" in any case is
// taken too), a device path (any argument containing '/'), or a board by
// its USB identity (usb:SERIAL, usb:VVVV:PPPP, either with #N).
struct KitPortName {
  int number = 0;
  std::string device;  // the device path when the argument names one
  std::string usb;     // the usb: name when the argument is one
};

// Parses a port argument. False with *error set for anything else.
bool kit_parse_port(const std::string& text, KitPortName* name, std::string* error);

// The settings string for a baud argument: "BAUD,8,N,1". False with *error
// set when BAUD is not a positive decimal number of at most 45 digits.
bool kit_settings(const std::string& baud, std::string* settings, std::string* error);

// Where the device scan looks: the system's device and sysfs directories.
// stoker-kit's --device-root and --sysfs-root (for tests on a fake tree)
// change them once, while the command line is read.
struct KitScanRoots {
  std::string dev = "/dev";
  std::string sys = "/sys";
};
const KitScanRoots& kit_scan_roots();
// Adds --device-root and --sysfs-root to stoker-kit's command line (hidden
// from the help: they serve tests).
void kit_add_scan_root_options(CLI::App* app);

// Finds the device of a usb: port name through the device scan of
// `stoker-kit ports`, in roots. False with *error saying why (no board
// matches, several do, a malformed name), followed by a line for each board
// present as `ports` prints it.
bool kit_resolve_usb_port(const std::string& text, const KitScanRoots& roots, std::string* device,
                          std::string* error);

// Creates the trace file at path and sets the trace on the port. False,
// after one line "<who>: ..." on standard error, when it can't be created.
bool kit_trace_start(SerialPort* port, const std::string& path, const char* who);
// Ends the port's trace, if it has one, and puts its file in place; a line
// on standard error when the file could not be written.
void kit_trace_end(SerialPort* port, const char* who);

// Opens the port named by portArg with "BAUD,8,N,1", with the wire trace
// in traceFile when that is not empty (created first: a trace that can't be
// created is refused before the port is touched). On failure prints one
// line on standard error, "<who>: <what failed>", ends the trace and
// returns false.
bool kit_open_port(SerialPort* port, const std::string& portArg, const std::string& baud,
                   const std::string& traceFile, const char* who);
// Closes a port opened by kit_open_port and ends its trace.
void kit_close_port(SerialPort* port, const char* who);

// Adds the PORT and BAUD arguments and the --trace option of a subcommand
// that opens a port.
void kit_add_port_arguments(CLI::App* sub, std::string* port, std::string* baud,
                            std::string* traceFile);
