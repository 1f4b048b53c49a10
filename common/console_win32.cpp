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

namespace {
#ifndef ENABLE_VIRTUAL_TERMINAL_PROCESSING
constexpr DWORD ENABLE_VIRTUAL_TERMINAL_PROCESSING = 0x0004;
#endif
// The console's output mode before console_begin_redraw changed it.
DWORD g_savedMode = 0;
bool g_modeChanged = false;
}  // namespace

bool console_begin_redraw(int* rows, int* columns) {
  *rows = 0;
  *columns = 0;
  const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD mode = 0;
  if (GetConsoleMode(out, &mode) == 0) return false;
  // Consoles before Windows 10 do not take the escape sequences.
  if ((mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) == 0) {
    if (SetConsoleMode(out, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) == 0) return false;
    g_savedMode = mode;
    g_modeChanged = true;
  }
  CONSOLE_SCREEN_BUFFER_INFO info{};
  if (GetConsoleScreenBufferInfo(out, &info) != 0) {
    *rows = info.srWindow.Bottom - info.srWindow.Top + 1;
    *columns = info.srWindow.Right - info.srWindow.Left + 1;
  }
  return true;
}

void console_end_redraw() {
  if (!g_modeChanged) return;
  SetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), g_savedMode);
  g_modeChanged = false;
}
