#include "boot/hex.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <vector>

#include "boot/image.h"
#include "common/file.h"

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

// Internal reader results: a type-4 record with a wrong checksum (kept apart
// from a good record whose own type byte is 255), input that ends too soon
// with no ':' left (all of it consumed), or a record cut off (the cursor
// stays at its ':').
constexpr int kBadUpper = -3;
constexpr int kNoMark = -10;
constexpr int kCutOff = -11;

// Reads a type-4 record's payload and checksum at p (six characters, already
// known to be there); the count is not consulted.
int read_upper(HexCursor* cursor, const char* p, uint8_t sum, uint32_t* address) {
  const uint8_t high = byte_at(p);
  const uint8_t low = byte_at(p + 2);
  sum = static_cast<uint8_t>(sum + high + low + byte_at(p + 4));
  cursor->next = p + 6;
  *address = static_cast<uint32_t>(high) << 8 | low;
  return sum == 0 ? HEX_RECORD_UPPER : kBadUpper;
}

// Reads `count` data bytes and the checksum at p (already known to be there);
// returns the running sum with them added, 0 for a good record.
uint8_t read_data(const char* p, uint8_t count, uint8_t sum, uint8_t* data) {
  for (int i = 0; i < count; ++i, p += 2) {
    data[i] = byte_at(p);
    sum = static_cast<uint8_t>(sum + data[i]);
  }
  return static_cast<uint8_t>(sum + byte_at(p));
}

// As hex_read_record, but input that ends too soon gives kNoMark or kCutOff,
// so that a reader of pieces can fetch more and read the record again.
int read_record(HexCursor* cursor, uint32_t* address, uint8_t* data, uint8_t* count) {
  *count = 0;
  const char* end = cursor->end;
  const char* mark =
      cursor->next == end
          ? nullptr
          : static_cast<const char*>(std::memchr(cursor->next, ':', end - cursor->next));
  if (mark == nullptr) {
    cursor->next = end;
    return kNoMark;
  }
  cursor->next = mark;
  if (end - mark < 3) return kCutOff;
  const char* p = mark + 1;
  const uint8_t n = byte_at(p);
  p += 2;
  if (end - p < kHeadChars) return kCutOff;
  const uint8_t addressHigh = byte_at(p);
  const uint8_t addressLow = byte_at(p + 2);
  const uint8_t type = byte_at(p + 4);
  const uint8_t sum = static_cast<uint8_t>(n + addressHigh + addressLow + type);
  p += kHeadChars;
  // A count of 0 ends the data, but only a whole record with a good checksum
  // does: a damaged count byte must not cut the image short unnoticed.
  const std::ptrdiff_t bodyChars = n == 0 ? 2 : type == 4 ? 6 : 2 * n + 2;
  if (end - p < bodyChars) return kCutOff;
  if (n == 0) {
    cursor->next = p + 2;
    return static_cast<uint8_t>(sum + byte_at(p)) == 0 ? HEX_RECORD_END : HEX_RECORD_BAD;
  }
  if (type == 4) return read_upper(cursor, p, sum, address);
  cursor->next = p + bodyChars;
  if (read_data(p, n, sum, data) != 0) return HEX_RECORD_BAD;
  *address = static_cast<uint32_t>(addressHigh) << 8 | addressLow;
  *count = n;
  return type;
}

// One conversion, fed one piece of text or more. Addresses are formed in 64
// bits, so neither upper + address nor flashStart + flashSize wraps around.
struct Conversion {
  uint64_t low;   // flashStart
  uint64_t high;  // flashStart + flashSize: the first address above the window
  uint8_t* image;
  uint64_t upper = 0;
  uint64_t end = 0;  // highest end address of the stored records
  bool stored = false;
  bool done = false;  // an end record or a bad one was read
  int result = HEX_OK;
};

// Stores the part of a record that lies inside the window [low, high): a
// record that starts outside is skipped, bytes at or above the top dropped.
void store(Conversion* c, uint64_t first, const uint8_t* data, uint8_t count) {
  if (first < c->low || first >= c->high) return;
  const uint64_t kept = std::min<uint64_t>(count, c->high - first);
  std::memcpy(c->image + (first - c->low), data, kept);
  c->end = std::max(c->end, first + kept);
  c->stored = true;
}

