// The interactive terminal: the keys that wait, then what one read of the
// port brought, per pass; the function keys; a port that goes away.
#include "toolkit/terminal/terminal.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <iterator>
#include <string>

#include "common/common.h"
#include "common/console.h"
#include "common/job.h"
#include "common/stop.h"
#include "console/keys.h"
#include "serial/serial.h"
#include "toolkit/script/script.h"
#include "toolkit/terminal/session.h"

namespace {

// Longest sleep of a pass in which nothing happened. The wait ends as soon
// as a key or a byte comes, so this only bounds how often an idle terminal
// wakes up.
constexpr int kIdleWaitMs = 100;
// Most keys taken in one pass (a paste), so that the screen keeps up.
constexpr int kKeysPerPass = 4096;
// Most bytes one read takes from the port.
constexpr int kReadChunk = 16384;

// F12: the boot loader's reset and entry.
constexpr int kResetPulseMs = 50;
constexpr int kEntryPauseMs = 500;
constexpr uint8_t kEntryByte = 0x5c;
constexpr uint8_t kEntryCommand = 0x63;

struct StatusLine {
  int bit;
  const char* text;
};

constexpr StatusLine kStatusLines[] = {
    {MS_CTS, "\nCTS_ON"}, {MS_DSR, "\nDSR_ON"}, {MS_RING, "\nRING_ON"}, {MS_RLSD, "\nRLSD_ON"}};

// printf to the screen, tracked like every other output.
void show_f(TerminalSession* s, const char* format, ...) STOKER_PRINTF(2, 3);
void show_f(TerminalSession* s, const char* format, ...) {
  char text[512];
  va_list args;
  va_start(args, format);
  const int n = std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  if (n > 0) session_show(s, std::string_view(text, std::min<size_t>(n, sizeof text - 1)));
}

const char* port_name(const TerminalSession* s) {
  return s->options->device != nullptr ? s->options->device : "the port";
}

void show_modem_status(TerminalSession* s) {
  int modem = 0;
  if (!serial_read_modem_status(s->job->port, &modem)) {
    session_note(s, serial_is_open(s->job->port)
                        ? "F2: this port reports no modem lines (a pseudo-terminal has none)"
                        : "F2: the port is closed");
    return;
  }
  bool any = false;
  for (const StatusLine& line : kStatusLines) {
    if ((modem & line.bit) == 0) continue;
    show_f(s, "%s", line.text);
    any = true;
  }
  if (!any) session_note(s, "F2: CTS, DSR, RING and RLSD are all off");
}

void show_port_list(TerminalSession* s) {
  show_f(s, "\nF3");
  char list[kPortListSize] = {};
  list_ports(list, sizeof list, kPortListLimit);
  show_f(s, "\nTest - all ports list:\n%s", list);
}

void enter_watch(TerminalSession* s) {
  s->display.watch = true;
  session_note(s, "watch mode: Ctrl+A quits");
}

// The session of a running script, for its reporter.
TerminalSession* g_scriptSession = nullptr;

// The percentage display, and the keys typed meanwhile: Ctrl-C stops the
// script, Ctrl+A stops it and then the terminal; the others wait for it
// to end.
int report_in_terminal(int total, int done, const char* text) {
  report_percent(total, done, text);
  TerminalSession* s = g_scriptSession;
  int stop = 0;
  while (s != nullptr && s->keys->kbhit(s->keys)) {
    const int key = s->keys->getch(s->keys);
    if (key == kKeyInterrupt || key == kKeyQuit) {
      s->quit = s->quit || key == kKeyQuit;
      stop = 1;
    } else {
      s->held.push_back(key);
    }
    if (key == kKeyEnd) break;
  }
  return stop;
}

// Why tload failed, in a few words.
std::string script_failure(int result, const ScriptFailure& why) {
  static constexpr const char* kReasons[] = {
      "",
      "cannot open the script",
      "no answer from the target",
      "the target refused a line",
      "stopped",
      "the port is not open",
      "cannot fetch the script",
      "no memory for the script",
      "the target did not acknowledge the end of an included script",
      "#include nested too deep",
  };
  if (result == SCRIPT_STOPPED) return "stopped";
  std::string text =
      result >= 0 && result < static_cast<int>(std::size(kReasons)) ? kReasons[result] : "failed";
  if (why.lineNumber > 0) text += " (line " + std::to_string(why.lineNumber) + ")";
  if (!why.reason.empty()) text += ": " + why.reason;
  return text;
}

void run_script(TerminalSession* s) {
  show_f(s, "\nF5");
  ScriptFailure why;
  g_scriptSession = s;
  const int result = tload(s->job, report_in_terminal, &why);
  g_scriptSession = nullptr;
  show_f(s, "\ntload %d", result);
  if (s->job->path == nullptr) {
    session_note(s, "F5: no script: start the terminal with --script PATH_OR_URL");
  } else if (result != SCRIPT_OK) {
    session_note(s, "F5: " + script_failure(result, why));
  }
}

void close_port(TerminalSession* s) {
  show_f(s, "\nF6");
  serial_close(s->job->port);
  s->waiting = false;
  session_note(s, "F6: the port is closed: keys typed now are not sent (Ctrl+A quits)");
}

// DTR pulse, then the loader's entry byte and, after its pause, the command.
void reset_target(TerminalSession* s) {
  SerialPort* port = s->job->port;
  serial_set_dtr(port, 1);
  delay_ms(kResetPulseMs);
  serial_set_dtr(port, 0);
  s->dtr = false;
  serial_put(port, kEntryByte);
  delay_ms(kEntryPauseMs);
  serial_put(port, kEntryCommand);
}

struct FunctionAction {
  int scan;
  void (*act)(TerminalSession* s);
};

constexpr FunctionAction kFunctionActions[] = {
    {kKeyModemStatus, show_modem_status},
    {kKeyPortList, show_port_list},
    {kKeyWatch, enter_watch},
    {kKeyScript, run_script},
    {kKeyClosePort, close_port},
    {kKeyReset, reset_target},
};

// A function key's scan code: its action, or else the code goes out too.
void on_scan_code(TerminalSession* s, int scan) {
  for (const FunctionAction& action : kFunctionActions) {
    if (action.scan != scan) continue;
    session_send_typed(s);  // the key's prefix, and what came before it
    action.act(s);
    return;
  }
  s->typed.push_back(static_cast<uint8_t>(scan));
}

void on_key(TerminalSession* s, int key) {
  if (key == kKeyEnd) {
    s->quit = true;
    return;
  }
  if (s->commandNext) {
    s->commandNext = false;
    session_send_typed(s);
    terminal_command(s, key);
    return;
  }
  const bool scan = (key & kKeyScanCode) != 0;
  if (s->dropScan) {
    s->dropScan = false;
    if (scan) return;
  }
  if (key == kKeyQuit) {
    s->quit = true;
  } else if (s->display.watch) {
    // The watch mode only shows: other keys are dropped.
  } else if (key == kKeyCommand) {
    s->commandNext = true;
  } else if (scan) {
    on_scan_code(s, key & 0xFF);
  } else {
    s->typed.push_back(static_cast<uint8_t>(key & 0xFF));
  }
}

// Acts on the keys held while a script ran and on those waiting now; the
// ordinary ones go out together. True when there was any.
bool take_keys(TerminalSession* s) {
  int count = 0;
  while (!s->quit && !s->held.empty()) {
    const int key = s->held.front();
    s->held.pop_front();
    on_key(s, key);
    ++count;
  }
  while (!s->quit && !stop_requested() && count < kKeysPerPass && s->keys->kbhit(s->keys)) {
    on_key(s, s->keys->getch(s->keys));
    ++count;
  }
  session_send_typed(s);
  return count > 0;
}

// What one read brought, shown in one write and logged. True when any.
bool show_received(TerminalSession* s) {
  uint8_t buffer[kReadChunk];
  const int n = serial_read(s->job->port, buffer, sizeof buffer);
  if (n <= 0) return false;
  const std::string stamp = s->display.timestamps ? display_stamp() : std::string();
  std::string screen;
  std::string log;
  display_bytes(&s->display, buffer, static_cast<size_t>(n), stamp, &screen,
                s->log != nullptr ? &log : nullptr);
  session_show(s, screen);
  if (s->log != nullptr) session_write_log(s, log);
  return true;
}

bool can_reconnect(const TerminalSession* s) {
  const TerminalOptions* o = s->options;
  return o->reconnect && o->device != nullptr && o->settings != nullptr;
}

void port_lost(TerminalSession* s) {
  serial_close(s->job->port);
  if (!can_reconnect(s)) {
    s->result = TERMINAL_PORT_LOST;
    s->quit = true;
    return;
  }
  session_note(s, std::string("port lost: ") + port_name(s) + "; waiting for it (Ctrl+A quits)");
  s->waiting = true;
  s->nextProbe = deadline_after_ms(kPortProbeMs);
}

// Tries the lost port's path once its time has come.
void probe_port(TerminalSession* s) {
  if (!deadline_passed(s->nextProbe)) return;
  s->nextProbe = deadline_after_ms(kPortProbeMs);
  SerialPort* port = s->job->port;
  if (serial_reopen_device(port, s->options->device, s->options->settings) != 0) return;
  s->waiting = false;
  // The lines as the user left them (a fresh open has both off).
  if (s->dtr) serial_set_dtr(port, 1);
  if (s->rts) serial_set_rts(port, 1);
  session_note(s, std::string("port back: ") + port_name(s));
}

// Notices a port that went away (an error of a vanished device, or its
// device gone), and brings a lost one back.
void watch_port(TerminalSession* s) {
  if (s->waiting) {
    probe_port(s);
    return;
  }
  SerialPort* port = s->job->port;
  if (!serial_is_open(port)) return;
  bool gone = serial_lost(port) != 0;
  if (!gone && s->options->device != nullptr && deadline_passed(s->nextPresence)) {
    s->nextPresence = deadline_after_ms(kPortPresenceMs);
    gone = !serial_device_present(port, s->options->device);
  }
  if (gone) port_lost(s);
}

void idle_wait(TerminalSession* s) {
  int ms = kIdleWaitMs;
  if (s->waiting) ms = std::min(ms, deadline_left_ms(s->nextProbe));
  const PortWait wait = terminal_port_wait(s->job->port);
  s->keys->wait(s->keys, &wait, ms);
}

void start(TerminalSession* s) {
  const TerminalOptions* o = s->options;
  s->display.map = o->map;
  s->display.hex = o->hex;
  s->display.timestamps = o->timestamps;
  s->echo = o->echo;
  s->nextPresence = deadline_after_ms(kPortPresenceMs);
  if (o->log != nullptr) {
    s->logPath = o->log;
    session_open_log(s);
  }
}

}  // namespace

