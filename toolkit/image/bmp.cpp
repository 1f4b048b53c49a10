#include "toolkit/image/bmp.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "common/file.h"

namespace {

int g_status = BMP_OK;

constexpr const char* kStatusTexts[] = {
    nullptr,
    "General error",
    "Could not allocate enough memory to complete the operation",
    "File input/output error",
    "File not found",
    "File is not a supported BMP variant (must be uncompressed 8, 24 or 32 BPP)",
    "File is not a valid BMP image",
    "An argument is invalid or out of range",
    "The requested action is not compatible with the BMP's type",
};

// Leaves the status and returns value.
template <typename T>
T failed(int status, T value) {
  g_status = status;
  return value;
}
BmpImage* fail(int status) {
  return failed<BmpImage*>(status, nullptr);
}

// The header fields in file order: each is either 16 or 32 bits wide.
struct Field {
  uint16_t BmpImage::*narrow;
  uint32_t BmpImage::*wide;
  int width() const { return narrow != nullptr ? 2 : 4; }
};
constexpr Field kFields[] = {
    {&BmpImage::signature, nullptr},     {nullptr, &BmpImage::fileSize},
    {&BmpImage::reserved1, nullptr},     {&BmpImage::reserved2, nullptr},
    {nullptr, &BmpImage::offBits},       {nullptr, &BmpImage::infoSize},
    {nullptr, &BmpImage::width},         {nullptr, &BmpImage::height},
    {&BmpImage::planes, nullptr},        {&BmpImage::bitCount, nullptr},
    {nullptr, &BmpImage::compression},   {nullptr, &BmpImage::sizeImage},
    {nullptr, &BmpImage::xPelsPerMeter}, {nullptr, &BmpImage::yPelsPerMeter},
    {nullptr, &BmpImage::clrUsed},       {nullptr, &BmpImage::clrImportant},
};

uint32_t from_le(const uint8_t* bytes, int width) {
  uint32_t value = 0;
  for (int i = width - 1; i >= 0; --i) value = value << 8 | bytes[i];
  return value;
}

void to_le(uint32_t value, uint8_t* bytes, int width) {
  for (int i = 0; i < width; ++i) bytes[i] = static_cast<uint8_t>(value >> (8 * i));
}

// Where a file's bytes come from: an open file or a buffer in memory.
class Source {
 public:
  virtual ~Source() = default;
  // Copies the next n bytes to dst; false when fewer were there.
  virtual bool take(void* dst, size_t n) = 0;
  // Passes over the next n bytes; false when fewer were there.
  virtual bool skip(uint64_t n) = 0;
  // Bytes not taken yet.
  virtual uint64_t left() const = 0;
};

class MemorySource final : public Source {
 public:
  MemorySource(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  bool take(void* dst, size_t n) override {
    if (n > size_ - position_) return false;
    if (n > 0) std::memcpy(dst, data_ + position_, n);
    position_ += n;
    return true;
  }
  bool skip(uint64_t n) override {
    if (n > size_ - position_) return false;
    position_ += static_cast<size_t>(n);
    return true;
  }
  uint64_t left() const override { return size_ - position_; }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t position_ = 0;
};

constexpr uint64_t kUnknownSize = UINT64_MAX;

class FileSource final : public Source {
 public:
  FileSource(FILE* file, uint64_t size) : file_(file), left_(size) {}
  bool take(void* dst, size_t n) override {
    const size_t got = std::fread(dst, 1, n, file_);
    if (left_ != kUnknownSize) left_ -= std::min<uint64_t>(got, left_);
    return got == n;
  }
  bool skip(uint64_t n) override {
    uint8_t scratch[4096];
    while (n > 0) {
      const size_t piece = static_cast<size_t>(std::min<uint64_t>(n, sizeof scratch));
      if (!take(scratch, piece)) return false;
      n -= piece;
    }
    return true;
  }
  uint64_t left() const override { return left_; }

