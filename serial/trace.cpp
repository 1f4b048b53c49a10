#include "serial/trace.h"

#include <chrono>
#include <cstdio>
#include <cstring>

#include "common/file.h"

using TraceClock = std::chrono::steady_clock;

struct SerialTrace {
  OutputFile out;
  std::string pending;                  // lines not yet handed to the file
  TraceClock::time_point pendingSince;  // when the oldest of them was made
  TraceClock::time_point origin;
  bool started = false;  // origin set by the first open line
  bool failed = false;   // a write failed: nothing more is written
};

namespace {

// Lines gather up to this much, or for this long, before they go to the
// file: a block download writes its trace in a few large pieces, and yet a
// line is in the file within milliseconds.
constexpr size_t kFlushBytes = 64 * 1024;
constexpr auto kFlushAge = std::chrono::milliseconds(10);

constexpr char kHexDigits[] = "0123456789abcdef";
// "xx " per byte, then one blank before the text.
constexpr size_t kHexColumnWidth = 3 * kTraceBytesPerLine + 1;
// Time, blank, kind, blank: where a line's argument starts.
constexpr size_t kKindWidth = 5;

// "ssssss.uuuuuu" (13 characters for up to 999999 s) and the kind, padded.
void append_prefix(std::string* out, int64_t timeUs, const char* kind) {
  char text[48];
  const int n = std::snprintf(
      text, sizeof text, "%6lld.%06lld %-*s ", static_cast<long long>(timeUs / 1000000),
      static_cast<long long>(timeUs % 1000000), static_cast<int>(kKindWidth), kind);
  if (n > 0) out->append(text, static_cast<size_t>(n) < sizeof text ? n : sizeof text - 1);
}

// Each byte's hex digits and blank, and the character that shows it.
struct ByteTexts {
  char hex[256][4];
  char shown[256];
};

constexpr ByteTexts make_byte_texts() {
  ByteTexts t{};
  for (int b = 0; b < 256; ++b) {
    t.hex[b][0] = kHexDigits[b >> 4];
    t.hex[b][1] = kHexDigits[b & 0x0F];
    t.hex[b][2] = ' ';
    t.hex[b][3] = ' ';
    t.shown[b] = b >= 0x20 && b < 0x7F ? static_cast<char>(b) : '.';
  }
  return t;
}
constexpr ByteTexts kByteTexts = make_byte_texts();

// Writes up to kTraceBytesPerLine bytes as hex and text, with the line's
// end, at `at`; returns the end. The line takes kHexColumnWidth + count + 3
// characters.
char* put_bytes_line(char* at, const uint8_t* data, int count) {
  // Four characters a byte, the fourth a blank the next byte overwrites:
  // the hex column has room for it.
  for (int i = 0; i < count; ++i) std::memcpy(at + 3 * i, kByteTexts.hex[data[i]], 4);
  std::memset(at + 3 * count, ' ', kHexColumnWidth - 3 * static_cast<size_t>(count));
  at += kHexColumnWidth;
  *at++ = '|';
  for (int i = 0; i < count; ++i) at[i] = kByteTexts.shown[data[i]];
  at += count;
  *at++ = '|';
  *at++ = '\n';
  return at;
}

void append_bytes(std::string* out, int64_t timeUs, const char* kind, const uint8_t* data,
                  int count) {
  const size_t lineStart = out->size();
  append_prefix(out, timeUs, kind);
  out->append(std::to_string(count));
  out->append(count < 10 ? "  " : " ");
  // Further lines start their bytes below the first line's.
  const size_t indent = out->size() - lineStart;
  const int lines = count > 0 ? (count + kTraceBytesPerLine - 1) / kTraceBytesPerLine : 1;
  const size_t start = out->size();
  out->resize(start + static_cast<size_t>(lines - 1) * indent +
              static_cast<size_t>(lines) * (kHexColumnWidth + 3) + static_cast<size_t>(count));
  char* at = &(*out)[start];
  for (int done = 0, line = 0; line < lines; ++line) {
    if (line > 0) {
      std::memset(at, ' ', indent);
      at += indent;
    }
    const int n = count - done < kTraceBytesPerLine ? count - done : kTraceBytesPerLine;
    at = put_bytes_line(at, data + done, n);
    done += n;
  }
}

// Days since 1970-01-01 to a civil date (proleptic Gregorian calendar).
void civil_from_days(int64_t days, int* year, int* month, int* day) {
  days += 719468;
  const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const int64_t dayOfEra = days - era * 146097;
  const int64_t yearOfEra =
      (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  const int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  const int64_t mp = (5 * dayOfYear + 2) / 153;
  *day = static_cast<int>(dayOfYear - (153 * mp + 2) / 5 + 1);
  *month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  *year = static_cast<int>(yearOfEra + era * 400 + (*month <= 2 ? 1 : 0));
}

// The wall clock in UTC, to set two traces (the host's and the board's)
// side by side. Computed here: the C library's time conversions share a
// static buffer.
std::string utc_now() {
  const int64_t us = std::chrono::duration_cast<std::chrono::microseconds>(
                         std::chrono::system_clock::now().time_since_epoch())
                         .count();
  const int64_t seconds = us / 1000000;
  int year = 0, month = 0, day = 0;
  civil_from_days(seconds / 86400, &year, &month, &day);
  const int64_t inDay = seconds % 86400;
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d.%06d UTC", year, month, day,
                static_cast<int>(inDay / 3600), static_cast<int>(inDay / 60 % 60),
                static_cast<int>(inDay % 60), static_cast<int>(us % 1000000));
  return text;
}

// Hands the gathered lines to the file; after a failed write, no more.
void write_pending(SerialTrace* trace) {
  if (!trace->failed && !trace->pending.empty()) {
    FILE* file = trace->out.file.get();
    trace->failed = std::fwrite(trace->pending.data(), 1, trace->pending.size(), file) !=
                        trace->pending.size() ||
                    std::fflush(file) != 0;
  }
  trace->pending.clear();
}

// After a line was added: the lines go out once there are enough of them,
// or once the oldest has waited long enough; `now` forces them out.
void lines_added(SerialTrace* trace, size_t sizeBefore, bool now) {
  const TraceClock::time_point time = TraceClock::now();
  if (sizeBefore == 0) trace->pendingSince = time;
  if (now || trace->pending.size() >= kFlushBytes || time - trace->pendingSince >= kFlushAge)
    write_pending(trace);
}

}  // namespace

