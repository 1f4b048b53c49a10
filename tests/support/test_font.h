// Font files for tests: the fields of a .bff file and its picture, written
// byte by byte in the file's own byte order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

struct TestFont {
  uint32_t imageWidth, imageHeight, cellWidth, cellHeight;
  uint8_t firstChar = 32;
  uint8_t widths[256] = {};      // entry c is c unless a test sets it
  std::vector<uint8_t> picture;  // 3 bytes a pixel, rows from the top, all 0 at first

  TestFont(uint32_t w, uint32_t h, uint32_t cw, uint32_t ch)
      : imageWidth(w), imageHeight(h), cellWidth(cw), cellHeight(ch), picture(size_t{w} * h * 3) {
    for (int c = 0; c < 256; ++c) widths[c] = static_cast<uint8_t>(c);
  }
  // One byte (0, 1 or 2; the third one sets a bit) of pixel (x, y).
  void set(uint32_t x, uint32_t y, int byte = 2, uint8_t value = 0xFF) {
    picture[(size_t{y} * imageWidth + x) * 3 + static_cast<size_t>(byte)] = value;
  }
  // Sets every pixel of cell g.
  void fill_cell(uint32_t g) {
    const uint32_t columns = imageWidth / cellWidth;
    for (uint32_t y = 0; y < cellHeight; ++y)
      for (uint32_t x = 0; x < cellWidth; ++x)
        set(g % columns * cellWidth + x, g / columns * cellHeight + y);
  }
  // The file: id, the four sizes little-endian, depth 24, firstChar,
  // widths, picture.
  std::vector<uint8_t> bytes() const {
    std::vector<uint8_t> out = {0xBF, 0xF2};
    for (uint32_t v : {imageWidth, imageHeight, cellWidth, cellHeight})
      for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<uint8_t>(v >> shift));
    out.push_back(24);
    out.push_back(firstChar);
    out.insert(out.end(), widths, widths + 256);
    out.insert(out.end(), picture.begin(), picture.end());
    return out;
  }
};
