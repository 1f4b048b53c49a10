// Console keys on Windows: the console's own kbhit and getch (which give
// function keys as a prefix and a scan code already); a pipe or a file on
// standard input is read as it comes, through the escape-sequence decoder.
#include <conio.h>
#include <windows.h>

#include <algorithm>
#include <cstdint>

#include "common/common.h"
#include "common/stop.h"
#include "console/key_stream.h"
#include "console/keyboard.h"

namespace {

// Pause of an idle wait. With the port open the pass's own 2 ms read is the
// main wait (synchronous port reads can't be watched together with the
// console), so the pause is short; with the port closed only keys count.
constexpr int kOpenPortPauseMs = 1;
constexpr int kClosedPortPauseMs = 10;

enum class Source { kConsole, kPipe, kFile };

struct Console {
  bool open = false;
  Source source = Source::kConsole;
  HANDLE input = INVALID_HANDLE_VALUE;
  KeyStream stream;
};

Console g_console;

Source source_of(HANDLE input) {
  DWORD mode = 0;
  if (GetConsoleMode(input, &mode)) return Source::kConsole;
  return GetFileType(input) == FILE_TYPE_PIPE ? Source::kPipe : Source::kFile;
}

// Reads what a pipe holds without waiting, or the next piece of a file.
void read_stream() {
  DWORD want = 256;
  if (g_console.source == Source::kPipe) {
    DWORD available = 0;
    if (!PeekNamedPipe(g_console.input, nullptr, 0, nullptr, &available, nullptr)) {
      key_stream_end(&g_console.stream);  // the writer closed the pipe
      return;
    }
    if (available == 0) return;
    want = std::min<DWORD>(available, want);
  }
  uint8_t buffer[256];
  DWORD got = 0;
  if (!ReadFile(g_console.input, buffer, want, &got, nullptr) || got == 0) {
    key_stream_end(&g_console.stream);
    return;
  }
  key_stream_take(&g_console.stream, buffer, got);
}

int keys_kbhit(KeyInput*) {
  if (g_console.source == Source::kConsole) return _kbhit() != 0 ? 1 : 0;
  if (!key_stream_ready(&g_console.stream)) read_stream();
  key_stream_expire(&g_console.stream, false);
  return key_stream_ready(&g_console.stream) ? 1 : 0;
}

int keys_getch(KeyInput* keys) {
  if (g_console.source == Source::kConsole) return _getch();
  while (!keys_kbhit(keys)) {
    if (stop_requested()) return kKeyEnd;
    delay_ms(kOpenPortPauseMs);
  }
  return key_stream_next(&g_console.stream);
}

void keys_wait(KeyInput* keys, const PortWait* port, int ms) {
  if (keys_kbhit(keys)) return;
  const bool portOpen = port != nullptr && port->open;
  delay_ms(std::min(ms, portOpen ? kOpenPortPauseMs : kClosedPortPauseMs));
}

KeyInput g_keys = {keys_kbhit, keys_getch, keys_wait, nullptr};

}  // namespace

// The console's mode is never changed: getch reads keys without echo as it
// is.
void console_keys_restore() {}

KeyInput* console_keys_open() {
  if (g_console.open) return &g_keys;
  g_console = Console{};
  g_console.open = true;
  g_console.input = GetStdHandle(STD_INPUT_HANDLE);
  g_console.source = source_of(g_console.input);
  return &g_keys;
}

void console_keys_close() {
  g_console.open = false;
}
