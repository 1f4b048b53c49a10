// The raw file and picture transfers over the in-memory port: write sizes,
// the picture stream, progress calls, the header file and the result codes.
#include "toolkit/transfer/transfer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/bmp_file.h"
#include "tests/support/fake_port.h"

namespace fs = std::filesystem;

namespace {

std::vector<std::pair<int, int>> g_progress;
int g_stop_at_call = -1;  // 1-based call that asks to stop; -1: never

int record_progress(int total, int done) {
  g_progress.emplace_back(total, done);
  return static_cast<int>(g_progress.size()) == g_stop_at_call ? 1 : 0;
}

std::vector<uint8_t> pattern(size_t n) {
  std::vector<uint8_t> bytes(n);
  for (size_t i = 0; i < n; ++i) bytes[i] = static_cast<uint8_t>(i * 31 + (i >> 8));
  return bytes;
}

struct TransferTest : testing::Test {
  FakePort fake;
  DownloadJob job;
  fs::path dir;
  fs::path previousDir;
  std::string path;

  void SetUp() override {
    ASSERT_EQ(fake.open(), 0);
    fake.events.clear();
    job.port = &fake.port;
    g_progress.clear();
    g_stop_at_call = -1;
    const testing::TestInfo* info = testing::UnitTest::GetInstance()->current_test_info();
    dir = fs::path(testing::TempDir()) / (std::string("transfer_") + info->name());
    fs::remove_all(dir);
    fs::create_directories(dir);
    // The header file goes into the current directory.
    previousDir = fs::current_path();
    fs::current_path(dir);
  }
  void TearDown() override { fs::current_path(previousDir); }

