// Types, constants and helpers shared by every layer.
#pragma once

#include <cstdint>

// Control bytes on the wire.
constexpr uint8_t STX = 0x02;
constexpr uint8_t EOT = 0x04;
constexpr uint8_t REFUSE = 0x05;  // the script protocol's "line refused"
constexpr uint8_t ACK = 0x06;
constexpr uint8_t NAK = 0x15;
constexpr uint8_t CAN = 0x18;

// Progress of a transfer: total and amount done. A nonzero return aborts the
// transfer (result code 4).
using ProgressFn = int (*)(int total, int done);
// Calls progress when there is one; nonzero when it asks to stop.
inline int report_progress(ProgressFn progress, int total, int done) {
  return progress != nullptr ? progress(total, done) : 0;
}

// The script sender's reporter: the script's length in bytes, the bytes done,
// a NUL-terminated text (a line sent, "" or a message).
// A nonzero return stops the script.
using ScriptReporter = int (*)(int total, int done, const char* text);

// Script option bits, process-wide, 0 at start. Only "#option" lines of a
// script change them; the front end clears them after opening the port.
constexpr unsigned SCRIPT_ECHO = 0x01;
constexpr unsigned SCRIPT_FIRST = 0x02;
constexpr unsigned SCRIPT_ONLY = 0x04;
extern unsigned scriptOptions;
void reset_script_options();

// Waits at least ms milliseconds on the monotonic clock, sleeping rather than
// spinning. Zero or a negative value returns at once; so does a stop request
// (common/stop.h), which ends the wait early.
void delay_ms(int ms);

// Test seam: replaces what delay_ms does (a virtual clock, for instance).
// nullptr restores the real wait. Returns the previous hook.
using DelayHook = void (*)(int ms);
DelayHook set_delay_hook(DelayHook hook);