void session_show(TerminalSession* s, std::string_view text) {
  if (text.empty()) return;
  console_write(text.data(), text.size());
  s->screenLineStart = text.back() == '\n';
}

void session_note(TerminalSession* s, const std::string& text) {
  session_show(s, (s->screenLineStart ? "" : "\n") + text + "\n");
}

void session_send_typed(TerminalSession* s) {
  if (s->typed.empty()) return;
  SerialPort* port = s->job->port;
  int result = 0;
  if (port->charDelay != 0) {
    for (uint8_t byte : s->typed) result |= serial_put(port, byte);
  } else {
    result = serial_write(port, s->typed.data(), static_cast<int>(s->typed.size()));
  }
  // Write errors (a closed port) are not reported: the keys are lost.
  if (result == 0 && s->echo) {
    // As text with the line ends mapped, also in the hex view: an Enter
    // starts a new line where the target's would.
    Display echo;
    echo.map = s->display.map;
    std::string screen;
    display_bytes(&echo, s->typed.data(), s->typed.size(), "", &screen, nullptr);
    session_show(s, screen);
  }
  s->typed.clear();
}

PortWait terminal_port_wait(SerialPort* port) {
  PortWait wait;
  wait.handle = serial_wait_handle(port);
  wait.open = serial_is_open(port) != 0;
  wait.port = port;
  wait.waitInput = serial_wait_input;
  return wait;
}

int terminal(DownloadJob* job, KeyInput* keys, const TerminalOptions& options) {
  TerminalSession session;
  TerminalSession* s = &session;
  s->job = job;
  s->keys = keys;
  s->options = &options;
  start(s);
  while (!s->quit && !stop_requested()) {
    bool busy = take_keys(s);
    busy = show_received(s) || busy;
    watch_port(s);
    if (!busy && !s->quit) idle_wait(s);
  }
  return s->result;
}
