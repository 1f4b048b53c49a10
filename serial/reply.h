// Reply waits: the target's answers, waited for in bounded tries over the
// port's reads. Each try is one serial_get (at most about 2 ms). A stop
// request (common/stop.h) ends every wait at once, as if nothing came.
#pragma once

#include <cstdint>

struct SerialPort;

// Tries of each wait.
constexpr int kReplyTries = 200;

// Any byte within 200 tries, with a pause of 1 ms after each empty one: true
// and the byte stored through `byte`; false when none came.
bool get_reply(SerialPort* port, uint8_t* byte);
// 1 when `value` arrives within 200 tries, else 0. Every other try is
// followed by a 5 ms pause; other bytes are consumed and dropped.
int waitfor(SerialPort* port, uint8_t value);
// The first received byte that is not NUL and occurs in the NUL-terminated
// `set`, within 200 tries (5 ms pause after any other try); 0 when none came.
int waitforS(SerialPort* port, const char* set);
