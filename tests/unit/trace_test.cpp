// The wire trace: its line format, what the port layer records during a
// download on the in-memory port, and its file, written as it goes and put
// in place at the end.
#include "serial/trace.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "boot/download.h"
#include "common/console.h"
#include "tests/support/fake_loader.h"
#include "tests/support/fake_port.h"
#include "tests/support/text.h"

namespace fs = std::filesystem;

namespace {

fs::path fresh_dir() {
  const fs::path dir = fs::path(testing::TempDir()) /
                       ("stoker-trace-" +
                        std::string(testing::UnitTest::GetInstance()->current_test_info()->name()));
  fs::remove_all(dir);
  fs::create_directories(dir);
  return dir;
}

struct FormatCase {
  int64_t timeUs;
  const char* kind;
  std::vector<uint8_t> bytes;
  std::string expected;
};

TEST(TraceFormat, BytesInHexAndTextTwelveToALine) {
  const std::string pad13 = std::string(23, ' ');
  const FormatCase cases[] = {
      // The lines a user sees first, column for column.
      {700452, "tx", {0x5C}, "     0.700452 tx    1  5c                                   |\\|\n"},
      {1201077, "rx", {'E'}, "     1.201077 rx    1  45                                   |E|\n"},
      // What does not print is a dot; a full line has no padding.
      {2,
       "rx",
       {0x00, 0x7F, ' ', '~', 0x80, 0xFF, 'a', 'b', 'c', 'd', 'e', 'f'},
       "     0.000002 rx    12 00 7f 20 7e 80 ff 61 62 63 64 65 66  |.. ~..abcdef|\n"},
      // A longer run wraps, its further bytes below the first line's.
      {123456789012,
       "tx",
       {'0', '1', '2', '3', '4', '5', '6', '7', '8', '9', 'A', 'B', 'C'},
       "123456.789012 tx    13 30 31 32 33 34 35 36 37 38 39 41 42  |0123456789AB|\n" + pad13 +
           "43                                   |C|\n"},
      {0, "drain", {}, "     0.000000 drain 0  " + std::string(37, ' ') + "||\n"},
  };
  for (const FormatCase& c : cases) {
    EXPECT_EQ(serial_trace_format_bytes(c.timeUs, c.kind, c.bytes.data(),
                                        static_cast<int>(c.bytes.size())),
              c.expected);
  }
  // A block: 167 lines, every further one aligned under the first's bytes.
  const std::vector<uint8_t> block(2000, 0x41);
  const std::vector<std::string> lines =
      lines_of(serial_trace_format_bytes(0, "tx", block.data(), 2000));
  ASSERT_EQ(lines.size(), 167u);
  EXPECT_EQ(lines[0].substr(14, 14), "tx    2000 41 ");
  EXPECT_EQ(lines[1].find_first_not_of(' '), 25u);
  EXPECT_EQ(lines[166], std::string(25, ' ') + "41 41 41 41 41 41 41 41              |AAAAAAAA|");
}

struct TracedDownload : testing::Test {
  fs::path dir = fresh_dir();
  fs::path tracePath = dir / "wire.trace";
  FakePort fake;
  FakeLoader loader;
  DownloadJob job;
  std::string console;
  SerialTracePtr trace;

  void SetUp() override {
    std::string error;
    trace = serial_trace_create(tracePath.string(), &error);
    ASSERT_TRUE(trace) << error;
    fake.port.trace = trace.get();
    ASSERT_EQ(fake.open(), 0);
    loader.attach(fake);
    console_capture(&console);
    const std::string image = (dir / "image.bin").string();
    std::vector<uint8_t> bytes(3000);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(0xA0 + i % 7);
    std::ofstream(image, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(3000));
    imagePath = image;
    job.path = imagePath.c_str();
    job.port = &fake.port;
    job.flashStart = 0x1d000000;
    job.flashSize = 128 * 1024;
  }
  void TearDown() override { console_capture(nullptr); }

  // Closes the port, finishes the trace and returns its lines.
  std::vector<std::string> finish() {
    serial_close(&fake.port);
    fake.port.trace = nullptr;
    std::string error;
    EXPECT_TRUE(serial_trace_finish(std::move(trace), &error)) << error;
    return lines_of(text_of(tracePath));
  }

