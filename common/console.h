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

// Where console_print and console_write of one thread go instead: the
// lines of one download among several that run at once, each on its own
// thread. write(context, data, size) gets the text as it comes.
struct ConsoleSink {
  void (*write)(void* context, const char* data, size_t size) = nullptr;
  void* context = nullptr;
};
// Sends the calling thread's console output to sink; nullptr sends it to
// standard output again. Other threads are not affected.
void console_thread_sink(const ConsoleSink* sink);

// As console_write, whatever sink the calling thread has: for the one
// display that several threads draw on (which serializes their writes).
void console_write_shared(const void* data, size_t size);

// Test seam: while a capture string is set, console_print and
// console_write append to it instead of writing to standard output. nullptr
// restores standard output.
void console_capture(std::string* sink);

// The platform part of console_write: standard output's buffer flushed,
// then the bytes in one system call where the platform allows.
void console_write_stdout(const void* data, size_t size);

// True when standard output is a terminal (not a pipe or a file).
bool console_is_terminal();

// Prepares standard output for lines redrawn in place with the usual
// escape sequences (cursor up, erase to the line's end): true when it is a
// terminal that takes them, with its height and width in *rows and
// *columns (0 when unknown). On Windows this switches the console to take
// them; console_end_redraw puts it back.
bool console_begin_redraw(int* rows, int* columns);
void console_end_redraw();
