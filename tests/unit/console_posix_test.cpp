// The POSIX console keys on a real pseudo-terminal as standard input: the
// raw mode and its restoration on every way out (close, exit, the stop
// signals), function keys typed in pieces, the Escape key, a pipe with its
// end, and the wait on keys and port together.
#ifndef _WIN32

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "common/common.h"
#include "common/stop.h"
#include "console/key_decoder.h"
#include "console/keyboard.h"
#include "serial/serial.h"
#include "tests/support/pty.h"
#include "toolkit/terminal/terminal.h"

namespace {

using Clock = std::chrono::steady_clock;

long long ms_since(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

struct Pty {
  int master = -1;
  std::string slavePath;
  bool open() { return open_pty(&master, &slavePath); }
  void write_bytes(const std::string& bytes) const {
    ASSERT_EQ(write(master, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }
  ~Pty() {
    if (master >= 0) close(master);
  }
};

bool same_mode(const termios& a, const termios& b) {
  return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
         a.c_lflag == b.c_lflag && std::memcmp(a.c_cc, b.c_cc, sizeof a.c_cc) == 0;
}

// Standard input replaced by another descriptor for one test.
class ConsoleKeys : public testing::Test {
 protected:
  void SetUp() override {
    stop_clear();
    savedInput_ = dup(STDIN_FILENO);
    ASSERT_TRUE(pty_.open());
  }
  void TearDown() override {
    console_keys_close();
    dup2(savedInput_, STDIN_FILENO);
    close(savedInput_);
    if (slave_ >= 0) close(slave_);
    stop_clear();
  }

  // The pty's slave as standard input; returns its mode before the keys open.
  termios use_terminal() {
    slave_ = open(pty_.slavePath.c_str(), O_RDWR | O_NOCTTY);
    EXPECT_GE(slave_, 0);
    dup2(slave_, STDIN_FILENO);
    termios mode{};
    EXPECT_EQ(tcgetattr(slave_, &mode), 0);
    return mode;
  }
  termios current() const {
    termios mode{};
    EXPECT_EQ(tcgetattr(slave_, &mode), 0);
    return mode;
  }

  // Keys read until ms passed without one.
  std::vector<int> keys_for(int ms) {
    std::vector<int> keys;
    KeyInput* in = console_keys_open();
    const Clock::time_point start = Clock::now();
    while (ms_since(start) < ms) {
      in->wait(in, nullptr, 10);
      while (in->kbhit(in)) {
        const int key = in->getch(in);
        keys.push_back(key);
        if (key == kKeyEnd) return keys;
      }
    }
    return keys;
  }

  Pty pty_;
  int slave_ = -1;
  int savedInput_ = -1;
};

TEST_F(ConsoleKeys, RawNonEchoingModeWhileOpenAndTheUsersModeAfter) {
  const termios before = use_terminal();
  console_keys_open();
  const termios raw = current();
  EXPECT_EQ(raw.c_lflag & (ICANON | ECHO | IEXTEN), 0u);
  EXPECT_EQ(raw.c_lflag & ISIG, 0u) << "Ctrl-C is a key";
  EXPECT_EQ(raw.c_iflag & (ICRNL | IXON | ISTRIP | INLCR | IGNCR), 0u);
  EXPECT_EQ(raw.c_cc[VMIN], 1);
  EXPECT_EQ(raw.c_cc[VSUSP], _POSIX_VDISABLE);
  EXPECT_EQ(raw.c_cc[VQUIT], _POSIX_VDISABLE);
  EXPECT_EQ(raw.c_oflag, before.c_oflag) << "output processing untouched";
  console_keys_close();
  EXPECT_TRUE(same_mode(current(), before));
  console_keys_restore();  // again: nothing changes
  EXPECT_TRUE(same_mode(current(), before));
}

TEST_F(ConsoleKeys, KeysTypedButNotReadAreDiscardedWithTheMode) {
  use_terminal();
  console_keys_open();
  pty_.write_bytes("echo typed-before-exit\r");
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  int waiting = 0;
  ASSERT_EQ(ioctl(slave_, FIONREAD, &waiting), 0);
  ASSERT_GT(waiting, 0) << "the keys wait in the terminal";
  console_keys_close();
  ASSERT_EQ(ioctl(slave_, FIONREAD, &waiting), 0);
  EXPECT_EQ(waiting, 0) << "a shell would read and run them next";
}

TEST_F(ConsoleKeys, EnterAndControlKeysArriveAsTheirValues) {
  use_terminal();
  console_keys_open();
  pty_.write_bytes("a\r\x01\x03\x1a\x1c\x11\x13");
  const std::vector<int> keys = keys_for(300);
  EXPECT_EQ(keys, (std::vector<int>{'a', '\r', 1, 3, 0x1a, 0x1c, 0x11, 0x13}));
  EXPECT_FALSE(stop_requested()) << "Ctrl-C arrived as a key, not as a stop";
}

TEST_F(ConsoleKeys, FunctionKeysInPiecesAndTheEscapeKey) {
  use_terminal();
  KeyInput* in = console_keys_open();
  pty_.write_bytes("\x1b[2");
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  EXPECT_EQ(in->kbhit(in), 0) << "an unfinished sequence is held";
  pty_.write_bytes("4~\x1bOP");
  std::vector<int> keys = keys_for(200);
  EXPECT_EQ(keys, (std::vector<int>{0, kKeyScanCode | 134, 0, kKeyScanCode | 59}));

  pty_.write_bytes("\x1b");
  const Clock::time_point start = Clock::now();
  while (!in->kbhit(in) && ms_since(start) < 2000) in->wait(in, nullptr, 500);
  const long long waited = ms_since(start);
  EXPECT_EQ(in->getch(in), 27);
  EXPECT_GE(waited, kEscapeTimeoutMs - 5) << "the Escape waited for the rest of a sequence";
  EXPECT_LT(waited, 1500) << "the wait ends when the Escape is due, not at its limit";
}

TEST_F(ConsoleKeys, PipeKeysComeAsWrittenThenTheEnd) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  dup2(fds[0], STDIN_FILENO);
  close(fds[0]);
  KeyInput* in = console_keys_open();
  EXPECT_EQ(in->kbhit(in), 0);
  ASSERT_EQ(write(fds[1], "x\x1bOQ", 4), 4);  // no newline needed
  std::vector<int> keys = keys_for(200);
  EXPECT_EQ(keys, (std::vector<int>{'x', 0, kKeyScanCode | 60}));
  ASSERT_EQ(write(fds[1], "\x1b", 1), 1);
  close(fds[1]);
  keys = keys_for(1000);
  EXPECT_EQ(keys, (std::vector<int>{27, kKeyEnd})) << "a held Escape is a key at the end";
  EXPECT_EQ(in->kbhit(in), 1);
  EXPECT_EQ(in->getch(in), kKeyEnd);
}

TEST_F(ConsoleKeys, WaitEndsWhenThePortHasInput) {
  use_terminal();
  Pty line;
  ASSERT_TRUE(line.open());
  const DelayHook previous = set_delay_hook([](int) {});  // skip the 500 ms settle
  SerialPort port;
  ASSERT_EQ(serial_open_device(&port, line.slavePath.c_str(), "115200,8,N,1"), 0);
  set_delay_hook(previous);
  KeyInput* in = console_keys_open();
  const PortWait wait = terminal_port_wait(&port);

  line.write_bytes("z");
  Clock::time_point start = Clock::now();
  in->wait(in, &wait, 5000);
  EXPECT_LT(ms_since(start), 2500) << "port input ends the wait";
  uint8_t byte = 0;
  EXPECT_EQ(serial_get(&port, &byte), 1);
  EXPECT_EQ(byte, 'z');

  pty_.write_bytes("k");
  start = Clock::now();
  in->wait(in, &wait, 5000);
  EXPECT_LT(ms_since(start), 2500) << "a key ends the wait";
  EXPECT_EQ(in->getch(in), 'k');

  // A port that hung up is quiet, not ready at once: the wait still sleeps.
  close(line.master);
  line.master = -1;
  start = Clock::now();
  in->wait(in, &wait, 200);
  EXPECT_GE(ms_since(start), 150);
  serial_close(&port);
}

// Runs body in a child whose standard input is the pty slave; returns the
// slave's mode after the child ended, and the child's status through *status.
termios mode_after_child(const std::string& slavePath, void (*body)(), int* status) {
  const pid_t pid = fork();
  if (pid == 0) {
    const int fd = open(slavePath.c_str(), O_RDWR | O_NOCTTY);
    dup2(fd, STDIN_FILENO);
    body();
    _exit(0);
  }
  int raw = 0;
  waitpid(pid, &raw, 0);
  *status = raw;
  const int fd = open(slavePath.c_str(), O_RDWR | O_NOCTTY);
  termios mode{};
  tcgetattr(fd, &mode);
  close(fd);
  return mode;
}

TEST_F(ConsoleKeys, ProcessExitRestoresTheMode) {
  const termios before = use_terminal();
  int status = 0;
  const termios after = mode_after_child(
      pty_.slavePath,
      [] {
        console_keys_open();
        std::exit(0);  // no close: atexit puts the mode back
      },
      &status);
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_TRUE(same_mode(after, before));
}

TEST_F(ConsoleKeys, StopSignalsRestoreTheModeAtOnce) {
  const termios before = use_terminal();
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
    SCOPED_TRACE(sig);
    static int g_signal;
    g_signal = sig;
    int status = 0;
    const termios after = mode_after_child(
        pty_.slavePath,
        [] {
          stop_watch_signals();
          KeyInput* in = console_keys_open();
          termios raw{};
          tcgetattr(STDIN_FILENO, &raw);
          if ((raw.c_lflag & ECHO) != 0) _exit(3);  // never was raw
          raise(g_signal);
          // The handler ran: the mode is back already, before any way out
          // of ours; _exit skips atexit.
          _exit(stop_requested() && in != nullptr ? 0 : 4);
        },
        &status);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_TRUE(same_mode(after, before));
  }
}

TEST_F(ConsoleKeys, FatalSignalsRestoreTheModeThenEndTheProcess) {
  const termios before = use_terminal();
  for (int sig : {SIGPIPE, SIGQUIT, SIGABRT}) {
    SCOPED_TRACE(sig);
    static int g_signal;
    g_signal = sig;
    int status = 0;
    const termios after = mode_after_child(
        pty_.slavePath,
        [] {
          console_keys_open();
          raise(g_signal);
          _exit(0);  // not reached: the signal ends the process
        },
        &status);
    ASSERT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(WTERMSIG(status), sig);
    EXPECT_TRUE(same_mode(after, before));
  }
}

}  // namespace

#endif
