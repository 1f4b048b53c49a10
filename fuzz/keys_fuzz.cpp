// Fuzz target for the console's escape-sequence decoder: any byte stream,
// fed one byte at a time, then flushed. Every byte comes out either as
// itself or within a recognised sequence (at least three bytes giving two
// values: a prefix and a scan code marked with kKeyScanCode), so there are
// never more values than bytes, each is a byte value or a marked scan code
// right after a prefix, a single call never gives more than kKeyDecodeMax,
// and a stream without Escape comes out unchanged.
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
  for (size_t i = 0; i < keys.size(); ++i) {
    const int key = keys[i];
    if ((key & kKeyScanCode) == 0) {
      check(key >= 0 && key <= 255);
      continue;
    }
    check(key > kKeyScanCode && key <= (kKeyScanCode | 0xFF));
    check(i > 0 && (keys[i - 1] == kKeyPrefixFunction || keys[i - 1] == kKeyPrefixExtended));
  }
  if (!escape) {
    check(keys.size() == size);
    for (size_t i = 0; i < size; ++i) check(keys[i] == data[i]);
  }
  return 0;
}
