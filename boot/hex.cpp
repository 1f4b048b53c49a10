#include "boot/hex.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstring>
#include <string>

namespace {

// Largest data record: the count byte can say at most 255.
constexpr int kRecordBytes = 255;

// The digit rule for one character c: '0'..'9' (and everything below) give
// c - 0x30, everything above gives (c & 0xDF) - 55, so 'A'..'F' and 'a'..'f'
// both give 10..15. Other characters are not refused: they give other values,
// which the checksum normally catches.
constexpr std::array<uint8_t, 256> make_digit_table() {
  std::array<uint8_t, 256> table{};
  for (int c = 0; c < 256; ++c) {
    table[c] = static_cast<uint8_t>(c <= '9' ? c - 0x30 : (c & 0xDF) - 55);
  }
  return table;
}
constexpr std::array<uint8_t, 256> kDigit = make_digit_table();

// The byte written as the two characters at p, high digit first, modulo 256.
inline uint8_t byte_at(const char* p) {
  return static_cast<uint8_t>(kDigit[static_cast<uint8_t>(p[0])] * 16 +
                              kDigit[static_cast<uint8_t>(p[1])]);
}

// Characters of the record body after the count: address (4) and type (2).
constexpr std::ptrdiff_t kHeadChars = 6;

// Reads a type-4 record's payload and checksum at p (six characters, already
// known to be there); the count is not consulted.
int read_upper(HexCursor* cursor, const char* p, uint8_t sum, uint32_t* address) {
  const uint8_t high = byte_at(p);
  const uint8_t low = byte_at(p + 2);
  sum = static_cast<uint8_t>(sum + high + low + byte_at(p + 4));
  cursor->next = p + 6;
  *address = static_cast<uint32_t>(high) << 8 | low;
  return sum == 0 ? HEX_RECORD_UPPER : HEX_RECORD_BAD_UPPER;
}

// Reads `count` data bytes and the checksum at p (already known to be there).
uint8_t read_data(const char* p, uint8_t count, uint8_t sum, uint8_t* data) {
  for (int i = 0; i < count; ++i, p += 2) {
    data[i] = byte_at(p);
    sum = static_cast<uint8_t>(sum + data[i]);
  }
  return static_cast<uint8_t>(sum + byte_at(p));
}

}  // namespace

int hex_read_record(HexCursor* cursor, uint32_t* address, uint8_t* data, uint8_t* count) {
  *count = 0;
  const char* end = cursor->end;
  const char* mark =
      cursor->next == end
          ? nullptr
          : static_cast<const char*>(std::memchr(cursor->next, ':', end - cursor->next));
  if (mark == nullptr || end - mark < 3) {
    cursor->next = end;
    return HEX_RECORD_BAD;
  }
  const char* p = mark + 1;
  const uint8_t n = byte_at(p);
  p += 2;
  if (n == 0) {
    cursor->next = p;
    return HEX_RECORD_END;
  }
  if (end - p < kHeadChars) {
    cursor->next = end;
    return HEX_RECORD_BAD;
  }
  const uint8_t addressHigh = byte_at(p);
  const uint8_t addressLow = byte_at(p + 2);
  const uint8_t type = byte_at(p + 4);
  const uint8_t sum = static_cast<uint8_t>(n + addressHigh + addressLow + type);
  p += kHeadChars;
  const std::ptrdiff_t bodyChars = type == 4 ? 6 : 2 * n + 2;
  if (end - p < bodyChars) {
    cursor->next = end;
    return HEX_RECORD_BAD;
  }
  if (type == 4) return read_upper(cursor, p, sum, address);
  cursor->next = p + bodyChars;
  if (read_data(p, n, sum, data) != 0) return HEX_RECORD_BAD;
  *address = static_cast<uint32_t>(addressHigh) << 8 | addressLow;
  *count = n;
  return type;
}

// Addresses are formed in 64 bits, so neither upper + address nor
// flashStart + flashSize wraps around. The caller keeps flashSize at most
// INT32_MAX - 255, so the image size fits an int.
int hex_to_image_text(std::string_view text, uint32_t flashStart, uint32_t flashSize,
                      uint8_t* image, int* actualSize) {
  *actualSize = 0;
  HexCursor cursor{text.data(), text.data() + text.size()};
  const uint64_t low = flashStart;
  const uint64_t high = low + flashSize;
  uint64_t upper = 0;
  uint64_t end = 0;
  bool stored = false;
  int result = HEX_OK;
  uint8_t data[kRecordBytes];
  for (;;) {
    uint32_t address = 0;
    uint8_t count = 0;
    const int kind = hex_read_record(&cursor, &address, data, &count);
    if (kind == HEX_RECORD_END) break;
    if (kind == HEX_RECORD_BAD) {
      result = HEX_BAD_RECORD;
      break;
    }
    if (kind == HEX_RECORD_UPPER) {
      upper = static_cast<uint64_t>(address) << 16;
    } else if (kind == 0) {
      const uint64_t first = upper + address;
      if (first < low || first > high) continue;  // outside the window
      std::memcpy(image + (first - low), data, count);
      end = std::max(end, first + count);
      stored = true;
    }
  }
  if (stored) {
    *actualSize = static_cast<int>(end - low);
  } else if (result == HEX_OK) {
    result = HEX_NO_DATA;
  }
  return result;
}

namespace {

// Appends everything from the file's position to its end: one read of the
// measured rest, then whatever a stream that can't be measured still holds.
bool read_rest(FILE* file, std::string* text) {
  const long here = std::ftell(file);
  if (here >= 0 && std::fseek(file, 0, SEEK_END) == 0) {
    const long last = std::ftell(file);
    if (std::fseek(file, here, SEEK_SET) != 0) return false;
    if (last > here) text->resize(static_cast<size_t>(last - here));
  }
  text->resize(std::fread(text->data(), 1, text->size(), file));
  char chunk[1 << 16];
  size_t got = 0;
  while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0) text->append(chunk, got);
  return std::ferror(file) == 0;
}

}  // namespace

int hex_to_image(FILE* file, uint32_t flashStart, uint32_t flashSize, uint8_t* image,
                 int* actualSize) {
  *actualSize = 0;
  std::string text;
  if (!read_rest(file, &text)) return HEX_BAD_RECORD;
  return hex_to_image_text(text, flashStart, flashSize, image, actualSize);
}

long file_length(FILE* file) {
  if (std::fseek(file, 0, SEEK_END) != 0) return -1;
  const long length = std::ftell(file);
  if (std::fseek(file, 0, SEEK_SET) != 0) return -1;
  return length;
}

namespace {

bool is_hex_digit(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

}  // namespace

int parse_hex(const char* text, uint32_t* value) {
  const size_t length = std::strlen(text);
  if (length == 0) return 1;
  if (length > 8) return 2;
  *value = 0;
  uint32_t weight = 1;
  for (size_t i = length; i-- > 0; weight *= 16) {
    const char c = text[i];
    if (!is_hex_digit(c)) return 4;
    const uint32_t digit = c >= 'a' ? c - 87 : c >= 'A' ? c - 55 : c - 48;
    *value += digit * weight;
  }
  return 1;
}
