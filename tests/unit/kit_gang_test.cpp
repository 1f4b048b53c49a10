// Several boards flashed at once: each board's outcome its own, a stop that
// ends every board and closes every port, the display that the boards'
// threads share, and the table. The runs use in-memory loaders in real
// time, one thread per board as the program runs them (this file is also
// built with ThreadSanitizer).
#include "app/kit_gang.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "common/console.h"
#include "common/stop.h"
#include "serial/trace.h"
#include "tests/support/memory_board.h"
#include "tests/support/text.h"

namespace {

constexpr int kBusy = 16;  // an open refused as a busy device is

std::vector<uint8_t> random_image(size_t size) {
  std::mt19937 random(7);
  std::vector<uint8_t> bytes(size);
  for (uint8_t& b : bytes) b = static_cast<uint8_t>(random());
  return bytes;
}

// A gang of in-memory boards named b0, b1, ... and the image they get.
struct Gang {
  std::vector<std::unique_ptr<MemoryBoard>> memory;
  std::vector<GangBoard> boards;
  LoadedImage image;
  GangSetup setup;

  Gang(size_t count, size_t imageBytes) {
    const std::vector<uint8_t> bytes = random_image(imageBytes);
    image.buffer.assign(512 * 1024 + 2000, 0xFF);
    std::copy(bytes.begin(), bytes.end(), image.buffer.begin());
    image.size = static_cast<int32_t>(imageBytes);
    for (size_t i = 0; i < count; ++i) {
      memory.push_back(std::make_unique<MemoryBoard>());
      GangBoard board;
      board.label = "b" + std::to_string(i);
      board.device = "/memory/" + board.label;
      board.backend = MemoryBoard::backend();
      board.backendUser = memory.back().get();
      boards.push_back(std::move(board));
    }
    setup.job.path = "image.bin";
    setup.job.flashStart = 0x1d000000;
    setup.job.flashSize = 512 * 1024;
    setup.settings = "115200,8,N,1";
    setup.image = &image;
  }

  std::vector<GangResult> run(std::string* out) {
    console_capture(out);
    std::vector<GangResult> results = kit_gang_run(&boards, setup);
    console_capture(nullptr);
    return results;
  }

  bool received_image(size_t i) const {
    const std::vector<uint8_t>& got = memory[i]->blockBytes;
    return got.size() >= static_cast<size_t>(image.size) &&
           std::equal(got.begin(), got.begin() + image.size, image.buffer.begin());
  }
};

// The lines of out about one board, without its label.
std::vector<std::string> lines_about(const std::string& out, const std::string& label) {
  std::vector<std::string> found;
  for (const std::string& line : lines_of(out)) {
    if (line.rfind(label + ":", 0) == 0)
      found.push_back(line.substr(line.find_first_not_of(' ', label.size() + 1)));
  }
  return found;
}

TEST(KitGang, EachBoardKeepsItsOwnOutcome) {
  Gang gang(5, 10000);  // five blocks and the closing one
  gang.memory[2]->ackBlocks = 3;
  gang.memory[4]->openError = kBusy;
  gang.setup.job.verbose = 1;
  // Two boards with a trace each, written by their own threads.
  const std::string traces[] = {testing::TempDir() + "gang_b0.trace",
                                testing::TempDir() + "gang_b2.trace"};
  for (size_t i : {0, 1}) {
    std::string error;
    gang.boards[2 * i].trace = serial_trace_create(traces[i], &error);
    ASSERT_TRUE(gang.boards[2 * i].trace) << error;
  }
  std::string out;
  const std::vector<GangResult> results = gang.run(&out);

  ASSERT_EQ(results.size(), 5u);
  for (size_t i : {0, 1, 3}) {
    EXPECT_EQ(results[i].code, RESULT_OK) << i << ": " << results[i].why;
    EXPECT_EQ(results[i].bytes, 10000) << i;
    EXPECT_EQ(results[i].generation, 3) << i;
    EXPECT_TRUE(gang.received_image(i)) << i;
  }
  EXPECT_EQ(results[2].code, RESULT_NO_ACK);
  EXPECT_EQ(results[2].why, "no ACK from the target after a block");
  EXPECT_EQ(results[2].bytes, 6000) << "three blocks acknowledged";
  EXPECT_EQ(results[4].code, 1);
  EXPECT_NE(results[4].why.find("cannot open /memory/b4 with 115200,8,N,1: "), std::string::npos)
      << results[4].why;
  EXPECT_EQ(kit_gang_exit_status(results), 2);
  for (size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(gang.memory[i]->opens, 1) << i;
    EXPECT_EQ(gang.memory[i]->closes, 1) << "every port released: " << i;
  }

  // Not a terminal: whole lines, each about one board, each change once.
  for (const std::string& line : lines_of(out))
    EXPECT_TRUE(line.size() > 3 && line[0] == 'b' && line[2] == ':') << line;
  const std::vector<std::string> b0 = lines_about(out, "b0");
  const std::vector<std::string> expected = {"opening", "detecting the boot loader",
                                             "generation 3, erasing",
                                             "generation 3, writing 10000 bytes"};
  std::vector<std::string> changes;
  for (const std::string& line : b0) {
    if (line.rfind("opening", 0) == 0 || line.rfind("detecting", 0) == 0 ||
        line.rfind("generation", 0) == 0 || line.rfind("ok, ", 0) == 0)
      changes.push_back(line);
  }
  ASSERT_EQ(changes.size(), 5u) << out;
  EXPECT_EQ(std::vector<std::string>(changes.begin(), changes.begin() + 4), expected);
  EXPECT_EQ(changes[4].rfind("ok, 10000 bytes in ", 0), 0u) << changes[4];
  // The download's detailed lines, each whole after its board's label.
  for (const char* label : {"b0", "b1", "b2", "b3"}) {
    const std::vector<std::string> lines = lines_about(out, label);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "Boot loader version 3"), 1) << label;
  }
  const std::vector<std::string> b2 = lines_about(out, "b2");
  EXPECT_EQ(b2.back(), "failed with code 9: no ACK from the target after a block");

  // Each trace holds its own board's run, from the open to the close.
  const std::string trace0 = text_of(traces[0]);
  const std::string trace2 = text_of(traces[1]);
  EXPECT_NE(trace0.find(" open  /memory/b0 115200,8,N,1\n"), std::string::npos) << trace0;
  EXPECT_NE(trace2.find(" open  /memory/b2 115200,8,N,1\n"), std::string::npos) << trace2;
  EXPECT_EQ(trace0.find("wait  timed out"), std::string::npos);
  EXPECT_NE(trace2.find("wait  timed out"), std::string::npos) << "the block never ACKed";
  for (const std::string* trace : {&trace0, &trace2})
    EXPECT_EQ(trace->size() > 6 ? trace->substr(trace->size() - 6) : "", "close\n");
  EXPECT_TRUE(results[0].traceError.empty() && results[2].traceError.empty());
}

