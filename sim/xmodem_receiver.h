// The boot loader of generation 1: silent on the entry byte, told the erase
// size by one character, then an XMODEM-1K receiver (CRC-16, 1024-byte
// packets, closed by EOT).
#pragma once

#include <cstddef>
#include <cstdint>

#include "sim/link.h"
#include "sim/options.h"
#include "sim/session.h"

// CRC-16/XMODEM (polynomial 0x1021, initial 0, no reflection) of the bytes.
uint16_t crc16_xmodem(const uint8_t* data, size_t count);

// Runs one session: waits (without limit) for an erase-size character 'a'
// to 'd', asks for the transfer with 'C' once a second, then receives
// packets until EOT or until the host goes quiet. Fills *result; returns
// kSessionEnded or kSessionStopped.
int xmodem_session(Link* link, const SimOptions& opts, SessionResult* result);
