// Function and editing keys arrive from a POSIX terminal as escape
// sequences. The decoder turns them into the key values a PC console gives:
// a prefix value followed by the key's scan code (F1 is 0 then 59, F12 is 0
// then 134, the Up arrow 0xE0 then 72). Everything else passes through byte
// by byte, and a lone Escape stays 27.
//
// It is a pure state machine: feed it bytes as they arrive, in any split, and
// flush it when no further byte came within kEscapeTimeoutMs.
#pragma once

#include <cstddef>
#include <cstdint>

// Prefix before a function key's scan code (F1 to F12, with or without
// Shift, Ctrl or Alt).
constexpr int kKeyPrefixFunction = 0;
// Prefix before a cursor or editing key's scan code (arrows, Home, End,
// Page Up/Down, Insert, Delete).
constexpr int kKeyPrefixExtended = 0xE0;
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