// Converts the records at the cursor. When the text ends too soon: if it is
// the last piece the conversion fails, else the cursor is left where the
// next piece has to continue (at the ':' of a cut-off record).
void convert_records(Conversion* c, HexCursor* cursor, bool last) {
  uint8_t data[kRecordBytes];
  while (!c->done) {
    uint32_t address = 0;
    uint8_t count = 0;
    const int kind = read_record(cursor, &address, data, &count);
    if (kind == kNoMark || kind == kCutOff) {
      if (!last) return;
      c->result = HEX_BAD_RECORD;
      c->done = true;
    } else if (kind == HEX_RECORD_END) {
      c->done = true;
    } else if (kind == HEX_RECORD_BAD || kind == kBadUpper) {
      c->result = HEX_BAD_RECORD;
      c->done = true;
    } else if (kind == HEX_RECORD_UPPER) {
      c->upper = static_cast<uint64_t>(address) << 16;
    } else if (kind == 0) {
      store(c, c->upper + address, data, count);
    }
  }
}

// The image size (0 when nothing was stored) and the result. The size is at
// most flashSize, so it fits an int.
int finish(const Conversion& c, int* actualSize) {
  *actualSize = c.stored ? static_cast<int>(c.end - c.low) : 0;
  if (!c.stored && c.result == HEX_OK) return HEX_NO_DATA;
  return c.result;
}

}  // namespace

int hex_read_record(HexCursor* cursor, uint32_t* address, uint8_t* data, uint8_t* count) {
  const int kind = read_record(cursor, address, data, count);
  if (kind == kNoMark || kind == kCutOff) {
    cursor->next = cursor->end;
    return HEX_RECORD_BAD;
  }
  return kind == kBadUpper ? HEX_RECORD_BAD_UPPER : kind;
}

int hex_to_image_text(std::string_view text, uint32_t flashStart, uint32_t flashSize,
                      uint8_t* image, int* actualSize) {
  Conversion c{flashStart, uint64_t{flashStart} + flashSize, image};
  HexCursor cursor{text.data(), text.data() + text.size()};
  convert_records(&c, &cursor, true);
  return finish(c, actualSize);
}

// The file is read in pieces of kPieceBytes into one buffer: a large file is
// never held whole (a HEX file is about three times its image), and a record
// cut off at the end of a piece moves to the front of the buffer and is read
// again with the next piece.
int hex_to_image(FILE* file, uint32_t flashStart, uint32_t flashSize, uint8_t* image,
                 int* actualSize) {
  constexpr size_t kPieceBytes = size_t{1} << 18;
  return hex_to_image_pieces(file, flashStart, flashSize, image, actualSize, kPieceBytes);
}

int hex_to_image_pieces(FILE* file, uint32_t flashStart, uint32_t flashSize, uint8_t* image,
                        int* actualSize, size_t pieceBytes) {
  // A piece must hold the longest record (1 + 2 * 260 characters) whole.
  constexpr size_t kLongestRecordChars = 1 + 2 * (4 + 255 + 1);
  Conversion c{flashStart, uint64_t{flashStart} + flashSize, image};
  std::vector<char> buffer(std::max(pieceBytes, kLongestRecordChars));
  size_t kept = 0;  // characters of a cut-off record at the front
  while (!c.done) {
    const size_t wanted = buffer.size() - kept;
    const size_t got = std::fread(buffer.data() + kept, 1, wanted, file);
    if (std::ferror(file) != 0) {
      c.result = HEX_BAD_RECORD;
      break;
    }
    HexCursor cursor{buffer.data(), buffer.data() + kept + got};
    convert_records(&c, &cursor, got < wanted);
    kept = static_cast<size_t>(cursor.end - cursor.next);
    std::memmove(buffer.data(), cursor.next, kept);
  }
  return finish(c, actualSize);
}

int hex_file_to_image(const char* path, uint32_t flashStart, int32_t flashSize,
                      std::vector<uint8_t>* image, int* actualSize) {
  *actualSize = 0;
  FilePtr file = open_regular_file(path);
  if (!file) return HEX_FILE_UNREADABLE;
  *image = image_buffer(flashSize);
  if (image->empty()) return HEX_NO_MEMORY;
  return hex_to_image(file.get(), flashStart, static_cast<uint32_t>(flashSize), image->data(),
                      actualSize);
}

long file_length(FILE* file) {
  int64_t length = 0;
  return stream_length(file, &length) ? static_cast<long>(length) : -1;
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
