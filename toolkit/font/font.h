// Bitmap fonts: a ".bff" font file (a grid of equal glyph cells drawn in a
// 24-bit picture, with the cell size and a table of character widths) packed
// to one bit per pixel, then sent to the target, written to a ".bf" file, or
// written as a C header that declares a constant byte array.
//
// Everything up to the delivery works on bytes in memory: read_bff parses a
// whole font file held in a buffer, pack_glyphs packs it, and the stream and
// header texts are built from the packed records.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "common/common.h"

struct DownloadJob;

// The font file's fields before its picture, in file order. Sizes are
// little-endian 32-bit values in the file; fileId is stored high byte first.
struct BffFont {
  uint16_t fileId = 0;       // kBffFileId
  uint32_t imageWidth = 0;   // picture width in pixels
  uint32_t imageHeight = 0;  // picture height in pixels
  uint32_t cellWidth = 0;    // glyph cell width in pixels
  uint32_t cellHeight = 0;   // glyph cell height in pixels
  uint8_t imageDepth = 0;    // bits per pixel: kBffDepth, 3 bytes a pixel
  uint8_t firstChar = 0;     // character code of cell 0
  uint8_t widths[256] = {};  // width of each character, by character code
};

// Bytes of a font file before its picture.
constexpr size_t kBffHeaderBytes = 276;
// The first two bytes of every font file, and the only depth it may have.
constexpr uint16_t kBffFileId = 0xBFF2;
constexpr uint8_t kBffDepth = 24;

// What the packed font can carry. The stream and the header hold the cell
// width less one and the cell height in a byte each, and a glyph record's
// size (one bit a pixel, rounded up to whole bytes) in one element of the
// header's unsigned char array: at most 255 bytes, 2040 pixels. The glyph
// count is a 16-bit field.
constexpr uint32_t kMaxCellWidth = 256;
constexpr uint32_t kMaxCellHeight = 255;
constexpr uint32_t kMaxCellPixels = 2040;
constexpr uint32_t kMaxGlyphs = 65535;

// The packed font's header, as the stream and the C header give it.
struct BfHeader {
  uint16_t columns = 0;     // cells per picture row
  uint16_t glyphCount = 0;  // cells in the picture (16 bits)
  uint16_t dataBytes = 0;   // cell pixels times glyphCount / 8 (16 bits)
  uint16_t nBytes = 0;      // one glyph record: cell pixels / 8, rounded up
  // cellWidth - 1, cellHeight, smallest width, largest width, nBytes low,
  // nBytes high, dataBytes high, dataBytes low.
  uint8_t head[8] = {};
};

// Why a font file is refused. The packer's arithmetic covers only fonts
// that pass these checks; anything else could lead outside the picture.
enum BffProblem : int {
  BFF_OK = 0,
  BFF_TRUNCATED_HEADER,  // fewer than kBffHeaderBytes bytes
  BFF_EMPTY_CELL,        // cellWidth or cellHeight is 0
  BFF_NARROW_PICTURE,    // imageWidth below cellWidth: not one cell wide
  BFF_CELL_TOO_LARGE,    // cellWidth * cellHeight over kMaxCellPixels
  BFF_FIRST_CHAR_LOW,    // firstChar below 32
  BFF_SHORT_PICTURE,     // fewer picture bytes than imageWidth * imageHeight * 3
  BFF_WRONG_ID,          // fileId is not kBffFileId
  BFF_WRONG_DEPTH,       // imageDepth is not kBffDepth
  BFF_CELL_TOO_WIDE,     // cellWidth over kMaxCellWidth
  BFF_CELL_TOO_TALL,     // cellHeight over kMaxCellHeight
  BFF_LOW_PICTURE,       // imageHeight below cellHeight: not one cell high
  BFF_TOO_MANY_GLYPHS,   // more than kMaxGlyphs cells in the picture
};

// One line saying what is wrong, for a font file refused with this problem.
std::string bff_problem_text(BffProblem problem, const BffFont& font, size_t pictureBytes);

// The picture of a font file: a view into the bytes given to read_bff.
struct BffPicture {
  const uint8_t* bytes = nullptr;
  size_t size = 0;
};

// Parses a whole font file held in memory: the header fields into *font and
// the bytes after them as *picture (a view into data). Returns BFF_OK, or
// the first problem found (then *font holds what could be read).
BffProblem read_bff(const uint8_t* data, size_t size, BffFont* font, BffPicture* picture);

// The checks read_bff makes of a font and the picture bytes it has.
BffProblem check_bff(const BffFont& font, size_t pictureBytes);

// Fills *bf from the font and writes the glyph records into *packed, one
// record of bf->nBytes bytes per character c from firstChar upwards while c
// is below glyphCount + 32, c is not 129, and c has not passed 255 (so from
// a firstChar of 32, characters 32 to 128 at most). *packed is first made large enough for every
// byte that the stream or the header lists (packed_buffer_bytes), and at least as large as the size
// it had on entry; every byte the records don't cover is 0. Returns the number of records written,
// or -1 for a font that check_bff refuses (then nothing is packed). May throw std::bad_alloc.
int pack_glyphs(const BffFont& font, BfHeader* bf, const BffPicture& picture,
                std::vector<uint8_t>* packed);

// Bytes the packed buffer needs for this font header and records: the
// records, the stream data sent in whole 200-byte blocks, and the header
// file's lines.
size_t packed_buffer_bytes(const BfHeader& bf, int records);

