#include "app/kit_progress.h"

#include <algorithm>
#include <cstdio>

#include "boot/image.h"
#include "common/console.h"
#include "common/stop.h"

namespace {

using Clock = KitProgress::Clock;

// The one-way transfers' display (they run one at a time).
KitProgress g_shared;

constexpr int kBarWidth = 30;
constexpr auto kRedrawPeriod = std::chrono::milliseconds(100);

double seconds_between(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration<double>(to - from).count();
}

// "m:ss left" (h:mm:ss from an hour on); "" when not known yet.
std::string time_left_text(double seconds) {
  if (seconds < 0) return "";
  const long long s = static_cast<long long>(seconds + 0.5);
  char text[48];
  if (s >= 3600)
    std::snprintf(text, sizeof text, "  %lld:%02lld:%02lld left", s / 3600, s / 60 % 60, s % 60);
  else
    std::snprintf(text, sizeof text, "  %lld:%02lld left", s / 60, s % 60);
  return text;
}

void draw(KitProgress* d, int percent, long long doneBytes, Clock::time_point now) {
  // The rate and the time left once two reports lie apart.
  const double elapsed = d->reported ? seconds_between(d->firstReport, now) : 0.0;
  const double rate = elapsed > 0 ? static_cast<double>(doneBytes - d->firstBytes) / elapsed : 0.0;
  const std::string left = percent < 100 && rate > 0
                               ? time_left_text(static_cast<double>(d->bytes - doneBytes) / rate)
                               : "";
  const std::string rateText = elapsed > 0 ? "  " + kit_rate_text(rate) : "";
  if (d->terminal) {
    const int filled = percent * kBarWidth / 100;
    std::string bar(static_cast<size_t>(filled), '=');
    if (filled < kBarWidth) bar += '>';
    bar.resize(kBarWidth, ' ');
    char text[256];
    const int n =
        std::snprintf(text, sizeof text, "%s [%s] %3d%%  %lld/%lld bytes%s%s", d->what.c_str(),
                      bar.c_str(), percent, doneBytes, d->bytes, rateText.c_str(), left.c_str());
    const size_t length = n > 0 ? std::min(static_cast<size_t>(n), sizeof text - 1) : 0;
    // Blanks over what a longer line before left standing.
    const int blanks = d->drawnLength > length ? static_cast<int>(d->drawnLength - length) : 0;
    console_print("\r%s%*s", text, blanks, "");
    d->drawnLength = length;
  } else {
    console_print("%s %d%%  %lld/%lld bytes%s%s\n", d->what.c_str(), percent, doneBytes, d->bytes,
                  rateText.c_str(), left.c_str());
  }
  d->drawn = true;
  d->drawnPercent = percent;
}

}  // namespace

long long kit_flash_bytes_done(int generation, int total, int done) {
  const long long bytes = generation >= 2 ? static_cast<long long>(done) + kBlockBytes : done;
  return bytes < total ? bytes : total;
}

std::string kit_rate_text(double bytesPerSecond) {
  char text[32];
  if (bytesPerSecond >= 1e6)
    std::snprintf(text, sizeof text, "%.1f MB/s", bytesPerSecond / 1e6);
  else
    std::snprintf(text, sizeof text, "%.1f kB/s", bytesPerSecond / 1e3);
  return text;
}

void kit_progress_start(KitProgress* display, const char* what, long long bytes, bool terminal) {
  *display = KitProgress{};
  display->what = what;
  display->bytes = bytes;
  display->terminal = terminal;
  display->active = true;
}

void kit_progress_show(KitProgress* d, long long doneBytes) {
  if (!d->active) return;
  const Clock::time_point now = Clock::now();
  if (!d->reported) {
    d->reported = true;
    d->firstReport = now;
    d->firstBytes = doneBytes;
  }
  if (doneBytes > d->bytes) doneBytes = d->bytes;
  const int percent = d->bytes > 0 ? static_cast<int>(doneBytes * 100 / d->bytes) : 100;
  if (d->terminal) {
    if (percent < 100 && d->drawn && now - d->lastDraw < kRedrawPeriod) return;
    d->lastDraw = now;
    draw(d, percent, doneBytes, now);
  } else if (percent / 10 != d->lastTenth) {
    d->lastTenth = percent / 10;
    draw(d, percent, doneBytes, now);
  }
}

void kit_progress_finish(KitProgress* d, bool complete) {
  if (!d->active) return;
  if (complete && (d->terminal ? d->drawnPercent != 100 : d->lastTenth != 10)) {
    d->lastTenth = 10;
    draw(d, 100, d->bytes, Clock::now());
  }
  if (d->terminal && d->drawn) console_print("\n");
  d->active = false;
}

void kit_progress_begin(const char* what, long long bytes) {
  kit_progress_start(&g_shared, what, bytes, console_is_terminal());
}

int kit_progress(int total, int done) {
  if (stop_requested()) return 1;
  const long long doneBytes =
      total > 0 ? g_shared.bytes * static_cast<long long>(done) / total : g_shared.bytes;
  kit_progress_show(&g_shared, doneBytes);
  return 0;
}

void kit_progress_end(bool complete) {
  kit_progress_finish(&g_shared, complete);
}
