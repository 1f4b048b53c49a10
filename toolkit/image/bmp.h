// A small BMP image module: one uncompressed Windows BMP picture (8, 24 or 32
// bits per pixel) in memory. It creates empty images, loads and saves BMP
// files, and reads and writes single pixels and palette entries.
//
// Every operation leaves its outcome in one module-wide status code (0 for
// success), read with bmp_status and turned into a fixed message with
// bmp_status_text; the operations themselves return the image, the value
// asked for, or nothing. The module prints nothing and is not thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

// One image. The first sixteen fields are the file header and the
// information header, in file order. `palette` (1024 bytes: 256 entries of
// blue, green, red, reserved) exists at 8 bits per pixel only; `pixels`
// holds `sizeImage` bytes laid out as in the file: rows from the bottom row
// up, each padded to a multiple of 4 bytes. Both buffers belong to the image
// and go with bmp_release.
struct BmpImage {
  uint16_t signature = 0;  // 0x4D42, "BM"
  uint32_t fileSize = 0;
  uint16_t reserved1 = 0;
  uint16_t reserved2 = 0;
  uint32_t offBits = 0;   // where the pixel data starts in the file
  uint32_t infoSize = 0;  // 40
  uint32_t width = 0;
  uint32_t height = 0;
  uint16_t planes = 0;
  uint16_t bitCount = 0;  // 8, 24 or 32
  uint32_t compression = 0;
  uint32_t sizeImage = 0;  // bytes of pixel data
  uint32_t xPelsPerMeter = 0;
  uint32_t yPelsPerMeter = 0;
  uint32_t clrUsed = 0;
  uint32_t clrImportant = 0;
  uint8_t* palette = nullptr;
  uint8_t* pixels = nullptr;
};

// Status codes.
enum BmpStatusCode : int {
  BMP_OK = 0,
  BMP_GENERAL_ERROR = 1,
  BMP_NO_MEMORY = 2,
  BMP_IO_ERROR = 3,
  BMP_FILE_NOT_FOUND = 4,
  BMP_UNSUPPORTED = 5,  // not uncompressed 8, 24 or 32 bits with a 40-byte header
  BMP_INVALID = 6,      // not a valid BMP file
  BMP_BAD_ARGUMENT = 7,
  BMP_WRONG_TYPE = 8,  // the operation does not suit the image's bits per pixel
};

constexpr uint16_t kBmpSignature = 0x4D42;
constexpr uint32_t kBmpHeaderBytes = 54;     // file header and information header
constexpr uint32_t kBmpInfoSize = 40;        // the information header this module reads
constexpr uint32_t kBmpPaletteBytes = 1024;  // 256 entries of 4 bytes

// A new image of width x height pixels, all zero (black; at 8 bits per pixel
// index 0 of an all-black palette). Null with status 7 for a zero width or
// height, or a size whose pixel data or file would not fit 32 bits; 5 for
// other bits per pixel than 8, 24 and 32; 2 when memory runs out.
BmpImage* bmp_new(uint32_t width, uint32_t height, uint16_t bitCount);

// Releases the image and its buffers (status 0). A null image changes
// nothing, not even the status.
void bmp_release(BmpImage* image);

// Loads a BMP file. Null on failure with status 7 (null path), 4 (cannot be
// opened), 2 (no memory), 5 (a variant this module does not read: other bits
// per pixel, compression, a larger information header) or 6 (not a valid
// BMP: no "BM", cut short, sizes that the file's bytes cannot back).
//
// Beyond the plain layout it accepts: a pixel size of 0 or smaller than the
// rows need (the rows decide), pixel data that starts later than the header
// and palette (at offBits; an offBits of 0, which some writers leave, means
// right after them), a shorter palette (clrUsed entries; the rest black) and
// rows stored top-down (negative height). The image in memory is always the
// plain layout: rows bottom-up, a full palette (clrUsed 0), offBits 54 or
// 1078 and the file size that follows, so that bmp_write saves a plain BMP
// of the same picture.
BmpImage* bmp_read(const char* path);

// bmp_read of a file already open for reading, from its current position
// (to its end). When header is not null it receives the header fields as
// far as they could be read, even when the picture is refused, so that a
// caller can tell what kind of file it was; its buffers stay null.
BmpImage* bmp_read_file(FILE* file, BmpImage* header = nullptr);

// bmp_read of a file's bytes in memory. Status 7 when data is null and size
// is not 0.
BmpImage* bmp_read_bytes(const uint8_t* data, size_t size);

// Saves the image to path as it stands (the header fields are written as
// they are, nothing is recomputed). Status 7 for a null path; 3 for a null
// image, without touching the file; 4 when the file cannot be created; 3
// when a write fails.
void bmp_write(const BmpImage* image, const char* path);

// The width, height and bits per pixel (status 0); for a null image status 7
// and all bits set (0xFFFFFFFF, 0xFFFF).
uint32_t bmp_width(const BmpImage* image);
uint32_t bmp_height(const BmpImage* image);
uint16_t bmp_bits(const BmpImage* image);

// Pixel operations; (0, 0) is the top-left pixel. A null image or x, y
// outside the picture give status 7, the wrong bits per pixel status 8; then
// nothing is delivered or changed. Out arguments may be null.
//
// The colour of a pixel; at 8 bits per pixel that of its palette entry.
void bmp_rgb_at(const BmpImage* image, uint32_t x, uint32_t y, uint8_t* red, uint8_t* green,
                uint8_t* blue);
// Sets a pixel's colour (24 and 32 bits per pixel; a 32-bit pixel's fourth
// byte stays as it is).
void bmp_put_rgb(BmpImage* image, uint32_t x, uint32_t y, uint8_t red, uint8_t green, uint8_t blue);
// A pixel's palette index, and setting it (8 bits per pixel).
void bmp_index_at(const BmpImage* image, uint32_t x, uint32_t y, uint8_t* index);
void bmp_put_index(BmpImage* image, uint32_t x, uint32_t y, uint8_t index);

// Palette entries (8 bits per pixel): null image status 7, other bits per
// pixel status 8. The reserved fourth byte of an entry stays as it is.
void bmp_palette_at(const BmpImage* image, uint8_t index, uint8_t* red, uint8_t* green,
                    uint8_t* blue);
void bmp_put_palette(BmpImage* image, uint8_t index, uint8_t red, uint8_t green, uint8_t blue);

// The status of the last operation, and its message (null for 0 and for
// codes without one). Neither changes the status.
int bmp_status();
const char* bmp_status_text();

// The sixteen header fields, read from or written to an open file in file
// order, little-endian, one read or write of each field's full width. 0, 7
// for a null image or file, 3 when a field comes up short (the operation
// ends there). They leave the status alone.
int bmp_read_header(BmpImage* image, FILE* file);
int bmp_write_header(const BmpImage* image, FILE* file);
