// stoker-kit flash on several simulated boards at once: a faulty board
// among good ones, a port named twice, Ctrl-C in the middle of the run, and
// every board of one kind named by its USB ids.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "tests/e2e/support.h"
#include "tests/support/text.h"

namespace fs = std::filesystem;

namespace {

constexpr int kRunLimitMs = 60000;

// The row of the final table that names port ("" when there is none): the
// line that starts with the port and a blank (the lines of the states have
// a colon after it).
std::string table_row(const std::string& out, const std::string& port) {
  const size_t table = out.find("\nport ");
  if (table == std::string::npos) return "";
  const size_t at = out.find("\n" + port + " ", table);
  if (at == std::string::npos) return "";
  return out.substr(at + 1, out.find('\n', at + 1) - at - 1);
}

struct GangE2E : testing::Test {
  std::vector<std::unique_ptr<SimTarget>> targets;
  std::string dir = make_temp_dir();

  // Starts a simulated board with these options.
  SimTarget& board(const std::vector<std::string>& options) {
    targets.push_back(std::make_unique<SimTarget>());
    EXPECT_TRUE(targets.back()->start(options));
    return *targets.back();
  }
  std::string ports() const {
    std::string list;
    for (const auto& target : targets) list += (list.empty() ? "" : ",") + target->host_port();
    return list;
  }
  std::vector<std::string> flash_args(const std::string& portList, const std::string& image,
                                      const std::string& delay = "0") const {
    return {"flash", portList, "115200", "0x1d000000", "512", delay, image};
  }
};

TEST_F(GangE2E, AFaultyBoardFailsAloneAndTheTableNamesIt) {
  for (int i = 0; i < 4; ++i) {
    if (i == 2)
      board({"--gen", "3", "--stop-ack-after", "3"});
    else
      board({"--gen", i == 1 ? "2" : "3"});
  }
  const std::vector<uint8_t> data = pattern_bytes(10000, 11);
  const std::string traces = dir + "/traces";
  fs::create_directories(traces);
  std::vector<std::string> args = flash_args(ports(), put_file(dir, "image.bin", data));
  args.insert(args.end(), {"--trace", host_path(traces)});
  const ProcessResult r = run_host("stoker-kit", args, kRunLimitMs);
  EXPECT_EQ(r.status, 1) << r.out << r.err;
  for (size_t i = 0; i < 4; ++i) {
    const std::string port = targets[i]->host_port();
    const std::string row = table_row(r.out, port);
    const std::string status = SimTarget::field(targets[i]->summary(5000), "status");
    if (i == 2) {
      EXPECT_NE(row.find("  9: no ACK from the target after a block  "), std::string::npos)
          << row << "\n"
          << r.out;
      EXPECT_NE(row.find("  6000  "), std::string::npos) << "three blocks acknowledged: " << row;
      EXPECT_NE(status, "ok");
      continue;
    }
    EXPECT_NE(row.find("  ok  "), std::string::npos) << port << "\n" << r.out;
    EXPECT_NE(row.find("  10000  "), std::string::npos) << row;
    EXPECT_EQ(status, "ok") << port;
    EXPECT_EQ(targets[i]->image(), data) << port;
  }
  EXPECT_NE(r.out.find("\n4 boards: 3 ok, 1 failed\n"), std::string::npos) << r.out;
  // Not a terminal: a line per change of each board's state.
  EXPECT_NE(r.out.find(targets[1]->host_port() + ":  generation 2, writing 10000 bytes\n"),
            std::string::npos)
      << r.out;
  // One trace per board, each from its open to its close.
  int files = 0;
  for (const auto& entry : fs::directory_iterator(traces)) {
    const std::string trace = text_of(entry.path().string());
    EXPECT_NE(trace.find(" open  "), std::string::npos) << entry.path();
    EXPECT_EQ(trace.substr(trace.size() - 6), "close\n") << entry.path();
    ++files;
  }
  EXPECT_EQ(files, 4);
}

TEST_F(GangE2E, APortNamedTwiceIsRefusedBeforeAnythingStarts) {
  const std::string boardTrace = dir + "/board.trace";
  SimTarget& target = board({"--gen", "3", "--trace", boardTrace});
  const std::string port = target.host_port();
  // The same device through another of its names: the pseudo-terminal
  // behind the link, or under Wine the COM name of the number.
  const std::string other = wine_mode() ? "com" + port : fs::canonical(target.port()).string();
  struct Case {
    std::string list;
    std::string message;
  };
  const Case cases[] = {
      {port + "," + port, "stoker-kit flash: the port " + port + " is listed twice\n"},
      {port + "," + other, "stoker-kit flash: " + port + " and " + other + " are the same port ("},
      {port + ",," + port,
       "stoker-kit flash: the port list '" + port + ",," + port + "' has an empty entry\n"},
  };
  const std::string image = put_file(dir, "image.bin", pattern_bytes(3000));
  for (const Case& c : cases) {
    const ProcessResult r = run_host("stoker-kit", flash_args(c.list, image), kRunLimitMs);
    EXPECT_EQ(r.status, 1) << c.list << "\n" << r.out << r.err;
    EXPECT_EQ(r.err.rfind(c.message, 0), 0u) << r.err;
    EXPECT_EQ(r.out, "") << c.list;
  }
  EXPECT_EQ(target.stop(), 0);
  EXPECT_EQ(text_of(boardTrace).find(" rx "), std::string::npos) << "the board heard nothing";
}

TEST_F(GangE2E, CtrlCStopsEveryBoardReleasesEveryPortThenShowsTheTable) {
  if (wine_mode()) GTEST_SKIP() << "SIGINT and flock are POSIX";
  for (int i = 0; i < 3; ++i) board({"--gen", "3", "--erase-ms", "20000"});
  std::vector<std::string> command = host_program("stoker-kit");
  for (const std::string& arg :
       flash_args(ports(), put_file(dir, "image.bin", pattern_bytes(5000)), "20"))
    command.push_back(arg);
  // Every board is in its erase wait 2.5 s after the start.
  const ProcessResult r = run_program_interrupted(command, kRunLimitMs, 2500);
  EXPECT_FALSE(r.timedOut);
  EXPECT_LT(r.msAfterSignal, 5000) << "every board stops at its next wait";
  EXPECT_EQ(r.status, 3) << r.out << r.err;
  for (const auto& target : targets) {
    const std::string row = table_row(r.out, target->port());
    EXPECT_NE(row.find("  4: stopped (Ctrl-C)  "), std::string::npos) << row << "\n" << r.out;
    // Released: this process can claim the port at once, as a program does.
    expect_port_released(target->port());
  }
  EXPECT_NE(r.err.find("stoker-kit flash: stopped (Ctrl-C)"), std::string::npos) << r.err;
}

}  // namespace
