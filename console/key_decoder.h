// Function and editing keys arrive from a POSIX terminal as escape
// sequences. The decoder turns them into the key values a PC console gives:
// a prefix value followed by the key's scan code marked with kKeyScanCode
// (F1 is 0 then kKeyScanCode | 59, F12 is 0 then kKeyScanCode | 134, the Up
// arrow 0xE0 then kKeyScanCode | 72). Everything else passes through byte
// by byte, and a lone Escape stays 27.
//
// It is a pure state machine: feed it bytes as they arrive, in any split, and
// flush it when no further byte came within kEscapeTimeoutMs.
#pragma once

#include <cstddef>
#include <cstdint>

#include "console/keys.h"

constexpr uint8_t kEscapeByte = 0x1B;

// How long an Escape waits for the rest of a sequence before it counts as
// the Escape key. Terminals send a sequence in one write; 100 ms also covers
// a sequence split by a slow remote link and still feels immediate.
constexpr int kEscapeTimeoutMs = 100;

// Longest sequence held while it may still grow; a longer one is passed on
// as it is.
constexpr size_t kKeySequenceMax = 16;
// Most key values one byte (or a flush) can produce.
constexpr size_t kKeyDecodeMax = kKeySequenceMax + 1;

struct KeyDecoder {
  uint8_t held[kKeySequenceMax] = {};
  size_t count = 0;  // bytes of an unfinished sequence
};

// Feeds one byte. Stores the key values it completes in out (room for
// kKeyDecodeMax values) and returns their number.
size_t key_decoder_feed(KeyDecoder* decoder, uint8_t byte, int* out);

// No further byte came in time (or the input ended): the held bytes are
// keys as they are, so a lone Escape is 27. Returns the number stored in out.
size_t key_decoder_flush(KeyDecoder* decoder, int* out);

// True while bytes of an unfinished sequence are held.
bool key_decoder_holding(const KeyDecoder* decoder);

// Modifier bits of key_function_scan.
constexpr int kKeyShift = 1;
constexpr int kKeyAlt = 2;
constexpr int kKeyCtrl = 4;
// The PC console's scan code of function key `number` (1 to 12) with the
// modifier bits (Ctrl over Alt over Shift): F1 59, Shift+F1 84, Ctrl+F1 94,
// Alt+F1 104, F12 134. 0 for another number.
int key_function_scan(int number, int modifiers);
