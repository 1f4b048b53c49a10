#include "common/stop.h"

#include <atomic>

namespace {
// Lock-free, so the signal handler may set it.
std::atomic<bool> g_stop{false};
std::atomic<void (*)()> g_hook{nullptr};
std::atomic<const char*> g_cause{nullptr};
constexpr const char* kDefaultCause = "Ctrl-C";
}  // namespace

bool stop_requested() {
  return g_stop.load(std::memory_order_relaxed);
}

void stop_request() {
  g_stop.store(true, std::memory_order_relaxed);
}

void stop_clear() {
  g_stop.store(false, std::memory_order_relaxed);
  g_cause.store(nullptr);
}

const char* stop_cause() {
  const char* cause = g_cause.load();
  return cause != nullptr ? cause : kDefaultCause;
}

void stop_on_signal(void (*fn)()) {
  g_hook.store(fn);
}

void stop_signal_received(const char* cause) {
  // The first signal's cause stays: the one that stopped the transfer.
  const char* none = nullptr;
  g_cause.compare_exchange_strong(none, cause);
  stop_request();
  void (*hook)() = g_hook.load();
  if (hook != nullptr) hook();
}
