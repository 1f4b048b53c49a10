// stoker-kit send-file and send-picture against a simulated board that
// records what arrives (stoker-target --mode sink): the bytes received, the
// header file, and the exit status and message of each failure.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tests/e2e/support.h"
#include "tests/support/bmp_file.h"

namespace fs = std::filesystem;

namespace {

constexpr int kRunLimitMs = 60000;

int lines(const std::string& text) {
  return static_cast<int>(std::count(text.begin(), text.end(), '\n'));
}

// Runs the test's programs from another directory, back again afterwards.
struct WorkingDirectory {
  fs::path previous = fs::current_path();
  explicit WorkingDirectory(const std::string& dir) { fs::current_path(dir); }
  ~WorkingDirectory() { fs::current_path(previous); }
};

struct TransferE2E : testing::Test {
  SimTarget target;
  std::string dir = make_temp_dir();

  bool start_sink() { return target.start({"--mode", "sink", "--idle-ms", "500"}); }
  ProcessResult kit(const std::vector<std::string>& args) {
    return run_host("stoker-kit", args, kRunLimitMs);
  }
};

TEST_F(TransferE2E, SendFileArrivesWholeAfterTheSendText) {
  ASSERT_TRUE(start_sink());
  const std::vector<uint8_t> data = pattern_bytes(5001, 9);
  const ProcessResult r = kit({"send-file", target.host_port(), "115200",
                               put_file(dir, "data.bin", data), "--send", "\\0x55go\\r"});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(r.err, "");
  // Not a terminal: plain progress lines, the last one complete.
  EXPECT_NE(r.out.find("send-file 100%  5001/5001 bytes"), std::string::npos) << r.out;
  const std::string s = target.summary(10000);
  EXPECT_EQ(SimTarget::field(s, "status"), "ok") << s;
  std::vector<uint8_t> expected = {0x55, 'g', 'o', '\r'};
  expected.insert(expected.end(), data.begin(), data.end());
  EXPECT_EQ(target.image(), expected);
}

TEST_F(TransferE2E, SendPictureWithItsHeaderFile) {
  ASSERT_TRUE(start_sink());
  const std::string picture = put_file(dir, "pic.bmp", colour_bmp(37, 5).bytes());
  ProcessResult r;
  {
    WorkingDirectory in(dir);
    r = kit({"send-picture", target.host_port(), "115200", picture, "--header"});
  }
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(SimTarget::field(target.summary(10000), "status"), "ok");
  const std::vector<uint8_t> stream = picture_stream(37, 5);
  EXPECT_EQ(target.image(), stream);

  // The header file holds the same bytes in decimal, six pixels a line.
  const std::string expected = picture_header_text(stream);
  std::ifstream in(dir + "/bmpHead.h", std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), expected);
}

TEST_F(TransferE2E, PictureFailuresSayWhyInOneLine) {
  ASSERT_TRUE(start_sink());
  const std::string port = target.host_port();

  BmpFile v5 = colour_bmp(4, 4);
  v5.infoSize = 124;
  ProcessResult r = kit({"send-picture", port, "115200", put_file(dir, "v5.bmp", v5.bytes())});
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_EQ(lines(r.err), 1) << r.err;
  EXPECT_NE(r.err.find("124-byte information header"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find(".convert('RGB').save("), std::string::npos) << r.err;

  r = kit({"send-picture", port, "115200", put_file(dir, "deep.bmp", colour_bmp(4, 4, 32).bytes()),
           "--send", "never"});
  EXPECT_EQ(r.status, 16) << r.err;
  EXPECT_EQ(lines(r.err), 1) << r.err;
  EXPECT_NE(r.err.find("has 32 bits per pixel"), std::string::npos) << r.err;

  r = kit({"send-picture", port, "115200", host_path(dir + "/missing.bmp")});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(lines(r.err), 1) << r.err;
  EXPECT_NE(r.err.find("cannot open"), std::string::npos) << r.err;

  r = kit({"send-file", port, "115200", host_path(dir + "/missing.bin")});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(lines(r.err), 1) << r.err;
  EXPECT_NE(r.err.find("cannot read"), std::string::npos) << r.err;

  // None of them sent a byte.
  EXPECT_EQ(target.summary(1000), "");
  EXPECT_TRUE(target.image().empty());
}

TEST_F(TransferE2E, HeaderFileThatCannotBeWritten) {
  ASSERT_TRUE(start_sink());
  fs::create_directory(dir + "/bmpHead.h");
  const std::string picture = put_file(dir, "pic.bmp", colour_bmp(3, 3).bytes());
  ProcessResult r;
  {
    WorkingDirectory in(dir);
    r = kit({"send-picture", target.host_port(), "115200", picture, "--header"});
  }
  EXPECT_EQ(r.status, 17) << r.err;
  EXPECT_EQ(lines(r.err), 1) << r.err;
  EXPECT_NE(r.err.find("cannot write bmpHead.h"), std::string::npos) << r.err;
  EXPECT_EQ(target.summary(1000), "");
}

TEST_F(TransferE2E, PortThatCannotBeOpened) {
  const std::string file = put_file(dir, "data.bin", pattern_bytes(10));
  for (const char* command : {"send-file", "send-picture"}) {
    const ProcessResult r = kit({command, missing_port(dir), "115200", file});
    EXPECT_EQ(r.status, 1) << command << r.err;  // as stoker
    EXPECT_EQ(lines(r.err), 1) << command << r.err;
    EXPECT_NE(r.err.find("cannot open"), std::string::npos) << command << r.err;
  }
}

}  // namespace
