#include "common/console.h"

#include <cstdarg>
#include <cstdio>

namespace {

std::string* g_capture = nullptr;
// The calling thread's sink: each thread's own, so nothing is shared.
thread_local const ConsoleSink* t_sink = nullptr;

// Appends the formatted text to *out.
void append_formatted(std::string* out, const char* format, va_list args) {
  va_list copy;
  va_copy(copy, args);
  const int n = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  if (n <= 0) return;
  const size_t old = out->size();
  out->resize(old + static_cast<size_t>(n) + 1);
  std::vsnprintf(&(*out)[old], static_cast<size_t>(n) + 1, format, args);
  out->resize(old + static_cast<size_t>(n));
}

}  // namespace

void console_capture(std::string* sink) {
  g_capture = sink;
}

void console_thread_sink(const ConsoleSink* sink) {
  t_sink = sink;
}

void console_write_shared(const void* data, size_t size) {
  if (size == 0) return;
  if (g_capture != nullptr) {
    g_capture->append(static_cast<const char*>(data), size);
  } else {
    console_write_stdout(data, size);
  }
}

void console_write(const void* data, size_t size) {
  if (size == 0) return;
  if (t_sink != nullptr) {
    t_sink->write(t_sink->context, static_cast<const char*>(data), size);
  } else {
    console_write_shared(data, size);
  }
}

void console_print(const char* format, ...) {
  va_list args;
  va_start(args, format);
  if (t_sink != nullptr) {
    std::string text;
    append_formatted(&text, format, args);
    if (!text.empty()) t_sink->write(t_sink->context, text.data(), text.size());
  } else if (g_capture != nullptr) {
    append_formatted(g_capture, format, args);
  } else {
    std::vprintf(format, args);
    std::fflush(stdout);
  }
  va_end(args);
}
