// The simulated board on a serial port of its own (--port): one end of a
// socat pair, stoker on the other, as a board and a host joined by a
// null-modem cable. Under Wine both programs are the Windows executables on
// COM ports, so the board's overlapped reads, its waits and its stop run as
// they do on Windows.
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "tests/e2e/support.h"

namespace {

constexpr int kRunLimitMs = 60000;

struct PortDownloadCase {
  const char* name;
  std::vector<std::string> options;
  size_t bytes;
  std::string dots;
};

void PrintTo(const PortDownloadCase& c, std::ostream* os) {
  *os << c.name;
}

class TargetOnPort : public testing::TestWithParam<PortDownloadCase> {};

TEST_P(TargetOnPort, TakesAWholeGenerationThreeDownload) {
  const PortDownloadCase& c = GetParam();
  PortPair pair;
  ASSERT_TRUE(pair.open());
  SimTarget target;
  ASSERT_TRUE(target.start_on_port(pair.board_port(), c.options)) << target.output();
  const std::vector<uint8_t> data = pattern_bytes(c.bytes, 5);
  const std::string image = put_file(make_temp_dir(), "image.bin", data);
  const ProcessResult r = run_host(
      "stoker", {pair.host_port(), "115200", "0x1d000000", "512", "0", image}, kRunLimitMs);
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(r.out, "\nWait " + c.dots + "\nsucess");
  const std::string s = target.summary(5000);
  EXPECT_EQ(SimTarget::field(s, "status"), "ok") << s;
  EXPECT_EQ(SimTarget::field(s, "announced"), std::to_string(c.bytes)) << s;
  EXPECT_EQ(target.image(), data);
  EXPECT_EQ(target.stop(), 0);
}

// Paced, the board leaves what it will carry later in the port, so its
// waits run without watching the port too.
INSTANTIATE_TEST_SUITE_P(
    Download, TargetOnPort,
    testing::Values(PortDownloadCase{"Unpaced", {}, 9000, "....."},
                    PortDownloadCase{"Paced", {"--baud", "115200"}, 5000, "..."}),
    [](const testing::TestParamInfo<PortDownloadCase>& info) { return info.param.name; });

// Ctrl-C ends a board that waits on its port, the way a finished board ends:
// status 0 and its trace written to the end.
TEST(TargetOnPortStop, CtrlCEndsTheWait) {
  PortPair pair;
  ASSERT_TRUE(pair.open());
  const std::string dir = make_temp_dir();
  SimTarget target;
  ASSERT_TRUE(
      target.start_on_port(pair.board_port(), {"--trace", host_path(dir + "/trace.txt")}, false));
  EXPECT_EQ(target.interrupt(5000), 0);
  const std::vector<uint8_t> trace = read_file(dir + "/trace.txt");
  const std::string text(trace.begin(), trace.end());
  EXPECT_NE(text.find(" open  "), std::string::npos) << text;
  EXPECT_NE(text.find(" close"), std::string::npos) << text;
}

struct PortRefusal {
  const char* name;
  // MISSING: a port that does not exist; LINK: a path in the test's folder.
  std::vector<std::string> args;
  int status;
  const char* message;
  bool windowsOnly;
};

void PrintTo(const PortRefusal& c, std::ostream* os) {
  *os << c.name;
}

class TargetPortRefusal : public testing::TestWithParam<PortRefusal> {};

TEST_P(TargetPortRefusal, SaysWhyAndEnds) {
  const PortRefusal& c = GetParam();
  if (c.windowsOnly && !wine_mode()) GTEST_SKIP() << "a POSIX board makes a pseudo-terminal";
  const std::string dir = make_temp_dir();
  std::vector<std::string> args;
  for (const std::string& arg : c.args)
    args.push_back(arg == "MISSING" ? missing_port(dir) : arg == "LINK" ? dir + "/link" : arg);
  const ProcessResult r = run_host("stoker-target", args, 20000);
  EXPECT_FALSE(r.timedOut);
  EXPECT_EQ(r.status, c.status) << r.out << r.err;
  EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
  EXPECT_EQ(r.out.find("PORT "), std::string::npos) << r.out;
}

INSTANTIATE_TEST_SUITE_P(
    Options, TargetPortRefusal,
    testing::Values(
        PortRefusal{"NoSuchPort", {"--port", "MISSING"}, 1, "stoker-target: cannot open ", false},
        PortRefusal{"PortAndLink",
                    {"--port", "MISSING", "--link", "LINK"},
                    2,
                    "--link names a pseudo-terminal: it does not go with --port",
                    false},
        PortRefusal{"EmptyPort", {"--port", ""}, 2, "--port needs the name", false},
        PortRefusal{"NoPortOnWindows",
                    {"--once"},
                    2,
                    "no pseudo-terminals: name the board's serial port with --port",
                    true}),
    [](const testing::TestParamInfo<PortRefusal>& info) { return info.param.name; });

}  // namespace
