// Trace lines on standard error, written only when tracing is on.
#pragma once

// Turns tracing on or off (off at start).
void sim_log_enable(bool on);

// Prints one trace line (a newline is added) when tracing is on.
void sim_log(const char* format, ...) __attribute__((format(printf, 1, 2)));
