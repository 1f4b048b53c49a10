// Fuzz target for the Intel HEX loader. The first six bytes choose the flash
// window (see pick_start; byte 5 gives the size), the rest is the HEX text.
// The seeds begin with a printable six-byte head such as "1d00 ?" (window at
// 0x1d000000, 16 KiB), which the loader would skip anyway as text before ':'.
// The image buffer is exactly the size the loader may fill, on the heap, so
// AddressSanitizer sees any write past it. The same text is then converted
// again through the file reader the download uses, in small pieces (byte 0
// picks their size), so records cut at a piece boundary are reached; both
// conversions must agree byte for byte.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "boot/hex.h"

namespace {

// The window's start: byte 0 picks a usual base, the top of the address space
// (where start + size passes 2^32), or the next four bytes taken as is.
uint32_t pick_start(const uint8_t* data) {
  const uint32_t raw = static_cast<uint32_t>(data[1]) << 24 | static_cast<uint32_t>(data[2]) << 16 |
                       static_cast<uint32_t>(data[3]) << 8 | data[4];
  switch (data[0] % 4) {
    case 0:
      return 0;
    case 1:
      return 0x1d000000;
    case 2:
      return 0xFFFF0000 | (raw & 0xFFFF);
    default:
      return raw;
  }
}

void check(bool condition) {
  if (!condition) std::abort();
}

// Converts the text again from a temporary file, in pieces of pieceBytes,
// and checks that the result, the size and the image are the same.
void check_pieces(std::string_view text, uint32_t flashStart, uint32_t flashSize, size_t pieceBytes,
                  int result, int actualSize, const std::vector<uint8_t>& image) {
  FILE* file = std::tmpfile();
  if (file == nullptr) return;
  if (!text.empty()) check(std::fwrite(text.data(), 1, text.size(), file) == text.size());
  std::rewind(file);
  std::vector<uint8_t> other(image.size());
  int otherSize = -1;
  const int otherResult =
      hex_to_image_pieces(file, flashStart, flashSize, other.data(), &otherSize, pieceBytes);
  std::fclose(file);
  check(otherResult == result);
  check(otherSize == actualSize);
  check(other == image);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  constexpr size_t kHead = 6;
  if (size < kHead) return 0;
  const uint32_t flashStart = pick_start(data);
  const uint32_t flashSize = (data[5] + 1u) * 256u;  // 256 bytes to 64 KiB
  std::vector<uint8_t> image(flashSize);
  const std::string_view text(reinterpret_cast<const char*>(data + kHead), size - kHead);
  int actualSize = -1;
  const int result = hex_to_image_text(text, flashStart, flashSize, image.data(), &actualSize);
  check(result == HEX_OK || result == HEX_BAD_RECORD || result == HEX_NO_DATA);
  check(actualSize >= 0 && static_cast<uint32_t>(actualSize) <= flashSize);
  check(result != HEX_NO_DATA || actualSize == 0);
  check(result != HEX_OK || actualSize > 0);
  // Pieces from the smallest the reader allows up: a few records each.
  const size_t pieceBytes = 521 + (data[0] >> 2) * 13u;
  check_pieces(text, flashStart, flashSize, pieceBytes, result, actualSize, image);
  return 0;
}
