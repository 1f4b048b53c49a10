// Fuzz target for the BMP reader: any bytes as a BMP file in memory, and the
// same bytes as a file on disk. Both reads must agree. A picture that loads
// must be consistent with its buffers: every pixel and palette entry is read
// (AddressSanitizer sees any read past them), written back, and read again
// with the same result. Saved to a file, it must be a plain BMP (header,
// full palette, pixel data, the sizes in the header matching) that reads
// back as the same picture.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "toolkit/image/bmp.h"

namespace {

void check(bool condition) {
  if (!condition) std::abort();
}

// Pixels visited one by one at most; a picture can't hold more pixels than
// its file has bytes, so this only bounds the time a very long input takes.
constexpr uint64_t kMaxPixels = 1 << 22;

// A scratch directory of this process for the files, removed at exit (its
// name is never destroyed: the removal runs after the static destructors).
const std::string& scratch_dir() {
  static const std::string* dir = [] {
    namespace fs = std::filesystem;
    std::random_device random;
    fs::path made;
    // create_directory is false for a name that exists: another process's.
    for (int tries = 0; made.empty() && tries < 100; ++tries) {
      const fs::path candidate =
          fs::temp_directory_path() / ("stoker_bmp_fuzz_" + std::to_string(random()));
      if (fs::create_directory(candidate)) made = candidate;
    }
    check(!made.empty());
    auto* name = new std::string(made.string());
    std::atexit([] {
      std::error_code ignored;
      std::filesystem::remove_all(scratch_dir(), ignored);
    });
    return name;
  }();
  return *dir;
}

void put_file(const std::string& path, const uint8_t* data, size_t size) {
  FILE* file = std::fopen(path.c_str(), "wb");
  check(file != nullptr);
  check(size == 0 || std::fwrite(data, 1, size, file) == size);
  check(std::fclose(file) == 0);
}

std::vector<uint8_t> file_bytes(const std::string& path) {
  std::vector<uint8_t> bytes;
  FILE* file = std::fopen(path.c_str(), "rb");
  check(file != nullptr);
  uint8_t piece[65536];
  for (size_t got; (got = std::fread(piece, 1, sizeof piece, file)) > 0;)
    bytes.insert(bytes.end(), piece, piece + got);
  std::fclose(file);
  return bytes;
}

uint32_t le32(const std::vector<uint8_t>& bytes, size_t at) {
  return bytes[at] | bytes[at + 1] << 8 | bytes[at + 2] << 16 |
         static_cast<uint32_t>(bytes[at + 3]) << 24;
}

// Two loaded images hold the same picture with the same header fields.
bool same_image(const BmpImage* a, const BmpImage* b) {
  const size_t paletteBytes = a->palette != nullptr ? kBmpPaletteBytes : 0;
  return a->signature == b->signature && a->fileSize == b->fileSize && a->offBits == b->offBits &&
         a->infoSize == b->infoSize && a->width == b->width && a->height == b->height &&
         a->planes == b->planes && a->bitCount == b->bitCount && a->compression == b->compression &&
         a->sizeImage == b->sizeImage && a->clrUsed == b->clrUsed &&
         a->clrImportant == b->clrImportant && (a->palette != nullptr) == (b->palette != nullptr) &&
         (paletteBytes == 0 || std::memcmp(a->palette, b->palette, paletteBytes) == 0) &&
         (a->sizeImage == 0 || std::memcmp(a->pixels, b->pixels, a->sizeImage) == 0);
}

// Reading the bytes from a file gives what reading them in memory gave.
void check_file_read(const uint8_t* data, size_t size, const BmpImage* fromMemory) {
  const int memoryStatus = bmp_status();
  const std::string path = scratch_dir() + "/in.bmp";
  put_file(path, data, size);
  BmpImage* fromFile = bmp_read(path.c_str());
  check(bmp_status() == memoryStatus);
  check((fromFile == nullptr) == (fromMemory == nullptr));
  if (fromFile != nullptr) check(same_image(fromFile, fromMemory));
  bmp_release(fromFile);
}

// The image saved is a plain BMP of the same picture.
void check_written(const BmpImage* image) {
  const std::string path = scratch_dir() + "/out.bmp";
  bmp_write(image, path.c_str());
  check(bmp_status() == BMP_OK);
  const std::vector<uint8_t> bytes = file_bytes(path);
  const uint32_t palette = image->bitCount == 8 ? kBmpPaletteBytes : 0;
  check(bytes.size() == kBmpHeaderBytes + palette + image->sizeImage);
  check(le32(bytes, 2) == bytes.size());                // file size
  check(le32(bytes, 10) == kBmpHeaderBytes + palette);  // pixel data offset
  check(static_cast<int32_t>(le32(bytes, 22)) > 0);     // rows bottom-up
  check(le32(bytes, 46) == 0);                          // the full palette
  BmpImage* again = bmp_read(path.c_str());
  check(again != nullptr);
  check(same_image(again, image));
  bmp_release(again);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  BmpImage* image = bmp_read_bytes(data, size);
  check_file_read(data, size, image);
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
  check_written(image);
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
