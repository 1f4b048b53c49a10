// Fuzz target for the console's escape-sequence decoder: any byte stream,
// fed one byte at a time, then flushed. Every byte comes out either as
// itself or within a recognised sequence (at least three bytes giving two
// values), so there are never more values than bytes, each is a byte value,
// a single call never gives more than kKeyDecodeMax, and a stream without
// Escape comes out unchanged.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "console/key_decoder.h"

namespace {

void check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  KeyDecoder decoder;
  std::vector<int> keys;
  int out[kKeyDecodeMax];
  bool escape = false;
  for (size_t i = 0; i < size; ++i) {
    escape = escape || data[i] == kEscapeByte;
    const size_t n = key_decoder_feed(&decoder, data[i], out);
    check(n <= kKeyDecodeMax);
    check(decoder.count < kKeySequenceMax);
    keys.insert(keys.end(), out, out + n);
  }
  const size_t n = key_decoder_flush(&decoder, out);
  check(n <= kKeyDecodeMax && !key_decoder_holding(&decoder));
  keys.insert(keys.end(), out, out + n);
  check(keys.size() <= size);
  for (int key : keys) check(key >= 0 && key <= 255);
  if (!escape) {
    check(keys.size() == size);
    for (size_t i = 0; i < size; ++i) check(keys[i] == data[i]);
  }
  return 0;
}
