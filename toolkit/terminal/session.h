// The state of one run of the terminal, shared by its key handling
// (terminal.cpp) and its command key (commands.cpp). Not for other users.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

#include "common/deadline.h"
#include "common/file.h"
#include "console/keys.h"
#include "toolkit/terminal/display.h"
#include "toolkit/terminal/terminal.h"

struct DownloadJob;

struct TerminalSession {
  DownloadJob* job = nullptr;
  KeyInput* keys = nullptr;
  const TerminalOptions* options = nullptr;
  Display display;
  bool echo = false;
  FilePtr log;          // open while logging
  std::string logPath;  // the log's path, once there is one
  bool dtr = false;     // the lines as the terminal set them
  bool rts = false;
  bool commandNext = false;  // Ctrl+T came: the next key is a command
  bool dropScan = false;     // a scan code next belongs to a dropped key
  bool quit = false;
  int result = TERMINAL_QUIT;
  bool waiting = false;  // the port went away: its path is tried again
  Deadline nextProbe{};
  Deadline nextPresence{};
  std::deque<int> held;         // keys read while a script ran, still to act on
  std::vector<uint8_t> typed;   // ordinary keys of this pass, not yet sent
  bool screenLineStart = true;  // the last thing shown ended a line
};

// Shows text as it is, in one write.
void session_show(TerminalSession* s, std::string_view text);
// Shows one line of the terminal's own, on a line of its own.
void session_note(TerminalSession* s, const std::string& text);
// Sends the ordinary keys gathered so far (shown too with local echo).
void session_send_typed(TerminalSession* s);

// The command key's second key.
void terminal_command(TerminalSession* s, int key);
// Starts logging to the session's log path (or a fresh name), saying so.
void session_open_log(TerminalSession* s);
// Writes what the log gets of one read; stops logging when it fails.
void session_write_log(TerminalSession* s, const std::string& text);
