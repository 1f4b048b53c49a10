// Reading and packing a font file, and the texts made from the packed font.
#include "toolkit/font/font.h"

#include <algorithm>
#include <cstdio>
#include <string_view>

namespace {

uint32_t le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

// Picture bytes a font's header announces, or SIZE_MAX when that does not
// even fit a size_t.
size_t announced_picture_bytes(const BffFont& font) {
  const uint64_t row = static_cast<uint64_t>(font.imageWidth) * 3;
  if (font.imageHeight != 0 && row > SIZE_MAX / font.imageHeight) return SIZE_MAX;
  return static_cast<size_t>(row * font.imageHeight);
}

// Where the last "." of a path's file name is, or npos.
size_t extension_start(const std::string& path) {
  const size_t dot = path.find_last_of('.');
  const size_t slash = path.find_last_of("/\\");
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash))
    return std::string::npos;
  return dot;
}

// Keywords of C and C++, each between blanks.
constexpr std::string_view kKeywords =
    " alignas alignof and and_eq asm auto bitand bitor bool break case catch char "
    "char16_t char32_t char8_t class co_await co_return co_yield compl concept const "
    "const_cast consteval constexpr constinit continue decltype default delete do "
    "double dynamic_cast else enum explicit export extern false float for friend "
    "goto if inline int long mutable namespace new noexcept not not_eq nullptr "
    "operator or or_eq private protected public register reinterpret_cast requires "
    "restrict return short signed sizeof static static_assert static_cast struct "
    "switch template this thread_local throw true try typedef typeid typename typeof "
    "union unsigned using virtual void volatile wchar_t while xor xor_eq ";

bool is_identifier_char(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

// Writes the glyph record of the cell at (left, top): the width byte, the
// cell's pixels without its last column, one bit each, then the fill.
void pack_cell(const BffFont& font, const BffPicture& picture, uint8_t width, size_t left,
               size_t top, uint16_t nBytes, uint8_t* record) {
  size_t k = 0;  // full bytes written after the width byte
  record[0] = width;
  uint8_t mask = 0x80;
  uint8_t accumulator = 0;
  const size_t stride = static_cast<size_t>(font.imageWidth) * 3;
  for (uint32_t y = 0; y < font.cellHeight; ++y) {
    const uint8_t* row = picture.bytes + (top + y) * stride + left * 3;
    for (uint32_t x = 0; x + 1 < font.cellWidth; ++x) {
      if (row[x * 3 + 2] != 0) accumulator |= mask;
      mask >>= 1;
      if (mask == 0) {
        record[1 + k++] = accumulator;
        mask = 0x80;
        accumulator = 0;
      }
    }
  }
  // The rest of the record repeats the pending bits (0 when none).
  for (size_t i = 1 + k; i < nBytes; ++i) record[i] = accumulator;
}

}  // namespace

namespace {

// The cells of the picture's grid (whole cells only), without overflow.
uint64_t grid_cells(const BffFont& font) {
  return static_cast<uint64_t>(font.imageWidth / font.cellWidth) *
         (font.imageHeight / font.cellHeight);
}

}  // namespace

BffProblem check_bff(const BffFont& font, size_t pictureBytes) {
  if (font.fileId != kBffFileId) return BFF_WRONG_ID;
  if (font.imageDepth != kBffDepth) return BFF_WRONG_DEPTH;
  if (font.cellWidth == 0 || font.cellHeight == 0) return BFF_EMPTY_CELL;
  if (font.cellWidth > kMaxCellWidth) return BFF_CELL_TOO_WIDE;
  if (font.cellHeight > kMaxCellHeight) return BFF_CELL_TOO_TALL;
  if (font.cellWidth * font.cellHeight > kMaxCellPixels) return BFF_CELL_TOO_LARGE;
  if (font.imageWidth < font.cellWidth) return BFF_NARROW_PICTURE;
  if (font.imageHeight < font.cellHeight) return BFF_LOW_PICTURE;
  if (grid_cells(font) > kMaxGlyphs) return BFF_TOO_MANY_GLYPHS;
  if (font.firstChar < 32) return BFF_FIRST_CHAR_LOW;
  if (pictureBytes < announced_picture_bytes(font)) return BFF_SHORT_PICTURE;
  return BFF_OK;
}

