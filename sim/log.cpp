#include "sim/log.h"

#include <cstdarg>
#include <cstdio>

namespace {
bool g_enabled = false;
}

void sim_log_enable(bool on) {
  g_enabled = on;
}

void sim_log(const char* format, ...) {
  if (!g_enabled) return;
  std::fputs("stoker-target: ", stderr);
  va_list args;
  va_start(args, format);
  std::vfprintf(stderr, format, args);
  va_end(args);
  std::fputc('\n', stderr);
}
