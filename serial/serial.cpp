// Port operations common to every platform: settings parsing, pacing, the
// byte-wise reads and the line controls, over the backend of the record.
#include "serial/serial.h"

#include <climits>
#include <cstdio>
#include <cstring>
#include <string>
#include <system_error>
#include <vector>

#include "common/common.h"
#include "common/stop.h"
#include "serial/trace.h"

namespace {

const SerialBackend* backend_of(const SerialPort* port) {
  return port->backend != nullptr ? port->backend : serial_platform_backend();
}

// Leading decimal digits of a field; 0 when it starts with none. Saturates
// instead of overflowing.
int32_t leading_number(const char* text) {
  int64_t value = 0;
  for (; *text >= '0' && *text <= '9'; ++text) {
    value = value * 10 + (*text - '0');
    if (value > INT32_MAX) return INT32_MAX;
  }
  return static_cast<int32_t>(value);
}

// Splits text at runs of ',' (leading ones skipped), like strtok.
int split_fields(char* text, char* fields[], int max_fields) {
  int n = 0;
  char* p = text;
  while (n < max_fields) {
    while (*p == ',') ++p;
    if (*p == '\0') break;
    fields[n++] = p;
    while (*p != '\0' && *p != ',') ++p;
    if (*p == ',') *p++ = '\0';
  }
  return n;
}

// Parses the settings string into the record. False when it is longer than
// kMaxSettingsLength or has fewer than four fields; the fields before a
// missing one stay stored in the record.
bool parse_settings(SerialPort* port, const char* settings) {
  if (settings == nullptr) return false;
  const size_t length = std::strlen(settings);
  if (length > kMaxSettingsLength) return false;
  char work[kMaxSettingsLength + 1];
  std::memcpy(work, settings, length + 1);

  char* fields[4] = {};
  const int count = split_fields(work, fields, 4);
  if (count < 1) return false;
  port->baud = leading_number(fields[0]);
  if (count < 2) return false;
  port->dataBits = leading_number(fields[1]);
  if (count < 3) return false;
  // The letter tested last wins: O over E over N; none keeps the old parity.
  if (std::strchr(fields[2], 'N') != nullptr) port->parity = kParityNone;
  if (std::strchr(fields[2], 'E') != nullptr) port->parity = kParityEven;
  if (std::strchr(fields[2], 'O') != nullptr) port->parity = kParityOdd;
  if (count < 4) return false;
  port->stopBits = leading_number(fields[3]);
  return true;
}

// Records why the port could not be opened or configured; returns the result.
int fail(SerialPort* port, SerialFailure failure, int result) {
  port->failure = failure;
  port->osError = failure == SERIAL_FAIL_SETTINGS ? 0 : result;
  return result;
}

int configure(SerialPort* port, const char* settings) {
  port->failure = SERIAL_FAIL_NONE;
  port->osError = 0;
  if (!parse_settings(port, settings)) return fail(port, SERIAL_FAIL_SETTINGS, 1);
  if (port->handle == kInvalidHandle) return 0;
  const int result = backend_of(port)->configure(port);
  return result == 0 ? 0 : fail(port, SERIAL_FAIL_REFUSED, result);
}

// Trace lines. Each is written only while a trace is set on the port.
void trace_text(SerialPort* port, const char* kind, const std::string& text) {
  if (port->trace != nullptr) serial_trace_text(port->trace, kind, text);
}

void trace_error(SerialPort* port, const char* what, int code) {
  trace_text(port, "error", std::string(what) + " failed (error " + std::to_string(code) + ")");
}

void trace_low_latency(SerialPort* port) {
  switch (port->lowLatency) {
    case SERIAL_LOW_LATENCY_SET:
      trace_text(port, "note", "low latency on");
      break;
    case SERIAL_LOW_LATENCY_ALREADY:
      trace_text(port, "note", "low latency already on");
      break;
    case SERIAL_LOW_LATENCY_REFUSED:
      trace_text(port, "note",
                 "low latency refused (error " + std::to_string(port->lowLatencyError) + ": " +
                     std::generic_category().message(port->lowLatencyError) + ")");
      break;
    default:
      break;
  }
}

int read_untraced(SerialPort* port, void* buffer, int count) {
  if (!port->isOpen || port->handle == kInvalidHandle || count <= 0) return 0;
  const int n = backend_of(port)->read(port, static_cast<uint8_t*>(buffer), count);
  return n > 0 ? n : 0;
}

}  // namespace

int serial_configure(SerialPort* port, const char* settings) {
  const int result = configure(port, settings);
  if (port->handle != kInvalidHandle && port->trace != nullptr) {
    trace_text(port, "set", settings != nullptr ? settings : "");
    if (result != 0) trace_error(port, "settings", result);
  }
  return result;
}