TEST(KitGang, AStopEndsEveryBoardAndReleasesItsPort) {
  Gang gang(3, 40000);
  for (auto& board : gang.memory) board->ackDelayMs = 30;  // a second of blocks
  gang.memory[0]->onBlock = [](MemoryBoard& board) {
    if (board.blocks == 1) stop_request();
  };
  std::string out;
  const std::vector<GangResult> results = gang.run(&out);
  const bool stopped = stop_requested();
  stop_clear();
  ASSERT_TRUE(stopped);
  for (size_t i = 0; i < results.size(); ++i) {
    EXPECT_EQ(results[i].code, RESULT_ABORTED) << i;
    EXPECT_EQ(results[i].why, "stopped (Ctrl-C)") << i;
    EXPECT_LT(results[i].bytes, 40000) << i;
    EXPECT_EQ(gang.memory[i]->closes, 1) << i;
  }
  EXPECT_EQ(kit_gang_exit_status(results), 3);
  EXPECT_NE(kit_gang_table(gang.boards, results).find("4: stopped (Ctrl-C)"), std::string::npos);
}

TEST(KitGang, OnATerminalEachBoardHasOneLineRedrawnInPlace) {
  Gang gang(2, 3000);
  gang.setup.display = GANG_REDRAW;
  gang.setup.columns = 34;
  gang.setup.job.verbose = 1;
  std::string out;
  const std::vector<GangResult> results = gang.run(&out);
  ASSERT_EQ(kit_gang_exit_status(results), 0);
  // Drawn first, then again and again over itself: two lines up each time.
  // A status line never reaches the terminal's last column: it would wrap,
  // or lose its last character to the erase.
  EXPECT_EQ(out.rfind("\rb0  gen -    0%              wait\x1b[K\n", 0), 0u) << out;
  for (size_t at = 0; (at = out.find("\rb", at)) != std::string::npos; ++at) {
    if (out.compare(at + 3, 2, "  ") != 0) continue;  // "b0:" starts a detailed line
    EXPECT_LE(out.find("\x1b[K", at) - at - 1, 33u) << out.substr(at, 60);
  }
  EXPECT_NE(out.find("\x1b[2A\r"), std::string::npos);
  // The last drawing: both boards done.
  const size_t last = out.rfind("\x1b[2A");
  ASSERT_NE(last, std::string::npos);
  const std::vector<std::string> final = lines_of(out.substr(last + 4));
  ASSERT_EQ(final.size(), 2u) << out.substr(last);
  for (size_t i = 0; i < 2; ++i) {
    EXPECT_EQ(final[i].rfind("\rb" + std::to_string(i) + "  gen 3  100%  ", 0), 0u) << final[i];
    EXPECT_NE(final[i].find(" ok\x1b[K"), std::string::npos) << final[i];
  }
  // A detailed line goes above the status lines, which follow it at once.
  const std::string detail = "b1:  Boot loader version 3\x1b[K\n\rb0  gen ";
  EXPECT_NE(out.find(detail), std::string::npos) << out;
}

