// Where an interactive operation gets its keys from: the process's console
// (console/keyboard.h) or, in tests, a scripted keyboard. Key values are
// those of a PC console: ordinary keys as their character code, function
// and editing keys as a prefix value followed by the key's scan code.
#pragma once

struct SerialPort;

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
  // the port has input to read (port may be closed or null: then only keys
  // count). Reads nothing from the port. Lets a polling loop sleep instead
  // of spinning.
  void (*wait)(KeyInput* keys, SerialPort* port, int ms);
  // State of the implementation.
  void* user;
};
