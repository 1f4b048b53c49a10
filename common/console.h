// Console output of the front ends and of the download's detailed lines.
// Everything goes to standard output and is flushed at once, so a user on a
// slow link sees each dot as it happens.
#pragma once

#include <string>

#if defined(__GNUC__)
#define STOKER_PRINTF(f, a) __attribute__((format(printf, f, a)))
#else
#define STOKER_PRINTF(f, a)
#endif

// printf to standard output (or to the capture string), then flush.
void console_print(const char* format, ...) STOKER_PRINTF(1, 2);

// Test seam: while a capture string is set, console_print appends to it
// instead of writing to standard output. nullptr restores standard output.
void console_capture(std::string* sink);

// True when standard output is a terminal (not a pipe or a file).
bool console_is_terminal();
