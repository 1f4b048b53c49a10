// Console keys on POSIX: standard input in a raw, non-echoing terminal mode
// (when it is a terminal), read through poll so that waiting never spins.
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <initializer_list>
#include <iterator>

#include "common/deadline.h"
#include "common/stop.h"
#include "console/key_stream.h"
#include "console/keyboard.h"

namespace {

constexpr int kInput = STDIN_FILENO;
// Longest single wait of getch before it looks at stop requests again.
constexpr int kGetchSliceMs = 100;

// The user's mode of the terminal, put back on every way out.
termios g_saved{};
// Our mode is in force.
std::atomic<bool> g_rawActive{false};
static_assert(std::atomic<bool>::is_always_lock_free, "the flag is used in signal handlers");

// Signals that end the process without a way out of ours: the mode is put
// back first, then the signal does what it would have done (a closed output
// pipe, kill -QUIT, abort).
constexpr int kFatalSignals[] = {SIGPIPE, SIGQUIT, SIGABRT};

struct Console {
  bool open = false;
  KeyStream stream;
  bool handlers = false;
  struct sigaction oldFatal[std::size(kFatalSignals)] = {};
};

Console g_console;
bool g_atexit = false;

// Signals whose handlers put the mode back: blocked while the main flow
// changes it, so the two never interleave.
sigset_t mode_signals() {
  sigset_t set;
  sigemptyset(&set);
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&set, sig);
  for (int sig : kFatalSignals) sigaddset(&set, sig);
  return set;
}

extern "C" void on_fatal_signal(int sig) {
  console_keys_restore();
  signal(sig, SIG_DFL);
  raise(sig);  // delivered once this handler returns
}

void install_handlers() {
  struct sigaction action {};
  action.sa_mask = mode_signals();
  action.sa_flags = SA_RESTART;
  action.sa_handler = on_fatal_signal;
  for (size_t i = 0; i < std::size(kFatalSignals); ++i) {
    // A signal the process ignores stays ignored.
    sigaction(kFatalSignals[i], nullptr, &g_console.oldFatal[i]);
    if (g_console.oldFatal[i].sa_handler == SIG_DFL) sigaction(kFatalSignals[i], &action, nullptr);
  }
  g_console.handlers = true;
}

void remove_handlers() {
  if (!g_console.handlers) return;
  for (size_t i = 0; i < std::size(kFatalSignals); ++i)
    sigaction(kFatalSignals[i], &g_console.oldFatal[i], nullptr);
  g_console.handlers = false;
}

// Raw input: no line editing, no echo, no CR to LF, no XON/XOFF, no signal
// keys, bytes as they come: Ctrl-C, Ctrl-\ and Ctrl-Z arrive as keys. Output
// processing stays as it was, so a line feed from the target starts its
// line at the left.
void enter_raw_mode() {
  termios tio{};
  if (tcgetattr(kInput, &tio) != 0) return;  // not a terminal
  sigset_t block = mode_signals();
  sigset_t old;
  sigprocmask(SIG_BLOCK, &block, &old);
  g_saved = tio;
  tio.c_iflag &= ~static_cast<tcflag_t>(BRKINT | ICRNL | INLCR | IGNCR | ISTRIP | IXON | IXOFF |
                                        PARMRK | INPCK);
  tio.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ECHONL | IEXTEN | ISIG);
  tio.c_cc[VQUIT] = _POSIX_VDISABLE;
  tio.c_cc[VSUSP] = _POSIX_VDISABLE;
#ifdef VDSUSP
  tio.c_cc[VDSUSP] = _POSIX_VDISABLE;
#endif
  tio.c_cc[VMIN] = 1;
  tio.c_cc[VTIME] = 0;
  if (tcsetattr(kInput, TCSANOW, &tio) == 0) {
    g_rawActive.store(true);
    install_handlers();
  }
  sigprocmask(SIG_SETMASK, &old, nullptr);
}

