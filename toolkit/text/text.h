// The escaped text sender: a text sent to the target byte by byte, with
// backslash escapes for control characters, numeric bytes, pauses, the date
// and time, and comments.
#pragma once

#include <cstddef>

struct SerialPort;

// Sends `text` (NUL-terminated) on the port, interpreting its escapes:
//   \n \r \e            LF, CR, ESC
//   \wN                 a pause of N ms (echoed as "(w)")
//   \# ...              a comment up to the line end (and up to two CR/LF)
//   \$Date  \$Time      the local date "dd/mm/yy w" or time "HH:MM:SS"
//   \0xHH  \0OOO  \DDD  one byte: the number (hex, octal, decimal) mod 256
// Every byte goes out singly through serial_put, so the port's inter-byte
// delay applies before each. An escape whose number is missing sends
// nothing and does not pause. The bytes sent (and "(w)" per pause, the date
// and time texts) are echoed into echoBuffer, at most echoCapacity - 1 of
// them, NUL-terminated (echoBuffer may be null when echoCapacity is 0).
// Sending ends at the first failed write (a port that takes nothing, say),
// whose error code is returned, and at a stop request (common/stop.h);
// otherwise the result is 0. The echo holds what went out.
int send_text(SerialPort* port, const char* text, char* echoBuffer, size_t echoCapacity);

// Sends a transfer's leading text (a job's send string) with send_text, when
// there is one (not null, not empty); nothing is echoed. send_text's result.
int send_text_first(SerialPort* port, const char* text);
