// Fuzz target for the font file reader and the glyph packer: the input is a
// whole .bff file. A font that is refused must pack nothing; one that is
// taken must pack records that start with their characters' widths, a
// buffer that holds everything the stream and the header list, with zeros
// behind the records, and a header of one line per listed record. The input
// is copied into a buffer of its exact size, so AddressSanitizer sees any
// read past the picture.
//
// What is written is checked too, from a copy of the input in a scratch
// directory: the .bf file font-file writes is the 11 stream header bytes and
// the packed data; every element of the C header font-header writes fits an
// unsigned char and is the value packed.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "common/job.h"
#include "fuzz/scratch.h"
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

std::vector<uint8_t> read_scratch(const std::string& name) {
  std::ifstream in(fuzz_scratch_dir() / name, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The elements of the header's array, in order. Each glyph line ends in a
// comment of exactly " /* ", its label character and "  */" (the label may
// be any byte); the rest are numbers, each of which must fit an unsigned
// char.
std::vector<unsigned> header_elements(std::string text) {
  for (size_t at = 0; (at = text.find(" /* ", at)) != std::string::npos;) {
    check(text.compare(at + 5, 4, "  */") == 0);
    text.erase(at, 9);
  }
  const size_t start = text.find("{\n");
  const size_t end = text.rfind("\n };\n");
  check(start != std::string::npos && end != std::string::npos && end > start);
  std::vector<unsigned> values;
  std::string number;
  for (size_t i = start + 2; i <= end; ++i) {
    const char c = text[i];
    if (c != ',' && c != '\n') {
      number += c;
      continue;
    }
    if (number.empty()) continue;  // a line ending after its last comma
    check(number.find_first_not_of("0123456789abcdefx") == std::string::npos);
    const unsigned long value = std::stoul(number, nullptr, number.rfind("0x", 0) == 0 ? 16 : 10);
    check(value <= 255);
    values.push_back(static_cast<unsigned>(value));
    number.clear();
  }
  return values;
}

// font-file and font-header on a copy of the input, against what was packed.
void check_written(const uint8_t* data, size_t size, const BfHeader& bf,
                   const std::vector<uint8_t>& packed) {
  fuzz_scratch_file("f.bff", data, size);
  DownloadJob job;
  job.path = "f.bff";
  job.toFile = 1;
  check(send_font(&job, nullptr) == FONT_OK);
  std::vector<uint8_t> stream(kFontStreamHeadBytes);
  font_stream_head(bf, stream.data());
  stream.insert(stream.end(), packed.begin(), packed.begin() + font_stream_total(bf));
  check(read_scratch("f.bf") == stream);

  check(font_to_header("f") == FONT_OK);
  const std::vector<uint8_t> header = read_scratch("f.h");
  std::vector<unsigned> expected = {bf.head[0], bf.head[1], bf.head[2], bf.head[3],
                                    bf.nBytes,  bf.head[6], bf.head[7], 0u};
  for (size_t i = 0; i < size_t{bf.dataBytes} + bf.nBytes; i += bf.nBytes)
    expected.insert(expected.end(), packed.begin() + static_cast<long>(i),
                    packed.begin() + static_cast<long>(i + bf.nBytes));
  expected.push_back(0);
  check(header_elements(std::string(header.begin(), header.end())) == expected);
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
  check_written(data, size, bf, packed);
  return 0;
}
