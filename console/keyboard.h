// The process's console as key input. On a terminal, input is switched to a
// raw, non-echoing mode for as long as the keys are open; function and
// editing keys' escape sequences come out as prefix and scan code (see
// console/key_decoder.h). Without a terminal on standard input (a pipe, a
// file) the bytes are read as they come, through the same decoder.
//
// The console's own mode is put back by console_keys_restore, the one
// function that every way out runs: console_keys_close, the end of the
// process (atexit), the stop signals (SIGINT, SIGTERM, SIGHUP through
// stop_on_signal; on Windows the console's break and close events), and the
// signals that end the process otherwise (a closed output pipe, SIGQUIT,
// abort). Keys typed but not yet read are discarded then, so they never
// reach the shell that runs next.
//
// Every key is a key: Ctrl-C arrives as 3 (a stop request comes only from
// outside, a signal or the console's break), and Ctrl-Z, Ctrl-\, Ctrl-S and
// Ctrl-Q arrive as their values too.
#pragma once

#include "console/keys.h"

// Opens the console's keys (switching the terminal's mode). Opening twice
// returns the same input.
KeyInput* console_keys_open();
// Restores the console and closes the keys.
void console_keys_close();
// Puts the console's mode back. Async-signal-safe; does nothing when the
// mode was not changed or is already restored.
void console_keys_restore();
