// The download driver against an in-memory port: reset and handshake timing,
// generation detection, image loading, sizing and refusals.
#include "boot/download.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "common/console.h"
#include "common/stop.h"
#include "tests/support/fake_loader.h"
#include "tests/support/fake_port.h"

namespace {

std::string temp_file(const std::string& name, const std::vector<uint8_t>& bytes) {
  const std::string path = testing::TempDir() + name;
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
  return path;
}

std::string temp_text(const std::string& name, const std::string& text) {
  return temp_file(name, std::vector<uint8_t>(text.begin(), text.end()));
}

std::vector<uint8_t> pattern(size_t n) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(i * 7 + 3);
  return v;
}

struct DriverTest : testing::Test {
  FakePort fake;
  FakeLoader loader;
  DownloadJob job;
  std::string console;

  void SetUp() override {
    ASSERT_EQ(fake.open(), 0);
    fake.events.clear();
    job.port = &fake.port;
    job.flashStart = 0x1d000000;
    job.flashSize = 128 * 1024;
    job.eraseDelay = 1;
    loader.attach(fake);
    console_capture(&console);
  }
  void TearDown() override { console_capture(nullptr); }

  bool any_line_change() const {
    for (const FakeEvent& e : fake.events)
      if (e.kind == FakeEvent::Dtr) return true;
    return false;
  }
};

TEST_F(DriverTest, ResetPulsesDtrThenSendsTheEntryByteAndDrains) {
  loader.letter = 'D';
  const int64_t t0 = fake.now_us();
  EXPECT_EQ(boot_start(&job), 2);
  ASSERT_GE(fake.events.size(), 3u);
  const FakeEvent& on = fake.events[0];
  const FakeEvent& off = fake.events[1];
  const FakeEvent& entry = fake.events[2];
  EXPECT_EQ(on.kind, FakeEvent::Dtr);
  EXPECT_TRUE(on.on);
  EXPECT_EQ(on.timeUs, t0);
  EXPECT_EQ(off.kind, FakeEvent::Dtr);
  EXPECT_FALSE(off.on);
  EXPECT_EQ(off.timeUs - on.timeUs, 50000);
  EXPECT_EQ(entry.kind, FakeEvent::Write);
  EXPECT_EQ(entry.bytes, std::vector<uint8_t>{0x5C});
  EXPECT_EQ(entry.timeUs - off.timeUs, 150000);
  // The answer is looked for only after the 500 ms pause and the drain.
  EXPECT_GE(fake.now_us() - entry.timeUs, 500000);
}

TEST_F(DriverTest, GenerationFollowsTheLetter) {
  loader.letter = 'E';
  EXPECT_EQ(boot_start(&job), 3);
}

TEST_F(DriverTest, SilentTargetIsGenerationOneAfter200Tries) {
  loader.letter = 0;
  EXPECT_EQ(boot_start(&job), 1);
  // One drain read plus 200 tries.
  EXPECT_EQ(fake.reads, 201);
}

TEST_F(DriverTest, EarlyAnswerIsDrainedAndNotDetected) {
  loader.letter = 0;
  fake.onWrite = [](FakePort& f, const std::vector<uint8_t>& b) {
    if (b[0] == 0x5C) f.send("E", 100);  // inside the 500 ms pause
  };
  EXPECT_EQ(boot_start(&job), 1);
}

TEST_F(DriverTest, OtherBytesCostATryEach) {
  fake.onWrite = [](FakePort& f, const std::vector<uint8_t>& b) {
    // Arriving just after the drain: each byte is one try of the wait.
    if (b[0] == 0x5C) f.send(std::string(199, 'x') + "D", 503);
  };
  EXPECT_EQ(boot_start(&job), 2);
  fake.events.clear();
  fake.onWrite = [](FakePort& f, const std::vector<uint8_t>& b) {
    if (b[0] == 0x5C) f.send(std::string(200, 'x') + "D", 503);
  };
  EXPECT_EQ(boot_start(&job), 1);
}

