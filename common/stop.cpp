#include "common/stop.h"

#include <atomic>

namespace {
// Lock-free, so the signal handler may set it.
std::atomic<bool> g_stop{false};
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
