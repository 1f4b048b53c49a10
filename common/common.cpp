#include "common/common.h"

#include "common/deadline.h"
#include "common/stop.h"

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
  // A stop request (Ctrl-C) ends the wait early: the transfer then stops.
  sleep_until_deadline(deadline_after_ms(ms), stop_requested);
}
