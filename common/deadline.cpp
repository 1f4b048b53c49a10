#include "common/deadline.h"

#include <algorithm>
#include <climits>
#include <thread>

namespace {

ClockHook g_clock = nullptr;

SteadyClock::time_point clock_now() {
  return g_clock != nullptr ? g_clock() : SteadyClock::now();
}

}  // namespace

ClockHook set_clock_hook(ClockHook hook) {
  const ClockHook previous = g_clock;
  g_clock = hook;
  return previous;
}

Deadline deadline_after_ms(int ms) {
  const SteadyClock::time_point now = clock_now();
  if (ms <= 0) return {now};
  return {now + std::chrono::milliseconds(ms)};
}

bool deadline_passed(const Deadline& deadline) {
  return clock_now() >= deadline.at;
}

int deadline_left_ms(const Deadline& deadline) {
  const auto left = deadline.at - clock_now();
  if (left <= SteadyClock::duration::zero()) return 0;
  const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
  return static_cast<int>(std::min<long long>(ms, INT_MAX));
}

namespace {
// How often a sleep with a stop function checks it.
constexpr std::chrono::milliseconds kStopCheck{20};
}  // namespace

bool sleep_until_deadline(const Deadline& deadline, bool (*stop)()) {
  // sleep_until may wake early on some platforms: loop until the deadline has
  // passed on the monotonic clock.
  for (;;) {
    if (stop != nullptr && stop()) return false;
    const SteadyClock::time_point now = SteadyClock::now();
    if (now >= deadline.at) return true;
    std::this_thread::sleep_until(stop != nullptr ? std::min(deadline.at, now + kStopCheck)
                                                  : deadline.at);
  }
}