TEST(KitGang, StatusLine) {
  using Clock = GangStatus::Clock;
  const Clock::time_point t0 = Clock::now();
  GangStatus writing;
  writing.state = GANG_WRITING;
  writing.generation = 3;
  writing.total = 10000;
  writing.done = 6000;
  writing.reported = true;
  writing.firstReport = t0;
  writing.firstBytes = 2000;
  writing.lastReport = t0 + std::chrono::seconds(1);
  GangStatus ok = writing;
  ok.state = GANG_OK;
  GangStatus failed = writing;
  failed.state = GANG_FAILED;
  failed.code = 9;
  struct Case {
    const GangStatus status;
    const char* line;
  };
  const Case cases[] = {
      {GangStatus{}, "/dev/ttyUSB0  gen -    0%              waiting"},
      // While writing, the rate counts to now; once ended, to the last report.
      {writing, "/dev/ttyUSB0  gen 3   60%    2.0 kB/s  writing"},
      {ok, "/dev/ttyUSB0  gen 3  100%    4.0 kB/s  ok"},
      {failed, "/dev/ttyUSB0  gen 3   60%    4.0 kB/s  failed (9)"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(kit_gang_status_line("/dev/ttyUSB0", 12, c.status, t0 + std::chrono::seconds(2)),
              c.line);
}

TEST(KitGang, Table) {
  std::vector<GangBoard> boards(3);
  boards[0].label = "/dev/ttyUSB0";
  boards[0].serial = "A50285BI";
  boards[1].label = "/dev/ttyUSB10";
  boards[2].label = "3";
  std::vector<GangResult> results(3);
  results[0].bytes = 65536;
  results[0].seconds = 7.46;
  results[1].code = 9;
  results[1].why = "no ACK from the target after a block";
  results[1].bytes = 6000;
  results[1].seconds = 3.14;
  results[2].code = 1;
  results[2].why = "cannot open /dev/ttyS2";
  results[2].seconds = 0.02;
  EXPECT_EQ(kit_gang_table(boards, results),
            "port           serial    result                                   bytes   time\n"
            "/dev/ttyUSB0   A50285BI  ok                                       65536  7.5 s\n"
            "/dev/ttyUSB10  -         9: no ACK from the target after a block   6000  3.1 s\n"
            "3              -         1: cannot open /dev/ttyS2                    0  0.0 s\n"
            "3 boards: 1 ok, 2 failed\n");
}

TEST(KitGang, ExitStatusCountsTheFailedBoardsUpTo125) {
  struct Case {
    int ok, failed, status;
  };
  for (const Case& c : {Case{4, 0, 0}, Case{1, 3, 3}, Case{0, 125, 125}, Case{2, 130, 125}}) {
    std::vector<GangResult> results(static_cast<size_t>(c.ok + c.failed));
    for (int i = 0; i < c.failed; ++i) results[static_cast<size_t>(i)].code = RESULT_NO_ACK;
    EXPECT_EQ(kit_gang_exit_status(results), c.status) << c.ok << " " << c.failed;
  }
}

TEST(KitGang, TraceNamesAfterThePortsEachDifferent) {
  struct Case {
    std::vector<std::string> labels;
    std::vector<std::string> names;
  };
  const Case cases[] = {
      {{"/dev/ttyUSB0", "/dev/serial/by-id/usb-FTDI_A1-if00"},
       {"ttyUSB0.trace", "serial_by-id_usb-FTDI_A1-if00.trace"}},
      {{"usb:A50285BI", "3", "//./COM12"}, {"usb_A50285BI.trace", "3.trace", "COM12.trace"}},
      // The boards of two simulators: links of one name in two directories.
      {{"/tmp/s1/port", "/tmp/s2/port"}, {"tmp_s1_port.trace", "tmp_s2_port.trace"}},
      {{"a:b", "a/b", "a b"}, {"a_b.trace", "a_b-2.trace", "a_b-3.trace"}},
      {{"./port", "..", ".hidden"}, {"port.trace", "port-2.trace", "hidden.trace"}},
  };
  for (const Case& c : cases) EXPECT_EQ(kit_gang_trace_names(c.labels), c.names) << c.labels[0];
}

}  // namespace
