// The progress display of the toolkit's transfers, fed by their ProgressFn.
// On a terminal: one line redrawn in place with a bar, the percentage, the
// bytes done and the rate. Otherwise (a pipe, a file): a plain line at each
// tenth, so logs stay readable.
#pragma once

// Starts a display for a transfer of `bytes` bytes (used for the byte count
// and the rate; the ProgressFn's own total may be scaled down).
void kit_progress_begin(const char* what, long long bytes);

// A ProgressFn: shows done of total. Returns 1 once a stop has been
// requested (Ctrl-C), so that the transfer ends as aborted (result 4).
int kit_progress(int total, int done);

// Ends the display: a complete transfer shows 100% first; a terminal line is
// finished with a newline.
void kit_progress_end(bool complete);
