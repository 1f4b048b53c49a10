// The one timing helper of every timed wait: a point on the monotonic clock
// by which the wait ends. delay_ms, the port's 2 ms read bound and its input
// wait are all built on it.
#pragma once

#include <chrono>

using SteadyClock = std::chrono::steady_clock;

struct Deadline {
  SteadyClock::time_point at;
};

// The deadline ms milliseconds from now; zero or a negative value gives one
// that has already passed.
Deadline deadline_after_ms(int ms);

// True once the monotonic clock has reached the deadline.
bool deadline_passed(const Deadline& deadline);

// Whole milliseconds left, rounded up (a wait of that many milliseconds
// never ends before the deadline); 0 once it has passed.
int deadline_left_ms(const Deadline& deadline);

// Sleeps until the deadline, or until stop() returns true (checked at least
// every 20 ms; stop may be null). False when stopped early. Always on the
// monotonic clock.
bool sleep_until_deadline(const Deadline& deadline, bool (*stop)());

// Test seam: the clock that deadline_after_ms, deadline_passed and
// deadline_left_ms read (a virtual clock, as the fake port's); nullptr
// restores the monotonic clock. Returns the previous one.
using ClockHook = SteadyClock::time_point (*)();
ClockHook set_clock_hook(ClockHook hook);
