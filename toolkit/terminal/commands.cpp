// The command key: Ctrl+T and one more key, for what a terminal offers
// beside the function keys.
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include "common/common.h"
#include "common/job.h"
#include "serial/serial.h"
#include "toolkit/terminal/session.h"
#include "toolkit/terminal/terminal.h"

namespace {

// How long p holds DTR the other way.
constexpr int kDtrPulseMs = 100;

std::string on_off(const char* what, bool on) {
  return std::string(what) + (on ? " on" : " off");
}

bool port_open(TerminalSession* s) {
  if (serial_is_open(s->job->port)) return true;
  session_note(s, "the port is closed");
  return false;
}

// A log name of its own: stoker-YYYYMMDD-HHMMSS.log in the working folder.
std::string fresh_log_name() {
  const std::time_t now = std::time(nullptr);
  const std::tm* local = std::localtime(&now);
  char name[64] = "stoker.log";
  if (local != nullptr) std::strftime(name, sizeof name, "stoker-%Y%m%d-%H%M%S.log", local);
  return name;
}

void toggle_log(TerminalSession* s) {
  if (s->log != nullptr) {
    s->log.reset();
    session_note(s, "log closed: " + s->logPath);
    return;
  }
  if (s->logPath.empty()) s->logPath = fresh_log_name();
  session_open_log(s);
}

void toggle_timestamps(TerminalSession* s) {
  s->display.timestamps = !s->display.timestamps;
  session_note(s, on_off("time stamps", s->display.timestamps));
}

void toggle_echo(TerminalSession* s) {
  s->echo = !s->echo;
  session_note(s, on_off("local echo", s->echo));
}

void toggle_hex(TerminalSession* s) {
  s->display.hex = !s->display.hex;
  s->display.hexColumn = 0;
  session_note(s, on_off("hex view", s->display.hex));
}

void next_map(TerminalSession* s) {
  s->display.map = static_cast<LineMap>((s->display.map + 1) % kLineMapCount);
  session_note(s, std::string("line ends: ") + line_map_text(s->display.map));
}

void send_break(TerminalSession* s) {
  if (!port_open(s)) return;
  serial_send_break(s->job->port);
  session_note(s, "break sent");
}

void toggle_dtr(TerminalSession* s) {
  if (!port_open(s)) return;
  s->dtr = !s->dtr;
  serial_set_dtr(s->job->port, s->dtr ? 1 : 0);
  session_note(s, on_off("DTR", s->dtr));
}

void toggle_rts(TerminalSession* s) {
  if (!port_open(s)) return;
  s->rts = !s->rts;
  serial_set_rts(s->job->port, s->rts ? 1 : 0);
  session_note(s, on_off("RTS", s->rts));
}

void pulse_dtr(TerminalSession* s) {
  if (!port_open(s)) return;
  serial_set_dtr(s->job->port, s->dtr ? 0 : 1);
  delay_ms(kDtrPulseMs);
  serial_set_dtr(s->job->port, s->dtr ? 1 : 0);
  session_note(s, "DTR pulsed");
}

void show_settings(TerminalSession* s) {
  if (!port_open(s)) return;
  session_note(s, port_settings_summary(s->job->port->handle));
}

void show_help(TerminalSession* s) {
  session_note(s, kTerminalHelp);
}

// Ctrl+T twice sends one.
void send_command_key(TerminalSession* s) {
  s->typed.push_back(static_cast<uint8_t>(kKeyCommand));
  session_send_typed(s);
}

struct Command {
  int key;
  void (*run)(TerminalSession* s);
};

constexpr Command kCommands[] = {
    {'?', show_help},  {'l', toggle_log}, {'t', toggle_timestamps}, {'e', toggle_echo},
    {'h', toggle_hex}, {'m', next_map},   {'b', send_break},        {'d', toggle_dtr},
    {'r', toggle_rts}, {'p', pulse_dtr},  {'s', show_settings},     {kKeyCommand, send_command_key},
};

// "x"; "0x86" for a byte that doesn't print; "scan code 60" for a key's.
std::string key_name(int key) {
  char text[16];
  if ((key & kKeyScanCode) != 0) {
    std::snprintf(text, sizeof text, "scan code %d", key & 0xFF);
  } else if (key >= 0x20 && key < 0x7F) {
    std::snprintf(text, sizeof text, "%c", key);
  } else {
    std::snprintf(text, sizeof text, "0x%02X", key & 0xFF);
  }
  return text;
}

}  // namespace

const char* const kTerminalHelp =
    "Ctrl+T then: ? this list, l log to a file on/off, t time stamps on/off, e local echo "
    "on/off,\n"
    "  h hex view on/off, m line ends (as they come, CR as CR LF, LF as CR LF), b send a "
    "break,\n"
    "  d DTR on/off, r RTS on/off, p pulse DTR, s the port's settings, Ctrl+T send Ctrl+T.\n"
    "Ctrl+A quits; F2 modem lines, F3 ports that open, F4 watch mode, F5 run the script\n"
    "  (Ctrl-C stops it), F6 close the port, F12 reset the target into its boot loader.";

void terminal_command(TerminalSession* s, int key) {
  if (key == kKeyEnd) {
    s->quit = true;
    return;
  }
  const int letter = key >= 'A' && key <= 'Z' ? std::tolower(key) : key;
  for (const Command& command : kCommands) {
    if (command.key != letter) continue;
    command.run(s);
    return;
  }
  session_note(s, "Ctrl+T " + key_name(key) + ": not a command (Ctrl+T ? lists them)");
  // A function key's prefix: its scan code, next, goes with it.
  s->dropScan = key == kKeyPrefixFunction || key == kKeyPrefixExtended;
}

void session_open_log(TerminalSession* s) {
  FILE* file = std::fopen(s->logPath.c_str(), "ab");
  if (file == nullptr) {
    session_note(s, "cannot open the log " + s->logPath + ": " + std::strerror(errno));
    return;
  }
  s->log.reset(file);
  session_note(s, "logging to " + s->logPath);
}

void session_write_log(TerminalSession* s, const std::string& text) {
  if (text.empty()) return;
  const bool written = std::fwrite(text.data(), 1, text.size(), s->log.get()) == text.size() &&
                       std::fflush(s->log.get()) == 0;
  if (written) return;
  s->log.reset();
  session_note(s, "writing the log " + s->logPath + " failed: logging stopped");
}
