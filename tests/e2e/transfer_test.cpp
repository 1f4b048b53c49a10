// stoker-kit send-file and send-picture against a simulated board that
// records what arrives (stoker-target --mode sink): the bytes received, the
// header file, and the exit status and message of each failure; the writing
// subcommands on a port that takes nothing; a sink paced like a wire.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <ostream>
#include <string>
#include <vector>

#include "tests/e2e/support.h"
#include "tests/support/bmp_file.h"
#include "tests/support/pty.h"

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
  // A picture that send-picture accepts: it is checked before the port.
  const std::string file = put_file(dir, "data.bmp", colour_bmp(2, 2).bytes());
  for (const char* command : {"send-file", "send-picture"}) {
    const ProcessResult r = kit({command, missing_port(dir), "115200", file});
    EXPECT_EQ(r.status, 1) << command << r.err;  // as stoker
    EXPECT_EQ(lines(r.err), 1) << command << r.err;
    EXPECT_NE(r.err.find("cannot open"), std::string::npos) << command << r.err;
  }
}

// Files that are refused before the port is opened: nothing reaches the
// target, and a FIFO does not block the program.
TEST_F(TransferE2E, InputsRefusedBeforeThePortOpens) {
  if (wine_mode()) GTEST_SKIP() << "a FIFO is a POSIX file";
  ASSERT_TRUE(start_sink());
  const std::string fifo = dir + "/fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const std::string tall = put_file(dir, "tall.bmp", colour_bmp(1, 65536).bytes());
  const std::string wide = put_file(dir, "wide.bmp", colour_bmp(70000, 1).bytes());
  const struct {
    const char* command;
    std::string file;
    int status;
    std::string says;
  } cases[] = {
      {"send-file", fifo, 1, "cannot read " + fifo + ": not a regular file"},
      {"send-picture", fifo, 1, "cannot open " + fifo + ": not a regular file"},
      {"send-file", dir, 1, "not a regular file"},
      {"send-picture", tall, 18,
       "is 1 x 65536 pixels, and the picture stream carries at most 65535"},
      {"send-picture", wide, 18, "is 70000 x 1 pixels"},
  };
  for (const auto& c : cases) {
    const ProcessResult r = kit({c.command, target.host_port(), "115200", c.file, "--send", "X"});
    EXPECT_FALSE(r.timedOut) << c.command << " " << c.file;
    EXPECT_EQ(r.status, c.status) << c.command << " " << c.file << r.err;
    EXPECT_EQ(lines(r.err), 1) << r.err;
    EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
  }
  EXPECT_EQ(target.summary(1000), "");
  EXPECT_TRUE(target.image().empty());
}

// A port that nobody reads (a board holding the line with flow control, or
// one that crashed): a stop signal ends a blocked write at once with 4 and
// names itself; without one the write gives up after 10 s with 2. Every
// subcommand that writes ends so.
struct StuckCase {
  const char* name;
  const char* command;
  int signal;  // 0: none
  int status;
  const char* says;
};

void PrintTo(const StuckCase& c, std::ostream* out) {
  *out << c.name;
}

class StuckPort : public testing::TestWithParam<StuckCase> {};

TEST_P(StuckPort, EndsTheProgram) {
  if (wine_mode()) GTEST_SKIP() << "a bare pseudo-terminal is no COM port, and signals are POSIX";
  const StuckCase& c = GetParam();
  int master = -1;
  std::string port;
  ASSERT_TRUE(open_pty(&master, &port));  // held, never read
  const std::string dir = make_temp_dir();
  std::vector<std::string> argv = host_program("stoker-kit");
  argv.insert(argv.end(), {c.command, port, "115200"});
  const std::string command = c.command;
  if (command == "send-text") {
    argv.push_back(std::string(100000, 'a'));
  } else if (command == "send-picture") {
    argv.push_back(put_file(dir, "pic.bmp", colour_bmp(600, 200).bytes()));
  } else {
    argv.push_back(put_file(dir, "big.bin", pattern_bytes(1 << 20)));
  }
  // The signal comes once the program has filled the port's buffer: a
  // while after the first bytes reached it.
  auto writing = [master] {
    int waiting = 0;
    return ioctl(master, FIONREAD, &waiting) == 0 && waiting > 0;
  };
  const auto start = std::chrono::steady_clock::now();
  const ProcessResult r =
      run_program_signalled(argv, 60000, c.signal != 0 ? 500 : -1, c.signal, writing);
  const auto took = std::chrono::steady_clock::now() - start;
  close(master);
  EXPECT_FALSE(r.timedOut);
  EXPECT_EQ(r.status, c.status) << r.err;
  EXPECT_EQ(lines(r.err), 1) << r.err;
  EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
  if (c.signal != 0) {
    EXPECT_GE(r.msAfterSignal, 0);
    EXPECT_LT(r.msAfterSignal, 2000);
  } else {
    EXPECT_GE(took, std::chrono::seconds(10));
    EXPECT_LT(took, std::chrono::seconds(30));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Transfers, StuckPort,
    testing::Values(
        StuckCase{"SendFileCtrlC", "send-file", SIGINT, 4, "stopped (Ctrl-C)"},
        StuckCase{"SendFileTimesOut", "send-file", 0, 2, "the port took no data for 10 s"},
        StuckCase{"SendPictureSigterm", "send-picture", SIGTERM, 4, "stopped (SIGTERM)"},
        StuckCase{"SendTextSighup", "send-text", SIGHUP, 4, "stopped (SIGHUP)"}),
    [](const testing::TestParamInfo<StuckCase>& info) { return info.param.name; });

// A sink paced at the baud rate takes the host's bytes only as fast as the
// line carries them: the host's writes block, so it ends about when the
// last byte has crossed, not long before; and every byte arrives.
TEST_F(TransferE2E, PacedSinkHoldsTheSenderBack) {
  ASSERT_TRUE(target.start({"--mode", "sink", "--idle-ms", "500", "--baud", "230400"}));
  const std::vector<uint8_t> data = pattern_bytes(120000, 4);
  const auto start = std::chrono::steady_clock::now();
  const ProcessResult r =
      kit({"send-file", target.host_port(), "230400", put_file(dir, "d.bin", data)});
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(r.status, 0) << r.err;
  // 120000 bytes take 5.2 s on the line; the port's buffer and the line's
  // read-ahead hold far less than the 46 000 bytes that 2 s carry.
  EXPECT_GT(took, std::chrono::milliseconds(3200));
  const std::string s = target.summary(20000);
  EXPECT_EQ(SimTarget::field(s, "bytes"), "120000") << s;
  EXPECT_EQ(target.image(), data);
}

}  // namespace
