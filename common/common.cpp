#include "common/common.h"

#include <chrono>
#include <thread>

unsigned scriptOptions = 0;

void reset_script_options() {
  scriptOptions = 0;
}

namespace {
DelayHook g_delay_hook = nullptr;
}

DelayHook set_delay_hook(DelayHook hook) {
  DelayHook previous = g_delay_hook;
  g_delay_hook = hook;
  return previous;
}

void delay_ms(int ms) {
  if (g_delay_hook != nullptr) {
    g_delay_hook(ms);
    return;
  }
  if (ms <= 0) return;
  // sleep_until may wake early on some platforms; loop until the deadline
  // has passed on the monotonic clock.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_until(deadline);
}
