// Bitmap fonts: reading .bff files, packing glyphs, the stream to the port
// and to a .bf file, the C header text, and the fonts that are refused.
#include "toolkit/font/font.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "app/kit_progress.h"
#include "common/job.h"
#include "common/stop.h"
#include "tests/support/fake_port.h"
#include "tests/support/test_font.h"

namespace fs = std::filesystem;

namespace {

struct Packed {
  int records = -1;
  BffProblem problem = BFF_OK;
  BffFont font;
  BfHeader bf;
  std::vector<uint8_t> buffer;
};

Packed pack(const std::vector<uint8_t>& file) {
  Packed p;
  BffPicture picture;
  p.problem = read_bff(file.data(), file.size(), &p.font, &picture);
  p.records = pack_glyphs(p.font, &p.bf, picture, &p.buffer);
  return p;
}

std::vector<uint8_t> record(const Packed& p, int index) {
  const auto start = p.buffer.begin() + index * p.bf.nBytes;
  return {start, start + p.bf.nBytes};
}

std::vector<std::pair<int, int>> g_reports;
int g_abortAt = -1;  // report number (from 0) that asks to stop

int record_progress(int total, int done) {
  g_reports.emplace_back(total, done);
  return static_cast<int>(g_reports.size()) - 1 == g_abortAt ? 1 : 0;
}

class FontFiles : public testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           (std::string("sf_") + testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    g_reports.clear();
    g_abortAt = -1;
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string path(const std::string& name) const { return (dir_ / name).string(); }
  std::string put(const std::string& name, const std::vector<uint8_t>& bytes) const {
    std::ofstream(path(name), std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    return path(name);
  }
  static std::vector<uint8_t> read(const std::string& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }

  fs::path dir_;
};

// 123 cells of 8 x 8 in one row: dataBytes 984, a stream of 1000 bytes.
TestFont thousand_byte_font() {
  TestFont f(8 * 123, 8, 8, 8);
  f.fill_cell(0);
  return f;
}

TEST(FontRead, FieldsInTheirByteOrder) {
  std::vector<uint8_t> file(kBffHeaderBytes + 5, 0);
  const uint8_t head[] = {0x12, 0x34, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08,
                          0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F, 0x10, 0x18, 0x41};
  std::copy(std::begin(head), std::end(head), file.begin());
  file[20] = 7;
  file[20 + 255] = 9;
  BffFont font;
  BffPicture picture;
  EXPECT_EQ(read_bff(file.data(), file.size(), &font, &picture), BFF_WRONG_ID);
  EXPECT_EQ(font.fileId, 0x1234);
  EXPECT_EQ(font.imageWidth, 0x04030201u);
  EXPECT_EQ(font.imageHeight, 0x08070605u);
  EXPECT_EQ(font.cellWidth, 0x0C0B0A09u);
  EXPECT_EQ(font.cellHeight, 0x100F0E0Du);
  EXPECT_EQ(font.imageDepth, 0x18);
  EXPECT_EQ(font.firstChar, 0x41);
  EXPECT_EQ(font.widths[0], 7);
  EXPECT_EQ(font.widths[255], 9);
  EXPECT_EQ(picture.bytes, file.data() + kBffHeaderBytes);
  EXPECT_EQ(picture.size, 5u);
}

TEST(FontPack, OneHundredTwentyEightBySixtyFour) {
  TestFont f(128, 64, 8, 8);
  std::fill(std::begin(f.widths), std::end(f.widths), 5);
  f.widths[0] = 3;
  f.widths[127] = 9;
  f.widths[128] = 1;  // beyond the entries scanned
  const Packed p = pack(f.bytes());
  EXPECT_EQ(p.bf.columns, 16);
  EXPECT_EQ(p.bf.glyphCount, 128);
  EXPECT_EQ(p.bf.nBytes, 8);
  EXPECT_EQ(p.bf.dataBytes, 1024);
  EXPECT_EQ(p.records, 97);  // characters 32 to 128
  const uint8_t head[8] = {7, 8, 3, 9, 8, 0, 4, 0};
  EXPECT_EQ(std::vector<uint8_t>(p.bf.head, p.bf.head + 8), std::vector<uint8_t>(head, head + 8));
  EXPECT_EQ(record(p, 96)[0], 1);  // the last record is character 128's
}

TEST(FontPack, TwoCellDiagonal) {
  TestFont f(16, 8, 8, 8);
  for (uint32_t i = 0; i < 8; ++i) f.set(i, i);
  // First and second bytes never set a bit.
  for (uint32_t x = 0; x < 16; ++x) {
    f.set(x, 3, 0);
    f.set(x, 5, 1);
  }
  f.widths[0] = 50;
  f.widths[1] = 2;
  const Packed p = pack(f.bytes());
  EXPECT_EQ(p.bf.columns, 2);
  EXPECT_EQ(p.bf.glyphCount, 2);
  EXPECT_EQ(p.bf.dataBytes, 16);
  EXPECT_EQ(p.bf.nBytes, 8);
  EXPECT_EQ(p.records, 2);
  EXPECT_EQ(record(p, 0), (std::vector<uint8_t>{32, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80}));
  EXPECT_EQ(record(p, 1), (std::vector<uint8_t>{33, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(p.bf.head[2], 2);
  EXPECT_EQ(p.bf.head[3], 50);
  // The header lists three lines, the third beyond the records: zeros.
  EXPECT_EQ(font_header_text(p.bf, p.buffer, 32, "two"),
            "\nconst unsigned char two[] =\n{\n7,8,2,50,8,0,16,0,\n"
            "0x20,0x80,0x80,0x80,0x80,0x80,0x80,0x80, /*    */\n"
            "0x21,0x00,0x00,0x00,0x00,0x00,0x00,0x00, /* !  */\n"
            "0x00,0x00,0x00,0x00,0x00,0x00,0x00,0x00, /* \"  */\n"
            "00\n };\n");
}

TEST(FontPack, RecordLayoutsOfCellSizes) {
  struct Case {
    uint32_t w, h;
    std::vector<uint8_t> full;  // the record of a cell with every pixel set
  };
  // The width byte (32), full bytes of 0xFF, then the fill bytes.
  auto bytes = [](size_t full, size_t fills, uint8_t fill) {
    std::vector<uint8_t> out(1 + full + fills, fill);
    out[0] = 32;
    std::fill(out.begin() + 1, out.begin() + 1 + static_cast<long>(full), uint8_t{0xFF});
    return out;
  };
  const Case cases[] = {
      {8, 8, bytes(7, 0, 0)},        // 8 rows of 7 bits, nothing pending
      {16, 16, bytes(30, 1, 0)},     // 16 rows of 15 bits, one byte of 0
      {11, 21, bytes(26, 2, 0xC0)},  // 210 bits: 2 pending, repeated
  };
  for (const Case& c : cases) {
    TestFont f(c.w * 2, c.h, c.w, c.h);
    f.fill_cell(0);
    // Only the last column of cell 1: never taken.
    for (uint32_t y = 0; y < c.h; ++y) f.set(2 * c.w - 1, y);
    const Packed p = pack(f.bytes());
    ASSERT_EQ(p.records, 2) << c.w << "x" << c.h;
    EXPECT_EQ(p.bf.nBytes, c.full.size()) << c.w << "x" << c.h;
    EXPECT_EQ(record(p, 0), c.full) << c.w << "x" << c.h;
    std::vector<uint8_t> empty(c.full.size(), 0);
    empty[0] = 33;
    EXPECT_EQ(record(p, 1), empty) << c.w << "x" << c.h;
  }
}

TEST(FontPack, CharactersPackedDependOnFirstCharAndBound) {
  struct Case {
    uint8_t firstChar;
    uint32_t rows;  // of 16 cells of 8 x 8
    int records;
  };
  const Case cases[] = {
      {32, 1, 16},    // 32..47
      {40, 1, 8},     // bound 48 whatever firstChar is
      {32, 16, 97},   // never above 128
      {129, 16, 0},   // 129 itself is never packed
      {200, 16, 56},  // 200..255, never wrapping to 0
  };
  for (const Case& c : cases) {
    TestFont f(128, 8 * c.rows, 8, 8);
    f.firstChar = c.firstChar;
    const Packed p = pack(f.bytes());
    EXPECT_EQ(p.records, c.records) << int{c.firstChar};
    if (p.records > 0) {
      EXPECT_EQ(record(p, p.records - 1)[0], c.firstChar + p.records - 1);
    }
  }
}

TEST(FontPack, BufferHoldsEverythingListedWithZerosBeyondTheRecords) {
  TestFont f(128, 128, 8, 8);  // 256 glyphs: dataBytes 2048, stream 2064
  for (uint32_t g = 0; g < 256; ++g) f.fill_cell(g);
  const Packed p = pack(f.bytes());
  ASSERT_EQ(p.records, 97);
  EXPECT_EQ(font_stream_total(p.bf), 2064);
  EXPECT_GE(p.buffer.size(), 2200u);  // the last 200-byte block's end
  for (size_t i = 97 * 8; i < p.buffer.size(); ++i) ASSERT_EQ(p.buffer[i], 0) << i;
  // 257 header lines of 8 bytes.
  const std::string text = font_header_text(p.bf, p.buffer, 32, "f");
  size_t lines = 0;
  for (size_t at = text.find("  */\n"); at != std::string::npos; at = text.find("  */\n", at + 1))
    ++lines;
  EXPECT_EQ(lines, 257u);
}

TEST(FontPack, FontsAtTheLimitsKeepTheirValues) {
  struct Case {
    uint32_t w, h, cw, ch;
    uint16_t glyphCount, nBytes;
    uint8_t head0, head1;
  };
  const Case cases[] = {
      {256, 7, 256, 7, 1, 224, 255, 7},  // the widest cell
      {8, 255, 8, 255, 1, 255, 7, 255},  // the tallest, 2040 pixels
      {255, 8, 255, 8, 1, 255, 254, 8},  // 2040 pixels the other way
      {65535, 1, 1, 1, 65535, 1, 0, 1},  // the most glyphs
      {255, 257, 1, 1, 65535, 1, 0, 1},  // as many in a grid of 255 x 257
  };
  for (const Case& c : cases) {
    const Packed p = pack(TestFont(c.w, c.h, c.cw, c.ch).bytes());
    ASSERT_EQ(p.problem, BFF_OK) << c.cw << "x" << c.ch;
    EXPECT_EQ(p.bf.glyphCount, c.glyphCount) << c.cw << "x" << c.ch;
    EXPECT_EQ(p.bf.nBytes, c.nBytes) << c.cw << "x" << c.ch;
    EXPECT_EQ(p.bf.head[0], c.head0) << c.cw << "x" << c.ch;
    EXPECT_EQ(p.bf.head[1], c.head1) << c.cw << "x" << c.ch;
  }
}

TEST(FontPack, ProgressScale) {
  const std::pair<int, FontProgressScale> cases[] = {
      {0, {1, 0}}, {65000, {1, 65000}}, {65001, {2, 32500}}, {140000, {3, 46666}}};
  for (const auto& [total, scale] : cases) {
    EXPECT_EQ(font_progress_scale(total).divisor, scale.divisor) << total;
    EXPECT_EQ(font_progress_scale(total).total, scale.total) << total;
  }
}

TEST(FontNames, PathsAndArrayNames) {
  using Names = std::pair<const char*, const char*>;
  for (const auto& [path, bf] : {Names{"fonts/big.bff", "fonts/big.bf"}, Names{"big", "big.bf"},
                                 Names{"../fonts.d/big", "../fonts.d/big.bf"}})
    EXPECT_EQ(font_file_path(path), bf);
  EXPECT_EQ(cut_extension("fonts/big.bf"), "fonts/big");
  EXPECT_EQ(cut_extension("a.b\\c"), "a.b\\c");
  for (const auto& [name, array] :
       {Names{"small", "small"}, Names{"my.font", "my"}, Names{"dir.x/my-font.v2", "my_font"},
        Names{"fonts/8x8", "font_8x8"}, Names{"int", "int_"}, Names{"intx", "intx"},
        Names{".hidden", "font_"}})
    EXPECT_EQ(font_array_name(name), array);
}

TEST_F(FontFiles, ToFileWritesStreamAndEditsItsOwnPath) {
  fs::create_directories(dir_ / "fonts");
  const std::string input = put("fonts/big.bff", thousand_byte_font().bytes());
  const std::string callers = input;  // the job's string must stay as it is
  DownloadJob job;
  job.path = callers.c_str();
  job.toFile = 1;
  job.send = "never sent";
  FontReport report;
  ASSERT_EQ(send_font(&job, record_progress, &report), FONT_OK) << report.detail;
  EXPECT_EQ(callers, input);
  EXPECT_EQ(report.path, path("fonts/big"));
  EXPECT_EQ(report.output, path("fonts/big.bf"));
  const std::vector<uint8_t> out = read(report.output);
  ASSERT_EQ(out.size(), 11u + 1000u);
  EXPECT_EQ(std::vector<uint8_t>(out.begin(), out.begin() + 11),
            (std::vector<uint8_t>{0x03, 0xD8, 7, 8, 0, 122, 8, 0, 0, 0x03, 0xD8}));
  EXPECT_EQ(out[11], 32);  // record 32: width, then its full cell
  EXPECT_EQ(out[12], 0xFF);
  // The report before anything is written, and one before byte 0.
  EXPECT_EQ(g_reports, (std::vector<std::pair<int, int>>{{1000, 0}, {1000, 0}}));
}

TEST_F(FontFiles, PortGetsHeadBytesSinglyThenWholeBlocks) {
  FakePort fake;
  ASSERT_EQ(fake.open(), 0);
  fake.events.clear();
  const std::string input = put("big.bff", thousand_byte_font().bytes());
  DownloadJob job;
  job.path = input.c_str();
  job.port = &fake.port;
  job.send = "AB\\r";
  FontReport report;
  ASSERT_EQ(send_font(&job, record_progress, &report), FONT_OK) << report.detail;
  EXPECT_EQ(report.path, path("big"));
  EXPECT_EQ(report.streamBytes, 1011);
  const std::vector<FakeEvent> writes = fake.writes();
  ASSERT_EQ(writes.size(), 3u + 11u + 5u);
  for (size_t i = 0; i < 14; ++i) EXPECT_EQ(writes[i].bytes.size(), 1u) << i;
  for (size_t i = 14; i < writes.size(); ++i) EXPECT_EQ(writes[i].bytes.size(), 200u) << i;
  const std::vector<uint8_t> all = fake.written();
  EXPECT_EQ(std::vector<uint8_t>(all.begin(), all.begin() + 4),
            (std::vector<uint8_t>{'A', 'B', '\r', 0x03}));
  EXPECT_EQ(g_reports,
            (std::vector<std::pair<int, int>>{
                {1000, 0}, {1000, 0}, {1000, 200}, {1000, 400}, {1000, 600}, {1000, 800}}));
}

TEST_F(FontFiles, ProgressStopsTheTransfer) {
  const std::string input = put("big.bff", thousand_byte_font().bytes());
  FakePort fake;
  ASSERT_EQ(fake.open(), 0);
  fake.events.clear();
  DownloadJob job;
  job.path = input.c_str();
  job.port = &fake.port;
  g_abortAt = 2;  // after the second block
  EXPECT_EQ(send_font(&job, record_progress, nullptr), FONT_ABORTED);
  EXPECT_EQ(fake.written().size(), 11u + 400u);

  // To a file: nothing is created, and a file there stays as it was.
  job.toFile = 1;
  for (int abortAt : {0, 1}) {  // before anything; before byte 0
    g_reports.clear();
    g_abortAt = abortAt;
    EXPECT_EQ(send_font(&job, record_progress, nullptr), FONT_ABORTED);
    EXPECT_FALSE(fs::exists(path("big.bf")));
  }
  put("big.bf", {1, 2, 3});
  g_reports.clear();
  EXPECT_EQ(send_font(&job, record_progress, nullptr), FONT_ABORTED);
  EXPECT_EQ(read(path("big.bf")), (std::vector<uint8_t>{1, 2, 3}));
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), 2);
}

TEST_F(FontFiles, CtrlCDuringTheBlocksIsAnAbort) {
  const std::string input = put("big.bff", thousand_byte_font().bytes());
  FakePort fake;
  ASSERT_EQ(fake.open(), 0);
  fake.events.clear();
  fake.onWrite = [](FakePort&, const std::vector<uint8_t>& bytes) {
    if (bytes.size() == 200) stop_request();  // Ctrl-C while the first block goes out
  };
  DownloadJob job;
  job.path = input.c_str();
  job.port = &fake.port;
  const int result = send_font(&job, kit_progress, nullptr);
  stop_clear();
  EXPECT_EQ(result, FONT_ABORTED);
  EXPECT_EQ(fake.written().size(), 11u + 200u);
}

TEST_F(FontFiles, PortFailures) {
  const std::string input = put("big.bff", thousand_byte_font().bytes());
  FakePort fake;
  DownloadJob job;
  job.path = input.c_str();
  job.port = &fake.port;
  FontReport report;
  EXPECT_EQ(send_font(&job, nullptr, &report), FONT_PORT_CLOSED);
  ASSERT_EQ(fake.open(), 0);
  fake.writeError = 5;
  EXPECT_EQ(send_font(&job, nullptr, &report), FONT_WRITE_FAILED);
  EXPECT_NE(report.detail.find("error 5"), std::string::npos) << report.detail;
}

TEST_F(FontFiles, HeaderNamesAndText) {
  TestFont f(16, 8, 8, 8);
  put("small.bff", f.bytes());
  put("my.font.bff", f.bytes());
  FontReport report;
  ASSERT_EQ(font_to_header(path("small").c_str(), &report), FONT_OK) << report.detail;
  EXPECT_EQ(report.output, path("small.h"));
  EXPECT_EQ(report.arrayName, "small");
  const std::vector<uint8_t> text = read(path("small.h"));
  const std::string start = "\nconst unsigned char small[] =\n{\n7,8,0,1,8,0,16,0,\n0x20,0x00,";
  EXPECT_EQ(std::string(text.begin(), text.begin() + static_cast<long>(start.size())), start);
  ASSERT_EQ(font_to_header(path("my.font").c_str(), &report), FONT_OK) << report.detail;
  EXPECT_EQ(report.output, path("my.h"));
  EXPECT_EQ(report.arrayName, "my");
  EXPECT_TRUE(fs::exists(path("my.h")));
}

TEST_F(FontFiles, OutputsThatCannotBeWritten) {
  const std::vector<uint8_t> font = TestFont(16, 8, 8, 8).bytes();
  const std::string input = put("small.bff", font);
  // A directory where the output goes.
  fs::create_directories(dir_ / "small.bf");
  fs::create_directories(dir_ / "small.h");
  DownloadJob job;
  job.path = input.c_str();
  job.toFile = 1;
  FontReport report;
  EXPECT_EQ(send_font(&job, nullptr, &report), FONT_BF_UNWRITABLE);
  EXPECT_NE(report.detail.find("small.bf"), std::string::npos) << report.detail;
  EXPECT_EQ(font_to_header(path("small").c_str(), &report), FONT_HEADER_UNWRITABLE);
  // A font named .bf would be overwritten by its own output: refused.
  const std::string same = put("twin.bf", font);
  job.path = same.c_str();
  EXPECT_EQ(send_font(&job, nullptr, &report), FONT_BF_UNWRITABLE);
  EXPECT_EQ(read(same), font);
}

TEST_F(FontFiles, MissingFontAndLongNames) {
  DownloadJob job;
  const std::string missing = path("none.bff");
  job.path = missing.c_str();
  job.toFile = 1;
  FontReport report;
  EXPECT_EQ(send_font(&job, nullptr, &report), FONT_UNREADABLE);
  EXPECT_FALSE(fs::exists(path("none.bf")));
  EXPECT_EQ(font_to_header(path("none").c_str(), &report), FONT_UNREADABLE);
  EXPECT_NE(report.detail.find("none.bff"), std::string::npos) << report.detail;

  // 75 characters fit, 76 do not.
  const std::string base = path("");
  ASSERT_LT(base.size(), 70u);
  const std::string fits = base + std::string(kMaxFontNameLength - base.size(), 'a');
  put(fs::path(fits).filename().string() + ".bff", TestFont(8, 8, 8, 8).bytes());
  EXPECT_EQ(font_to_header(fits.c_str(), &report), FONT_OK) << report.detail;
  EXPECT_EQ(font_to_header((fits + "a").c_str(), &report), FONT_NAME_TOO_LONG);
}

struct BadFont {
  const char* name;
  BffProblem problem;
  std::vector<uint8_t> bytes;
  std::vector<std::string> named;  // the field and the limit the message names
};

std::vector<BadFont> bad_fonts() {
  auto with = [](TestFont f, void (*edit)(TestFont&)) {
    edit(f);
    return f.bytes();
  };
  const TestFont good(16, 8, 8, 8);
  std::vector<uint8_t> truncated = good.bytes();
  truncated.resize(kBffHeaderBytes - 1);
  std::vector<uint8_t> shortPicture = good.bytes();
  shortPicture.pop_back();
  std::vector<uint8_t> huge = good.bytes();  // 0xFFFFFFFF x 0xFFFFFFFF pixels
  std::fill(huge.begin() + 2, huge.begin() + 10, 0xFF);
  std::vector<uint8_t> wrongId = good.bytes();
  wrongId[1] = 0xF3;
  std::vector<uint8_t> depth32 = good.bytes();
  depth32[18] = 32;
  return {
      {"TruncatedHeader", BFF_TRUNCATED_HEADER, truncated, {"276-byte header"}},
      {"WrongFileId", BFF_WRONG_ID, wrongId, {"fileId", "0xBFF3", "0xBFF2"}},
      {"ThirtyTwoBitsPerPixel", BFF_WRONG_DEPTH, depth32, {"imageDepth", "32", "only 24"}},
      {"CellWidthZero",
       BFF_EMPTY_CELL,
       with(good, [](TestFont& f) { f.cellWidth = 0; }),
       {"cellWidth x cellHeight", "0 x 8"}},
      {"CellHeightZero",
       BFF_EMPTY_CELL,
       with(good, [](TestFont& f) { f.cellHeight = 0; }),
       {"8 x 0"}},
      {"NarrowerThanACell",
       BFF_NARROW_PICTURE,
       with(good, [](TestFont& f) { f.cellWidth = 17; }),
       {"imageWidth is 16", "cellWidth 17"}},
      {"CellWidth257",
       BFF_CELL_TOO_WIDE,
       with(TestFont(257, 1, 257, 1), [](TestFont&) {}),
       {"cellWidth is 257", "at most 256"}},
      {"CellHeight256",
       BFF_CELL_TOO_TALL,
       with(good,
            [](TestFont& f) {
              f.cellWidth = f.cellHeight = 256;
              f.imageWidth = 256;
            }),
       {"cellHeight is 256", "at most 255"}},
      {"CellOf2041Pixels",
       BFF_CELL_TOO_LARGE,
       with(TestFont(157, 13, 157, 13), [](TestFont&) {}),
       {"157 x 13 = 2041", "at most 2040"}},
      {"ACellOf48By48",
       BFF_CELL_TOO_LARGE,
       with(TestFont(48, 48, 48, 48), [](TestFont&) {}),
       {"cellWidth x cellHeight", "2304", "2040"}},
      {"PictureLowerThanACell",
       BFF_LOW_PICTURE,
       with(good, [](TestFont& f) { f.imageHeight = 7; }),
       {"imageHeight is 7", "cellHeight 8"}},
      {"MoreThan65535Glyphs",
       BFF_TOO_MANY_GLYPHS,
       with(TestFont(256, 256, 1, 1), [](TestFont&) {}),
       {"65536 glyph cells", "at most 65535"}},
      {"FirstCharBelow32",
       BFF_FIRST_CHAR_LOW,
       with(good, [](TestFont& f) { f.firstChar = 31; }),
       {"firstChar is 31", "32"}},
      {"PictureShort", BFF_SHORT_PICTURE, shortPicture, {"needs 384 bytes", "holds 383"}},
      {"PictureOf4GBySquared", BFF_TOO_MANY_GLYPHS, huge, {"glyph cells", "at most 65535"}},
  };
}

class FontRefused : public FontFiles, public testing::WithParamInterface<BadFont> {};

TEST_P(FontRefused, WithAClearReasonAndNoOutput) {
  const BadFont& c = GetParam();
  Packed p = pack(c.bytes);
  EXPECT_EQ(p.problem, c.problem);
  EXPECT_EQ(p.records, -1);
  EXPECT_TRUE(p.buffer.empty());

  const std::string input = put("bad.bff", c.bytes);
  DownloadJob job;
  job.path = input.c_str();
  job.toFile = 1;
  FontReport report;
  EXPECT_EQ(send_font(&job, nullptr, &report), FONT_BAD_FILE);
  EXPECT_EQ(report.problem, c.problem);
  EXPECT_NE(report.detail.find("bad.bff is not a usable font: "), std::string::npos)
      << report.detail;
  for (const std::string& word : c.named)
    EXPECT_NE(report.detail.find(word), std::string::npos) << word << " in: " << report.detail;
  EXPECT_EQ(font_to_header(path("bad").c_str(), &report), FONT_BAD_FILE);
  EXPECT_FALSE(fs::exists(path("bad.bf")));
  EXPECT_FALSE(fs::exists(path("bad.h")));
}

INSTANTIATE_TEST_SUITE_P(Malformed, FontRefused, testing::ValuesIn(bad_fonts()),
                         [](const testing::TestParamInfo<BadFont>& info) {
                           return info.param.name;
                         });

}  // namespace