std::string bff_problem_text(BffProblem problem, const BffFont& font, size_t pictureBytes) {
  char text[200];
  const auto width = static_cast<unsigned long>(font.cellWidth);
  const auto height = static_cast<unsigned long>(font.cellHeight);
  switch (problem) {
    case BFF_OK:
      return "a usable font";
    case BFF_TRUNCATED_HEADER:
      std::snprintf(text, sizeof text, "the file ends inside its %zu-byte header", kBffHeaderBytes);
      break;
    case BFF_WRONG_ID:
      std::snprintf(text, sizeof text, "fileId is 0x%04X; a font file starts with 0x%04X",
                    font.fileId, kBffFileId);
      break;
    case BFF_WRONG_DEPTH:
      std::snprintf(text, sizeof text, "imageDepth is %u bits per pixel; only %u is read",
                    font.imageDepth, kBffDepth);
      break;
    case BFF_EMPTY_CELL:
      std::snprintf(text, sizeof text,
                    "the glyph cell (cellWidth x cellHeight) is %lu x %lu pixels: no pixel at all",
                    width, height);
      break;
    case BFF_CELL_TOO_WIDE:
      std::snprintf(text, sizeof text, "cellWidth is %lu pixels; at most %lu", width,
                    static_cast<unsigned long>(kMaxCellWidth));
      break;
    case BFF_CELL_TOO_TALL:
      std::snprintf(text, sizeof text, "cellHeight is %lu pixels; at most %lu", height,
                    static_cast<unsigned long>(kMaxCellHeight));
      break;
    case BFF_CELL_TOO_LARGE:
      std::snprintf(text, sizeof text,
                    "the glyph cell (cellWidth x cellHeight) is %lu x %lu = %lu pixels; at most "
                    "%lu (a glyph record of 255 bytes)",
                    width, height, width * height, static_cast<unsigned long>(kMaxCellPixels));
      break;
    case BFF_NARROW_PICTURE:
      std::snprintf(text, sizeof text,
                    "imageWidth is %lu pixels, narrower than one cell (cellWidth %lu)",
                    static_cast<unsigned long>(font.imageWidth), width);
      break;
    case BFF_LOW_PICTURE:
      std::snprintf(text, sizeof text,
                    "imageHeight is %lu pixels, shorter than one cell (cellHeight %lu)",
                    static_cast<unsigned long>(font.imageHeight), height);
      break;
    case BFF_TOO_MANY_GLYPHS:
      std::snprintf(text, sizeof text,
                    "the picture holds %llu glyph cells (imageWidth / cellWidth x imageHeight / "
                    "cellHeight); at most %lu",
                    static_cast<unsigned long long>(grid_cells(font)),
                    static_cast<unsigned long>(kMaxGlyphs));
      break;
    case BFF_FIRST_CHAR_LOW:
      std::snprintf(text, sizeof text, "firstChar is %u; it must be 32 or more", font.firstChar);
      break;
    case BFF_SHORT_PICTURE: {
      const size_t announced = announced_picture_bytes(font);
      std::snprintf(
          text, sizeof text, "the picture of %lu x %lu pixels needs %llu bytes, the file holds %zu",
          static_cast<unsigned long>(font.imageWidth), static_cast<unsigned long>(font.imageHeight),
          announced == SIZE_MAX
              ? static_cast<unsigned long long>(font.imageWidth) * 3 * font.imageHeight
              : static_cast<unsigned long long>(announced),
          pictureBytes);
      break;
    }
    default:
      return "unknown problem";
  }
  return text;
}

BffProblem read_bff(const uint8_t* data, size_t size, BffFont* font, BffPicture* picture) {
  *font = BffFont{};
  *picture = BffPicture{};
  if (size < kBffHeaderBytes) return BFF_TRUNCATED_HEADER;
  font->fileId = static_cast<uint16_t>(data[0] << 8 | data[1]);
  font->imageWidth = le32(data + 2);
  font->imageHeight = le32(data + 6);
  font->cellWidth = le32(data + 10);
  font->cellHeight = le32(data + 14);
  font->imageDepth = data[18];
  font->firstChar = data[19];
  std::copy(data + 20, data + kBffHeaderBytes, font->widths);
  picture->bytes = data + kBffHeaderBytes;
  picture->size = size - kBffHeaderBytes;
  return check_bff(*font, picture->size);
}

size_t packed_buffer_bytes(const BfHeader& bf, int records) {
  const size_t nBytes = bf.nBytes;
  size_t bytes = static_cast<size_t>(records > 0 ? records : 0) * nBytes;
  // The port sends whole 200-byte blocks of the stream's data.
  const size_t total = static_cast<size_t>(font_stream_total(bf));
  bytes = std::max(bytes, (total + kFontBlockBytes - 1) / kFontBlockBytes * kFontBlockBytes);
  // The header lists nBytes-byte lines from offsets below dataBytes + nBytes.
  if (nBytes > 0) {
    const size_t lines = (bf.dataBytes + nBytes + nBytes - 1) / nBytes;
    bytes = std::max(bytes, lines * nBytes);
  }
  return bytes;
}

