// list_ports, dump_port_settings and the one-line summary of the settings.
#include <cstdio>
#include <cstring>
#include <string>

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

// The DCB's values of the settings the summary shows.
constexpr int32_t kDcbHandshake = 2;  // DTR_CONTROL_ and RTS_CONTROL_HANDSHAKE
constexpr int32_t kDcbRtsToggle = 3;
constexpr char kParityLetters[] = "NOEMS";  // NOPARITY to SPACEPARITY
constexpr const char* kStopBitNames[] = {"1", "1.5", "2"};

bool known(const PortSetting& setting) {
  return setting.note == nullptr;
}

// "8N1": data bits, parity letter, stop bits; '?' for what isn't known.
std::string frame_text(const PortSettings& s) {
  const PortSetting& size = s.state[PS_BYTE_SIZE];
  const PortSetting& parity = s.state[PS_PARITY];
  const PortSetting& stop = s.state[PS_STOP_BITS];
  std::string text = known(size) ? std::to_string(size.value) : "?";
  const bool parityKnown = known(parity) && parity.value >= 0 && parity.value <= 4;
  text += parityKnown ? kParityLetters[parity.value] : '?';
  const bool stopKnown = known(stop) && stop.value >= 0 && stop.value <= 2;
  text += stopKnown ? kStopBitNames[stop.value] : "?";
  return text;
}

bool is_on(const PortSetting& setting) {
  return known(setting) && setting.value != 0;
}

// "none", "RTS/CTS", "XON/XOFF" or both.
std::string flow_text(const PortSettings& s) {
  const PortSetting& rts = s.state[PS_RTS_CONTROL];
  const bool hardware = is_on(s.state[PS_CTS_FLOW]) || (known(rts) && rts.value == kDcbHandshake);
  const bool software = is_on(s.state[PS_OUT_X]) || is_on(s.state[PS_IN_X]);
  if (hardware && software) return "RTS/CTS and XON/XOFF";
  if (hardware) return "RTS/CTS";
  return software ? "XON/XOFF" : "none";
}

// "on", "off", "handshake", "toggle" (RTS only), or "n/a".
const char* line_text(const PortSetting& setting, bool rts) {
  if (!known(setting)) return "n/a";
  if (setting.value == kDcbHandshake) return "handshake";
  if (rts && setting.value == kDcbRtsToggle) return "toggle";
  return setting.value != 0 ? "on" : "off";
}

}  // namespace

std::string port_settings_line(const PortSettings& settings) {
  if (!settings.stateRead) return "cannot read the port's settings";
  const PortSetting& baud = settings.state[PS_BAUD];
  std::string line = known(baud) ? std::to_string(baud.value) : "baud n/a";
  line += " " + frame_text(settings) + ", flow " + flow_text(settings);
  line += std::string(", DTR ") + line_text(settings.state[PS_DTR_CONTROL], false);
  line += std::string(", RTS ") + line_text(settings.state[PS_RTS_CONTROL], true);
  return line;
}

std::string port_settings_summary(intptr_t handle) {
  PortSettings settings;
  serial_read_port_settings(handle, &settings);
  return port_settings_line(settings);
}

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
