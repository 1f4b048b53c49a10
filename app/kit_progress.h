// The progress display of the toolkit's transfers and downloads. On a
// terminal: one line redrawn in place with a bar, the percentage, the bytes
// done, the rate and the time left. Otherwise (a pipe, a file): a plain line
// at each tenth, so logs stay readable.
#pragma once

#include <chrono>
#include <string>

// One display. Each download keeps its own; the one-way transfers share the
// one behind kit_progress_begin, kit_progress and kit_progress_end.
struct KitProgress {
  using Clock = std::chrono::steady_clock;
  std::string what;     // the line's first word
  long long bytes = 0;  // the transfer's size
  bool terminal = false;
  bool active = false;
  bool drawn = false;
  size_t drawnLength = 0;  // of the line on the terminal
  int drawnPercent = -1;
  int lastTenth = -1;
  Clock::time_point lastDraw;
  // The rate counts from the first report on: what comes before it (a
  // handshake, an erase) moves no data.
  bool reported = false;
  Clock::time_point firstReport;
  long long firstBytes = 0;
};

// Starts a display for `bytes` bytes, drawn in place when terminal is true.
void kit_progress_start(KitProgress* display, const char* what, long long bytes, bool terminal);
// Shows doneBytes of the display's bytes (on a terminal at most ten times a
// second, and always at the end; otherwise once per tenth).
void kit_progress_show(KitProgress* display, long long doneBytes);
// Ends the display: a complete transfer shows 100% first; a terminal line is
// finished with a newline.
void kit_progress_finish(KitProgress* display, bool complete);

// The image bytes a download's progress report stands for: the block
// protocol (loader generations 2 and 3) reports the offset of the block
// just written, the XMODEM one (generation 1) the bytes acknowledged.
long long kit_flash_bytes_done(int generation, int total, int done);

// "12.5 kB/s" or "1.2 MB/s" (1 kB = 1000 bytes).
std::string kit_rate_text(double bytesPerSecond);

// Starts the shared display for a transfer of `bytes` bytes (used for the
// byte count and the rate; the ProgressFn's own total may be scaled down),
// drawn in place when standard output is a terminal.
void kit_progress_begin(const char* what, long long bytes);

// A ProgressFn over the shared display: shows done of total. Returns 1 once
// a stop has been requested (Ctrl-C), so that the transfer ends as aborted
// (result 4).
int kit_progress(int total, int done);

// kit_progress_finish of the shared display.
void kit_progress_end(bool complete);
