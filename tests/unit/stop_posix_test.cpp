// The stop signals: each one requests a stop and is named for the messages,
// and the first one's name stays when more follow.
#include <gtest/gtest.h>
#include <signal.h>

#include <string>

#include "common/stop.h"

namespace {

struct StopSignals : testing::Test {
  void TearDown() override {
    stop_clear();
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) signal(sig, SIG_DFL);
  }
};

TEST_F(StopSignals, EachSignalIsNamed) {
  const struct {
    int signal;
    const char* cause;
  } cases[] = {{SIGINT, "Ctrl-C"}, {SIGTERM, "SIGTERM"}, {SIGHUP, "SIGHUP"}};
  for (const auto& c : cases) {
    stop_clear();
    stop_watch_signals();
    ASSERT_FALSE(stop_requested());
    ASSERT_EQ(raise(c.signal), 0);
    EXPECT_TRUE(stop_requested()) << c.cause;
    EXPECT_EQ(std::string(stop_cause()), c.cause);
  }
}

TEST_F(StopSignals, TheFirstCauseStays) {
  stop_watch_signals();
  ASSERT_EQ(raise(SIGTERM), 0);
  ASSERT_EQ(raise(SIGHUP), 0);  // its handler is still the stop handler: a first SIGHUP
  EXPECT_EQ(std::string(stop_cause()), "SIGTERM");
  // A request without a signal (a test, or the code itself) reads as Ctrl-C.
  stop_clear();
  stop_request();
  EXPECT_EQ(std::string(stop_cause()), "Ctrl-C");
}

}  // namespace
