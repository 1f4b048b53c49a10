#include "console/key_stream.h"

#include "console/keys.h"

namespace {

void push_keys(KeyStream* stream, const int* values, size_t n) {
  stream->keys.insert(stream->keys.end(), values, values + n);
}

}  // namespace

void key_stream_take(KeyStream* stream, const uint8_t* bytes, size_t n) {
  int out[kKeyDecodeMax];
  for (size_t i = 0; i < n; ++i)
    push_keys(stream, out, key_decoder_feed(&stream->decoder, bytes[i], out));
  if (key_decoder_holding(&stream->decoder)) stream->escapeBy = deadline_after_ms(kEscapeTimeoutMs);
}

void key_stream_expire(KeyStream* stream, bool now) {
  if (!key_decoder_holding(&stream->decoder)) return;
  if (!now && !deadline_passed(stream->escapeBy)) return;
  int out[kKeyDecodeMax];
  push_keys(stream, out, key_decoder_flush(&stream->decoder, out));
}

void key_stream_end(KeyStream* stream) {
  stream->ended = true;
  key_stream_expire(stream, true);
}

bool key_stream_ready(const KeyStream* stream) {
  return !stream->keys.empty() || stream->ended;
}

int key_stream_next(KeyStream* stream) {
  if (stream->keys.empty()) return kKeyEnd;
  const int key = stream->keys.front();
  stream->keys.pop_front();
  return key;
}

int key_stream_escape_left_ms(const KeyStream* stream) {
  return key_decoder_holding(&stream->decoder) ? deadline_left_ms(stream->escapeBy) : -1;
}
