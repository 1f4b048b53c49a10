// The reply waits over an in-memory port: tries, pauses, and a stop request.
#include "serial/reply.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/common.h"
#include "common/stop.h"
#include "serial/serial.h"
#include "tests/support/fake_port.h"

namespace {

struct ReplyTest : testing::Test {
  FakePort fake;
  void SetUp() override { ASSERT_EQ(fake.open(), 0); }
  void TearDown() override { stop_clear(); }
};

TEST_F(ReplyTest, ReplyWaitsCountTheirTriesAndPauses) {
  uint8_t byte = 0;
  int64_t t = fake.now_us();
  EXPECT_FALSE(get_reply(&fake.port, &byte));
  EXPECT_EQ(fake.reads, 200);
  EXPECT_EQ(fake.now_us() - t, 200 * 3000);  // 2 ms read + 1 ms pause

  t = fake.now_us();
  EXPECT_EQ(waitfor(&fake.port, ACK), 0);
  EXPECT_EQ(fake.now_us() - t, 200 * 7000);  // 2 ms read + 5 ms pause

  fake.send(std::vector<uint8_t>{0x15, 0x00, 0x06});
  EXPECT_EQ(waitfor(&fake.port, ACK), 1);
  EXPECT_EQ(fake.pending(), 0u);

  // A NUL never matches a set.
  fake.send(std::vector<uint8_t>{0x00, 'Q', 'E'});
  EXPECT_EQ(waitforS(&fake.port, "DE"), 'E');

  fake.send("z");
  EXPECT_TRUE(get_reply(&fake.port, &byte));
  EXPECT_EQ(byte, 'z');
}

TEST_F(ReplyTest, ReplyJustAfterAnEmptyReadIsNotKeptWaiting) {
  // The ACK arrives half a millisecond after the first read gave up.
  fake.send(std::vector<uint8_t>{ACK}, 2.5);
  const int64_t t = fake.now_us();
  EXPECT_EQ(waitfor(&fake.port, ACK), 1);
  EXPECT_EQ(fake.now_us() - t, 2500);
  // An unwanted byte still costs the whole pause.
  fake.send(std::vector<uint8_t>{'x', ACK});
  const int64_t t2 = fake.now_us();
  EXPECT_EQ(waitfor(&fake.port, ACK), 1);
  EXPECT_EQ(fake.now_us() - t2, 5000);
}

TEST_F(ReplyTest, StopRequestEndsEveryWaitAtOnce) {
  stop_request();
  uint8_t byte = 0;
  const int64_t t = fake.now_us();
  EXPECT_FALSE(get_reply(&fake.port, &byte));
  EXPECT_EQ(waitfor(&fake.port, ACK), 0);
  EXPECT_EQ(waitforS(&fake.port, "DE"), 0);
  EXPECT_EQ(serial_get_wait(&fake.port, 0), 0);  // "for ever" ends too
  EXPECT_EQ(serial_get_wait(&fake.port, 200), 0);
  EXPECT_LE(fake.now_us() - t, 2000);  // at most one read
  // A byte that is there is still not taken: the wait is over.
  stop_clear();
  fake.send("E");
  EXPECT_EQ(waitforS(&fake.port, "DE"), 'E');
}

}  // namespace