 private:
  FILE* file_;
  uint64_t left_;
};

int read_fields(BmpImage* image, Source& source) {
  for (const Field& field : kFields) {
    uint8_t bytes[4];
    if (!source.take(bytes, static_cast<size_t>(field.width()))) return BMP_IO_ERROR;
    const uint32_t value = from_le(bytes, field.width());
    if (field.narrow != nullptr)
      image->*field.narrow = static_cast<uint16_t>(value);
    else
      image->*field.wide = value;
  }
  return BMP_OK;
}

bool supported_bits(uint16_t bitCount) {
  return bitCount == 8 || bitCount == 24 || bitCount == 32;
}

// Bytes of one row, padded to a multiple of 4 (up to 2^34 for 32 bits).
uint64_t row_bytes(uint32_t width, uint16_t bitCount) {
  const uint64_t bytes = static_cast<uint64_t>(width) * (bitCount / 8u);
  return (bytes + 3) & ~static_cast<uint64_t>(3);
}

// Bytes of pixel data that the rows need; false when they do not fit 32 bits.
bool rows_bytes(uint32_t width, uint32_t rows, uint16_t bitCount, uint32_t* out) {
  const uint64_t row = row_bytes(width, bitCount);
  if (row > UINT32_MAX) return false;
  const uint64_t total = row * rows;  // both below 2^32: no overflow
  if (total > UINT32_MAX) return false;
  *out = static_cast<uint32_t>(total);
  return true;
}

uint32_t palette_bytes(uint16_t bitCount) {
  return bitCount == 8 ? kBmpPaletteBytes : 0;
}

// How the body of a file is laid out, from its header and the bytes there
// are behind the header.
struct Body {
  uint32_t paletteEntries = 0;  // stored in the file (8 bits per pixel)
  uint64_t gap = 0;             // bytes between the palette and the pixel data
  uint32_t rows = 0;
  bool topDown = false;
  uint32_t pixelBytes = 0;  // bytes of pixel data to read
};

// Checks the header against itself and against the bytes available behind
// it. BMP_OK or BMP_INVALID.
int plan_body(const BmpImage& header, uint64_t available, Body* body) {
  if (header.width == 0 || header.width > INT32_MAX) return BMP_INVALID;
  const int64_t height = static_cast<int32_t>(header.height);
  if (height == 0 || height == INT32_MIN) return BMP_INVALID;
  body->topDown = height < 0;
  body->rows = static_cast<uint32_t>(height < 0 ? -height : height);
  uint32_t needed = 0;
  if (!rows_bytes(header.width, body->rows, header.bitCount, &needed)) return BMP_INVALID;
  // A size of 0 (allowed for uncompressed data) or one too small for the
  // rows: the rows decide. A larger one is read whole.
  body->pixelBytes = std::max(header.sizeImage, needed);
  if (static_cast<uint64_t>(kBmpHeaderBytes) + palette_bytes(header.bitCount) + body->pixelBytes >
      UINT32_MAX)
    return BMP_INVALID;
  if (header.bitCount == 8) {
    if (header.clrUsed > 256) return BMP_INVALID;
    body->paletteEntries = header.clrUsed == 0 ? 256 : header.clrUsed;
  }
  const uint64_t dataStart = kBmpHeaderBytes + 4ull * body->paletteEntries;
  // 0: the pixel data follows the header and palette. An offset inside them
  // says nothing that can be trusted.
  if (header.offBits != 0 && header.offBits < dataStart) return BMP_INVALID;
  body->gap = header.offBits == 0 ? 0 : header.offBits - dataStart;
  if (available < body->gap + 4ull * body->paletteEntries + body->pixelBytes) return BMP_INVALID;
  return BMP_OK;
}

void flip_rows(uint8_t* pixels, uint32_t rows, size_t stride) {
  if (rows < 2) return;
  for (size_t top = 0, bottom = rows - 1; top < bottom; ++top, --bottom)
    std::swap_ranges(pixels + top * stride, pixels + (top + 1) * stride, pixels + bottom * stride);
}

struct ImageDeleter {
  void operator()(BmpImage* image) const {
    std::free(image->palette);
    std::free(image->pixels);
    delete image;
  }
};
using ImagePtr = std::unique_ptr<BmpImage, ImageDeleter>;

// Makes a loaded image's header that of the plain layout its buffers hold:
// rows bottom-up, the full palette right after the header, the pixel data
// right after that, and the file size that follows.
void make_plain(BmpImage* image, const Body& body) {
  const uint32_t offBits = kBmpHeaderBytes + palette_bytes(image->bitCount);
  image->height = body.rows;
  image->offBits = offBits;
  image->sizeImage = body.pixelBytes;
  image->fileSize = offBits + body.pixelBytes;
  image->clrUsed = 0;
}

BmpImage* read_image(Source& source, BmpImage* header) {
  ImagePtr image(new (std::nothrow) BmpImage());
  if (!image) return fail(BMP_NO_MEMORY);
  const int fields = read_fields(image.get(), source);
  if (header != nullptr) {
    *header = *image;
    header->palette = nullptr;
    header->pixels = nullptr;
  }
  if (fields != BMP_OK || image->signature != kBmpSignature) return fail(BMP_INVALID);
  if (!supported_bits(image->bitCount) || image->compression != 0 ||
      image->infoSize != kBmpInfoSize)
    return fail(BMP_UNSUPPORTED);
  Body body;
  const int planned = plan_body(*image, source.left(), &body);
  if (planned != BMP_OK) return fail(planned);

  if (image->bitCount == 8) {
    image->palette = static_cast<uint8_t*>(std::calloc(kBmpPaletteBytes, 1));
    if (image->palette == nullptr) return fail(BMP_NO_MEMORY);
    if (!source.take(image->palette, 4u * body.paletteEntries)) return fail(BMP_INVALID);
  }
  if (!source.skip(body.gap)) return fail(BMP_INVALID);
  image->pixels = static_cast<uint8_t*>(std::malloc(body.pixelBytes));
  if (image->pixels == nullptr) return fail(BMP_NO_MEMORY);
  if (!source.take(image->pixels, body.pixelBytes)) return fail(BMP_INVALID);

  if (body.topDown)
    flip_rows(image->pixels, body.rows,
              static_cast<size_t>(row_bytes(image->width, image->bitCount)));
  make_plain(image.get(), body);
  g_status = BMP_OK;
  return image.release();
}

// Reads a stream to its end (one that cannot tell its size, like a pipe).
bool read_all(FILE* file, std::vector<uint8_t>* bytes) {
  try {
    read_rest(file, bytes);
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

// Checks a pixel operation's arguments and the image's type; the pixel's
// first byte, or null with the status set.
enum class Needs { AnyType, Colour, Indexed };

bool type_fits(const BmpImage& image, Needs needs) {
  switch (needs) {
    case Needs::Colour:
      return image.bitCount == 24 || image.bitCount == 32;
    case Needs::Indexed:
      return image.bitCount == 8;
    default:
      return supported_bits(image.bitCount) && (image.bitCount != 8 || image.palette != nullptr);
  }
}

uint8_t* pixel_at(const BmpImage* image, uint32_t x, uint32_t y, Needs needs) {
  if (image == nullptr || x >= image->width || y >= image->height)
    return failed<uint8_t*>(BMP_BAD_ARGUMENT, nullptr);
  if (!type_fits(*image, needs)) return failed<uint8_t*>(BMP_WRONG_TYPE, nullptr);
  const uint32_t bytesPerPixel = image->bitCount / 8u;
  // The stride comes from the width, so that pixel data longer than the rows
  // need (trailing bytes) does not shift the rows.
  const uint64_t offset =
      (static_cast<uint64_t>(image->height) - y - 1) * row_bytes(image->width, image->bitCount) +
      static_cast<uint64_t>(x) * bytesPerPixel;
  // A record whose fields no longer match its buffer is never read past it.
  if (image->pixels == nullptr || offset + bytesPerPixel > image->sizeImage)
    return failed<uint8_t*>(BMP_BAD_ARGUMENT, nullptr);
  g_status = BMP_OK;
  return image->pixels + offset;
}

uint8_t* palette_entry(const BmpImage* image, uint8_t index) {
  if (image == nullptr) return failed<uint8_t*>(BMP_BAD_ARGUMENT, nullptr);
  if (image->bitCount != 8 || image->palette == nullptr)
    return failed<uint8_t*>(BMP_WRONG_TYPE, nullptr);
  g_status = BMP_OK;
  return image->palette + 4u * index;
}

}  // namespace

BmpImage* bmp_new(uint32_t width, uint32_t height, uint16_t bitCount) {
  if (width == 0 || height == 0) return fail(BMP_BAD_ARGUMENT);
  if (!supported_bits(bitCount)) return fail(BMP_UNSUPPORTED);
  uint32_t sizeImage = 0;
  const uint32_t headerBytes = kBmpHeaderBytes + palette_bytes(bitCount);
  if (!rows_bytes(width, height, bitCount, &sizeImage) ||
      static_cast<uint64_t>(sizeImage) + headerBytes > UINT32_MAX)
    return fail(BMP_BAD_ARGUMENT);

  ImagePtr image(new (std::nothrow) BmpImage());
  if (!image) return fail(BMP_NO_MEMORY);
  image->signature = kBmpSignature;
  image->infoSize = kBmpInfoSize;
  image->planes = 1;
  image->width = width;
  image->height = height;
  image->bitCount = bitCount;
  image->sizeImage = sizeImage;
  image->fileSize = headerBytes + sizeImage;
  image->offBits = headerBytes;
  if (bitCount == 8) {
    image->palette = static_cast<uint8_t*>(std::calloc(kBmpPaletteBytes, 1));
    if (image->palette == nullptr) return fail(BMP_NO_MEMORY);
  }
  image->pixels = static_cast<uint8_t*>(std::calloc(sizeImage, 1));
  if (image->pixels == nullptr) return fail(BMP_NO_MEMORY);
  g_status = BMP_OK;
  return image.release();
}

void bmp_release(BmpImage* image) {
  if (image == nullptr) return;
  ImageDeleter()(image);
  g_status = BMP_OK;
}

BmpImage* bmp_read(const char* path) {
  if (path == nullptr) return fail(BMP_BAD_ARGUMENT);
  FilePtr file(std::fopen(path, "rb"));
  if (!file) return fail(BMP_FILE_NOT_FOUND);
  return bmp_read_file(file.get());
}

BmpImage* bmp_read_file(FILE* file, BmpImage* header) {
  if (file == nullptr) return fail(BMP_BAD_ARGUMENT);
  const long start = std::ftell(file);
  int64_t size = 0;
  if (start >= 0 && stream_length(file, &size) && std::fseek(file, start, SEEK_SET) == 0) {
    FileSource source(file, static_cast<uint64_t>(std::max<int64_t>(size - start, 0)));
    return read_image(source, header);
  }
  std::vector<uint8_t> bytes;
  if (!read_all(file, &bytes)) return fail(BMP_NO_MEMORY);
  MemorySource source(bytes.data(), bytes.size());
  return read_image(source, header);
}

BmpImage* bmp_read_bytes(const uint8_t* data, size_t size) {
  if (data == nullptr && size != 0) return fail(BMP_BAD_ARGUMENT);
  MemorySource source(data, size);
  return read_image(source, nullptr);
}

void bmp_write(const BmpImage* image, const char* path) {
  if (path == nullptr) {
    g_status = BMP_BAD_ARGUMENT;
    return;
  }
  if (image == nullptr) {
    // Nothing to save: the file is left as it was.
    g_status = BMP_IO_ERROR;
    return;
  }
  FilePtr file(std::fopen(path, "wb"));
  if (!file) {
    g_status = BMP_FILE_NOT_FOUND;
    return;
  }
  g_status = BMP_IO_ERROR;
  if (bmp_write_header(image, file.get()) != BMP_OK) return;
  if (image->palette != nullptr &&
      std::fwrite(image->palette, 1, kBmpPaletteBytes, file.get()) != kBmpPaletteBytes)
    return;
  if (image->sizeImage > 0 &&
      (image->pixels == nullptr ||
       std::fwrite(image->pixels, 1, image->sizeImage, file.get()) != image->sizeImage))
    return;
  // What the stream still buffers is written by the close: a full disk
  // shows there.
  if (std::fclose(file.release()) != 0) return;
  g_status = BMP_OK;
}

uint32_t bmp_width(const BmpImage* image) {
  if (image == nullptr) return failed(BMP_BAD_ARGUMENT, 0xFFFFFFFFu);
  g_status = BMP_OK;
  return image->width;
}

uint32_t bmp_height(const BmpImage* image) {
  if (image == nullptr) return failed(BMP_BAD_ARGUMENT, 0xFFFFFFFFu);
  g_status = BMP_OK;
  return image->height;
}

uint16_t bmp_bits(const BmpImage* image) {
  if (image == nullptr) return failed<uint16_t>(BMP_BAD_ARGUMENT, 0xFFFF);
  g_status = BMP_OK;
  return image->bitCount;
}

void bmp_rgb_at(const BmpImage* image, uint32_t x, uint32_t y, uint8_t* red, uint8_t* green,
                uint8_t* blue) {
  const uint8_t* pixel = pixel_at(image, x, y, Needs::AnyType);
  if (pixel == nullptr) return;
  const uint8_t* colour = image->bitCount == 8 ? image->palette + 4u * pixel[0] : pixel;
  if (blue != nullptr) *blue = colour[0];
  if (green != nullptr) *green = colour[1];
  if (red != nullptr) *red = colour[2];
}

void bmp_put_rgb(BmpImage* image, uint32_t x, uint32_t y, uint8_t red, uint8_t green,
                 uint8_t blue) {
  uint8_t* pixel = pixel_at(image, x, y, Needs::Colour);
  if (pixel == nullptr) return;
  pixel[0] = blue;
  pixel[1] = green;
  pixel[2] = red;
}

void bmp_index_at(const BmpImage* image, uint32_t x, uint32_t y, uint8_t* index) {
  const uint8_t* pixel = pixel_at(image, x, y, Needs::Indexed);
  if (pixel != nullptr && index != nullptr) *index = pixel[0];
}

void bmp_put_index(BmpImage* image, uint32_t x, uint32_t y, uint8_t index) {
  uint8_t* pixel = pixel_at(image, x, y, Needs::Indexed);
  if (pixel != nullptr) pixel[0] = index;
}

void bmp_palette_at(const BmpImage* image, uint8_t index, uint8_t* red, uint8_t* green,
                    uint8_t* blue) {
  const uint8_t* entry = palette_entry(image, index);
  if (entry == nullptr) return;
  if (blue != nullptr) *blue = entry[0];
  if (green != nullptr) *green = entry[1];
  if (red != nullptr) *red = entry[2];
}

void bmp_put_palette(BmpImage* image, uint8_t index, uint8_t red, uint8_t green, uint8_t blue) {
  uint8_t* entry = palette_entry(image, index);
  if (entry == nullptr) return;
  entry[0] = blue;
  entry[1] = green;
  entry[2] = red;
}

int bmp_status() {
  return g_status;
}

const char* bmp_status_text() {
  if (g_status < 1 || g_status > BMP_WRONG_TYPE) return nullptr;
  return kStatusTexts[g_status];
}

int bmp_read_header(BmpImage* image, FILE* file) {
  if (image == nullptr || file == nullptr) return BMP_BAD_ARGUMENT;
  FileSource source(file, kUnknownSize);
  return read_fields(image, source);
}

int bmp_write_header(const BmpImage* image, FILE* file) {
  if (image == nullptr || file == nullptr) return BMP_BAD_ARGUMENT;
  for (const Field& field : kFields) {
    uint8_t bytes[4];
    const int width = field.width();
    to_le(field.narrow != nullptr ? image->*field.narrow : image->*field.wide, bytes, width);
    if (std::fwrite(bytes, 1, static_cast<size_t>(width), file) != static_cast<size_t>(width))
      return BMP_IO_ERROR;
  }
  return BMP_OK;
}
