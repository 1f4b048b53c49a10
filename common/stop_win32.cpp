// Console events that request a stop (Ctrl-C, Ctrl-Break, closing the
// console window).
#include <windows.h>

#include <atomic>

#include "common/stop.h"

namespace {

std::atomic<int> g_events{0};

const char* cause_of(DWORD event) {
  switch (event) {
    case CTRL_BREAK_EVENT:
      return "Ctrl-Break";
    case CTRL_CLOSE_EVENT:
      return "the console closing";
    default:
      return "Ctrl-C";
  }
}

BOOL WINAPI on_console_event(DWORD event) {
  switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT: {
      stop_signal_received(cause_of(event));
      // The first event asks the transfer to stop; a second one ends the
      // process the default way.
      return g_events.fetch_add(1) == 0 ? TRUE : FALSE;
    }
    default:
      return FALSE;
  }
}

}  // namespace

void stop_watch_signals() {
  SetConsoleCtrlHandler(on_console_event, TRUE);
}
