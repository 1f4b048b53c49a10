// stoker-kit terminal in a real terminal (a tmux pane of the test's own tmux
// server) against stoker-target: typed and pasted keys at the target
// unchanged, its answers on the screen, function keys, the command key,
// the log, a port that goes away and comes back, Ctrl+A, the stop signals,
// and the terminal's mode afterwards (with nothing typed left for the
// shell). Also ports and port-settings, and the terminal without a terminal
// on its input.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "tests/e2e/support.h"

namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;

constexpr int kRunLimitMs = 30000;

std::string read_text(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// Polls until done() holds or ms passed; the last answer.
bool eventually(const std::function<bool()>& done, int ms = 10000) {
  const Clock::time_point end = Clock::now() + std::chrono::milliseconds(ms);
  while (!done()) {
    if (Clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

std::string find_tmux() {
  for (const char* path : {"/usr/bin/tmux", "/usr/local/bin/tmux", "/opt/homebrew/bin/tmux"})
    if (access(path, X_OK) == 0) return path;
  return "";
}

// One tmux server of this test (its own socket), with one pane running a
// shell script; the server is killed when the object goes.
class Tmux {
 public:
  ~Tmux() {
    if (!socket_.empty()) run({"kill-server"});
  }
  bool start(const std::string& script) {
    tmux_ = find_tmux();
    if (tmux_.empty()) return false;
    unsetenv("TMUX");  // a test run from inside tmux still starts its own server
    socket_ = "stoker-e2e-" + std::to_string(getpid());
    return run({"-f", "/dev/null", "new-session", "-d", "-s", "t", "-x", "160", "-y", "40",
                "/bin/sh " + script})
               .status == 0;
  }
  void keys(const std::vector<std::string>& keys) {
    std::vector<std::string> args = {"send-keys", "-t", "t"};
    args.insert(args.end(), keys.begin(), keys.end());
    run(args);
  }
  std::string screen() { return run({"capture-pane", "-p", "-t", "t"}).out; }
  // Pastes text into the pane at once, as a terminal's paste does.
  void paste(const std::string& text) {
    run({"set-buffer", "--", text});
    run({"paste-buffer", "-t", "t"});
  }

 private:
  ProcessResult run(std::vector<std::string> args) {
    args.insert(args.begin(), {tmux_, "-L", socket_});
    return run_program(args, 10000);
  }
  std::string tmux_;
  std::string socket_;
};

class TerminalE2E : public testing::Test {
 protected:
  void SetUp() override {
    if (wine_mode()) GTEST_SKIP() << "needs a POSIX terminal (tmux) for the console's keys";
    if (find_tmux().empty()) GTEST_SKIP() << "tmux is not installed (scripts/deps.sh installs it)";
    dir_ = make_temp_dir();
    times_ = dir_ + "/times";
  }

  // Starts the target (a sink, unless other options are given) and the
  // terminal in a tmux pane. The pane's script records the terminal's mode
  // before and after, the kit's pid and its exit status.
  void start(const std::vector<std::string>& targetOptions = {},
             const std::vector<std::string>& kitOptions = {}) {
    std::vector<std::string> options = targetOptions;
    if (options.empty())
      options = {"--mode", "sink", "--echo", "--idle-ms", "0", "--times", times_};
    ASSERT_TRUE(target_.start(options));
    // The kit's command line in a file of its own, each option quoted once.
    std::string kit =
        "exec " + std::string(STOKER_KIT_BIN) + " terminal " + target_.port() + " 115200";
    for (const std::string& option : kitOptions) kit += " '" + option + "'";
    std::ofstream(dir_ + "/kit.sh") << kit << "\n";
    const std::string script = dir_ + "/pane.sh";
    // After the kit: what was typed and is still waiting in the terminal
    // (what a shell would read and run next) goes to the file "leaked".
    std::ofstream(script) << "trap '' INT\n"
                          << "stty -g > " << dir_ << "/before\n"
                          << "sh -c 'echo $$ > " << dir_ << "/pid; exec sh " << dir_ << "/kit.sh'\n"
                          << "echo $? > " << dir_ << "/status\n"
                          << "stty -g > " << dir_ << "/after\n"
                          << "stty -icanon min 0 time 3\n"
                          << "cat > " << dir_ << "/leaking; mv " << dir_ << "/leaking " << dir_
                          << "/leaked\n"
                          << "exec sleep 600\n";
    ASSERT_TRUE(tmux_.start(script));
    // The banner comes once the keys are open.
    ASSERT_TRUE(eventually([&] {
      return tmux_.screen().find("Ctrl+A quits") != std::string::npos;
    })) << tmux_.screen();
  }

  bool screen_has(const std::string& text, int ms = 10000) {
    return eventually([&] { return tmux_.screen().find(text) != std::string::npos; }, ms);
  }
  // The bytes the target received, once there are count of them.
  Bytes received(size_t count) {
    eventually([&] { return target_.image().size() >= count; });
    return target_.image();
  }
  // Waits for the kit's exit status; "" when it didn't end.
  std::string status() {
    const std::string path = dir_ + "/status";
    eventually([&] { return !read_text(dir_ + "/after").empty(); });
    return read_text(path);
  }
  void expect_mode_restored() {
    const std::string before = read_text(dir_ + "/before");
    EXPECT_FALSE(before.empty());
    EXPECT_EQ(read_text(dir_ + "/after"), before) << "stty -g after the terminal";
  }
  // What was typed but not read when the kit ended, as the shell would get it.
  std::string leaked() {
    const std::string path = dir_ + "/leaked";
    EXPECT_TRUE(eventually([&] { return access(path.c_str(), F_OK) == 0; }));
    return read_text(path);
  }
  // The screen's text from the first line holding `from`.
  std::string screen_from(const std::string& from) {
    const std::string screen = tmux_.screen();
    const size_t at = screen.find(from);
    return at == std::string::npos ? "" : screen.substr(at);
  }
  pid_t kit_pid() {
    eventually([&] { return !read_text(dir_ + "/pid").empty(); });
    return static_cast<pid_t>(std::atol(read_text(dir_ + "/pid").c_str()));
  }
  // Arrival times (µs) of the bytes at the target.
  std::vector<std::pair<long long, int>> arrivals() {
    std::vector<std::pair<long long, int>> out;
    std::istringstream in(read_text(times_));
    long long us = 0;
    int byte = 0;
    while (in >> us >> byte) out.emplace_back(us, byte);
    return out;
  }

  std::string dir_;
  std::string times_;
  SimTarget target_;
  Tmux tmux_;
};

TEST_F(TerminalE2E, TypedTextReachesTheTargetAndItsEchoTheScreen) {
  start();
  tmux_.keys({"-l", "hello world"});
  EXPECT_EQ(received(11), Bytes({'h', 'e', 'l', 'l', 'o', ' ', 'w', 'o', 'r', 'l', 'd'}));
  EXPECT_TRUE(screen_has("hello world")) << tmux_.screen();
  tmux_.keys({"C-a"});
  EXPECT_EQ(status(), "0\n");
  expect_mode_restored();
}

TEST_F(TerminalE2E, NothingIsEchoedLocally) {
  start({"--mode", "sink", "--idle-ms", "0"});  // a target that doesn't answer
  tmux_.keys({"-l", "quiet"});
  EXPECT_EQ(received(5), Bytes({'q', 'u', 'i', 'e', 't'}));
  EXPECT_EQ(tmux_.screen().find("quiet"), std::string::npos) << tmux_.screen();
  tmux_.keys({"C-a"});
  EXPECT_EQ(status(), "0\n");
}

TEST_F(TerminalE2E, F1SendsItsPrefixAndScanCode) {
  start();
  tmux_.keys({"F1"});
  EXPECT_EQ(received(2), Bytes({0x00, 59}));
  tmux_.keys({"C-a"});
  EXPECT_EQ(status(), "0\n");
}

TEST_F(TerminalE2E, F3ListsThePortsThatOpen) {
  start();
  tmux_.keys({"F3"});
  EXPECT_TRUE(screen_has("Test - all ports list:")) << tmux_.screen();
  EXPECT_NE(tmux_.screen().find("F3"), std::string::npos);
  // Its prefix went to the target; the scan code acted.
  EXPECT_EQ(received(1), Bytes{0x00});
  tmux_.keys({"C-a"});
  EXPECT_EQ(status(), "0\n");
}

TEST_F(TerminalE2E, F12SendsTheEntryByteAndHalfASecondLaterTheCommand) {
  start();
  tmux_.keys({"F12"});
  EXPECT_EQ(received(3), Bytes({0x00, 0x5c, 0x63}));
  const auto times = arrivals();
  ASSERT_EQ(times.size(), 3u);
  // The host waits 500 ms between its two writes (exactly so on the fake
  // clock, in the unit test); the target's own reading on a loaded machine
  // may see the first byte a little late.
  const long long pauseUs = times[2].first - times[1].first;
  EXPECT_GE(pauseUs, 450'000);
  EXPECT_LT(pauseUs, 900'000);
  tmux_.keys({"C-a"});
  EXPECT_EQ(status(), "0\n");
  expect_mode_restored();
}

TEST_F(TerminalE2E, F5RunsTheScriptAgainstAScriptTarget) {
  const std::string script = dir_ + "/lines.txt";
  write_file(script, Bytes({'p', '1', '\r', '\n', 'p', '2', '\n'}));
  start({"--mode", "script", "--idle-ms", "0"}, {"--script", script, "--send", "hi"});
  tmux_.keys({"F5"});
  EXPECT_TRUE(screen_has("tload 0")) << tmux_.screen();
  const std::string screen = tmux_.screen();
  for (const char* shown : {"F5", "<0>", "<57>", "<100>"})
    EXPECT_NE(screen.find(shown), std::string::npos) << shown << " in\n" << screen;
  // The function key's prefix starts the first line the target takes.
  EXPECT_EQ(received(10), Bytes({0x00, 'h', 'i', '\r', 'p', '1', '\r', 'p', '2', '\r'}));
  tmux_.keys({"C-a"});
  EXPECT_EQ(status(), "0\n");
  expect_mode_restored();
}

TEST_F(TerminalE2E, CtrlCReachesTheTargetAndTheTerminalGoesOn) {
  start();
  tmux_.keys({"-l", "x"});
  EXPECT_EQ(received(1), Bytes{'x'});
  tmux_.keys({"C-c"});
  tmux_.keys({"-l", "y"});
  EXPECT_EQ(received(3), Bytes({'x', 0x03, 'y'}));
  tmux_.keys({"C-a"});
  EXPECT_EQ(status(), "0\n");
  expect_mode_restored();
  EXPECT_EQ(leaked(), "");
}

// A paste of a line of script: the characters that share their codes with
// F2 to F6, and UTF-8 letters whose second byte is F12's code (0x86).
TEST_F(TerminalE2E, APasteArrivesByteForByteAndTriggersNothing) {
  start();
  const std::string text = "if a<b then ? \"x@y\" : c=1 >= \xD1\x86 \xC4\x86 \xCE\x86 \xD9\x86 end";
  tmux_.paste(text);
  const Bytes sent(text.begin(), text.end());
  EXPECT_EQ(received(sent.size()), sent);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  // Below the banner: the echo, and nothing any key did.
  const std::string screen = screen_from("if a<b");
  EXPECT_FALSE(screen.empty()) << tmux_.screen();
  for (const char* action : {"F3", "F5", "F6", "watch mode", "tload", "F2:"})
    EXPECT_EQ(screen.find(action), std::string::npos) << action << " in\n" << screen;
  tmux_.keys({"-l", "!"});
  EXPECT_EQ(received(sent.size() + 1).back(), '!') << "the port is still open";
  tmux_.keys({"C-a"});
  EXPECT_EQ(status(), "0\n");
  expect_mode_restored();
}

TEST_F(TerminalE2E, CommandKeyListsTheCommandsAndShowsTheSettings) {
  start();
  tmux_.keys({"C-t", "?"});
  EXPECT_TRUE(screen_has("Ctrl+T then: ? this list")) << tmux_.screen();
  EXPECT_TRUE(screen_has("F12 reset the target into its boot loader")) << tmux_.screen();
  tmux_.keys({"C-t", "s"});
  EXPECT_TRUE(screen_has("115200 8N1, flow none, DTR n/a, RTS n/a")) << tmux_.screen();
  tmux_.keys({"C-t", "C-t"});
  EXPECT_EQ(received(1), Bytes{0x14}) << "Ctrl+T twice sends one";
  tmux_.keys({"C-a"});
  EXPECT_EQ(status(), "0\n");
  expect_mode_restored();
}

TEST_F(TerminalE2E, LogKeepsWhatArrived) {
  const std::string log = dir_ + "/session.log";
  start({}, {"--log", log});
  tmux_.keys({"-l", "logged <text>"});
  EXPECT_TRUE(screen_has("logged <text>")) << tmux_.screen();
  tmux_.keys({"C-a"});
  EXPECT_EQ(status(), "0\n");
  EXPECT_EQ(read_text(log), "logged <text>");
  expect_mode_restored();
}

TEST_F(TerminalE2E, OptionsStartWithTheirViews) {
  const std::string log = dir_ + "/mapped.log";
  start({}, {"--log", log, "--map", "CRLF", "--hex", "--timestamps"});
  tmux_.keys({"-l", "ab"});
  tmux_.keys({"Enter"});
  EXPECT_TRUE(screen_has("61 62 0D")) << "the echo in hex: " << tmux_.screen();
  EXPECT_TRUE(screen_has("] 61")) << "after its time stamp: " << tmux_.screen();
  tmux_.keys({"C-a"});
  EXPECT_EQ(status(), "0\n");
  const std::string logged = read_text(log);
  // "[HH:MM:SS.mmm] ab\r\n": the text, its CR mapped, after a stamp.
  ASSERT_EQ(logged.size(), 15u + 4u) << logged;
  EXPECT_EQ(logged.substr(15), "ab\r\n");
  EXPECT_EQ(logged.substr(0, 1) + logged.substr(13, 2), "[] ");
}

TEST_F(TerminalE2E, LostPortIsWaitedForAndReopenedOnItsPath) {
  start();
  tmux_.keys({"-l", "a"});
  EXPECT_EQ(received(1), Bytes{'a'});
  target_.stop();  // the board unplugged
  const std::string lost = "port lost: " + target_.port() + "; waiting for it (Ctrl+A quits)";
  EXPECT_TRUE(screen_has(lost)) << tmux_.screen();
  tmux_.keys({"-l", "x"});  // typed while the port is away: not sent
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  ASSERT_TRUE(target_.restart({"--mode", "sink", "--echo", "--idle-ms", "0"}));
  EXPECT_TRUE(screen_has("port back: " + target_.port())) << tmux_.screen();
  tmux_.keys({"-l", "bc"});
  EXPECT_EQ(received(2), Bytes({'b', 'c'}));
  EXPECT_TRUE(screen_has("bc")) << "the echo of the board plugged in again";
  tmux_.keys({"C-a"});
  EXPECT_EQ(status(), "0\n");
  expect_mode_restored();
}

TEST_F(TerminalE2E, LostPortEndsTheTerminalWithoutReconnect) {
  start({}, {"--no-reconnect"});
  tmux_.keys({"-l", "a"});
  EXPECT_EQ(received(1), Bytes{'a'});
  target_.stop();
  EXPECT_EQ(status(), "3\n");
  expect_mode_restored();
}

class TerminalE2ESignal : public TerminalE2E, public testing::WithParamInterface<int> {};

// Ctrl-C goes to the target, but a SIGINT from outside still ends it.
TEST_P(TerminalE2ESignal, EndsTheTerminalAndRestoresTheMode) {
  start();
  tmux_.keys({"-l", "x"});
  EXPECT_EQ(received(1), Bytes{'x'});
  kill(kit_pid(), GetParam());
  EXPECT_EQ(status(), "4\n");
  expect_mode_restored();
}

INSTANTIATE_TEST_SUITE_P(Signals, TerminalE2ESignal, testing::Values(SIGINT, SIGTERM, SIGHUP));

// Keys typed while the terminal does not read them (F5 runs a script that
// first pauses for 3 s) are discarded with its mode when a signal ends it:
// the shell after it never runs them.
TEST_F(TerminalE2E, KeysTypedBeforeASignalDoNotReachTheShell) {
  const std::string script = dir_ + "/lines.txt";
  write_file(script, Bytes({'p', '1', '\n'}));
  start({}, {"--script", script, "--send", "\\w3000"});
  tmux_.keys({"F5"});
  EXPECT_EQ(received(1), Bytes{0x00});  // F5's prefix: the pause has begun
  tmux_.keys({"-l", "echo LEAKED"});
  tmux_.keys({"Enter"});
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  kill(kit_pid(), SIGTERM);
  EXPECT_EQ(status(), "4\n");
  expect_mode_restored();
  EXPECT_EQ(leaked(), "");
  const Bytes image = target_.image();
  EXPECT_EQ(std::find(image.begin(), image.end(), 'L'), image.end()) << "nor were they sent";
}

TEST_F(TerminalE2E, WatchModeSaysSoAndCtrlAQuitsIt) {
  start();
  tmux_.keys({"F4"});
  EXPECT_TRUE(screen_has("watch mode: Ctrl+A quits")) << tmux_.screen();
  tmux_.keys({"-l", "zz"});  // not sent in the watch mode
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  tmux_.keys({"C-a"});
  EXPECT_EQ(status(), "0\n");
  EXPECT_EQ(received(1), Bytes{0x00}) << "only F4's prefix";
  expect_mode_restored();
}

TEST_F(TerminalE2E, SigtermEndsTheWatchModeAndRestoresTheMode) {
  start();
  tmux_.keys({"F4"});
  EXPECT_EQ(received(1), Bytes{0x00});
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  kill(kit_pid(), SIGTERM);
  EXPECT_EQ(status(), "4\n");
  expect_mode_restored();
}

// Without a terminal: keys from a pipe as they come, and its end ends the
// terminal.
TEST(TerminalPipe, KeysFromAPipeThenEndOfInput) {
  if (wine_mode()) GTEST_SKIP() << "the pipe is made by a POSIX shell";
  SimTarget target;
  ASSERT_TRUE(target.start({"--mode", "sink", "--idle-ms", "0"}));
  const ProcessResult r = run_program({"/bin/sh", "-c",
                                       "printf 'ab\\033OP' | " + std::string(STOKER_KIT_BIN) +
                                           " terminal " + target.port() + " 115200"},
                                      kRunLimitMs);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(eventually([&] { return target.image().size() >= 4; }));
  EXPECT_EQ(target.image(), Bytes({'a', 'b', 0x00, 59}));
}

TEST(TerminalNoInput, EndOfInputEndsTheTerminalAtOnce) {
  SimTarget target;
  ASSERT_TRUE(target.start({"--mode", "sink", "--idle-ms", "0"}));
  const ProcessResult r =
      run_host("stoker-kit", {"terminal", target.host_port(), "115200"}, kRunLimitMs);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_FALSE(r.timedOut);
  EXPECT_EQ(r.out, "\n");
}

TEST(TerminalNoInput, PortThatCantBeOpened) {
  const std::string dir = make_temp_dir();
  const ProcessResult r =
      run_host("stoker-kit", {"terminal", missing_port(dir), "115200"}, kRunLimitMs);
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("stoker-kit terminal: cannot open"), std::string::npos) << r.err;
}

TEST(PortDiagnostics, PortsListsThePortNumbersThatOpen) {
  const ProcessResult r = run_host("stoker-kit", {"ports"}, kRunLimitMs);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out.rfind("Port numbers that open (1 to 999; 1 is ", 0), 0u) << r.out;
}

TEST(PortDiagnostics, PortSettingsOfAnOpenedPort) {
  SimTarget target;
  ASSERT_TRUE(target.start({"--mode", "sink", "--idle-ms", "0"}));
  const ProcessResult r =
      run_host("stoker-kit", {"port-settings", target.host_port(), "57600"}, kRunLimitMs);
  EXPECT_EQ(r.status, 0) << r.err;
  // The summary first, then a line per setting.
  EXPECT_EQ(r.out.rfind("57600 8N1, flow ", 0), 0u) << r.out;
  if (!wine_mode()) {
    EXPECT_EQ(r.out.rfind("57600 8N1, flow none, DTR n/a, RTS n/a\n", 0), 0u);
  }
  for (const char* line :
       {"\nBaud 57600\n", "\nByteSize 8\n", "\nParity 0\n", "\nStopBits 0\n", "\nfOutxCtsFlow 0\n",
        "\nReadIntervalTimeout 0\n", "\nReadTotalTimeoutConstant 2\n"})
    EXPECT_NE(r.out.find(line), std::string::npos) << line << " in\n" << r.out;
  // Writes are bounded: on Windows by short write time-outs (100 ms and the
  // time of a byte at 57600 baud, rounded up), between which the port layer
  // looks for a stop and for 10 s without progress; elsewhere by the port
  // layer alone.
  const char* writeBound =
      wine_mode() ? "\nWriteTotalTimeoutMultiplier 1\nWriteTotalTimeoutConstant 100\n"
                  : "\nWriteTotalTimeoutConstant (no POSIX equivalent; a write gives up after 10 s "
                    "without progress)\n";
  EXPECT_NE(r.out.find(writeBound), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("cant access"), std::string::npos) << r.out;
  if (!wine_mode()) {
    EXPECT_NE(r.out.find("\nLength (no POSIX equivalent)\n"), std::string::npos) << r.out;
  } else {
    EXPECT_NE(r.out.find("\nLength 28\n"), std::string::npos) << r.out;
  }
}

}  // namespace
