// The interactive terminal on the job's port: typed keys go to the target,
// received bytes appear on the console, and a few keys act on the port (the
// modem lines, the list of ports that open, a watch mode, the script sender,
// closing the port, resetting the target into its boot loader). Beside it
// the port diagnostics: the COM ports that open, and a port's settings.
#pragma once

#include <cstddef>
#include <cstdint>

#include "console/keys.h"

struct DownloadJob;
struct PortSettings;

// Key values with an action of their own: Ctrl+A, and the scan codes of F2
// to F6 and F12. The characters with the same codes (<, =, >, ? and @) act
// the same, since the terminal acts on every value it reads.
constexpr int kKeyQuit = 1;          // Ctrl+A
constexpr int kKeyModemStatus = 60;  // F2
constexpr int kKeyPortList = 61;     // F3
constexpr int kKeyWatch = 62;        // F4
constexpr int kKeyScript = 63;       // F5
constexpr int kKeyClosePort = 64;    // F6
constexpr int kKeyReset = 134;       // F12

// The terminal's port list: its buffer (text and NUL) and the probe limit.
constexpr size_t kPortListSize = 250;
constexpr int kPortListLimit = 1000;

// Runs the terminal on job->port with keys from `keys`, in passes that each
// handle at most one key and then show at most one received byte. Returns
// after the pass in which Ctrl+A came or the keys ended, or once a stop was
// requested (common/stop.h), also from the watch mode, which nothing else
// ends. Never opens the port; F6 closes it and the terminal goes on, keys
// then being lost. F5 runs the script job->path (job->send first).
void terminal(DownloadJob* job, KeyInput* keys);

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
