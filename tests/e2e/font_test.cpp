// stoker-kit font-header, font-file and send-font: the files they write, the
// bytes a target receives, and their exit status and message on failure.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "tests/e2e/support.h"
#include "tests/support/test_font.h"

namespace {

constexpr int kRunLimitMs = 30000;

// Two 8 x 8 cells, the first with its diagonal set: dataBytes 16, nBytes 8.
std::vector<uint8_t> diagonal_font() {
  TestFont font(16, 8, 8, 8);
  for (uint32_t i = 0; i < 8; ++i) font.set(i, i);
  return font.bytes();
}

// 24 cells of 8 x 8: dataBytes 192, a stream of 11 + 208 bytes.
std::vector<uint8_t> block_font() {
  TestFont font(8 * 24, 8, 8, 8);
  font.fill_cell(1);
  return font.bytes();
}

const std::vector<uint8_t> kDiagonalRecords = {32, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80,
                                               33, 0,    0,    0,    0,    0,    0,    0};

struct FontE2E : testing::Test {
  std::string dir = make_temp_dir();

  ProcessResult kit(const std::vector<std::string>& args) {
    return run_host("stoker-kit", args, kRunLimitMs);
  }
};

TEST_F(FontE2E, FontHeaderWritesTheHeaderAndPrintsItsName) {
  put_file(dir, "my.font.bff", diagonal_font());
  const ProcessResult r = kit({"font-header", host_path(dir + "/my.font")});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, host_path(dir + "/my.h") + "\n");
  const std::vector<uint8_t> header = read_file(dir + "/my.h");
  EXPECT_EQ(std::string(header.begin(), header.end()),
            "\nconst unsigned char my[] =\n{\n7,8,0,1,8,0,16,0,\n"
            "0x20,0x80,0x80,0x80,0x80,0x80,0x80,0x80, /*    */\n"
            "0x21,0x00,0x00,0x00,0x00,0x00,0x00,0x00, /* !  */\n"
            "0x00,0x00,0x00,0x00,0x00,0x00,0x00,0x00, /* \"  */\n"
            "00\n };\n");
}

TEST_F(FontE2E, FontFileWritesTheStreamBesideTheFont) {
  put_file(dir, "big.bff", diagonal_font());
  const ProcessResult r = kit({"font-file", host_path(dir + "/big.bff")});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, host_path(dir + "/big.bf") + "\n");
  std::vector<uint8_t> expected = {0, 16, 7, 8, 0, 1, 8, 0, 0, 0, 16};
  expected.insert(expected.end(), kDiagonalRecords.begin(), kDiagonalRecords.end());
  expected.resize(expected.size() + 16, 0);  // dataBytes + 2 nBytes = 32 bytes of data
  EXPECT_EQ(read_file(dir + "/big.bf"), expected);
}

TEST_F(FontE2E, SendFontSendsTextHeadAndWholeBlocks) {
  SimTarget target;
  ASSERT_TRUE(target.start({"--mode", "sink", "--idle-ms", "500"}));
  const std::string font = put_file(dir, "block.bff", block_font());
  const ProcessResult r =
      kit({"send-font", target.host_port(), "115200", font, "--send", "F\\0x41\\r"});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("411 bytes of font " + font + " sent (24 glyphs of 8 bytes)"),
            std::string::npos)
      << r.out;
  const std::string s = target.summary(10000);
  EXPECT_EQ(SimTarget::field(s, "status"), "ok") << s;
  std::vector<uint8_t> expected = {'F', 'A', '\r', 0, 192, 7, 8, 0, 23, 8, 0, 0, 0, 192};
  std::vector<uint8_t> records(400, 0);  // two blocks of 200
  for (int c = 0; c < 24; ++c) records[static_cast<size_t>(c) * 8] = static_cast<uint8_t>(32 + c);
  for (int i = 1; i < 8; ++i) records[8 + static_cast<size_t>(i)] = 0xFF;
  expected.insert(expected.end(), records.begin(), records.end());
  EXPECT_EQ(target.image(), expected);
}

