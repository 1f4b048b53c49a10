#include "app/kit_progress.h"

#include <chrono>
#include <cstdio>
#include <string>

#include "common/console.h"
#include "common/stop.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Display {
  std::string what;
  long long bytes = 0;
  bool terminal = false;
  bool active = false;
  Clock::time_point start;
  Clock::time_point lastDraw;
  int lastTenth = -1;
  bool drawn = false;
};

Display g_display;

constexpr int kBarWidth = 30;
constexpr auto kRedrawPeriod = std::chrono::milliseconds(100);

std::string rate_text(double bytesPerSecond) {
  char text[32];
  if (bytesPerSecond >= 1e6)
    std::snprintf(text, sizeof text, "%.1f MB/s", bytesPerSecond / 1e6);
  else
    std::snprintf(text, sizeof text, "%.1f kB/s", bytesPerSecond / 1e3);
  return text;
}

void draw(int percent, long long doneBytes, double seconds) {
  const double rate = seconds > 0 ? static_cast<double>(doneBytes) / seconds : 0.0;
  if (g_display.terminal) {
    const int filled = percent * kBarWidth / 100;
    std::string bar(static_cast<size_t>(filled), '=');
    if (filled < kBarWidth) bar += '>';
    bar.resize(kBarWidth, ' ');
    console_print("\r%s [%s] %3d%%  %lld/%lld bytes  %s ", g_display.what.c_str(), bar.c_str(),
                  percent, doneBytes, g_display.bytes, rate_text(rate).c_str());
  } else {
    console_print("%s %d%%  %lld/%lld bytes  %s\n", g_display.what.c_str(), percent, doneBytes,
                  g_display.bytes, rate_text(rate).c_str());
  }
  g_display.drawn = true;
}

}  // namespace

void kit_progress_begin(const char* what, long long bytes) {
  g_display = Display{};
  g_display.what = what;
  g_display.bytes = bytes;
  g_display.terminal = console_is_terminal();
  g_display.active = true;
  g_display.start = Clock::now();
}

int kit_progress(int total, int done) {
  if (stop_requested()) return 1;
  if (!g_display.active) return 0;
  const int percent =
      total > 0 ? static_cast<int>(static_cast<long long>(done) * 100 / total) : 100;
  const long long doneBytes =
      total > 0 ? g_display.bytes * static_cast<long long>(done) / total : g_display.bytes;
  const Clock::time_point now = Clock::now();
  const double seconds = std::chrono::duration<double>(now - g_display.start).count();
  if (g_display.terminal) {
    if (percent < 100 && g_display.drawn && now - g_display.lastDraw < kRedrawPeriod) return 0;
    g_display.lastDraw = now;
    draw(percent, doneBytes, seconds);
  } else if (percent / 10 != g_display.lastTenth) {
    g_display.lastTenth = percent / 10;
    draw(percent, doneBytes, seconds);
  }
  return 0;
}

void kit_progress_end(bool complete) {
  if (!g_display.active) return;
  if (complete) {
    const double seconds = std::chrono::duration<double>(Clock::now() - g_display.start).count();
    if (g_display.terminal || g_display.lastTenth != 10) draw(100, g_display.bytes, seconds);
  }
  if (g_display.terminal && g_display.drawn) console_print("\n");
  g_display.active = false;
}
