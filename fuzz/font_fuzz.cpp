// Fuzz target for the font file reader and the glyph packer: the input is a
// whole .bff file. A font that is refused must pack nothing; one that is
// taken must pack records that start with their characters' widths, a
// buffer that holds everything the stream and the header list, with zeros
// behind the records, and a header of one line per listed record. The input
// is copied into a buffer of its exact size, so AddressSanitizer sees any
// read past the picture.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "toolkit/font/font.h"

namespace {

void check(bool condition) {
  if (!condition) std::abort();
}

size_t count(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::vector<uint8_t> file(data, data + size);
  BffFont font;
  BffPicture picture;
  const BffProblem problem = read_bff(file.data(), file.size(), &font, &picture);
  check(problem == check_bff(font, picture.size) || problem == BFF_TRUNCATED_HEADER);
  BfHeader bf;
  std::vector<uint8_t> packed;
  const int records = pack_glyphs(font, &bf, picture, &packed);
  if (problem != BFF_OK) {
    check(records == -1 && packed.empty());
    check(!bff_problem_text(problem, font, picture.size).empty());
    return 0;
  }
  check(records >= 0 && records <= 224);
  check(bf.nBytes >= 1);
  const size_t used = static_cast<size_t>(records) * bf.nBytes;
  check(packed.size() >= packed_buffer_bytes(bf, records));
  check(packed.size() >= used);
  const size_t total = static_cast<size_t>(font_stream_total(bf));
  check(packed.size() >= (total + kFontBlockBytes - 1) / kFontBlockBytes * kFontBlockBytes);
  for (int r = 0; r < records; ++r)
    check(packed[static_cast<size_t>(r) * bf.nBytes] == font.widths[font.firstChar + r]);
  for (size_t i = used; i < packed.size(); ++i) check(packed[i] == 0);

  const std::string text = font_header_text(bf, packed, font.firstChar, "f");
  const size_t lines = (static_cast<size_t>(bf.dataBytes) + 2 * bf.nBytes - 1) / bf.nBytes;
  check(count(text, "  */\n") == lines);
  check(text.size() > 7 && text.compare(text.size() - 7, 7, "00\n };\n") == 0);
  uint8_t head[kFontStreamHeadBytes];
  font_stream_head(bf, head);
  check(head[0] == bf.head[6] && head[1] == bf.head[7] && head[8] == bf.head[5]);
  return 0;
}