TEST_F(FontE2E, AFullDiskLeavesTheOldBfFileAsItWas) {
  if (wine_mode())
    GTEST_SKIP() << "the shell's file size limit does not hold the writes under Wine";
  // 200 cells of 8 x 8: a .bf file of 11 + 1616 bytes, over the 1 KiB that
  // the shell lets the program write.
  TestFont font(8 * 200, 8, 8, 8);
  const std::string input = put_file(dir, "full.bff", font.bytes());
  const std::vector<uint8_t> old = {'o', 'l', 'd'};
  write_file(dir + "/full.bf", old);
  std::string command = "trap '' XFSZ; ulimit -f 1; exec";
  for (const std::string& word : host_program("stoker-kit")) command += " '" + word + "'";
  command += " font-file '" + input + "'";
  const ProcessResult r = run_program({"/bin/sh", "-c", command}, kRunLimitMs);
  EXPECT_EQ(r.status, 14) << r.out << r.err;
  EXPECT_EQ(r.err.rfind("stoker-kit font-file: cannot write ", 0), 0u) << r.err;
  EXPECT_NE(r.err.find("File too large"), std::string::npos) << r.err;
  EXPECT_EQ(read_file(dir + "/full.bf"), old);
  // Nothing else is left beside it.
  const ProcessResult listing = run_program({"/bin/ls", "-A", dir}, kRunLimitMs);
  EXPECT_EQ(listing.out, "full.bf\nfull.bff\n");
}

struct Failure {
  const char* name;
  // "@" is replaced by the test directory, "PORT" by a port that does not
  // exist, "ZERO" by /dev/zero.
  std::vector<std::string> args;
  int status;
  const char* message;      // the start of the one line on standard error
  const char* reason = "";  // also in that line
};

void PrintTo(const Failure& f, std::ostream* os) {
  *os << f.name;
}

class FontE2EFailure : public FontE2E, public testing::WithParamInterface<Failure> {};

TEST_P(FontE2EFailure, ExitsWithItsCodeAndOneLine) {
  const Failure& f = GetParam();
  TestFont bad(16, 8, 8, 8);
  bad.firstChar = 20;
  put_file(dir, "bad.bff", bad.bytes());
  put_file(dir, "good.bff", diagonal_font());
  ASSERT_EQ(mkfifo((dir + "/fifo.bff").c_str(), 0600), 0);
  std::vector<std::string> args;
  for (const std::string& arg : f.args) {
    std::string a = arg;
    if (a.find('@') != std::string::npos) a = host_path(dir + a.substr(a.find('@') + 1));
    if (a == "PORT") a = missing_port(dir);
    if (a == "ZERO") a = host_path("/dev/zero");
    args.push_back(a);
  }
  const ProcessResult r = kit(args);
  EXPECT_EQ(r.status, f.status) << r.out << r.err;
  EXPECT_EQ(r.err.rfind(f.message, 0), 0u) << r.err;
  // Wine shows no FIFO or device at these paths: there the refusal's reason
  // is a missing file.
  if (!wine_mode()) {
    EXPECT_NE(r.err.find(f.reason), std::string::npos) << r.err;
  }
  EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << r.err;
}

INSTANTIATE_TEST_SUITE_P(
    Kit, FontE2EFailure,
    testing::Values(
        Failure{"HeaderOfMissingFont",
                {"font-header", "@/none"},
                1,
                "stoker-kit font-header: cannot open "},
        Failure{"HeaderOfBadFont", {"font-header", "@/bad"}, 13, "stoker-kit font-header: "},
        Failure{"HeaderNameTooLong",
                {"font-header", "@/" + std::string(80, 'n')},
                15,
                "stoker-kit font-header: the font name is "},
        Failure{"FileOfBadFont", {"font-file", "@/bad.bff"}, 13, "stoker-kit font-file: "},
        Failure{"FileOfMissingFont",
                {"font-file", "@/none.bff"},
                1,
                "stoker-kit font-file: cannot open "},
        Failure{"SendToMissingPort",
                {"send-font", "PORT", "115200", "@/good.bff"},
                1,
                "stoker-kit send-font: "},
        // Only regular files are read, refused before any port is opened
        // (the port here does not exist: its failure would come first).
        Failure{"SendFontOfAFifo",
                {"send-font", "PORT", "115200", "@/fifo.bff"},
                1,
                "stoker-kit send-font: cannot open font file ",
                ": not a regular file"},
        Failure{"SendFontOfDevZero",
                {"send-font", "PORT", "115200", "ZERO"},
                1,
                "stoker-kit send-font: cannot open font file ",
                ": not a regular file"},
        Failure{"SendBadFontBeforeThePort",
                {"send-font", "PORT", "115200", "@/bad.bff"},
                13,
                "stoker-kit send-font: ",
                "firstChar is 20"},
        Failure{"FileOfAFifo",
                {"font-file", "@/fifo.bff"},
                1,
                "stoker-kit font-file: cannot open font file ",
                ": not a regular file"},
        Failure{"HeaderOfAFifo",
                {"font-header", "@/fifo"},
                1,
                "stoker-kit font-header: cannot open font file ",
                ": not a regular file"}),
    [](const testing::TestParamInfo<Failure>& info) { return info.param.name; });

}  // namespace
