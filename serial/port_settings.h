// Every setting of an open port as the platform keeps it: on Windows the
// members of its DCB and COMMTIMEOUTS; elsewhere the same settings read
// from the platform's terminal interface where it has an equivalent, and a
// note where it has none. Printing them is the caller's business.
#pragma once

#include <cstdint>

// The DCB's members in their order, flag bits included (bit 3, DSR output
// flow control, has no entry).
enum PortStateItem : int {
  PS_LENGTH,
  PS_BAUD,
  PS_BINARY,
  PS_PARITY_CHECK,
  PS_CTS_FLOW,
  PS_DTR_CONTROL,
  PS_DSR_SENSITIVITY,
  PS_TX_CONTINUE_ON_XOFF,
  PS_OUT_X,
  PS_IN_X,
  PS_ERROR_CHAR_ON,
  PS_NULL_DISCARD,
  PS_RTS_CONTROL,
  PS_ABORT_ON_ERROR,
  PS_DUMMY2,
  PS_RESERVED,
  PS_XON_LIM,
  PS_XOFF_LIM,
  PS_BYTE_SIZE,
  PS_PARITY,
  PS_STOP_BITS,
  PS_XON_CHAR,
  PS_XOFF_CHAR,
  PS_ERROR_CHAR,
  PS_EOF_CHAR,
  PS_EVT_CHAR,
  PS_RESERVED1,
  PS_STATE_COUNT
};

// The time-outs in their order.
enum PortTimeoutItem : int {
  PT_READ_INTERVAL,
  PT_READ_MULTIPLIER,
  PT_READ_CONSTANT,
  PT_WRITE_MULTIPLIER,
  PT_WRITE_CONSTANT,
  PT_COUNT
};

struct PortSetting {
  int32_t value = 0;
  // nullptr when value holds the setting; else why there is no value
  // ("no POSIX equivalent", "not reported by the device").
  const char* note = nullptr;
};

struct PortSettings {
  bool stateRead = false;     // the line state could be read
  bool timeoutsRead = false;  // the time-outs could be read
  PortSetting state[PS_STATE_COUNT];
  PortSetting timeouts[PT_COUNT];
};

// Reads the settings of the open device behind a SerialPort's handle.
void serial_read_port_settings(intptr_t handle, PortSettings* out);
