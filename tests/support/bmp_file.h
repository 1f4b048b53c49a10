// BMP files assembled byte by byte for tests, without the image module: the
// header fields as named values (any of them may be set to nonsense), then
// the palette, a gap and the pixel data as given.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct Rgb {
  uint8_t red, green, blue;
  bool operator==(const Rgb& o) const { return red == o.red && green == o.green && blue == o.blue; }
};

// A colour per pixel with every channel varying, and 255, 3 and 4 (the
// edges of the 6-bit reduction) at the top-left corner.
inline Rgb test_colour(uint32_t x, uint32_t y) {
  if (x == 0 && y == 0) return {255, 3, 4};
  return {static_cast<uint8_t>(x * 37 + y * 5), static_cast<uint8_t>(x * 3 + y * 71 + 9),
          static_cast<uint8_t>(250 - x * 11 - y * 23)};
}

struct BmpFile {
  uint16_t signature = 0x4D42;
  uint32_t fileSize = 0;
  uint16_t reserved1 = 0;
  uint16_t reserved2 = 0;
  uint32_t offBits = 54;
  uint32_t infoSize = 40;
  uint32_t width = 0;
  uint32_t height = 0;  // negative values as their 32-bit pattern
  uint16_t planes = 1;
  uint16_t bitCount = 24;
  uint32_t compression = 0;
  uint32_t sizeImage = 0;
  uint32_t xPelsPerMeter = 0;
  uint32_t yPelsPerMeter = 0;
  uint32_t clrUsed = 0;
  uint32_t clrImportant = 0;
  std::vector<uint8_t> palette;
  std::vector<uint8_t> gap;
  std::vector<uint8_t> pixels;

  std::vector<uint8_t> bytes() const {
    std::vector<uint8_t> out;
    auto put = [&out](uint32_t value, int width) {
      for (int i = 0; i < width; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
    };
    put(signature, 2);
    put(fileSize, 4);
    put(reserved1, 2);
    put(reserved2, 2);
    put(offBits, 4);
    put(infoSize, 4);
    put(width, 4);
    put(height, 4);
    put(planes, 2);
    put(bitCount, 2);
    put(compression, 4);
    put(sizeImage, 4);
    put(xPelsPerMeter, 4);
    put(yPelsPerMeter, 4);
    put(clrUsed, 4);
    put(clrImportant, 4);
    out.insert(out.end(), palette.begin(), palette.end());
    out.insert(out.end(), gap.begin(), gap.end());
    out.insert(out.end(), pixels.begin(), pixels.end());
    return out;
  }
};

inline uint32_t padded_row(uint32_t width, uint32_t bytesPerPixel) {
  return (width * bytesPerPixel + 3) / 4 * 4;
}

// A plain 24- or 32-bit picture of test_colour, rows stored bottom-up.
inline BmpFile colour_bmp(uint32_t width, uint32_t height, uint16_t bits = 24) {
  BmpFile file;
  file.width = width;
  file.height = height;
  file.bitCount = bits;
  const uint32_t bpp = bits / 8u;
  const uint32_t stride = padded_row(width, bpp);
  file.pixels.assign(static_cast<size_t>(stride) * height, 0);
  for (uint32_t y = 0; y < height; ++y) {
    for (uint32_t x = 0; x < width; ++x) {
      const Rgb c = test_colour(x, y);
      uint8_t* p = &file.pixels[static_cast<size_t>(height - 1 - y) * stride + x * bpp];
      p[0] = c.blue;
      p[1] = c.green;
      p[2] = c.red;
      if (bpp == 4) p[3] = 0xA5;
    }
  }
  file.sizeImage = static_cast<uint32_t>(file.pixels.size());
  file.fileSize = 54 + file.sizeImage;
  return file;
}

// A plain 8-bit picture: index (x + 2y) mod 256 per pixel, palette entry i
// the colour (i, 255 - i, 7i).
inline BmpFile indexed_bmp(uint32_t width, uint32_t height) {
  BmpFile file;
  file.width = width;
  file.height = height;
  file.bitCount = 8;
  for (int i = 0; i < 256; ++i) {
    file.palette.push_back(static_cast<uint8_t>(7 * i));
    file.palette.push_back(static_cast<uint8_t>(255 - i));
    file.palette.push_back(static_cast<uint8_t>(i));
    file.palette.push_back(0);
  }
  const uint32_t stride = padded_row(width, 1);
  file.pixels.assign(static_cast<size_t>(stride) * height, 0);
  for (uint32_t y = 0; y < height; ++y)
    for (uint32_t x = 0; x < width; ++x)
      file.pixels[static_cast<size_t>(height - 1 - y) * stride + x] =
          static_cast<uint8_t>(x + 2 * y);
  file.offBits = 54 + 1024;
  file.sizeImage = static_cast<uint32_t>(file.pixels.size());
  file.fileSize = file.offBits + file.sizeImage;
  return file;
}

// What the picture transfer sends for a picture of test_colour: height and
// width high byte first, then red / 4, green / 4, blue / 4 per pixel from
// the top row.
inline std::vector<uint8_t> picture_stream(uint32_t width, uint32_t height) {
  std::vector<uint8_t> s = {static_cast<uint8_t>(height >> 8), static_cast<uint8_t>(height),
                            static_cast<uint8_t>(width >> 8), static_cast<uint8_t>(width)};
  for (uint32_t y = 0; y < height; ++y) {
    for (uint32_t x = 0; x < width; ++x) {
      const Rgb c = test_colour(x, y);
      s.insert(s.end(), {static_cast<uint8_t>(c.red / 4), static_cast<uint8_t>(c.green / 4),
                         static_cast<uint8_t>(c.blue / 4)});
    }
  }
  return s;
}

// The C header of a stream: its bytes in decimal, a line break after every
// sixth pixel.
inline std::string picture_header_text(const std::vector<uint8_t>& stream) {
  std::string text = "\nconst unsigned char pic[]={ " + std::to_string(stream[0]);
  for (size_t i = 1; i < 4; ++i) text += "," + std::to_string(stream[i]);
  for (size_t i = 4, pixel = 1; i + 2 < stream.size(); i += 3, ++pixel) {
    for (size_t k = 0; k < 3; ++k) text += "," + std::to_string(stream[i + k]);
    if (pixel % 6 == 0) text += "\n";
  }
  return text + " };\n";
}
