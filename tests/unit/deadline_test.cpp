// The timing helper behind every timed wait, and delay_ms on the real clock.
#include "common/deadline.h"

#include <gtest/gtest.h>

#include "common/common.h"
#include "common/stop.h"

namespace {

using std::chrono::milliseconds;

TEST(Deadline, ZeroOrNegativeHasAlreadyPassed) {
  for (int ms : {0, -1, -100000}) {
    const Deadline d = deadline_after_ms(ms);
    EXPECT_TRUE(deadline_passed(d)) << ms;
    EXPECT_EQ(deadline_left_ms(d), 0) << ms;
  }
}

TEST(Deadline, LeftIsRoundedUpSoAWaitNeverEndsEarly) {
  // A deadline a fraction of a millisecond away still has 1 ms left.
  const Deadline near{SteadyClock::now() + std::chrono::microseconds(300)};
  const int left = deadline_left_ms(near);
  EXPECT_TRUE(left == 1 || (left == 0 && deadline_passed(near))) << left;
  const Deadline far = deadline_after_ms(10000);
  EXPECT_FALSE(deadline_passed(far));
  EXPECT_GT(deadline_left_ms(far), 9000);
  EXPECT_LE(deadline_left_ms(far), 10000);
}

TEST(Deadline, SleepReachesTheDeadline) {
  const Deadline d = deadline_after_ms(30);
  EXPECT_TRUE(sleep_until_deadline(d, nullptr));
  EXPECT_TRUE(deadline_passed(d));
}

bool always_stop() {
  return true;
}

TEST(Deadline, SleepEndsEarlyWhenAskedToStop) {
  const Deadline d = deadline_after_ms(60000);
  EXPECT_FALSE(sleep_until_deadline(d, always_stop));
  EXPECT_FALSE(deadline_passed(d));
}

TEST(DelayMs, WaitsAtLeastTheTimeOnTheMonotonicClock) {
  const auto start = SteadyClock::now();
  delay_ms(25);
  EXPECT_GE(SteadyClock::now() - start, milliseconds(25));
}

TEST(DelayMs, AStopRequestEndsTheWait) {
  stop_request();
  const auto start = SteadyClock::now();
  delay_ms(60000);
  stop_clear();
  EXPECT_LT(SteadyClock::now() - start, milliseconds(30000));
}

}  // namespace