namespace {

// Every step of opening but the settling wait.
int open_now(SerialPort* port, const char* device, const char* settings) {
  port->charDelay = 0;
  port->isOpen = 0;
  port->lost = 0;
  port->handle = kInvalidHandle;
  port->failure = SERIAL_FAIL_NONE;
  port->osError = 0;
  port->writeStalled = 0;
  port->lowLatency = SERIAL_LOW_LATENCY_UNAVAILABLE;
  port->lowLatencyError = 0;
  if (port->trace != nullptr) serial_trace_open(port->trace, device, settings ? settings : "");
  const SerialBackend* backend = backend_of(port);
  int result = backend->open(port, device);
  if (result != 0) {
    port->handle = kInvalidHandle;
    trace_error(port, "open", result);
    return fail(port, SERIAL_FAIL_DEVICE, result);
  }
  result = configure(port, settings);
  if (result == 0 && (result = backend->set_timeouts(port)) != 0)
    fail(port, SERIAL_FAIL_REFUSED, result);
  if (result != 0) {
    // Nobody reuses a half-opened port: give the device back at once.
    backend->close(port);
    port->handle = kInvalidHandle;
    trace_error(port, "settings", result);
    return result;
  }
  trace_low_latency(port);
  port->isOpen = 1;
  return 0;
}

}  // namespace

int serial_open_device(SerialPort* port, const char* device, const char* settings) {
  const int result = open_now(port, device, settings);
  if (result == 0) delay_ms(500);
  return result;
}

int serial_reopen_device(SerialPort* port, const char* device, const char* settings) {
  return open_now(port, device, settings);
}

bool serial_device_present(SerialPort* port, const char* device) {
  return backend_of(port)->present(port, device);
}

int serial_lost(const SerialPort* port) {
  return port->isOpen && port->lost ? 1 : 0;
}

int serial_open(SerialPort* port, int n, const char* settings) {
  port->portNumber = n;
  return serial_open_device(port, serial_device_name(n).c_str(), settings);
}

void serial_close(SerialPort* port) {
  if (port->handle != kInvalidHandle) {
    backend_of(port)->close(port);
    trace_text(port, "close", "");
  }
  port->handle = kInvalidHandle;
  port->isOpen = 0;
}

int serial_is_open(const SerialPort* port) {
  return port != nullptr && port->isOpen;
}

int serial_write(SerialPort* port, const void* data, int count) {
  if (!port->isOpen || port->handle == kInvalidHandle) return serial_not_open_error();
  if (count <= 0) return 0;
  port->failure = SERIAL_FAIL_NONE;
  const uint8_t* bytes = static_cast<const uint8_t*>(data);
  // Written down after the write: the bytes go first, the trace's work
  // overlaps the target's.
  const int64_t at = port->trace != nullptr ? serial_trace_now_us(port->trace) : 0;
  const int result = backend_of(port)->write(port, bytes, count);
  if (result != 0 && port->failure != SERIAL_FAIL_WRITE_STALLED) port->failure = SERIAL_FAIL_WRITE;
  port->osError = result;
  if (port->trace != nullptr) {
    serial_trace_bytes_at(port->trace, at, "tx", bytes, count);
    if (result != 0) trace_error(port, "write", result);
  }
  return result;
}

int serial_put(SerialPort* port, uint8_t byte) {
  if (port->charDelay != 0) delay_ms(port->charDelay);
  return serial_write(port, &byte, 1);
}

int serial_put_string(SerialPort* port, const char* text) {
  for (; *text != '\0'; ++text) serial_put(port, static_cast<uint8_t>(*text));
  return 0;
}

int serial_read(SerialPort* port, void* buffer, int count) {
  const int n = read_untraced(port, buffer, count);
  if (port->trace == nullptr) return n;
  if (n > 0)
    serial_trace_bytes(port->trace, "rx", static_cast<const uint8_t*>(buffer), n);
  else
    serial_trace_quiet(port->trace);
  return n;
}

int serial_get(SerialPort* port, uint8_t* out) {
  uint8_t byte = 0;
  if (serial_read(port, &byte, 1) != 1) return 0;
  *out = byte;
  return 1;
}

int serial_get_wait(SerialPort* port, int tries) {
  uint8_t byte = 0;
  if (tries == 0) {
    // For ever, unless a stop is requested.
    while (!serial_get(port, &byte)) {
      if (stop_requested()) return 0;
    }
    return byte;
  }
  return serial_get_within(port, tries, &byte) ? byte : 0;
}

bool serial_get_within(SerialPort* port, int tries, uint8_t* out) {
  const int64_t start = serial_trace_wait_start(port);
  for (int i = 0; i < tries && !stop_requested(); ++i) {
    if (serial_get(port, out)) return true;
    serial_wait_input(port, 1);  // a 1 ms pause that ends when a byte arrives
  }
  serial_trace_wait_timed_out(port, start);
  return false;
}

