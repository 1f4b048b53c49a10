#include <windows.h>

#include <cstdio>

#include "common/console.h"

// Through the C runtime, whose text mode turns each line feed into CR LF as
// console_print's output does.
void console_write_stdout(const void* data, size_t size) {
  std::fwrite(data, 1, size, stdout);
  std::fflush(stdout);
}

bool console_is_terminal() {
  DWORD mode = 0;
  return GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) != 0;
}
