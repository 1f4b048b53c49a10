// Console output of the front ends and of the download's detailed lines.
// Everything goes to standard output and is flushed at once, so a user on a
// slow link sees each dot as it happens.
#pragma once

#include <cstddef>
#include <string>

#if defined(__GNUC__)
#define STOKER_PRINTF(f, a) __attribute__((format(printf, f, a)))
#else
#define STOKER_PRINTF(f, a)
#endif

// printf to standard output (or to the capture string), then flush.
void console_print(const char* format, ...) STOKER_PRINTF(1, 2);

// size bytes to standard output (or the capture string) as they are, in
// one write, after what console_print wrote before.
void console_write(const void* data, size_t size);

// Test seam: while a capture string is set, console_print and
// console_write append to it instead of writing to standard output. nullptr
// restores standard output.
void console_capture(std::string* sink);

// The platform part of console_write: standard output's buffer flushed,
// then the bytes in one system call where the platform allows.
void console_write_stdout(const void* data, size_t size);

// True when standard output is a terminal (not a pipe or a file).
bool console_is_terminal();
