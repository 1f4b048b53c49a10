#include "toolkit/terminal/display.h"

#include <chrono>
#include <cstdio>
#include <ctime>

namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";

// The text of one byte after the mapping: one or two bytes.
size_t map_byte(LineMap map, uint8_t byte, char out[2]) {
  if ((map == MAP_CR_CRLF && byte == '\r') || (map == MAP_LF_CRLF && byte == '\n')) {
    out[0] = '\r';
    out[1] = '\n';
    return 2;
  }
  out[0] = static_cast<char>(byte);
  return 1;
}

// The text of the bytes, stamped at line starts, onto one or two outputs.
void append_text(Display* d, const uint8_t* data, size_t n, std::string_view stamp, std::string* a,
                 std::string* b) {
  if (!d->timestamps && d->map == MAP_NONE) {
    // Most of the time: the bytes as they are, in one piece.
    for (std::string* out : {a, b})
      if (out != nullptr) out->append(reinterpret_cast<const char*>(data), n);
    if (n > 0) d->lineStart = data[n - 1] == '\n';
    return;
  }
  for (size_t i = 0; i < n; ++i) {
    char text[2];
    const size_t length = map_byte(d->map, data[i], text);
    for (size_t k = 0; k < length; ++k) {
      for (std::string* out : {a, b}) {
        if (out == nullptr) continue;
        if (d->lineStart && d->timestamps) out->append(stamp);
        out->push_back(text[k]);
      }
      d->lineStart = text[k] == '\n';
    }
  }
}

void append_hex(Display* d, const uint8_t* data, size_t n, std::string_view stamp,
                std::string* screen) {
  for (size_t i = 0; i < n; ++i) {
    if (d->hexColumn == 0 && d->timestamps) screen->append(stamp);
    screen->push_back(kHexDigits[data[i] >> 4]);
    screen->push_back(kHexDigits[data[i] & 0x0F]);
    screen->push_back(' ');
    if (++d->hexColumn == kHexPerLine) {
      screen->push_back('\n');
      d->hexColumn = 0;
    }
  }
}

void append_watch(const uint8_t* data, size_t n, std::string* screen) {
  for (size_t i = 0; i < n; ++i) {
    screen->push_back('\t');
    screen->push_back(static_cast<char>(data[i]));
  }
}

}  // namespace

void display_bytes(Display* display, const uint8_t* data, size_t n, std::string_view stamp,
                   std::string* screen, std::string* log) {
  const bool textOnScreen = !display->watch && !display->hex;
  append_text(display, data, n, stamp, textOnScreen ? screen : nullptr, log);
  if (display->watch) {
    append_watch(data, n, screen);
  } else if (display->hex) {
    append_hex(display, data, n, stamp, screen);
  }
}

std::string display_stamp() {
  using std::chrono::system_clock;
  const system_clock::time_point now = system_clock::now();
  const std::time_t seconds = system_clock::to_time_t(now);
  const auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  const std::tm* local = std::localtime(&seconds);  // one thread: the shared result is safe
  char text[32];
  if (local == nullptr) return "[--:--:--.---] ";
  std::snprintf(text, sizeof text, "[%02d:%02d:%02d.%03d] ", local->tm_hour, local->tm_min,
                local->tm_sec, static_cast<int>(ms));
  return text;
}

const char* line_map_text(LineMap map) {
  switch (map) {
    case MAP_CR_CRLF:
      return "CR as CR LF";
    case MAP_LF_CRLF:
      return "LF as CR LF";
    default:
      return "as they come";
  }
}