  const char* file(const std::string& name, const std::vector<uint8_t>& bytes) {
    const fs::path p = dir / name;
    std::ofstream(p, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    path = p.string();
    job.path = path.c_str();
    return job.path;
  }

  std::vector<size_t> write_sizes() const {
    std::vector<size_t> sizes;
    for (const FakeEvent& e : fake.writes()) sizes.push_back(e.bytes.size());
    return sizes;
  }

  std::string header_file() const {
    std::ifstream in(dir / kPictureHeaderFile, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
};

using Progress = std::vector<std::pair<int, int>>;

TEST(ProgressScale, DivisorKeepsTheTotalAtMost65000) {
  const struct {
    int64_t size;
    int total;
    int64_t divisor;
  } cases[] = {
      {0, 0, 1},          {65000, 65000, 1},  {65001, 32500, 2},    {130001, 65000, 2},
      {130002, 43334, 3}, {200000, 50000, 4}, {1000000, 62500, 16}, {6000000000, 65000, 92307}};
  for (const auto& c : cases) {
    const ProgressScale scale = binary_progress_scale(c.size);
    EXPECT_EQ(scale.total, c.total) << c.size;
    EXPECT_EQ(scale.divisor, c.divisor) << c.size;
    // The smallest such divisor.
    if (c.divisor > 1) {
      EXPECT_GT(c.size / (c.divisor - 1), 65000) << c.size;
    }
  }
}

TEST_F(TransferTest, BinaryGoesOutInWritesOfFourBytes) {
  file("five.bin", pattern(5));
  EXPECT_EQ(send_binary(&job, record_progress), 0);
  EXPECT_EQ(write_sizes(), (std::vector<size_t>{4, 1}));
  EXPECT_EQ(fake.written(), pattern(5));
  EXPECT_EQ(g_progress, (Progress{{5, 0}, {5, 4}}));

  fake.events.clear();
  g_progress.clear();
  file("eight.bin", pattern(8));
  EXPECT_EQ(send_binary(&job, record_progress), 0);
  // The last write carries no bytes: nothing reaches the port.
  EXPECT_EQ(write_sizes(), (std::vector<size_t>{4, 4}));
  EXPECT_EQ(g_progress, (Progress{{8, 0}, {8, 4}, {8, 8}}));
}

TEST_F(TransferTest, EmptyFileSendsOnlyTheSendText) {
  file("empty.bin", {});
  job.send = "A\\r";
  EXPECT_EQ(send_binary(&job, record_progress), 0);
  EXPECT_EQ(g_progress, (Progress{{0, 0}}));
  // The text goes out byte by byte.
  EXPECT_EQ(write_sizes(), (std::vector<size_t>{1, 1}));
  EXPECT_EQ(fake.written(), (std::vector<uint8_t>{'A', '\r'}));
}

TEST_F(TransferTest, LargeFileProgressIsScaled) {
  const std::vector<uint8_t> data = pattern(200000);
  file("big.bin", data);
  job.send = "\\0x55";
  EXPECT_EQ(send_binary(&job, record_progress), 0);
  std::vector<uint8_t> expected = {0x55};
  expected.insert(expected.end(), data.begin(), data.end());
  EXPECT_EQ(fake.written(), expected);
  ASSERT_EQ(g_progress.size(), 1u + 50000u);
  for (size_t i = 0; i < g_progress.size(); ++i) {
    ASSERT_EQ(g_progress[i].first, 50000);
    ASSERT_EQ(g_progress[i].second, static_cast<int>(i)) << i;  // 4 bytes a call, divisor 4
  }
  EXPECT_EQ(fake.writes().size(), 1u + 50000u);
}

TEST_F(TransferTest, BinaryFailures) {
  file("data.bin", pattern(12));
  job.send = "xyz";
  // Asked to stop before the data: nothing at all is sent.
  g_stop_at_call = 1;
  EXPECT_EQ(send_binary(&job, record_progress), RESULT_ABORTED);
  EXPECT_TRUE(fake.written().empty());
  // Asked to stop after the second write.
  g_progress.clear();
  g_stop_at_call = 3;
  EXPECT_EQ(send_binary(&job, record_progress), RESULT_ABORTED);
  EXPECT_EQ(fake.written().size(), 3u + 8u);

  // A failed write ends it at once with 2.
  fake.events.clear();
  g_stop_at_call = -1;
  job.send = nullptr;
  fake.onWrite = [](FakePort& f, const std::vector<uint8_t>&) { f.writeError = 5; };
  EXPECT_EQ(send_binary(&job, nullptr), TRANSFER_WRITE_FAILED);
  EXPECT_EQ(fake.writes().size(), 1u);
  fake.onWrite = nullptr;
  fake.writeError = 0;

  std::string missing = (dir / "missing.bin").string();
  job.path = missing.c_str();
  EXPECT_EQ(send_binary(&job, record_progress), RESULT_FILE_UNREADABLE);
  // A directory opens on some systems but can't be read: never "sent".
  const std::string directory = dir.string();
  job.path = directory.c_str();
  EXPECT_EQ(send_binary(&job, record_progress), RESULT_FILE_UNREADABLE);
  job.path = nullptr;
  EXPECT_EQ(send_binary(&job, record_progress), RESULT_FILE_UNREADABLE);

  // The port is checked first.
  serial_close(&fake.port);
  file("data.bin", pattern(12));
  EXPECT_EQ(send_binary(&job, record_progress), RESULT_PORT_CLOSED);
  job.port = nullptr;
  EXPECT_EQ(send_binary(&job, record_progress), RESULT_PORT_CLOSED);
  EXPECT_EQ(send_binary(nullptr, record_progress), RESULT_PORT_CLOSED);
}

// A file that ends before the length it had at the start (it shrank while
// being sent, or a read failed) is no success: 1, and how much went out.
TEST_F(TransferTest, FileThatShrinksWhileSentFails) {
  const std::vector<uint8_t> data = pattern(65536);
  file("shrinks.bin", data);
  FILE* stream = std::fopen(path.c_str(), "rb");
  ASSERT_NE(stream, nullptr);
  std::setvbuf(stream, nullptr, _IONBF, 0);  // every read sees the file as it is then
  const std::string shrinking = path;
  bool cut = false;
  // Cut to 10002 bytes once the first 4 bytes have gone out.
  fake.onWrite = [&](FakePort&, const std::vector<uint8_t>&) {
    if (!cut) fs::resize_file(shrinking, 10002);
    cut = true;
  };
  TransferReport report;
  EXPECT_EQ(send_binary_file(&job, stream, 65536, nullptr, &report), RESULT_FILE_UNREADABLE);
  std::fclose(stream);
  EXPECT_EQ(report.size, 65536);
  EXPECT_EQ(report.sent, 10000);  // whole writes of 4 bytes only
  EXPECT_EQ(report.detail, "sent 10000 of 65536 bytes");
  EXPECT_EQ(fake.written(), std::vector<uint8_t>(data.begin(), data.begin() + 10000));

  // A file that grows is sent as long as it was at the start.
  fake.events.clear();
  fake.onWrite = nullptr;
  file("grows.bin", pattern(10));
  stream = std::fopen(path.c_str(), "rb");
  ASSERT_NE(stream, nullptr);
  EXPECT_EQ(send_binary_file(&job, stream, 6, nullptr, &report), 0);
  std::fclose(stream);
  EXPECT_EQ(report.sent, 6);
  EXPECT_EQ(fake.written(), pattern(6));
}

// A port that takes nothing while the leading text goes out: the transfer
// ends there with 2 instead of sending on.
TEST_F(TransferTest, FailedSendTextEndsTheTransfer) {
  fake.writeError = 5;
  job.send = "abc";
  file("data.bin", pattern(8));
  EXPECT_EQ(send_binary(&job, nullptr), TRANSFER_WRITE_FAILED);
  file("pic.bmp", colour_bmp(2, 2).bytes());
  EXPECT_EQ(send_picture(&job, nullptr), TRANSFER_WRITE_FAILED);
  EXPECT_TRUE(fake.written().empty());
}

// The stream carries each side in 16 bits: a picture it can't carry is
// refused whole before anything is sent (not even the send text).
TEST_F(TransferTest, PictureSidesOver65535AreRefused) {
  const struct {
    uint32_t width, height;
    int result;
  } cases[] = {{70000, 1, TRANSFER_TOO_LARGE},
               {1, 65536, TRANSFER_TOO_LARGE},
               {65536, 1, TRANSFER_TOO_LARGE},
               {65535, 1, 0}};
  job.send = "never";
  for (const auto& c : cases) {
    fake.events.clear();
    g_progress.clear();
    file("big.bmp", colour_bmp(c.width, c.height).bytes());
    EXPECT_EQ(send_picture(&job, record_progress), c.result) << c.width << "x" << c.height;
    if (c.result == 0) {
      const std::vector<uint8_t> sent = fake.written();
      ASSERT_GE(sent.size(), 9u);
      EXPECT_EQ(std::vector<uint8_t>(sent.begin() + 5, sent.begin() + 9),
                (std::vector<uint8_t>{0, 1, 255, 255}));
      continue;
    }
    EXPECT_TRUE(fake.written().empty()) << c.width << "x" << c.height;
    EXPECT_TRUE(g_progress.empty()) << c.width << "x" << c.height;
  }
}

TEST_F(TransferTest, PictureOfTenByThree) {
  file("pic.bmp", colour_bmp(10, 3).bytes());
  EXPECT_EQ(send_picture(&job, record_progress), 0);
  // The header, then 22 pixels of 3 bytes in a chunk across the row ends,
  // then the remaining 8 pixels.
  EXPECT_EQ(write_sizes(), (std::vector<size_t>{4, 66, 24}));
  const std::vector<uint8_t> sent = fake.written();
  EXPECT_EQ(std::vector<uint8_t>(sent.begin(), sent.begin() + 4),
            (std::vector<uint8_t>{0, 3, 0, 10}));
  EXPECT_EQ(sent, picture_stream(10, 3));
  // 255 -> 63, 3 -> 0, 4 -> 1 at the top-left pixel.
  EXPECT_EQ(std::vector<uint8_t>(sent.begin() + 4, sent.begin() + 7),
            (std::vector<uint8_t>{63, 0, 1}));
  EXPECT_EQ(g_progress, (Progress{{3, 0}, {3, 0}, {3, 1}, {3, 2}}));
  EXPECT_FALSE(fs::exists(dir / kPictureHeaderFile));
}

TEST_F(TransferTest, PictureSizesAreSentHighByteFirst) {
  file("wide.bmp", colour_bmp(300, 1).bytes());
  job.send = "P";
  EXPECT_EQ(send_picture(&job, record_progress), 0);
  const std::vector<uint8_t> sent = fake.written();
  // The send text first, then height 1 and width 300 = 1 * 256 + 44.
  EXPECT_EQ(std::vector<uint8_t>(sent.begin(), sent.begin() + 5),
            (std::vector<uint8_t>{'P', 0, 1, 1, 44}));
  EXPECT_EQ(sent.size(), 1u + 4u + 900u);
  EXPECT_EQ(g_progress, (Progress{{1, 0}, {1, 0}}));

  // A picture stored top-down goes out top row first all the same.
  fake.events.clear();
  BmpFile topDown = colour_bmp(4, 2);
  std::vector<uint8_t> rows(topDown.pixels.begin() + 12, topDown.pixels.end());
  rows.insert(rows.end(), topDown.pixels.begin(), topDown.pixels.begin() + 12);
  topDown.pixels = rows;
  topDown.height = static_cast<uint32_t>(-2);
  file("topdown.bmp", topDown.bytes());
  job.send = nullptr;
  EXPECT_EQ(send_picture(&job, nullptr), 0);
  EXPECT_EQ(fake.written(), picture_stream(4, 2));
}

TEST_F(TransferTest, OnlyTwentyFourBitPicturesAreSent) {
  job.send = "never";
  file("indexed.bmp", indexed_bmp(4, 4).bytes());
  EXPECT_EQ(send_picture(&job, record_progress), TRANSFER_NOT_24_BITS);
  file("deep.bmp", colour_bmp(4, 4, 32).bytes());
  EXPECT_EQ(send_picture(&job, record_progress), TRANSFER_NOT_24_BITS);
  // Checked before anything else: no progress, not even the send text.
  EXPECT_TRUE(fake.written().empty());
  EXPECT_TRUE(g_progress.empty());

  file("junk.bmp", {'B', 'M', 0});
  EXPECT_EQ(send_picture(&job, record_progress), RESULT_FILE_UNREADABLE);
  job.path = nullptr;
  EXPECT_EQ(send_picture(&job, record_progress), RESULT_FILE_UNREADABLE);
  EXPECT_TRUE(fake.written().empty());
  serial_close(&fake.port);
  file("pic.bmp", colour_bmp(2, 2).bytes());
  EXPECT_EQ(send_picture(&job, record_progress), RESULT_PORT_CLOSED);
}

TEST_F(TransferTest, HeaderFileOfAWhitePixel) {
  BmpFile white = colour_bmp(1, 1);
  white.pixels = {255, 255, 255, 0};
  file("white.bmp", white.bytes());
  job.toFile = 1;
  EXPECT_EQ(send_picture(&job, record_progress), 0);
  EXPECT_EQ(header_file(), "\nconst unsigned char pic[]={ 0,1,0,1,63,63,63 };\n");
  EXPECT_EQ(fake.written(), (std::vector<uint8_t>{0, 1, 0, 1, 63, 63, 63}));
}

TEST_F(TransferTest, HeaderFileHoldsTheStreamAndIsWrittenFirst) {
  file("pic.bmp", colour_bmp(10, 3).bytes());
  job.toFile = 1;
  bool headerFirst = false;
  fake.onWrite = [&](FakePort& f, const std::vector<uint8_t>&) {
    if (f.writes().size() == 1) headerFirst = fs::exists(dir / kPictureHeaderFile);
  };
  EXPECT_EQ(send_picture(&job, record_progress), 0);
  EXPECT_TRUE(headerFirst);
  // The stream's bytes in decimal; a line ends after pixels 6, 12, ... 30.
  const std::string text = header_file();
  EXPECT_EQ(text, picture_header_text(picture_stream(10, 3)));
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1 + 5 + 1);
  EXPECT_EQ(fake.written(), picture_stream(10, 3));
}

TEST_F(TransferTest, PictureFailuresAfterTheCheck) {
  file("pic.bmp", colour_bmp(10, 3).bytes());
  // The header file can't be created: 17, and nothing goes to the port.
  fs::create_directory(dir / kPictureHeaderFile);
  job.toFile = 1;
  EXPECT_EQ(send_picture(&job, record_progress), TRANSFER_HEADER_FILE);
  EXPECT_TRUE(fake.written().empty());
  job.toFile = 0;

  // Stopped before the data, and after the second row.
  g_progress.clear();
  g_stop_at_call = 1;
  EXPECT_EQ(send_picture(&job, record_progress), RESULT_ABORTED);
  EXPECT_TRUE(fake.written().empty());
  g_progress.clear();
  g_stop_at_call = 3;
  EXPECT_EQ(send_picture(&job, record_progress), RESULT_ABORTED);
  EXPECT_EQ(write_sizes(), (std::vector<size_t>{4}));  // 20 pixels: no full chunk yet

  // A failed write is reported, not passed over.
  fake.events.clear();
  g_stop_at_call = -1;
  int writes = 0;
  fake.onWrite = [&writes](FakePort& f, const std::vector<uint8_t>&) {
    if (++writes == 2) f.writeError = 5;
  };
  EXPECT_EQ(send_picture(&job, record_progress), TRANSFER_WRITE_FAILED);
  EXPECT_EQ(write_sizes(), (std::vector<size_t>{4, 66}));
  fake.writeError = 0;
  fake.onWrite = [](FakePort& f, const std::vector<uint8_t>&) { f.writeError = 5; };
  EXPECT_EQ(send_picture(&job, nullptr), TRANSFER_WRITE_FAILED);
}

}  // namespace
