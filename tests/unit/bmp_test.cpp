// The BMP image module: creating, addressing pixels and palettes, saving and
// loading, the status codes, malformed files, and pictures written by PIL.
#include "toolkit/image/bmp.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/bmp_file.h"

namespace fs = std::filesystem;

namespace {

struct Release {
  void operator()(BmpImage* image) const { bmp_release(image); }
};
using Image = std::unique_ptr<BmpImage, Release>;

Image load(const std::vector<uint8_t>& bytes) {
  return Image(bmp_read_bytes(bytes.data(), bytes.size()));
}

// A directory of the running test's own (tests run in parallel).
fs::path test_dir() {
  const testing::TestInfo* info = testing::UnitTest::GetInstance()->current_test_info();
  const fs::path dir = fs::path(testing::TempDir()) /
                       (std::string("bmp_") + info->test_suite_name() + "_" + info->name());
  fs::create_directories(dir);
  return dir;
}

void write_bytes(const fs::path& path, const std::vector<uint8_t>& bytes) {
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
}

std::vector<uint8_t> read_bytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

Rgb rgb_at(const BmpImage* image, uint32_t x, uint32_t y) {
  Rgb c{0, 0, 0};
  bmp_rgb_at(image, x, y, &c.red, &c.green, &c.blue);
  return c;
}

std::string status_text() {
  const char* text = bmp_status_text();
  return text != nullptr ? text : "(null)";
}

// Every pixel of a colour picture is test_colour, with y = 0 the top row.
void expect_test_colours(const BmpImage* image) {
  for (uint32_t y = 0; y < image->height; ++y)
    for (uint32_t x = 0; x < image->width; ++x)
      ASSERT_EQ(rgb_at(image, x, y), test_colour(x, y)) << x << "," << y;
}

TEST(BmpNew, SizesAndHeaderFields) {
  Image a(bmp_new(3, 2, 24));
  ASSERT_TRUE(a);
  EXPECT_EQ(bmp_status(), 0);
  EXPECT_EQ(a->signature, 0x4D42);
  EXPECT_EQ(a->sizeImage, 24u);  // rows of 9 bytes padded to 12
  EXPECT_EQ(a->fileSize, 78u);
  EXPECT_EQ(a->offBits, 54u);
  EXPECT_EQ(a->infoSize, 40u);
  EXPECT_EQ(a->planes, 1);
  EXPECT_EQ(a->bitCount, 24);
  EXPECT_EQ(a->compression | a->xPelsPerMeter | a->yPelsPerMeter | a->clrUsed | a->clrImportant |
                a->reserved1 | a->reserved2,
            0u);
  EXPECT_EQ(a->palette, nullptr);
  EXPECT_EQ(std::vector<uint8_t>(a->pixels, a->pixels + 24), std::vector<uint8_t>(24, 0));

  Image b(bmp_new(3, 2, 8));
  ASSERT_TRUE(b);
  EXPECT_EQ(b->sizeImage, 8u);  // rows of 3 bytes padded to 4
  EXPECT_EQ(b->fileSize, 1086u);
  EXPECT_EQ(b->offBits, 1078u);
  ASSERT_NE(b->palette, nullptr);
  EXPECT_EQ(std::vector<uint8_t>(b->palette, b->palette + 1024), std::vector<uint8_t>(1024, 0));

  Image c(bmp_new(5, 5, 32));
  ASSERT_TRUE(c);
  EXPECT_EQ(c->sizeImage, 100u);
  EXPECT_EQ(c->fileSize, 154u);
}

TEST(BmpNew, RefusesZeroSizesOtherDepthsAndSizesBeyond32Bits) {
  const struct {
    uint32_t width, height;
    uint16_t bits;
    int status;
  } cases[] = {
      {0, 10, 24, 7},
      {10, 0, 24, 7},
      {10, 10, 16, 5},
      {10, 10, 1, 5},
      {0x40000000, 1, 32, 7},  // one row of 2^32 bytes
      {65536, 65536, 8, 7},    // 2^32 bytes of rows
      {1, 0x3FFFFFFF, 24, 7},  // 2^32 - 4 bytes of rows, but no room for the header
      {0xFFFFFFFF, 0xFFFFFFFF, 32, 7},
  };
  for (const auto& c : cases) {
    Image image(bmp_new(c.width, c.height, c.bits));
    EXPECT_FALSE(image) << c.width << "x" << c.height << "x" << c.bits;
    EXPECT_EQ(bmp_status(), c.status) << c.width << "x" << c.height << "x" << c.bits;
  }
}

TEST(BmpPixels, TopRowIsTheLastRowStored) {
  Image image(bmp_new(3, 2, 24));
  bmp_put_rgb(image.get(), 0, 0, 10, 20, 30);
  EXPECT_EQ(bmp_status(), 0);
  // The top row is stored last (rows of 12 bytes); blue, green, red.
  EXPECT_EQ(std::vector<uint8_t>(image->pixels + 12, image->pixels + 15),
            (std::vector<uint8_t>{30, 20, 10}));
  bmp_put_rgb(image.get(), 2, 1, 1, 2, 3);  // bottom row, stored first
  EXPECT_EQ(image->pixels[6], 3);
  EXPECT_EQ(rgb_at(image.get(), 0, 0), (Rgb{10, 20, 30}));
  EXPECT_EQ(rgb_at(image.get(), 2, 1), (Rgb{1, 2, 3}));
  EXPECT_EQ(rgb_at(image.get(), 1, 0), (Rgb{0, 0, 0}));
  uint8_t green = 0;  // null out arguments take nothing
  bmp_rgb_at(image.get(), 0, 0, nullptr, &green, nullptr);
  EXPECT_EQ(green, 20);

  Image deep(bmp_new(2, 2, 32));
  deep->pixels[3] = 0x77;  // pixel (0, 1), the first stored: its fourth byte stays
  bmp_put_rgb(deep.get(), 0, 1, 1, 2, 3);
  EXPECT_EQ(std::vector<uint8_t>(deep->pixels, deep->pixels + 4),
            (std::vector<uint8_t>{3, 2, 1, 0x77}));
}

TEST(BmpPixels, OutsideThePictureOrNullGivesStatus7AndTouchesNothing) {
  Image image(bmp_new(3, 2, 24));
  uint8_t red = 99;
  bmp_rgb_at(image.get(), 3, 0, &red, nullptr, nullptr);
  EXPECT_EQ(bmp_status(), 7);
  bmp_rgb_at(image.get(), 0, 2, &red, nullptr, nullptr);
  EXPECT_EQ(bmp_status(), 7);
  EXPECT_EQ(red, 99);
  EXPECT_EQ(status_text(), "An argument is invalid or out of range");
  bmp_put_rgb(image.get(), 0xFFFFFFFF, 0, 1, 1, 1);
  EXPECT_EQ(bmp_status(), 7);
  EXPECT_EQ(std::vector<uint8_t>(image->pixels, image->pixels + 24), std::vector<uint8_t>(24, 0));
  bmp_put_index(nullptr, 0, 0, 1);
  EXPECT_EQ(bmp_status(), 7);
  EXPECT_EQ(bmp_width(nullptr), 0xFFFFFFFFu);
  EXPECT_EQ(bmp_status(), 7);
  EXPECT_EQ(bmp_height(nullptr), 0xFFFFFFFFu);
  EXPECT_EQ(bmp_bits(nullptr), 0xFFFF);
  EXPECT_EQ(bmp_width(image.get()), 3u);
  EXPECT_EQ(bmp_status(), 0);
  EXPECT_EQ(bmp_status_text(), nullptr);
  EXPECT_EQ(bmp_height(image.get()), 2u);
  EXPECT_EQ(bmp_bits(image.get()), 24);
}

TEST(BmpPixels, PalettesAndIndexes) {
  Image image(bmp_new(4, 3, 8));
  bmp_put_palette(image.get(), 200, 11, 22, 33);
  EXPECT_EQ(bmp_status(), 0);
  EXPECT_EQ(std::vector<uint8_t>(image->palette + 800, image->palette + 804),
            (std::vector<uint8_t>{33, 22, 11, 0}));
  image->palette[803] = 0x5A;  // the reserved byte stays
  bmp_put_palette(image.get(), 200, 1, 2, 3);
  EXPECT_EQ(image->palette[803], 0x5A);
  Rgb entry{0, 0, 0};
  bmp_palette_at(image.get(), 200, &entry.red, &entry.green, &entry.blue);
  EXPECT_EQ(entry, (Rgb{1, 2, 3}));

  bmp_put_index(image.get(), 1, 0, 200);
  EXPECT_EQ(image->pixels[2 * 4 + 1], 200);  // top row stored last, rows of 4
  uint8_t index = 0;
  bmp_index_at(image.get(), 1, 0, &index);
  EXPECT_EQ(index, 200);
  EXPECT_EQ(rgb_at(image.get(), 1, 0), (Rgb{1, 2, 3}));  // the entry's colour

  // Colours can't be written into an indexed image...
  bmp_put_rgb(image.get(), 0, 0, 9, 9, 9);
  EXPECT_EQ(bmp_status(), 8);
  EXPECT_EQ(status_text(), "The requested action is not compatible with the BMP's type");
  EXPECT_EQ(image->pixels[2 * 4], 0);
  // ...nor palettes and indexes used in a colour image.
  Image colour(bmp_new(2, 2, 24));
  entry = {7, 7, 7};
  bmp_palette_at(colour.get(), 0, &entry.red, &entry.green, &entry.blue);
  EXPECT_EQ(bmp_status(), 8);
  EXPECT_EQ(entry, (Rgb{7, 7, 7}));
  bmp_put_palette(colour.get(), 0, 1, 1, 1);
  EXPECT_EQ(bmp_status(), 8);
  index = 7;
  bmp_index_at(colour.get(), 0, 0, &index);
  EXPECT_EQ(bmp_status(), 8);
  EXPECT_EQ(index, 7);
  bmp_put_index(colour.get(), 0, 0, 1);
  EXPECT_EQ(bmp_status(), 8);
  EXPECT_EQ(colour->pixels[0], 0);
  bmp_palette_at(nullptr, 0, nullptr, nullptr, nullptr);
  EXPECT_EQ(bmp_status(), 7);
  bmp_index_at(colour.get(), 5, 0, &index);  // the arguments are checked first
  EXPECT_EQ(bmp_status(), 7);
}

TEST(BmpStatus, ReleaseOfNullKeepsTheStatus) {
  Image none(bmp_new(0, 1, 24));
  EXPECT_EQ(bmp_status(), 7);
  bmp_release(nullptr);
  EXPECT_EQ(bmp_status(), 7);
  bmp_release(bmp_new(1, 1, 24));
  EXPECT_EQ(bmp_status(), 0);
}

TEST(BmpFiles, SaveAndLoadGiveTheSameImage) {
  const fs::path dir = test_dir();
  for (uint16_t bits : {8, 24, 32}) {
    Image image(bmp_new(5, 3, bits));
    image->xPelsPerMeter = 0x01020304;  // byte order shows
    image->clrImportant = 0xA0B0C0D0;
    for (uint32_t i = 0; i < image->sizeImage; ++i) image->pixels[i] = static_cast<uint8_t>(i * 7);
    BmpFile expected = bits == 8 ? indexed_bmp(5, 3) : colour_bmp(5, 3, bits);
    if (bits == 8) {
      for (int i = 0; i < 1024; ++i) image->palette[i] = expected.palette[static_cast<size_t>(i)];
    }
    const std::string path = (dir / ("round" + std::to_string(bits) + ".bmp")).string();
    bmp_write(image.get(), path.c_str());
    ASSERT_EQ(bmp_status(), 0) << bits;
    // Every field little-endian in file order, then palette and pixels.
    expected.xPelsPerMeter = 0x01020304;
    expected.clrImportant = 0xA0B0C0D0;
    expected.pixels.assign(image->pixels, image->pixels + image->sizeImage);
    EXPECT_EQ(read_bytes(path), expected.bytes()) << bits;

    // Loaded and saved again: the same file, so the same fields, palette
    // and pixels.
    Image back(bmp_read(path.c_str()));
    ASSERT_TRUE(back) << bits << ": " << status_text();
    EXPECT_EQ(back->palette == nullptr, bits != 8);
    const std::string again = path + ".again";
    bmp_write(back.get(), again.c_str());
    EXPECT_EQ(read_bytes(again), read_bytes(path)) << bits;
  }
}

TEST(BmpFiles, HeaderOperationsOnShortFilesAndNulls) {
  const fs::path path = test_dir() / "header.bin";
  const std::vector<uint8_t> bytes = colour_bmp(2, 2).bytes();
  write_bytes(path, std::vector<uint8_t>(bytes.begin(), bytes.begin() + 60));
  FILE* file = std::fopen(path.string().c_str(), "rb");
  ASSERT_NE(file, nullptr);
  BmpImage header;
  EXPECT_EQ(bmp_read_header(&header, file), 0);
  EXPECT_EQ(header.width, 2u);
  EXPECT_EQ(header.clrImportant, 0u);
  // Six bytes left: two fields fit, the third comes up short.
  EXPECT_EQ(bmp_read_header(&header, file), 3);
  EXPECT_EQ(bmp_read_header(nullptr, file), 7);
  EXPECT_EQ(bmp_read_header(&header, nullptr), 7);
  EXPECT_EQ(bmp_write_header(&header, nullptr), 7);
  std::fclose(file);
}

TEST(BmpFiles, WriteFailures) {
  const fs::path dir = test_dir();
  Image image(bmp_new(2, 2, 24));
  bmp_write(image.get(), nullptr);
  EXPECT_EQ(bmp_status(), 7);
  bmp_write(image.get(), (dir / "no" / "such" / "dir.bmp").string().c_str());
  EXPECT_EQ(bmp_status(), 4);
  EXPECT_EQ(status_text(), "File not found");
  // Saving no image leaves an existing file alone.
  const fs::path kept = dir / "kept.bmp";
  write_bytes(kept, {1, 2, 3});
  bmp_write(nullptr, kept.string().c_str());
  EXPECT_EQ(bmp_status(), 3);
  EXPECT_EQ(status_text(), "File input/output error");
  EXPECT_EQ(read_bytes(kept), (std::vector<uint8_t>{1, 2, 3}));
}

TEST(BmpRead, FileFailures) {
  Image none(bmp_read(nullptr));
  EXPECT_EQ(bmp_status(), 7);
  Image missing(bmp_read((test_dir() / "missing.bmp").string().c_str()));
  EXPECT_FALSE(missing);
  EXPECT_EQ(bmp_status(), 4);
  Image nodata(bmp_read_bytes(nullptr, 5));
  EXPECT_EQ(bmp_status(), 7);
}

TEST(BmpRead, PlainFilesFromMemoryAndDisk) {
  const BmpFile file = colour_bmp(5, 3);  // rows of 15 bytes padded to 16
  Image image = load(file.bytes());
  ASSERT_TRUE(image) << status_text();
  EXPECT_EQ(bmp_status(), 0);
  EXPECT_EQ(image->sizeImage, 48u);
  EXPECT_EQ(image->fileSize, 102u);
  expect_test_colours(image.get());

  const fs::path path = test_dir() / "plain.bmp";
  write_bytes(path, colour_bmp(7, 4, 32).bytes());
  Image fromDisk(bmp_read(path.string().c_str()));
  ASSERT_TRUE(fromDisk) << status_text();
  EXPECT_EQ(fromDisk->bitCount, 32);
  expect_test_colours(fromDisk.get());

  Image indexed = load(indexed_bmp(3, 2).bytes());
  ASSERT_TRUE(indexed) << status_text();
  uint8_t index = 0;
  bmp_index_at(indexed.get(), 2, 1, &index);
  EXPECT_EQ(index, 4);
  EXPECT_EQ(rgb_at(indexed.get(), 2, 1), (Rgb{4, 251, 28}));
}

TEST(BmpRead, MalformedFiles) {
  const BmpFile good = colour_bmp(3, 2);
  const std::vector<uint8_t> bytes = good.bytes();
  struct Case {
    const char* what;
    std::vector<uint8_t> bytes;
    int status;
  };
  std::vector<Case> cases;
  auto with = [&](const char* what, int status, auto change) {
    BmpFile file = good;
    change(file);
    cases.push_back({what, file.bytes(), status});
  };
  cases.push_back({"empty", {}, 6});
  cases.push_back({"53 bytes", std::vector<uint8_t>(bytes.begin(), bytes.begin() + 53), 6});
  cases.push_back({"cut in the pixels", std::vector<uint8_t>(bytes.begin(), bytes.end() - 1), 6});
  with("no BM", 6, [](BmpFile& f) { f.signature = 0x4D41; });
  with("1 bit", 5, [](BmpFile& f) { f.bitCount = 1; });
  with("4 bits", 5, [](BmpFile& f) { f.bitCount = 4; });
  with("16 bits", 5, [](BmpFile& f) { f.bitCount = 16; });
  with("RLE", 5, [](BmpFile& f) { f.compression = 1; });
  with("bit fields", 5, [](BmpFile& f) { f.compression = 3; });
  with("V4 header", 5, [](BmpFile& f) { f.infoSize = 108; });
  with("V5 header", 5, [](BmpFile& f) { f.infoSize = 124; });
  with("core header", 5, [](BmpFile& f) { f.infoSize = 12; });
  with("width 0", 6, [](BmpFile& f) { f.width = 0; });
  with("height 0", 6, [](BmpFile& f) { f.height = 0; });
  with("negative width", 6, [](BmpFile& f) { f.width = 0xFFFFFFFD; });
  with("height -2^31", 6, [](BmpFile& f) { f.height = 0x80000000; });
  // Sizes the file's bytes can't back are refused before anything is allocated.
  with("sizeImage beyond the file", 6, [](BmpFile& f) { f.sizeImage = 0xFFFFFFF0; });
  with("sizeImage one beyond", 6, [](BmpFile& f) { f.sizeImage = 25; });
  with("rows beyond 32 bits", 6, [](BmpFile& f) {
    f.width = 0x7FFFFFFF;
    f.height = 0x7FFFFFFF;
  });
  with("rows beyond the file", 6, [](BmpFile& f) { f.height = 100000; });
  with("offBits into the header", 6, [](BmpFile& f) { f.offBits = 14; });
  with("offBits beyond the file", 6, [](BmpFile& f) { f.offBits = 0xFFFFFFFF; });
  BmpFile indexed = indexed_bmp(3, 2);
  const std::vector<uint8_t> indexedBytes = indexed.bytes();
  cases.push_back({"cut in the palette",
                   std::vector<uint8_t>(indexedBytes.begin(), indexedBytes.begin() + 54 + 1000),
                   6});
  indexed.clrUsed = 257;
  cases.push_back({"257 colours", indexed.bytes(), 6});

  for (const Case& c : cases) {
    Image image = load(c.bytes);
    EXPECT_FALSE(image) << c.what;
    EXPECT_EQ(bmp_status(), c.status) << c.what;
  }
  Image none = load({'B', 'M'});
  EXPECT_EQ(status_text(), "File is not a valid BMP image");
  Image variant = load(cases[4].bytes);
  EXPECT_EQ(status_text(),
            "File is not a supported BMP variant (must be uncompressed 8, 24 or 32 BPP)");
}

TEST(BmpRead, PixelSizeOfZeroOrTooSmallIsTakenFromTheRows) {
  for (uint32_t sizeImage : {0u, 1u, 23u}) {
    BmpFile file = colour_bmp(3, 2);
    file.sizeImage = sizeImage;
    Image image = load(file.bytes());
    ASSERT_TRUE(image) << sizeImage << ": " << status_text();
    EXPECT_EQ(image->sizeImage, 24u) << sizeImage;
    EXPECT_EQ(image->fileSize, 78u) << sizeImage;
    expect_test_colours(image.get());
  }
  // Too small and the rows are not all there: refused.
  BmpFile cut = colour_bmp(3, 2);
  cut.sizeImage = 12;
  cut.pixels.resize(12);
  Image image = load(cut.bytes());
  EXPECT_FALSE(image);
  EXPECT_EQ(bmp_status(), 6);
}

TEST(BmpRead, TrailingPixelBytesDoNotShiftTheRows) {
  // Some writers count two bytes more than the rows hold.
  BmpFile file = colour_bmp(3, 2);
  file.pixels.insert(file.pixels.end(), {0xEE, 0xEE});
  file.sizeImage = 26;
  Image image = load(file.bytes());
  ASSERT_TRUE(image) << status_text();
  EXPECT_EQ(image->sizeImage, 26u);
  expect_test_colours(image.get());
  // ...and a larger count still: the stride stays that of the width.
  file.pixels.resize(24 + 40, 0xEE);
  file.sizeImage = 64;
  image = load(file.bytes());
  ASSERT_TRUE(image) << status_text();
  expect_test_colours(image.get());
}

TEST(BmpRead, TopDownRowsAreTurnedBottomUp) {
  BmpFile file = colour_bmp(3, 3);
  // Store the rows top row first and say so with a negative height.
  const size_t stride = 12;
  std::vector<uint8_t> topDown;
  for (size_t row = 3; row-- > 0;)
    topDown.insert(topDown.end(), file.pixels.begin() + row * stride,
                   file.pixels.begin() + (row + 1) * stride);
  file.pixels = topDown;
  file.height = static_cast<uint32_t>(-3);
  Image image = load(file.bytes());
  ASSERT_TRUE(image) << status_text();
  EXPECT_EQ(image->height, 3u);
  expect_test_colours(image.get());
  // In memory (and when saved) the rows are bottom-up again.
  EXPECT_EQ(std::vector<uint8_t>(image->pixels, image->pixels + 36), colour_bmp(3, 3).pixels);
}

TEST(BmpRead, PixelDataIsTakenFromOffBits) {
  BmpFile file = colour_bmp(3, 2);
  file.gap.assign(30, 0x99);  // never to be read as pixels
  file.offBits = 54 + 30;
  file.fileSize += 30;
  Image image = load(file.bytes());
  ASSERT_TRUE(image) << status_text();
  expect_test_colours(image.get());
  // Kept as the plain layout, so that saving it gives a consistent file.
  EXPECT_EQ(image->offBits, 54u);
  EXPECT_EQ(image->fileSize, 78u);

  // The same through a file on disk.
  const fs::path path = test_dir() / "gap.bmp";
  write_bytes(path, file.bytes());
  Image fromDisk(bmp_read(path.string().c_str()));
  ASSERT_TRUE(fromDisk) << status_text();
  expect_test_colours(fromDisk.get());
}

TEST(BmpRead, ShortPaletteLeavesTheRestBlack) {
  BmpFile file = indexed_bmp(3, 2);
  file.palette.resize(16 * 4);
  file.clrUsed = 16;
  file.offBits = 54 + 64;
  Image image = load(file.bytes());
  ASSERT_TRUE(image) << status_text();
  EXPECT_EQ(rgb_at(image.get(), 2, 1), (Rgb{4, 251, 28}));
  Rgb entry{1, 1, 1};
  bmp_palette_at(image.get(), 16, &entry.red, &entry.green, &entry.blue);
  EXPECT_EQ(entry, (Rgb{0, 0, 0}));

  // Saved and loaded again: the same picture.
  const fs::path path = test_dir() / "short.bmp";
  bmp_write(image.get(), path.string().c_str());
  ASSERT_EQ(bmp_status(), 0);
  Image back(bmp_read(path.string().c_str()));
  ASSERT_TRUE(back) << status_text();
  for (uint32_t y = 0; y < 2; ++y)
    for (uint32_t x = 0; x < 3; ++x) EXPECT_EQ(rgb_at(back.get(), x, y), rgb_at(image.get(), x, y));
}

TEST(BmpRead, OffBitsOfZeroMeansRightAfterTheHeaderAndPalette) {
  struct Case {
    const char* what;
    BmpFile file;
    uint32_t offBits;  // in memory
  };
  BmpFile colour = colour_bmp(3, 2);
  colour.offBits = 0;
  BmpFile indexed = indexed_bmp(3, 2);
  indexed.offBits = 0;
  BmpFile shortPalette = indexed_bmp(3, 2);
  shortPalette.palette.resize(8 * 4);
  shortPalette.clrUsed = 8;
  shortPalette.offBits = 0;
  const Case cases[] = {
      {"24 bits", colour, 54}, {"8 bits", indexed, 1078}, {"8 colours", shortPalette, 1078}};
  for (const Case& c : cases) {
    Image image = load(c.file.bytes());
    ASSERT_TRUE(image) << c.what << ": " << status_text();
    EXPECT_EQ(image->offBits, c.offBits) << c.what;
    if (c.file.bitCount == 24) {
      expect_test_colours(image.get());
    } else {
      // Index x + 2y; entry i is (i, 255 - i, 7i).
      EXPECT_EQ(rgb_at(image.get(), 2, 1), (Rgb{4, 251, 28})) << c.what;
    }
  }
  // Any other offset inside the header or the palette says nothing to trust.
  for (uint32_t offBits : {1u, 53u}) {
    colour.offBits = offBits;
    EXPECT_FALSE(load(colour.bytes())) << offBits;
    EXPECT_EQ(bmp_status(), 6) << offBits;
  }
  indexed.offBits = 1077;
  EXPECT_FALSE(load(indexed.bytes()));
}

// Whatever layout a picture was read from, it is saved as a plain BMP: the
// header, the full palette, the pixel data, and header sizes that say so.
TEST(BmpFiles, ALoadedPictureIsSavedAsAPlainBmp) {
  struct Case {
    const char* what;
    BmpFile file;
  };
  std::vector<Case> cases;
  auto with = [&cases](const char* what, BmpFile file, auto change) {
    change(file);
    cases.push_back({what, file});
  };
  with("short palette", indexed_bmp(3, 2), [](BmpFile& f) {
    f.palette.resize(16 * 4);
    f.clrUsed = 16;
    f.offBits = 54 + 64;
    f.fileSize = f.offBits + f.sizeImage;
  });
  with("full palette counted", indexed_bmp(3, 2), [](BmpFile& f) { f.clrUsed = 256; });
  with("wrong file size", colour_bmp(3, 2), [](BmpFile& f) { f.fileSize = 12345; });
  with("offBits 0", colour_bmp(3, 2), [](BmpFile& f) { f.offBits = 0; });
  with("gap", colour_bmp(3, 2), [](BmpFile& f) {
    f.gap.assign(6, 0);
    f.offBits = 60;
  });
  const fs::path path = test_dir() / "plain.bmp";
  for (const Case& c : cases) {
    Image image = load(c.file.bytes());
    ASSERT_TRUE(image) << c.what << ": " << status_text();
    bmp_write(image.get(), path.string().c_str());
    ASSERT_EQ(bmp_status(), 0) << c.what;
    const std::vector<uint8_t> bytes = read_bytes(path);
    BmpImage header;
    FILE* file = std::fopen(path.string().c_str(), "rb");
    ASSERT_NE(file, nullptr);
    ASSERT_EQ(bmp_read_header(&header, file), 0);
    std::fclose(file);
    const uint32_t palette = c.file.bitCount == 8 ? 1024 : 0;
    EXPECT_EQ(header.fileSize, bytes.size()) << c.what;
    EXPECT_EQ(header.offBits, 54 + palette) << c.what;
    EXPECT_EQ(bytes.size(), 54 + palette + header.sizeImage) << c.what;
    EXPECT_EQ(header.clrUsed, 0u) << c.what;
    Image back(bmp_read(path.string().c_str()));
    ASSERT_TRUE(back) << c.what;
    for (uint32_t y = 0; y < 2; ++y)
      for (uint32_t x = 0; x < 3; ++x)
        EXPECT_EQ(rgb_at(back.get(), x, y), rgb_at(image.get(), x, y)) << c.what;
  }
}

// Pictures that PIL wrote (tests/data/bmp/make_bmps.py), and the pixels PIL
// read back from them (expected.txt).
TEST(BmpRead, PicturesWrittenByPil) {
  const fs::path dir = fs::path(STOKER_SOURCE_DIR) / "tests" / "data" / "bmp";
  std::ifstream expected(dir / "expected.txt");
  ASSERT_TRUE(expected) << dir;
  std::string name;
  uint32_t width = 0, height = 0, bits = 0;
  int pictures = 0;
  while (expected >> name >> width >> height >> bits) {
    Image image(bmp_read((dir / name).string().c_str()));
    ASSERT_TRUE(image) << name << ": " << status_text();
    EXPECT_EQ(bmp_width(image.get()), width) << name;
    EXPECT_EQ(bmp_height(image.get()), height) << name;
    EXPECT_EQ(bmp_bits(image.get()), bits) << name;
    for (uint32_t y = 0; y < height; ++y) {
      for (uint32_t x = 0; x < width; ++x) {
        int r = 0, g = 0, b = 0;
        char comma = 0;
        expected >> r >> comma >> g >> comma >> b;
        EXPECT_EQ(rgb_at(image.get(), x, y),
                  (Rgb{static_cast<uint8_t>(r), static_cast<uint8_t>(g), static_cast<uint8_t>(b)}))
            << name << " at " << x << "," << y;
      }
    }
    ++pictures;
  }
  EXPECT_EQ(pictures, 7);
  Image mono(bmp_read((dir / "mono1_8x2.bmp").string().c_str()));
  EXPECT_FALSE(mono);
  EXPECT_EQ(bmp_status(), 5);
}

}  // namespace
