// Key values from bytes read off a stream (a terminal, a pipe, a file): the
// escape-sequence decoder, the keys decoded and not yet read, the deadline of
// a held Escape, and the end of the input. The keyboard backends read the
// bytes; this keeps what they mean.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>

#include "common/deadline.h"
#include "console/key_decoder.h"

struct KeyStream {
  KeyDecoder decoder;
  Deadline escapeBy{};
  std::deque<int> keys;
  bool ended = false;
};

// Decodes bytes just read.
void key_stream_take(KeyStream* stream, const uint8_t* bytes, size_t n);
// A held Escape whose sequence did not come in time becomes the keys it
// holds (the Escape key); with `now`, at once.
void key_stream_expire(KeyStream* stream, bool now);
// The input ended: what is held becomes keys, and no more will come.
void key_stream_end(KeyStream* stream);
// A key is waiting, or the input ended.
bool key_stream_ready(const KeyStream* stream);
// The next key, kKeyEnd when none (and the input ended).
int key_stream_next(KeyStream* stream);
// Milliseconds until a held Escape is due; -1 when none is held.
int key_stream_escape_left_ms(const KeyStream* stream);
