// Console keys on Windows: the console's input records, read in a mode
// without processed input (Ctrl-C arrives as the key 3), turned into the key
// values of a PC console (a function or editing key as its prefix and its
// marked scan code). A pipe or a file on standard input is read as it
// comes, through the escape-sequence decoder.
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdlib>

#include "common/common.h"
#include "common/stop.h"
#include "console/key_decoder.h"
#include "console/key_stream.h"
#include "console/keyboard.h"

namespace {

// Pause of an idle wait with the port open. The pass's own 2 ms read is the
// main wait then (synchronous port reads can't be watched together with the
// console), so the pause is short; with the port closed only keys count.
constexpr int kOpenPortPauseMs = 1;
// Longest pause before a pipe or a file is looked at again.
constexpr int kStreamPauseMs = 10;
// Longest single wait of getch before it looks at stop requests again.
constexpr int kGetchSliceMs = 100;
// Input records read at a time.
constexpr DWORD kRecordBatch = 64;

enum class Source { kConsole, kPipe, kFile };

struct Console {
  bool open = false;
  Source source = Source::kConsole;
  HANDLE input = INVALID_HANDLE_VALUE;
  KeyStream stream;
};

Console g_console;
bool g_atexit = false;
// The console's mode before ours, put back on every way out (the stop
// events call the restore from another thread).
std::atomic<bool> g_modeChanged{false};
HANDLE g_modeInput = INVALID_HANDLE_VALUE;
DWORD g_savedMode = 0;

Source source_of(HANDLE input) {
  DWORD mode = 0;
  if (GetConsoleMode(input, &mode)) return Source::kConsole;
  return GetFileType(input) == FILE_TYPE_PIPE ? Source::kPipe : Source::kFile;
}

// Keys without line editing, echo or Ctrl-C processing.
void enter_key_mode(HANDLE input) {
  DWORD mode = 0;
  if (!GetConsoleMode(input, &mode)) return;
  g_savedMode = mode;
  g_modeInput = input;
  const DWORD keys =
      mode & ~static_cast<DWORD>(ENABLE_PROCESSED_INPUT | ENABLE_LINE_INPUT | ENABLE_ECHO_INPUT);
  if (SetConsoleMode(input, keys)) g_modeChanged.store(true);
}

// The console's scan codes of the editing keys, by virtual key.
struct EditingKey {
  WORD virtualKey;
  int scan;
};
constexpr EditingKey kEditingKeys[] = {
    {VK_HOME, 71}, {VK_UP, 72},   {VK_PRIOR, 73}, {VK_LEFT, 75},   {VK_RIGHT, 77},
    {VK_END, 79},  {VK_DOWN, 80}, {VK_NEXT, 81},  {VK_INSERT, 82}, {VK_DELETE, 83},
};
// Shift+Tab comes as the function prefix and this code.
constexpr int kBackTab = 15;

void push_pair(int prefix, int scan, WORD repeat) {
  for (WORD i = 0; i < repeat; ++i) {
    g_console.stream.keys.push_back(prefix);
    g_console.stream.keys.push_back(kKeyScanCode | scan);
  }
}

int modifiers_of(DWORD state) {
  int bits = 0;
  if ((state & SHIFT_PRESSED) != 0) bits |= kKeyShift;
  if ((state & (LEFT_ALT_PRESSED | RIGHT_ALT_PRESSED)) != 0) bits |= kKeyAlt;
  if ((state & (LEFT_CTRL_PRESSED | RIGHT_CTRL_PRESSED)) != 0) bits |= kKeyCtrl;
  return bits;
}

// A function or editing key as the console's getch gives it (F11 and F12
// with the extended prefix). False for any other key.
bool take_special(const KEY_EVENT_RECORD& key) {
  const WORD vk = key.wVirtualKeyCode;
  const WORD repeat = std::max<WORD>(key.wRepeatCount, 1);
  if (vk >= VK_F1 && vk <= VK_F12) {
    const int number = vk - VK_F1 + 1;
    const int prefix = number >= 11 ? kKeyPrefixExtended : kKeyPrefixFunction;
    push_pair(prefix, key_function_scan(number, modifiers_of(key.dwControlKeyState)), repeat);
    return true;
  }
  for (const EditingKey& editing : kEditingKeys) {
    if (editing.virtualKey != vk || key.uChar.AsciiChar != 0) continue;
    const bool enhanced = (key.dwControlKeyState & ENHANCED_KEY) != 0;
    push_pair(enhanced ? kKeyPrefixExtended : kKeyPrefixFunction, editing.scan, repeat);
    return true;
  }
  if (vk == VK_TAB && (key.dwControlKeyState & SHIFT_PRESSED) != 0) {
    push_pair(kKeyPrefixFunction, kBackTab, repeat);
    return true;
  }
  return false;
}

void take_record(const INPUT_RECORD& record) {
  if (record.EventType != KEY_EVENT || !record.Event.KeyEvent.bKeyDown) return;
  const KEY_EVENT_RECORD& key = record.Event.KeyEvent;
  if (take_special(key)) return;
  const uint8_t character = static_cast<uint8_t>(key.uChar.AsciiChar);
  if (character == 0) return;  // Shift, Ctrl and the like on their own
  const WORD repeat = std::max<WORD>(key.wRepeatCount, 1);
  for (WORD i = 0; i < repeat; ++i) g_console.stream.keys.push_back(character);
}

// Reads the console's pending input records into keys, without waiting.
void read_console() {
  for (;;) {
    DWORD pending = 0;
    if (!GetNumberOfConsoleInputEvents(g_console.input, &pending) || pending == 0) return;
    INPUT_RECORD records[kRecordBatch];
    DWORD got = 0;
    if (!ReadConsoleInputA(g_console.input, records, std::min(pending, kRecordBatch), &got) ||
        got == 0) {
      return;
    }
    for (DWORD i = 0; i < got; ++i) take_record(records[i]);
  }
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
  if (!key_stream_ready(&g_console.stream)) {
    if (g_console.source == Source::kConsole) {
      read_console();
    } else {
      read_stream();
    }
  }
  key_stream_expire(&g_console.stream, false);
  return key_stream_ready(&g_console.stream) ? 1 : 0;
}

// Waits up to ms for keys: on the console's input handle, which is
// signalled while input records wait; a pipe or file is looked at again
// after a short pause.
void pause_for_keys(int ms) {
  if (g_console.source == Source::kConsole) {
    WaitForSingleObject(g_console.input, static_cast<DWORD>(std::max(ms, 0)));
  } else {
    delay_ms(std::min(ms, kStreamPauseMs));
  }
}

int keys_getch(KeyInput* keys) {
  while (!keys_kbhit(keys)) {
    if (stop_requested()) return kKeyEnd;
    pause_for_keys(kGetchSliceMs);
  }
  return key_stream_next(&g_console.stream);
}

void keys_wait(KeyInput* keys, const PortWait* port, int ms) {
  if (keys_kbhit(keys)) return;
  const bool portOpen = port != nullptr && port->open;
  pause_for_keys(portOpen ? std::min(ms, kOpenPortPauseMs) : ms);
}

KeyInput g_keys = {keys_kbhit, keys_getch, keys_wait, nullptr};

}  // namespace

// Puts the console's mode back and discards the input not yet read.
void console_keys_restore() {
  if (!g_modeChanged.exchange(false)) return;
  FlushConsoleInputBuffer(g_modeInput);
  SetConsoleMode(g_modeInput, g_savedMode);
}

KeyInput* console_keys_open() {
  if (g_console.open) return &g_keys;
  g_console = Console{};
  g_console.open = true;
  g_console.input = GetStdHandle(STD_INPUT_HANDLE);
  g_console.source = source_of(g_console.input);
  if (!g_atexit) {
    std::atexit(console_keys_restore);
    g_atexit = true;
  }
  if (g_console.source == Source::kConsole) {
    enter_key_mode(g_console.input);
    stop_on_signal(console_keys_restore);
  }
  return &g_keys;
}

void console_keys_close() {
  if (!g_console.open) return;
  console_keys_restore();
  stop_on_signal(nullptr);
  g_console.open = false;
}
