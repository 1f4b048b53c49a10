// POSIX signals that request a stop.
#include <signal.h>

#include <initializer_list>

#include "common/stop.h"

namespace {

const char* cause_of(int sig) {
  switch (sig) {
    case SIGTERM:
      return "SIGTERM";
    case SIGHUP:
      return "SIGHUP";
    default:
      return "Ctrl-C";
  }
}

extern "C" void on_stop_signal(int sig) {
  stop_signal_received(cause_of(sig));
  // A second signal of this kind ends the process at once.
  struct sigaction fallback {};
  fallback.sa_handler = SIG_DFL;
  sigemptyset(&fallback.sa_mask);
  sigaction(sig, &fallback, nullptr);
}

}  // namespace

void stop_watch_signals() {
  struct sigaction action {};
  action.sa_handler = on_stop_signal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;  // no SA_RESTART: a blocking call returns at once
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaction(sig, &action, nullptr);
}