TEST_F(DriverTest, ClosedPortGivesFiveAndLeavesTheTargetAlone) {
  job.path = "/nonexistent/image.bin";
  serial_close(&fake.port);
  fake.events.clear();
  EXPECT_EQ(download(&job, nullptr), RESULT_PORT_CLOSED);
  EXPECT_FALSE(any_line_change());
  EXPECT_TRUE(fake.written().empty());
}

TEST_F(DriverTest, MissingFileOrDirectoryGivesOneWithoutReset) {
  job.path = "/nonexistent/image.bin";
  EXPECT_EQ(download(&job, nullptr), RESULT_FILE_UNREADABLE);
  const std::string dir = testing::TempDir();
  job.path = dir.c_str();
  EXPECT_EQ(download(&job, nullptr), RESULT_FILE_UNREADABLE);
  EXPECT_FALSE(any_line_change());
}

TEST_F(DriverTest, RawImageLargerThanFlashIsRefusedBeforeTheReset) {
  const std::string path = temp_file("big.bin", pattern(128 * 1024 + 1));
  job.path = path.c_str();
  EXPECT_EQ(download(&job, nullptr), RESULT_IMAGE_TOO_LARGE);
  EXPECT_EQ(job.imageSize, 128 * 1024 + 1);
  EXPECT_FALSE(any_line_change());
  EXPECT_TRUE(fake.written().empty());
  EXPECT_STRNE(result_text(RESULT_IMAGE_TOO_LARGE), result_text(999));
}

TEST_F(DriverTest, SilentLoaderIsReportedEvenWhenQuiet) {
  loader.letter = 0;
  const std::string path = temp_file("quiet.bin", pattern(10));
  job.path = path.c_str();
  EXPECT_EQ(download(&job, nullptr), RESULT_NOT_DETECTED);
  EXPECT_EQ(console, "\nBoot loader not detected\n");
}

TEST_F(DriverTest, RawImageGoesOutWholeWithErasedPadding) {
  const std::vector<uint8_t> data = pattern(4500);
  const std::string path = temp_file("image.bin", data);
  job.path = path.c_str();
  EXPECT_EQ(download(&job, nullptr), RESULT_OK);
  EXPECT_EQ(job.imageSize, 4500);
  EXPECT_EQ(job.blockSize, 4500);
  EXPECT_EQ(job.blockCount, 1u);
  ASSERT_EQ(loader.blocks, 3);
  EXPECT_TRUE(std::equal(data.begin(), data.end(), loader.blockBytes.begin()));
  for (size_t i = data.size(); i < loader.blockBytes.size(); ++i)
    ASSERT_EQ(loader.blockBytes[i], 0xFF) << "padding byte " << i;
  EXPECT_EQ(loader.sizeBytes, (std::vector<uint8_t>{0x00, 0x00, 0x11, 0x94}));
}

TEST_F(DriverTest, HexImageIsConvertedRelativeToFlashStart) {
  // Two bytes at 0x1D000010 and the end record.
  const std::string path =
      temp_text("image.Hex", ":020000041D00DD\n:02001000ABCD76\n:00000001FF\n");
  job.path = path.c_str();
  EXPECT_EQ(download(&job, nullptr), RESULT_OK);
  EXPECT_EQ(job.imageSize, 0x12);
  ASSERT_EQ(loader.blocks, 1);
  EXPECT_EQ(loader.blockBytes[0x10], 0xAB);
  EXPECT_EQ(loader.blockBytes[0x11], 0xCD);
  EXPECT_EQ(loader.blockBytes[0x0F], 0xFF);  // the gap is erased flash
}

TEST_F(DriverTest, BadHexEndsWithElevenAfterTheHandshake) {
  const std::string path = temp_text("bad.hex", ":02001000ABCD00\n:00000001FF\n");
  job.path = path.c_str();
  EXPECT_EQ(download(&job, nullptr), RESULT_HEX_ERROR);
  const std::string nodata = temp_text("empty.hex", ":00000001FF\n");
  job.path = nodata.c_str();
  EXPECT_EQ(download(&job, nullptr), RESULT_HEX_ERROR);
}

