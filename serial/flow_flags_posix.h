// The termios flags of hardware flow control, which differ between systems.
#pragma once

#include <termios.h>

#if defined(CRTS_IFLOW) && defined(CCTS_OFLOW)
// BSD and macOS have one flag per direction.
constexpr tcflag_t kRtsFlow = CRTS_IFLOW;
constexpr tcflag_t kCtsFlow = CCTS_OFLOW;
#else
// Linux has one flag for both directions: the RTS handshake and CTS output
// flow control switch the same CRTSCTS, and the last call wins.
constexpr tcflag_t kRtsFlow = CRTSCTS;
constexpr tcflag_t kCtsFlow = CRTSCTS;
#endif