void SerialTraceCloser::operator()(SerialTrace* trace) const {
  std::string ignored;
  serial_trace_finish(SerialTracePtr(trace), &ignored);
}

SerialTracePtr serial_trace_create(const std::string& path, std::string* error) {
  auto trace = std::make_unique<SerialTrace>();
  if (!output_create(path, &trace->out, error)) return nullptr;
  trace->pending.reserve(2 * kFlushBytes);
  return SerialTracePtr(trace.release());
}

bool serial_trace_finish(SerialTracePtr trace, std::string* error) {
  error->clear();
  if (!trace) return true;
  const std::unique_ptr<SerialTrace> t(trace.release());
  write_pending(t.get());
  const bool written = !t->failed;
  const bool ok = output_commit(&t->out, written, error);
  if (!written && error->empty()) *error = "cannot write " + t->out.target.string();
  return ok;
}

void serial_trace_discard(SerialTracePtr trace) {
  if (!trace) return;
  const std::unique_ptr<SerialTrace> t(trace.release());
  std::string ignored;
  output_commit(&t->out, false, &ignored);
}

int64_t serial_trace_now_us(const SerialTrace* trace) {
  if (!trace->started) return 0;
  return std::chrono::duration_cast<std::chrono::microseconds>(TraceClock::now() - trace->origin)
      .count();
}

void serial_trace_open(SerialTrace* trace, const char* device, const char* settings) {
  if (!trace->started) {
    trace->origin = TraceClock::now();
    trace->started = true;
    trace->pending += "# times in seconds from the open at " + utc_now() + "\n";
    append_prefix(&trace->pending, 0, "open");
  } else {
    append_prefix(&trace->pending, serial_trace_now_us(trace), "open");
  }
  trace->pending += std::string(device) + " " + settings + "\n";
  lines_added(trace, 0, true);
}

void serial_trace_bytes(SerialTrace* trace, const char* kind, const uint8_t* data, int count) {
  serial_trace_bytes_at(trace, serial_trace_now_us(trace), kind, data, count);
}

void serial_trace_bytes_at(SerialTrace* trace, int64_t timeUs, const char* kind,
                           const uint8_t* data, int count) {
  const size_t before = trace->pending.size();
  append_bytes(&trace->pending, timeUs, kind, data, count);
  lines_added(trace, before, false);
}

void serial_trace_text(SerialTrace* trace, const char* kind, const std::string& text) {
  const size_t before = trace->pending.size();
  append_prefix(&trace->pending, serial_trace_now_us(trace), kind);
  if (text.empty()) {
    while (trace->pending.back() == ' ') trace->pending.pop_back();
  }
  trace->pending += text;
  trace->pending += '\n';
  lines_added(trace, before, true);
}

void serial_trace_flush(SerialTrace* trace) {
  write_pending(trace);
}

void serial_trace_quiet(SerialTrace* trace) {
  if (!trace->pending.empty() && TraceClock::now() - trace->pendingSince >= kFlushAge)
    write_pending(trace);
}

void serial_trace_timeout(SerialTrace* trace, int64_t sinceUs) {
  const int64_t us = serial_trace_now_us(trace) - sinceUs;
  char text[64];
  std::snprintf(text, sizeof text, "timed out after %lld.%03lld ms",
                static_cast<long long>(us / 1000), static_cast<long long>(us % 1000));
  serial_trace_text(trace, "wait", text);
}

std::string serial_trace_format_bytes(int64_t timeUs, const char* kind, const uint8_t* data,
                                      int count) {
  std::string out;
  append_bytes(&out, timeUs, kind, data, count);
  return out;
}