// The stream: 11 header bytes, then font_stream_total(bf) bytes of the
// packed buffer.
constexpr size_t kFontStreamHeadBytes = 11;
constexpr int kFontBlockBytes = 200;
void font_stream_head(const BfHeader& bf, uint8_t out[kFontStreamHeadBytes]);
// dataBytes + 2 * nBytes.
int font_stream_total(const BfHeader& bf);

// The progress reports of a stream of `total` bytes: every report passes
// total / divisor and done / divisor, the divisor being the smallest that
// brings the total to 65000 or below by repeated halving (1 + the number of
// halvings).
struct FontProgressScale {
  int divisor = 1;
  int total = 0;  // total / divisor
};
FontProgressScale font_progress_scale(int total);

// The text of the C header for a packed font: the array `arrayName`, its
// eight header elements, one line of nBytes elements per glyph record
// (labelled with the character in a comment), and a final element 0.
std::string font_header_text(const BfHeader& bf, const std::vector<uint8_t>& packed,
                             uint8_t firstChar, const std::string& arrayName);

// Paths and names. The last "." that counts is one in the file name itself
// (after the last '/' or '\\'), never one of a directory.
// path with its extension (from the last "." on) replaced by ".bf"; a path
// without an extension gets ".bf" appended.
std::string font_file_path(const std::string& path);
// path cut at its last "." (unchanged without one).
std::string cut_extension(const std::string& path);
// The array name for a font name: its file name cut at its last ".", made a
// C identifier: characters other than letters, digits and '_' become '_',
// a name that starts with a digit (or is empty) gets "font_" in front, and
// a keyword of C or C++ gets '_' appended.
std::string font_array_name(const std::string& name);

// Result codes of send_font and font_to_header.
enum FontResult : int {
  FONT_OK = 0,
  FONT_UNREADABLE = 1,         // the font file cannot be opened or read
  FONT_WRITE_FAILED = 2,       // send_font: a write to the port failed
  FONT_HEADER_NO_MEMORY = 3,   // font_to_header: no memory for the file
  FONT_ABORTED = 4,            // send_font: the ProgressFn asked to stop
  FONT_HEADER_NO_PACKING = 4,  // font_to_header: no memory for the packed buffer
  FONT_PORT_CLOSED = 5,        // send_font: the job's port is not open
  FONT_HEADER_UNWRITABLE = 5,  // font_to_header: the header file cannot be written
  FONT_NO_MEMORY = 10,         // send_font: a work buffer cannot be allocated
  FONT_BAD_FILE = 13,          // the font file is refused (see BffProblem)
  FONT_BF_UNWRITABLE = 14,     // send_font: the ".bf" file cannot be created or written
  FONT_NAME_TOO_LONG = 15,     // font_to_header: a name of kMaxFontNameLength + 1 or more
};

// Longest font name font_to_header takes (name + ".bff" within 80
// characters with its terminator).
constexpr size_t kMaxFontNameLength = 75;

// What an operation leaves for its caller besides the result code.
struct FontReport {
  // send_font: the job's path as the operation edited it (on its own copy;
  // the job's string is never written): with toFile its extension becomes
  // ".bf", and once the font is packed it is cut at its last ".".
  std::string path;
  std::string output;           // the file created: the ".bf" or ".h" file
  std::string arrayName;        // font_to_header: the array declared
  std::string detail;           // for a nonzero result: what failed
  BffProblem problem = BFF_OK;  // FONT_BAD_FILE: why
  BfHeader bf;                  // the packed font's header, once packed
  int records = 0;              // glyph records packed
  // send_font: bytes of the stream, its 11 header bytes included: to a file
  // the data, to the port whole 200-byte blocks of it.
  long long streamBytes = 0;
};

// A font file read, checked and packed. The picture points into `file`, so
// a PackedFont is moved, never copied.
struct PackedFont {
  PackedFont() = default;
  PackedFont(const PackedFont&) = delete;
  PackedFont& operator=(const PackedFont&) = delete;
  PackedFont(PackedFont&&) = default;
  PackedFont& operator=(PackedFont&&) = default;

  std::vector<uint8_t> file;    // the whole font file
  BffFont font;                 // its fields
  BffPicture picture;           // its picture, in `file`
  std::vector<uint8_t> packed;  // the packed buffer (pack_glyphs)
};

// Reads the font file at path (only a regular file, and no more of it than
// its size when opened), checks it and packs it into *font. Returns FONT_OK,
// FONT_UNREADABLE, FONT_BAD_FILE or FONT_NO_MEMORY; report receives the
// details (detail, problem, bf, records).
int load_font(const char* path, PackedFont* font, FontReport* report);

// Sends a loaded font (the font file job->path) to job->port, the job's send
// string first when not empty (through send_text), or, with job->toFile,
// writes the same bytes to the file named by the path with ".bf" for its
// extension: through a temporary file beside it, renamed into place once
// complete, so a failure leaves an existing file as it was. progress (may
// be null) gets the scaled total and done values; a nonzero return ends the
// operation with FONT_ABORTED. Returns a FontResult; report receives the
// details (its path, output and streamBytes).
int deliver_font(const DownloadJob* job, const PackedFont& font, ProgressFn progress,
                 FontReport* report);

// load_font of job->path, then deliver_font. Returns a FontResult; report
// (may be null) receives the details.
int send_font(const DownloadJob* job, ProgressFn progress, FontReport* report = nullptr);

// Reads name + ".bff" and writes its packed glyphs as a C header: the name
// cut at its last "." plus ".h", declaring an array named after it (see
// font_array_name). An existing header is replaced only once the new one is
// complete. Returns a FontResult; report (may be null) receives the details.
int font_to_header(const char* name, FontReport* report = nullptr);
