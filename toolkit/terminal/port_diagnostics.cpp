// list_ports and dump_port_settings.
#include <cstdio>
#include <cstring>

#include "common/console.h"
#include "serial/port_settings.h"
#include "serial/serial.h"
#include "toolkit/terminal/terminal.h"

namespace {

int probe_port(int n) {
  return serial_probe_device(serial_device_name(n).c_str());
}

PortProbe g_probe = probe_port;

// The names in the settings' order; each line prints as "\n<name> <value>".
constexpr const char* kStateNames[PS_STATE_COUNT] = {
    "Length",       "Baud",          "fBinary",         "fParity",
    "fOutxCtsFlow", "fDtrControl",   "fDsrSensitivity", "fTXContinueOnXoff",
    "fOutX",        "fInX",          "fErrorChar",      "fNull",
    "fRtsControl",  "fAbortOnError", "fDummy2",         "wReserved",
    "XonLim",       "XoffLim",       "ByteSize",        "Parity",
    "StopBits",     "XonChar",       "XoffChar",        "ErrorChar",
    "EofChar",      "EvtChar",       "wReserved1",
};

constexpr const char* kTimeoutNames[PT_COUNT] = {
    "ReadIntervalTimeout",         "ReadTotalTimeoutMultiplier", "ReadTotalTimeoutConstant",
    "WriteTotalTimeoutMultiplier", "WriteTotalTimeoutConstant",
};

void print_setting(const char* name, const PortSetting& setting) {
  if (setting.note != nullptr) {
    console_print("\n%s (%s)", name, setting.note);
  } else {
    console_print("\n%s %d", name, static_cast<int>(setting.value));
  }
}

}  // namespace

PortProbe set_port_probe(PortProbe probe) {
  const PortProbe previous = g_probe;
  g_probe = probe != nullptr ? probe : probe_port;
  return previous;
}

int list_ports(char* out, size_t capacity, int limit) {
  if (capacity > 0) out[0] = '\0';
  size_t length = 0;
  bool full = capacity == 0;
  int count = 0;
  for (int n = 1; n < limit; ++n) {
    if (g_probe(n) != 0) continue;
    ++count;
    if (full) continue;
    char entry[16];
    const size_t size = static_cast<size_t>(std::snprintf(entry, sizeof entry, "%d,", n));
    // Entries only grow: once one doesn't fit, none after it does.
    if (length + size + 1 > capacity) {
      full = true;
      continue;
    }
    std::memcpy(out + length, entry, size + 1);
    length += size;
  }
  return count;
}

void print_port_settings(const PortSettings& settings) {
  if (!settings.stateRead) {
    console_print("\ncant access DCB");
    return;
  }
  for (int i = 0; i < PS_STATE_COUNT; ++i) print_setting(kStateNames[i], settings.state[i]);
  if (!settings.timeoutsRead) {
    console_print("\ncant access COMMTIMEOUTS");
    return;
  }
  for (int i = 0; i < PT_COUNT; ++i) print_setting(kTimeoutNames[i], settings.timeouts[i]);
}

void dump_port_settings(intptr_t handle) {
  PortSettings settings;
  serial_read_port_settings(handle, &settings);
  print_port_settings(settings);
}
