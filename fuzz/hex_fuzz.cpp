// Fuzz target for the Intel HEX loader. The first six bytes choose the flash
// window (see pick_start; byte 5 gives the size), the rest is the HEX text.
// The seeds begin with a printable six-byte head such as "1d00 ?" (window at
// 0x1d000000, 16 KiB), which the loader would skip anyway as text before ':'. The image buffer is
// exactly the size the loader may fill, on the heap, so AddressSanitizer sees any write past it.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "boot/download.h"
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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  constexpr size_t kHead = 6;
  if (size < kHead) return 0;
  const uint32_t flashStart = pick_start(data);
  const uint32_t flashSize = (data[5] + 1u) * 256u;  // 256 bytes to 64 KiB
  std::vector<uint8_t> image(flashSize + kHexMaxRecordBytes);
  const std::string_view text(reinterpret_cast<const char*>(data + kHead), size - kHead);
  int actualSize = -1;
  const int result = hex_to_image_text(text, flashStart, flashSize, image.data(), &actualSize);
  check(result == HEX_OK || result == HEX_BAD_RECORD || result == HEX_NO_DATA);
  check(actualSize >= 0 && static_cast<size_t>(actualSize) <= image.size());
  check(result != HEX_NO_DATA || actualSize == 0);
  check(result != HEX_OK || actualSize > 0);
  return 0;
}
