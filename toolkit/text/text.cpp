#include "toolkit/text/text.h"

#include <climits>
#include <cstdint>
#include <cstring>
#include <ctime>

#include "common/common.h"
#include "common/stop.h"
#include "serial/serial.h"

namespace {

// The echo: what was sent, cut at its capacity, always NUL-terminated; and
// the first failed write, after which nothing more is sent.
struct Echo {
  char* buffer;
  size_t capacity;
  size_t length = 0;
  int failed = 0;

  void add(char c) {
    if (length + 1 < capacity) buffer[length++] = c;
    if (capacity > 0) buffer[length] = '\0';
  }
  void add(const char* text) {
    for (; *text != '\0'; ++text) add(*text);
  }
};

bool is_digit(char c) {
  return c >= '0' && c <= '9';
}
bool is_octal(char c) {
  return c >= '0' && c <= '7';
}
int hex_value(char c) {
  if (is_digit(c)) return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}
bool is_space(char c) {
  return c == ' ' || (c >= '\t' && c <= '\r');
}

// A number as the formatted-input conversion of its radix reads it: leading
// white space, an optional sign, then digits (for radix 16 after an optional
// 0x prefix). Returns false when there are no digits. The value wraps modulo
// 2^32 (only its low 8 bits are sent) and *saturated is the magnitude capped
// at INT_MAX (for pauses).
struct Number {
  uint32_t wrapped = 0;
  int saturated = 0;
};

bool scan_number(const char* p, int radix, Number* out) {
  while (is_space(*p)) ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') negative = *p++ == '-';
  if (radix == 16 && p[0] == '0' && (p[1] == 'x' || p[1] == 'X') && hex_value(p[2]) >= 0) p += 2;
  uint32_t wrapped = 0;
  int64_t magnitude = 0;
  int digits = 0;
  for (;; ++p, ++digits) {
    const int d = radix == 16 ? hex_value(*p)
                              : (radix == 8 ? (is_octal(*p) ? *p - '0' : -1)
                                            : (is_digit(*p) ? *p - '0' : -1));
    if (d < 0) break;
    wrapped = wrapped * static_cast<uint32_t>(radix) + static_cast<uint32_t>(d);
    if (magnitude <= INT_MAX) magnitude = magnitude * radix + d;
  }
  if (digits == 0) return false;
  const int capped = magnitude > INT_MAX ? INT_MAX : static_cast<int>(magnitude);
  out->wrapped = negative ? 0u - wrapped : wrapped;
  out->saturated = negative ? -capped : capped;
  return true;
}

const char* skip_decimal(const char* p) {
  while (is_digit(*p)) ++p;
  return p;
}
const char* skip_hex(const char* p) {
  while (hex_value(*p) >= 0) ++p;
  return p;
}

void put_byte(SerialPort* port, Echo* echo, uint8_t byte) {
  if (echo->failed != 0) return;
  echo->failed = serial_put(port, byte);
  if (echo->failed == 0) echo->add(static_cast<char>(byte));
}

// Sends the number read at `from` as one byte, if there is one.
void put_number(SerialPort* port, Echo* echo, const char* from, int radix) {
  Number n;
  if (scan_number(from, radix, &n)) put_byte(port, echo, static_cast<uint8_t>(n.wrapped & 0xFF));
}

// "\#": skips to the line end, then over at most two line-end characters.
const char* skip_comment(const char* p) {
  while (*p != '\0' && *p != '\r' && *p != '\n') ++p;
  for (int i = 0; i < 2 && (*p == '\r' || *p == '\n'); ++i) ++p;
  return p;
}

void put_clock(SerialPort* port, Echo* echo, const char* format) {
  const std::time_t now = std::time(nullptr);
  const std::tm* local = std::localtime(&now);
  char text[80] = "";
  if (local != nullptr) std::strftime(text, sizeof text, format, local);
  for (const char* c = text; *c != '\0'; ++c) put_byte(port, echo, static_cast<uint8_t>(*c));
}

// Handles the escape whose backslash stands before p; returns where the scan
// resumes.
const char* escape(SerialPort* port, Echo* echo, const char* p) {
  switch (*p) {
    case 'n':
      put_byte(port, echo, 0x0A);
      return p + 1;
    case 'r':
      put_byte(port, echo, 0x0D);
      return p + 1;
    case 'e':
      put_byte(port, echo, 0x1B);
      return p + 1;
    case 'w': {
      Number n;
      if (scan_number(p + 1, 10, &n)) {
        delay_ms(n.saturated);
        echo->add("(w)");
      }
      return skip_decimal(p + 1);
    }
    case '#':
      return skip_comment(p + 1);
    case '$':
      if (std::strncmp(p + 1, "Date", 4) == 0) {
        put_clock(port, echo, "%d/%m/%y %w");
        return p + 5;
      }
      if (std::strncmp(p + 1, "Time", 4) == 0) {
        put_clock(port, echo, "%H:%M:%S");
        return p + 5;
      }
      return p;  // the '$' is then an ordinary character
    case '0':
      if (p[1] == 'x' || p[1] == 'X') {
        // "\0x" without hexadecimal digits has no number: nothing is sent.
        if (hex_value(p[2]) >= 0) put_number(port, echo, p, 16);
        return skip_hex(p + 2);
      }
      put_number(port, echo, p, 8);
      return skip_decimal(p);
    default:
      // A decimal number, or a character that begins no escape: the decimal
      // conversion from here, and the scan goes on at this very character
      // unless digits stand here.
      put_number(port, echo, p, 10);
      return skip_decimal(p);
  }
}

}  // namespace

int send_text(SerialPort* port, const char* text, char* echoBuffer, size_t echoCapacity) {
  Echo echo{echoBuffer, echoBuffer != nullptr ? echoCapacity : 0};
  if (echo.capacity > 0) echo.buffer[0] = '\0';
  const char* p = text;
  while (*p != '\0' && echo.failed == 0 && !stop_requested()) {
    if (*p != '\\') {
      put_byte(port, &echo, static_cast<uint8_t>(*p++));
      continue;
    }
    p = escape(port, &echo, p + 1);
  }
  return echo.failed;
}

int send_text_first(SerialPort* port, const char* text) {
  return text != nullptr && text[0] != '\0' ? send_text(port, text, nullptr, 0) : 0;
}
