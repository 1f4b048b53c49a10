#include "common/stop.h"

#include <atomic>

namespace {
// Lock-free, so the signal handler may set it.
std::atomic<bool> g_stop{false};
std::atomic<void (*)()> g_hook{nullptr};
}  // namespace

bool stop_requested() {
  return g_stop.load(std::memory_order_relaxed);
}

void stop_request() {
  g_stop.store(true, std::memory_order_relaxed);
}

void stop_clear() {
  g_stop.store(false, std::memory_order_relaxed);
}

void stop_on_signal(void (*fn)()) {
  g_hook.store(fn);
}

void stop_signal_received() {
  stop_request();
  void (*hook)() = g_hook.load();
  if (hook != nullptr) hook();
}
