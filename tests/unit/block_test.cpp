// The block download against a scripted loader on the in-memory port.
#include "boot/block.h"

#include <gtest/gtest.h>

#include <vector>

#include "common/console.h"
#include "tests/support/fake_loader.h"
#include "tests/support/fake_port.h"

namespace {

std::vector<std::pair<int, int>> g_progress;
int g_abort_after = -1;

int record_progress(int total, int done) {
  g_progress.emplace_back(total, done);
  return g_abort_after >= 0 && static_cast<int>(g_progress.size()) > g_abort_after ? 1 : 0;
}

struct BlockTest : testing::Test {
  FakePort fake;
  FakeLoader loader;
  DownloadJob job;

  void SetUp() override {
    ASSERT_EQ(fake.open(), 0);
    job.port = &fake.port;
    job.flashSize = 256 * 1024;
    job.eraseDelay = 0;
    loader.attach(fake);
    // The handshake has happened: the loader is in its answering phase.
    serial_put(&fake.port, 0x5C);
    fake.events.clear();
    g_progress.clear();
    g_abort_after = -1;
  }

  int run(int32_t imageSize) {
    job.imageSize = imageSize;
    std::vector<uint8_t> image(static_cast<size_t>(job.flashSize) + 2255, 0xFF);
    for (int32_t i = 0; i < imageSize; ++i) image[static_cast<size_t>(i)] = static_cast<uint8_t>(i);
    return block_download(&job, std::move(image), record_progress);
  }
};

TEST_F(BlockTest, BlockCountIsSizeOver2000PlusOne) {
  const std::pair<int32_t, int> cases[] = {{0, 1}, {1999, 1}, {2000, 2}, {4001, 3}};
  for (const auto& [size, blocks] : cases) {
    FakePort fresh;
    ASSERT_EQ(fresh.open(), 0);
    FakeLoader l;
    l.attach(fresh);
    serial_put(&fresh.port, 0x5C);
    job.port = &fresh.port;
    g_progress.clear();
    EXPECT_EQ(run(size), RESULT_OK) << size;
    EXPECT_EQ(l.blocks, blocks) << size;
    // Each block is one write of exactly 2000 bytes.
    const auto writes = fresh.writes();
    EXPECT_EQ(writes.back().bytes.size(), 2000u);
    ASSERT_EQ(static_cast<int>(g_progress.size()), blocks);
    EXPECT_EQ(g_progress.front(), std::make_pair(size, 0));
    EXPECT_EQ(g_progress.back(), std::make_pair(size, (blocks - 1) * 2000));
  }
}

TEST_F(BlockTest, SizeAnnouncementFollowsTheSubVersion) {
  loader.subVersion = 3;
  EXPECT_EQ(run(70000), RESULT_OK);
  EXPECT_EQ(loader.sizeBytes, (std::vector<uint8_t>{0x00, 0x01, 0x11, 0x70}));
  // The request and the size bytes go out one at a time.
  const auto writes = fake.writes();
  ASSERT_GE(writes.size(), 5u);
  EXPECT_EQ(writes[0].bytes, std::vector<uint8_t>{'v'});
  for (int i = 1; i <= 4; ++i) EXPECT_EQ(writes[i].bytes.size(), 1u);
}

TEST_F(BlockTest, OlderLoaderIsToldTheFlashToErase) {
  loader.subVersion = 2;
  job.flashSize = 262144;
  EXPECT_EQ(run(100), RESULT_OK);
  EXPECT_EQ(loader.sizeBytes, (std::vector<uint8_t>{0x00, 0x03, 0x74, 0x00}));
}

TEST_F(BlockTest, GenerationLettersBeforeTheSubVersionAreSkipped) {
  fake.cancel_future();
  fake.onWrite = [](FakePort& f, const std::vector<uint8_t>& b) {
    if (b[0] == 'v') f.send(std::string(149, 'D') + "\x03");
  };
  EXPECT_EQ(get_sub_version(&job), 3);
  fake.onWrite = [](FakePort& f, const std::vector<uint8_t>& b) {
    if (b[0] == 'v') f.send(std::string(75, 'D') + std::string(75, 'E') + "\x03");
  };
  EXPECT_EQ(get_sub_version(&job), 0);
  fake.onWrite = nullptr;
  EXPECT_EQ(get_sub_version(&job), 0);
}

TEST_F(BlockTest, NoSubVersionGivesSeven) {
  loader.subVersion = -1;
  EXPECT_EQ(run(10), RESULT_NO_SUB_VERSION);
  EXPECT_EQ(loader.sizeBytes.size(), 0u);
}

TEST_F(BlockTest, EraseReplyDecides) {
  loader.eraseReply = NAK;
  EXPECT_EQ(run(10), RESULT_ERASE_REFUSED);
  EXPECT_EQ(loader.blocks, 0);
}

TEST_F(BlockTest, NoEraseReplyGivesTwo) {
  loader.eraseReply = -1;
  EXPECT_EQ(run(10), RESULT_NO_ERASE_REPLY);
}

TEST_F(BlockTest, AnyOtherEraseReplyStartsTheBlocks) {
  loader.eraseReply = 'x';
  EXPECT_EQ(run(10), RESULT_OK);
  EXPECT_EQ(loader.blocks, 1);
}

TEST_F(BlockTest, EraseDelayIsWaitedInFull) {
  job.eraseDelay = 4;
  EXPECT_EQ(run(10), RESULT_OK);
  const auto writes = fake.writes();
  // From the last size byte to the first block: the whole delay at least.
  ASSERT_GE(writes.size(), 6u);
  EXPECT_GE(writes[5].timeUs - writes[4].timeUs, 4000000);
}

TEST_F(BlockTest, NoiseBeforeAckIsSkipped) {
  loader.beforeAck = {NAK, 0x00, 'x'};
  EXPECT_EQ(run(6000), RESULT_OK);
  EXPECT_EQ(loader.blocks, 4);
}

TEST_F(BlockTest, MissingAckGivesNine) {
  loader.ackBlocks = 2;
  EXPECT_EQ(run(10000), RESULT_NO_ACK);
  EXPECT_EQ(loader.blocks, 3);
}

TEST_F(BlockTest, ASecondAckIsNotTakenForTheNextBlock) {
  // Two ACKs after the first block, nothing after the second: the second
  // was never acknowledged.
  loader.ackBlocks = 1;
  loader.beforeAck = {ACK};
  EXPECT_EQ(run(2000), RESULT_NO_ACK);
  EXPECT_EQ(loader.blocks, 2);
}

TEST_F(BlockTest, ProgressCanAbort) {
  g_abort_after = 1;
  EXPECT_EQ(run(10000), RESULT_ABORTED);
  EXPECT_EQ(loader.blocks, 2);
}

TEST_F(BlockTest, TooSmallBufferIsRefusedNotOverread) {
  job.imageSize = 5000;
  std::vector<uint8_t> image(5000);
  EXPECT_EQ(block_download(&job, std::move(image), nullptr), RESULT_IMAGE_TOO_LARGE);
  EXPECT_TRUE(fake.written().empty());
}

TEST_F(BlockTest, VanishedPortFailsInsteadOfSucceeding) {
  // After the first block the port is gone: writes fail, reads stay empty.
  auto loaderWrite = fake.onWrite;
  fake.onWrite = [&](FakePort& f, const std::vector<uint8_t>& b) {
    loaderWrite(f, b);
    if (loader.blocks == 1) {
      f.deadLine = true;
      f.writeError = 5;
    }
  };
  EXPECT_EQ(run(10000), RESULT_NO_ACK);
  EXPECT_EQ(g_progress.size(), 1u);
}

}  // namespace