int64_t serial_trace_wait_start(const SerialPort* port) {
  return port->trace != nullptr ? serial_trace_now_us(port->trace) : 0;
}

void serial_trace_wait_timed_out(SerialPort* port, int64_t start) {
  if (port->trace != nullptr && !stop_requested()) serial_trace_timeout(port->trace, start);
}

int serial_wait_input(SerialPort* port, int ms) {
  if (!port->isOpen || port->handle == kInvalidHandle) {
    delay_ms(ms);
    return 0;
  }
  return backend_of(port)->wait_input(port, ms);
}

void serial_drain(SerialPort* port) {
  // Byte by byte, as the reads of a reply wait; the trace gets one line.
  uint8_t byte = 0;
  if (port->trace == nullptr) {
    while (read_untraced(port, &byte, 1) == 1) {
    }
    return;
  }
  std::vector<uint8_t> dropped;
  while (read_untraced(port, &byte, 1) == 1) dropped.push_back(byte);
  serial_trace_bytes(port->trace, "drain", dropped.data(), static_cast<int>(dropped.size()));
}

int serial_modem_status(SerialPort* port) {
  int status = 0;
  return serial_read_modem_status(port, &status) ? status : 0;
}

bool serial_read_modem_status(SerialPort* port, int* status) {
  if (!port->isOpen || port->handle == kInvalidHandle) return false;
  const int lines = backend_of(port)->modem_status(port);
  if (port->trace != nullptr) {
    char text[32];
    if (lines < 0)
      std::snprintf(text, sizeof text, "none (no modem lines)");
    else
      std::snprintf(text, sizeof text, "%02x", static_cast<unsigned>(lines & 0xFF));
    trace_text(port, "modem", text);
  }
  if (lines < 0) return false;
  *status = lines & 0xFF;
  return true;
}

void serial_send_break(SerialPort* port) {
  if (!port->isOpen || port->handle == kInvalidHandle) return;
  trace_text(port, "break", "");
  backend_of(port)->send_break(port);
}

void serial_set_rts(SerialPort* port, uint8_t on) {
  if (!port->isOpen || port->handle == kInvalidHandle) return;
  trace_text(port, "rts", on != 0 ? "on" : "off");
  backend_of(port)->set_rts(port, on != 0);
}

int serial_set_dtr(SerialPort* port, uint8_t on) {
  if (port->handle == kInvalidHandle) return 0;
  backend_of(port)->set_dtr(port, on != 0);
  trace_text(port, "dtr", on != 0 ? "on" : "off");
  return 0;
}

int serial_set_rts_handshake(SerialPort* port, uint8_t on) {
  if (port->handle == kInvalidHandle) return 0;
  backend_of(port)->set_rts_handshake(port, on != 0);
  trace_text(port, "rts", on != 0 ? "handshake" : "off");
  return 0;
}

int serial_set_cts_flow(SerialPort* port, uint8_t on) {
  if (port->handle == kInvalidHandle) return 0;
  const int result = backend_of(port)->set_cts_flow(port, on != 0);
  trace_text(port, "cts",
             std::string(on != 0 ? "flow on" : "flow off") + (result != 0 ? "" : " (refused)"));
  return result;
}

int serial_set_char_delay(SerialPort* port, int ms) {
  port->charDelay = ms;
  return ms;
}

int serial_probe_device(const char* device) {
  SerialPort probe;
  const SerialBackend* backend = serial_platform_backend();
  const int result = backend->open(&probe, device);
  if (result == 0) backend->close(&probe);
  return result;
}

intptr_t serial_wait_handle(const SerialPort* port) {
  if (!port->isOpen || port->handle == kInvalidHandle) return kInvalidHandle;
  return backend_of(port) == serial_platform_backend() ? port->handle : kInvalidHandle;
}

std::string serial_write_failure_text(const SerialPort* port) {
  if (port->failure == SERIAL_FAIL_WRITE_STALLED) {
    const int32_t ms = port->writeStallMs;
    return "the port took no data for " +
           (ms % 1000 == 0 ? std::to_string(ms / 1000) + " s" : std::to_string(ms) + " ms");
  }
  return "a write to the port failed (error " + std::to_string(port->osError) + ")";
}

std::string serial_open_failure_text(const SerialPort* port, const char* settings) {
  const std::string quoted = std::string("'") + (settings != nullptr ? settings : "") + "'";
  switch (port->failure) {
    case SERIAL_FAIL_SETTINGS:
      return "the settings " + quoted +
             " are not valid: expected baud,databits,parity,stopbits (115200,8,N,1)";
    case SERIAL_FAIL_REFUSED:
      return "the port refused the settings " + quoted + " (error " +
             std::to_string(port->osError) + ")";
    default: {
      const char* hint = serial_open_hint(port->osError);
      if (hint != nullptr) return hint;
      return "open failed (error " + std::to_string(port->osError) + ")";
    }
  }
}