int pack_glyphs(const BffFont& font, BfHeader* bf, const BffPicture& picture,
                std::vector<uint8_t>* packed) {
  *bf = BfHeader{};
  if (check_bff(font, picture.size) != BFF_OK) return -1;

  // check_bff bounds the cell to kMaxCellPixels and the grid to kMaxGlyphs
  // cells, so the 16-bit fields hold them; dataBytes is the format's own
  // 16-bit count (modulo 65536).
  const uint32_t cellPixels = font.cellWidth * font.cellHeight;
  bf->columns = static_cast<uint16_t>(font.imageWidth / font.cellWidth);
  bf->glyphCount = static_cast<uint16_t>(font.imageHeight / font.cellHeight * bf->columns);
  bf->dataBytes = static_cast<uint16_t>(static_cast<uint64_t>(cellPixels) * bf->glyphCount / 8);
  bf->nBytes = static_cast<uint16_t>((cellPixels + 7) / 8);

  // Smallest and largest width over the table's first entries (from entry
  // 0, whatever the first character).
  uint8_t smallest = 100;
  uint8_t largest = 0;
  const int scanned = std::min<int>(bf->glyphCount, 129);
  for (int i = 0; i < scanned; ++i) {
    smallest = std::min(smallest, font.widths[i]);
    largest = std::max(largest, font.widths[i]);
  }
  bf->head[0] = static_cast<uint8_t>(font.cellWidth - 1);
  bf->head[1] = static_cast<uint8_t>(font.cellHeight);
  bf->head[2] = smallest;
  bf->head[3] = largest;
  bf->head[4] = static_cast<uint8_t>(bf->nBytes & 0xFF);
  bf->head[5] = static_cast<uint8_t>(bf->nBytes >> 8);
  bf->head[6] = static_cast<uint8_t>(bf->dataBytes >> 8);
  bf->head[7] = static_cast<uint8_t>(bf->dataBytes & 0xFF);

  // The characters packed: cell number c - firstChar stays below
  // glyphCount because firstChar is 32 or more.
  const int bound = bf->glyphCount + 32;
  int records = 0;
  for (int c = font.firstChar; c < bound && c != 129 && c <= 255; ++c) ++records;

  const size_t needed = packed_buffer_bytes(*bf, records);
  packed->assign(std::max(needed, packed->size()), 0);
  for (int r = 0; r < records; ++r) {
    const size_t g = static_cast<size_t>(r);
    const size_t left = g % bf->columns * font.cellWidth;
    const size_t top = g / bf->columns * font.cellHeight;
    pack_cell(font, picture, font.widths[font.firstChar + r], left, top, bf->nBytes,
              packed->data() + g * bf->nBytes);
  }
  return records;
}

void font_stream_head(const BfHeader& bf, uint8_t out[kFontStreamHeadBytes]) {
  out[0] = static_cast<uint8_t>(bf.dataBytes >> 8);
  out[1] = static_cast<uint8_t>(bf.dataBytes & 0xFF);
  out[2] = bf.head[0];
  out[3] = bf.head[1];
  out[4] = bf.head[2];
  out[5] = bf.head[3];
  out[6] = static_cast<uint8_t>(bf.nBytes & 0xFF);
  out[7] = static_cast<uint8_t>(bf.nBytes >> 8);
  out[8] = bf.head[5];
  out[9] = bf.head[6];
  out[10] = bf.head[7];
}

int font_stream_total(const BfHeader& bf) {
  return bf.dataBytes + 2 * bf.nBytes;
}

FontProgressScale font_progress_scale(int total) {
  FontProgressScale scale;
  for (int v = total; v > 65000; v /= 2) ++scale.divisor;
  scale.total = total / scale.divisor;
  return scale;
}

std::string font_header_text(const BfHeader& bf, const std::vector<uint8_t>& packed,
                             uint8_t firstChar, const std::string& arrayName) {
  std::string text = "\nconst unsigned char " + arrayName + "[] =\n{";
  char line[100];
  std::snprintf(line, sizeof line, "\n%d,%d,%d,%d,%d,%d,%u,%u,\n", bf.head[0], bf.head[1],
                bf.head[2], bf.head[3], bf.nBytes, bf.dataBytes >> 8, bf.dataBytes & 0xFFu, 0u);
  text += line;
  static constexpr char kHex[] = "0123456789abcdef";
  const size_t nBytes = bf.nBytes;
  const size_t end = static_cast<size_t>(bf.dataBytes) + nBytes;
  uint8_t label = firstChar;
  if (nBytes > 0) {
    text.reserve(text.size() + (end / nBytes + 1) * (nBytes * 5 + 10) + 16);
    for (size_t i = 0; i < end && i + nBytes <= packed.size(); i += nBytes) {
      for (size_t j = 0; j < nBytes; ++j) {
        const uint8_t byte = packed[i + j];
        text += "0x";
        text += kHex[byte >> 4];
        text += kHex[byte & 0x0F];
        text += ',';
      }
      text += " /* ";
      text += static_cast<char>(label++);
      text += "  */\n";
    }
  }
  std::snprintf(line, sizeof line, "%02x\n };\n", 0);
  text += line;
  return text;
}

std::string font_file_path(const std::string& path) {
  return cut_extension(path) + ".bf";
}

std::string cut_extension(const std::string& path) {
  const size_t dot = extension_start(path);
  return dot == std::string::npos ? path : path.substr(0, dot);
}

std::string font_array_name(const std::string& name) {
  const std::string cut = cut_extension(name);
  const size_t slash = cut.find_last_of("/\\");
  std::string array = slash == std::string::npos ? cut : cut.substr(slash + 1);
  for (char& c : array)
    if (!is_identifier_char(c)) c = '_';
  if (array.empty() || (array[0] >= '0' && array[0] <= '9')) array = "font_" + array;
  if (kKeywords.find(" " + array + " ") != std::string_view::npos) array += '_';
  return array;
}