  std::string imagePath;
};

// Each line's kind and the first ten characters of its argument.
std::vector<std::string> kinds_and_arguments(const std::vector<std::string>& lines) {
  std::vector<std::string> out;
  for (const std::string& line : lines) {
    if (line.size() < 19 || line[12] < '0' || line[12] > '9') continue;  // not a line's first
    std::string text = line.substr(14, 6) + line.substr(std::min<size_t>(line.size(), 20), 10);
    text.erase(text.find_last_not_of(' ') + 1);
    out.push_back(text);
  }
  return out;
}

TEST_F(TracedDownload, EveryOperationInOrder) {
  ASSERT_EQ(download(&job, nullptr), RESULT_OK);
  const std::vector<std::string> lines = finish();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines[0].rfind("# times in seconds from the open at ", 0), 0u) << lines[0];
  const std::vector<std::string> expected = {
      "open  fake 11520", "dtr   on",
      "dtr   off",        "tx    1  5c",
      "drain 10 45 45 4",  // the letters of the first 500 ms: one line
      "rx    1  45",       // the answer that counts
      "tx    1  76",      "rx    1  03",
      "tx    1  00",      "tx    1  00",
      "tx    1  0b",
      "tx    1  b8",  // 3000 bytes announced
      "rx    1  06",      "tx    2000 a0 a1",
      "rx    1  06",
      "tx    2000 a5 a6",  // byte 2000 of the image
      "rx    1  06",      "close",
  };
  EXPECT_EQ(kinds_and_arguments(lines), expected);
}

TEST_F(TracedDownload, WaitsThatTimedOutAndFailedWrites) {
  loader.ackBlocks = 1;
  EXPECT_EQ(download(&job, nullptr), RESULT_NO_ACK);
  fake.writeError = 5;
  EXPECT_NE(serial_put(&fake.port, 0x33), 0);
  const std::vector<std::string> lines = kinds_and_arguments(finish());
  const std::vector<std::string> tail(lines.end() - 6, lines.end());
  // The second block's ACK wait: 200 tries of a 2 ms read and a 5 ms pause
  // (in the port's virtual time; the trace's clock is the real one).
  EXPECT_EQ(tail[0], "rx    1  06") << "the first block's ACK";
  EXPECT_EQ(tail[1], "tx    2000 a5 a6");
  EXPECT_EQ(tail[2], "wait  timed out");
  EXPECT_EQ(tail[3], "tx    1  33");
  EXPECT_EQ(tail[4], "error write fail");
  EXPECT_EQ(tail[5], "close");
}

TEST(TraceFile, WrittenAsItGoesAndPutInPlaceAtTheEnd) {
  const fs::path dir = fresh_dir();
  const fs::path path = dir / "run.trace";
  std::ofstream(path, std::ios::binary) << "the previous trace\n";
  std::string error;
  SerialTracePtr trace = serial_trace_create(path.string(), &error);
  ASSERT_TRUE(trace) << error;
  // Before the end the lines go to a file beside it; the old one stands.
  const fs::path partial = dir / "run.trace.part0";
  ASSERT_TRUE(fs::exists(partial));
  serial_trace_open(trace.get(), "/dev/ttyUSB0", "115200,8,N,1");
  EXPECT_EQ(lines_of(text_of(partial)).size(), 2u) << "the open line at once";
  const uint8_t entry = 0x5C;
  serial_trace_bytes(trace.get(), "tx", &entry, 1);
  // Bytes wait a little for more; a line change takes them along.
  serial_trace_text(trace.get(), "dtr", "on");
  std::vector<std::string> soFar = lines_of(text_of(partial));
  ASSERT_EQ(soFar.size(), 4u);
  EXPECT_EQ(soFar[1], "     0.000000 open  /dev/ttyUSB0 115200,8,N,1");
  EXPECT_EQ(soFar[2].substr(13), " tx    1  5c                                   |\\|");
  EXPECT_EQ(soFar[3].substr(13), " dtr   on");
  // A port that finds nothing to read lets bytes that waited 10 ms out.
  serial_trace_bytes(trace.get(), "rx", &entry, 1);
  std::this_thread::sleep_for(std::chrono::milliseconds(15));
  serial_trace_quiet(trace.get());
  soFar = lines_of(text_of(partial));
  ASSERT_EQ(soFar.size(), 5u);
  EXPECT_EQ(text_of(path), "the previous trace\n");

  ASSERT_TRUE(serial_trace_finish(std::move(trace), &error)) << error;
  EXPECT_EQ(lines_of(text_of(path)), soFar);
  EXPECT_FALSE(fs::exists(partial));
}

TEST(TraceFile, OneThatCannotBeCreatedIsRefused) {
  const fs::path dir = fresh_dir();
  std::string error;
  EXPECT_FALSE(serial_trace_create((dir / "missing" / "run.trace").string(), &error));
  EXPECT_NE(error.find("cannot create"), std::string::npos) << error;
  EXPECT_TRUE(fs::is_empty(dir));
}

}  // namespace