// Reads what standard input holds (poll said it is readable). No more than
// is there: a stop signal that put the console's mode back meanwhile also
// discarded the input, and a read would then wait for a whole line.
void read_input() {
  uint8_t buffer[256];
  size_t want = sizeof buffer;
  int available = 0;
  if (ioctl(kInput, FIONREAD, &available) == 0) {
    if (available == 0 && stop_requested()) return;
    if (available > 0) want = std::min(want, static_cast<size_t>(available));
  }
  const ssize_t n = read(kInput, buffer, want);
  if (n > 0) {
    key_stream_take(&g_console.stream, buffer, static_cast<size_t>(n));
  } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
    key_stream_end(&g_console.stream);  // end of file, or a terminal that hung up
  }
}

// Waits up to ms (-1: without limit) for keys or for input on portFd (-1:
// none), reading the keys that came. A signal ends the wait early.
void pump(int ms, int portFd) {
  KeyStream* stream = &g_console.stream;
  if (stream->ended) return;
  const int escapeLeft = key_stream_escape_left_ms(stream);
  if (escapeLeft >= 0) ms = ms < 0 ? escapeLeft : std::min(ms, escapeLeft);
  const Deadline until = deadline_after_ms(ms);
  pollfd fds[2] = {{kInput, POLLIN, 0}, {portFd, POLLIN, 0}};
  nfds_t count = portFd >= 0 ? 2 : 1;
  for (;;) {
    const int timeout = ms < 0 ? -1 : deadline_left_ms(until);
    const int ready = poll(fds, count, timeout);
    if (ready <= 0) break;  // time is up, or a signal
    if ((fds[0].revents & POLLNVAL) != 0) {
      key_stream_end(stream);
    } else if (fds[0].revents != 0) {
      read_input();
    }
    if (fds[0].revents != 0 || count == 1) break;
    // Only the port: input, or a hang-up, which would wake every poll at
    // once; from then on only the keys are watched.
    if ((fds[1].revents & (POLLHUP | POLLERR | POLLNVAL)) == 0) break;
    count = 1;
  }
  key_stream_expire(stream, false);
}

int keys_kbhit(KeyInput*) {
  if (!key_stream_ready(&g_console.stream)) pump(0, -1);
  return key_stream_ready(&g_console.stream) ? 1 : 0;
}

int keys_getch(KeyInput*) {
  while (!key_stream_ready(&g_console.stream)) {
    if (stop_requested()) return kKeyEnd;
    pump(kGetchSliceMs, -1);
  }
  return key_stream_next(&g_console.stream);
}

void keys_wait(KeyInput*, const PortWait* port, int ms) {
  if (key_stream_ready(&g_console.stream)) return;
  const intptr_t handle = port != nullptr ? port->handle : -1;
  if (handle < 0 && port != nullptr && port->open) {
    // A port whose input can't be watched together with the keys: look at
    // both in turn, briefly.
    pump(0, -1);
    if (!key_stream_ready(&g_console.stream)) port->waitInput(port->port, std::min(ms, 2));
    return;
  }
  pump(ms, handle < 0 ? -1 : static_cast<int>(handle));
}

KeyInput g_keys = {keys_kbhit, keys_getch, keys_wait, nullptr};

}  // namespace

// TCSAFLUSH: what was typed and not read goes with our mode, instead of to
// the shell that reads the terminal next.
void console_keys_restore() {
  if (g_rawActive.exchange(false)) tcsetattr(kInput, TCSAFLUSH, &g_saved);
}

KeyInput* console_keys_open() {
  if (g_console.open) return &g_keys;
  g_console = Console{};
  g_console.open = true;
  if (!g_atexit) {
    std::atexit(console_keys_restore);
    g_atexit = true;
  }
  stop_on_signal(console_keys_restore);
  enter_raw_mode();
  return &g_keys;
}

void console_keys_close() {
  if (!g_console.open) return;
  console_keys_restore();
  remove_handlers();
  stop_on_signal(nullptr);
  g_console.open = false;
}
