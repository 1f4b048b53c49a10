// Fuzz target for the BMP reader: any bytes as a BMP file in memory. A
// picture that loads must be consistent with its buffers: every pixel and
// palette entry is read (AddressSanitizer sees any read past them), written
// back, and read again with the same result.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "toolkit/image/bmp.h"

namespace {

void check(bool condition) {
  if (!condition) std::abort();
}

// Pixels visited one by one at most; a picture can't hold more pixels than
// its file has bytes, so this only bounds the time a very long input takes.
constexpr uint64_t kMaxPixels = 1 << 22;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  BmpImage* image = bmp_read_bytes(data, size);
  if (image == nullptr) {
    const int status = bmp_status();
    check(status == BMP_UNSUPPORTED || status == BMP_INVALID || status == BMP_NO_MEMORY);
    check(bmp_status_text() != nullptr);
    return 0;
  }
  check(bmp_status() == BMP_OK);
  const uint16_t bits = bmp_bits(image);
  check(bits == 8 || bits == 24 || bits == 32);
  check((image->palette != nullptr) == (bits == 8));
  const uint32_t width = bmp_width(image);
  const uint32_t height = bmp_height(image);
  check(width > 0 && height > 0);
  // The image never holds more than the file's bytes.
  check(image->sizeImage <= size);
  if (static_cast<uint64_t>(width) * height <= kMaxPixels) {
    for (uint32_t y = 0; y < height; ++y) {
      for (uint32_t x = 0; x < width; ++x) {
        uint8_t r = 0, g = 0, b = 0;
        bmp_rgb_at(image, x, y, &r, &g, &b);
        check(bmp_status() == BMP_OK);
        if (bits == 8) {
          uint8_t index = 0;
          bmp_index_at(image, x, y, &index);
          bmp_put_index(image, x, y, index);
        } else {
          bmp_put_rgb(image, x, y, r, g, b);
        }
        uint8_t r2 = 0, g2 = 0, b2 = 0;
        bmp_rgb_at(image, x, y, &r2, &g2, &b2);
        check(r == r2 && g == g2 && b == b2);
      }
    }
  }
  bmp_rgb_at(image, width, 0, nullptr, nullptr, nullptr);
  check(bmp_status() == BMP_BAD_ARGUMENT);
  bmp_rgb_at(image, 0, height, nullptr, nullptr, nullptr);
  check(bmp_status() == BMP_BAD_ARGUMENT);
  if (bits == 8) {
    for (int i = 0; i < 256; ++i) {
      uint8_t r = 0, g = 0, b = 0;
      bmp_palette_at(image, static_cast<uint8_t>(i), &r, &g, &b);
      bmp_put_palette(image, static_cast<uint8_t>(i), r, g, b);
    }
  }
  bmp_release(image);
  return 0;
}