TEST_F(DriverTest, VerboseLinesOfAWholeDownload) {
  loader.letter = 'D';
  loader.subVersion = 3;
  const std::string path = temp_file("v.bin", pattern(100));
  job.path = path.c_str();
  job.verbose = 1;
  job.eraseDelay = 0;
  EXPECT_EQ(download(&job, nullptr), RESULT_OK);
  const std::string expected =
      std::string("\n") + "------- boot loader ----------\n" + "\nFile name " + path +
      "\tflash start 1d000000" + "\nDetecting boot loader version" + "\nBoot loader version 2" +
      "\nactual file size 100" + "\nOn this version all flash is erased before sending" +
      "\nBoot loader 2 sub version returned 3" + "\nSent size to target =100" +
      "\nDelaying 0 seconds to allow flash to be erased" + "\nValue came back=6" +
      "\nSending blocks";
  EXPECT_EQ(console, expected);
}

TEST(Sizing, SmallestDivisorUnder65000) {
  struct Case {
    int32_t size, blockSize;
    uint32_t count;
  } cases[] = {{0, 0, 1},          {65000, 65000, 1},  {65001, 32500, 2},
               {130001, 65000, 2}, {130002, 43334, 3}, {487063552, 64993, 7494}};
  for (const Case& c : cases) {
    DownloadJob job;
    size_image(&job, c.size);
    EXPECT_EQ(job.imageSize, c.size);
    EXPECT_EQ(job.blockSize, c.blockSize) << c.size;
    EXPECT_EQ(job.blockCount, c.count) << c.size;
  }
}

TEST(Extension, LastDotOfTheWholePathCounts) {
  EXPECT_EQ(file_extension("image.hex"), "HEX");
  EXPECT_EQ(file_extension("noext"), "");
  EXPECT_EQ(file_extension("dir.hex/file"), "HEX/FILE");
  EXPECT_TRUE(is_hex_path("image.hex"));
  EXPECT_TRUE(is_hex_path("IMAGE.HEX"));
  EXPECT_TRUE(is_hex_path("image.ihex"));
  EXPECT_TRUE(is_hex_path("image.hexa"));
  EXPECT_TRUE(is_hex_path("dir.hex/file"));
  EXPECT_FALSE(is_hex_path("image.hex.bin"));
  EXPECT_FALSE(is_hex_path("image"));
  // Long extensions are examined whole.
  EXPECT_TRUE(is_hex_path("firmware.release_build_hex"));
  EXPECT_FALSE(is_hex_path("firmware.release_build_bin"));
}

}  // namespace

namespace {

// Ctrl-C during a download: the wait for the block's ACK ends at once and the
// download is an abort, whatever the wire did meanwhile.
TEST_F(DriverTest, StopRequestDuringABlockWaitIsAnAbort) {
  loader.ackBlocks = 1;  // the second block would wait out its ACK
  const std::string path = temp_file("stop.bin", pattern(6000));
  job.path = path.c_str();
  auto answer = fake.onWrite;  // the loader's; the hook below asks to stop
  fake.onWrite = [this, answer](FakePort& f, const std::vector<uint8_t>& bytes) {
    answer(f, bytes);
    if (loader.blocks == 2) stop_request();
  };
  const int64_t before = fake.now_us();
  EXPECT_EQ(download(&job, nullptr), RESULT_ABORTED);
  stop_clear();
  EXPECT_EQ(loader.blocks, 2);
  // Not the 200 tries of the ACK wait (1.4 s), nor a third block.
  EXPECT_LT(fake.now_us() - before, 5'000'000);
  EXPECT_EQ(fake.written().size(), 6u + 2 * 2000);  // entry, 'v', size, two blocks
}

TEST_F(DriverTest, StopRequestDuringTheHandshakeIsAnAbortNotASilentLoader) {
  loader.letter = 0;
  const std::string path = temp_file("hs.bin", pattern(10));
  job.path = path.c_str();
  fake.onDtr = [](FakePort&, bool on) {
    if (!on) stop_request();
  };
  EXPECT_EQ(download(&job, nullptr), RESULT_ABORTED);
  stop_clear();
  EXPECT_EQ(console.find("Boot loader not detected"), std::string::npos) << console;
}

}  // namespace
