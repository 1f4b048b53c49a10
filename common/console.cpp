#include "common/console.h"

#include <cstdarg>
#include <cstdio>

namespace {
std::string* g_capture = nullptr;
}

void console_capture(std::string* sink) {
  g_capture = sink;
}

void console_write(const void* data, size_t size) {
  if (size == 0) return;
  if (g_capture != nullptr) {
    g_capture->append(static_cast<const char*>(data), size);
  } else {
    console_write_stdout(data, size);
  }
}

void console_print(const char* format, ...) {
  va_list args;
  va_start(args, format);
  if (g_capture != nullptr) {
    va_list copy;
    va_copy(copy, args);
    const int n = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    if (n > 0) {
      const size_t old = g_capture->size();
      g_capture->resize(old + static_cast<size_t>(n) + 1);
      std::vsnprintf(&(*g_capture)[old], static_cast<size_t>(n) + 1, format, args);
      g_capture->resize(old + static_cast<size_t>(n));
    }
  } else {
    std::vprintf(format, args);
    std::fflush(stdout);
  }
  va_end(args);
}
