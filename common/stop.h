// A request to stop the running transfer: Ctrl-C (SIGINT), SIGTERM and
// SIGHUP (on Windows the console's Ctrl-C, Ctrl-Break and close events) set
// it. Waits end early once it is set (delay_ms, the reply waits), and the
// transfers then report an abort (result 4), so the port is closed the normal
// way and never left claimed.
#pragma once

// Installs the handlers. The first signal requests the stop; a second one of
// the same kind ends the process the default way.
void stop_watch_signals();

// Also calls fn from the handler (it must be async-signal-safe, such as a
// tcsetattr that restores the console). nullptr removes it.
void stop_on_signal(void (*fn)());

bool stop_requested();
// Sets the request; tests call it to simulate Ctrl-C.
void stop_request();
void stop_clear();
// What the platform's handlers do on a stop signal: records `cause` (a
// string that lives for the whole program), sets the request, then calls
// the function of stop_on_signal. Async-signal-safe.
void stop_signal_received(const char* cause);

// What requested the stop, as a message names it: "Ctrl-C" for SIGINT (and
// for a request without a signal), "SIGTERM", "SIGHUP"; on Windows
// "Ctrl-C", "Ctrl-Break" or "the console closing".
const char* stop_cause();
