// Where an interactive operation gets its keys from: the process's console
// (console/keyboard.h) or, in tests, a scripted keyboard. Key values are
// those of a PC console: ordinary keys as their character code, function
// and editing keys as a prefix value followed by the key's scan code, the
// scan code marked with kKeyScanCode so that it is never taken for the
// character of the same code.
#pragma once

#include <cstdint>

// Prefix before a function key's scan code (F1 to F12, with or without
// Shift, Ctrl or Alt).
constexpr int kKeyPrefixFunction = 0;
// Prefix before a cursor or editing key's scan code (arrows, Home, End,
// Page Up/Down, Insert, Delete); F11 and F12 on a Windows console too.
constexpr int kKeyPrefixExtended = 0xE0;
// Set on the value that follows a prefix: the key's scan code is its low 8
// bits. A typed character (0 to 255) never has it, so only a real function
// or editing key gives such a value.
constexpr int kKeyScanCode = 0x100;

struct SerialPort;

// The port side of a wait for keys, filled by the caller from the port
// layer (the keyboard layer never calls it): an OS handle to watch together
// with the keys, and, for a port whose input can't be watched that way, the
// function that waits on its input alone.
struct PortWait {
  intptr_t handle = -1;        // file descriptor or HANDLE to watch; -1: none
  bool open = false;           // the port is open
  SerialPort* port = nullptr;  // what waitInput waits on
  int (*waitInput)(SerialPort* port, int ms) = nullptr;  // serial_wait_input
};

// getch's value once the input has ended (end of file on a pipe, a terminal
// that hung up): no key will ever come again.
constexpr int kKeyEnd = -1;

struct KeyInput {
  // 1 when a key value is waiting, or when the input has ended (so getch
  // returns kKeyEnd at once); else 0. Never waits.
  int (*kbhit)(KeyInput* keys);
  // The next key value; waits for one when none is waiting. kKeyEnd once
  // the input has ended.
  int (*getch)(KeyInput* keys);
  // Waits at most ms milliseconds, returning as soon as a key is waiting or
  // the port has input to read (port may be null, or describe a closed
  // port: then only keys count). Reads nothing from the port. Lets a polling
  // loop sleep instead of spinning.
  void (*wait)(KeyInput* keys, const PortWait* port, int ms);
  // State of the implementation.
  void* user;
};
