// The interactive terminal on the job's port: typed keys go to the target
// unchanged, received bytes appear on the console, a few function keys act
// on the port (the modem lines, the list of ports that open, a watch mode,
// the script sender, closing the port, resetting the target into its boot
// loader), and a command key (Ctrl+T) leads to the rest: a log, time
// stamps, local echo, a hex view, line-end mapping, break, DTR and RTS, the
// port's settings. A port that goes away is waited for and reopened. Beside
// it the port diagnostics: the COM ports that open, and a port's settings.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "console/keys.h"
#include "toolkit/terminal/display.h"

struct DownloadJob;
struct PortSettings;
struct SerialPort;

// Keys with an action of their own: Ctrl+A, the command key Ctrl+T, and the
// scan codes of F2 to F6 and F12, which act only as the scan code of a
// function key (a value marked with kKeyScanCode): the characters of the
// same codes, <, =, >, ? and @ and the byte 134, go to the target.
constexpr int kKeyQuit = 1;          // Ctrl+A
constexpr int kKeyCommand = 20;      // Ctrl+T
constexpr int kKeyInterrupt = 3;     // Ctrl-C: stops a script that F5 runs
constexpr int kKeyModemStatus = 60;  // F2
constexpr int kKeyPortList = 61;     // F3
constexpr int kKeyWatch = 62;        // F4
constexpr int kKeyScript = 63;       // F5
constexpr int kKeyClosePort = 64;    // F6
constexpr int kKeyReset = 134;       // F12

// The terminal's port list: its buffer (text and NUL) and the probe limit.
constexpr size_t kPortListSize = 250;
constexpr int kPortListLimit = 1000;

// How often a lost port's path is tried, and how often an open port's
// device is looked for.
constexpr int kPortProbeMs = 100;
constexpr int kPortPresenceMs = 500;

// What the terminal starts with, besides the job.
struct TerminalOptions {
  // The port's device and settings string, to reopen it when it comes back
  // after it went away; without them a lost port ends the terminal.
  const char* device = nullptr;
  const char* settings = nullptr;
  bool reconnect = true;      // false: a lost port ends the terminal
  const char* log = nullptr;  // log what arrives to this file (appended)
  bool timestamps = false;    // a time stamp at each line start
  bool echo = false;          // typed keys shown too
  bool hex = false;           // received bytes shown as hex
  LineMap map = MAP_NONE;     // received line ends
};

// Results of terminal.
enum TerminalResult : int {
  TERMINAL_QUIT = 0,       // Ctrl+A, the end of the keys, or a stop request
  TERMINAL_PORT_LOST = 3,  // the port went away and reconnecting was off
};

// Runs the terminal on job->port with keys from `keys`, in passes that each
// take the keys waiting (ordinary ones sent in one write) and then show
// what one read of the port brought, in one write to the screen. Returns
// after the pass in which Ctrl+A came or the keys ended, or once a stop was
// requested (common/stop.h), also from the watch mode. Never opens the port
// except to reopen a lost one; F6 closes it and the terminal goes on, keys
// then being lost (it says so). F5 runs the script job->path (job->send
// first).
int terminal(DownloadJob* job, KeyInput* keys, const TerminalOptions& options = {});

// The lines Ctrl+T ? shows: the commands and the keys.
extern const char* const kTerminalHelp;

// The port side of a wait for keys (KeyInput::wait) for this port: its
// handle to watch, whether it is open, and serial_wait_input.
PortWait terminal_port_wait(SerialPort* port);

// Probes port numbers 1 to limit - 1 with the exclusive open of serial_open
// and writes "n," for each that opened into out, ascending ("1,3,4,"; ""
// when none). A port that anyone holds, this process included, doesn't
// open. Entries that don't fit capacity (NUL included) are left out whole.
// Returns the number of ports that opened, listed or not.
int list_ports(char* out, size_t capacity, int limit);

// Test seam: how list_ports probes port number n (0 when it opened).
// nullptr restores the real probe. Returns the previous one.
using PortProbe = int (*)(int n);
PortProbe set_port_probe(PortProbe probe);

// Prints every setting of the open port behind a SerialPort's handle, one
// line each; "\ncant access DCB" or "\ncant access COMMTIMEOUTS" when the
// system refuses them.
void dump_port_settings(intptr_t handle);
// The printing part of dump_port_settings.
void print_port_settings(const PortSettings& settings);

// The settings in one line: "115200 8N1, flow none, DTR on, RTS off" (n/a
// for what the device doesn't report; "cannot read the port's settings"
// when nothing could be read).
std::string port_settings_line(const PortSettings& settings);
// port_settings_line of the open port behind a SerialPort's handle.
std::string port_settings_summary(intptr_t handle);
