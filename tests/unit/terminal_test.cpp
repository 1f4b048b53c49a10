// The terminal's passes over a scripted keyboard and the fake port: every key
// of the table, typed characters that go through unchanged, the watch mode,
// F6 and the keys after it, F12's timing on the virtual clock, the command
// key, a port that goes away and comes back, and what ends the loop.
#include "toolkit/terminal/terminal.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "common/console.h"
#include "common/job.h"
#include "common/stop.h"
#include "console/keys.h"
#include "tests/support/fake_port.h"
#include "toolkit/script/script.h"

namespace {

// A keyboard whose keys come at given times of the fake port's clock. Once
// every key was read it reports the end of input, so a test that forgets
// Ctrl+A still ends.
struct FakeKeys {
  explicit FakeKeys(FakePort* port) : fake(port) {}

  KeyInput input{kbhit, getch, wait, this};
  FakePort* fake;
  std::deque<std::pair<int64_t, int>> keys;
  int getches = 0;
  int waits = 0;

  // The key comes atMs after now.
  void press(int key, double atMs = 0) {
    keys.emplace_back(fake->now_us() + static_cast<int64_t>(atMs * 1000), key);
  }
  void type(const std::string& text, double atMs = 0) {
    for (char c : text) press(static_cast<uint8_t>(c), atMs);
  }
  // A function key: its prefix, then its marked scan code.
  void function(int scan, double atMs = 0, int prefix = 0) {
    press(prefix, atMs);
    press(kKeyScanCode | scan, atMs);
  }
  // The command key and the key after it.
  void command(int key, double atMs = 0) {
    press(kKeyCommand, atMs);
    press(key, atMs);
  }

  static FakeKeys* self(KeyInput* in) { return static_cast<FakeKeys*>(in->user); }

  static int kbhit(KeyInput* in) {
    FakeKeys* k = self(in);
    return k->keys.empty() || k->keys.front().first <= k->fake->now_us() ? 1 : 0;
  }
  static int getch(KeyInput* in) {
    FakeKeys* k = self(in);
    ++k->getches;
    if (k->keys.empty()) return kKeyEnd;
    const auto [at, key] = k->keys.front();
    k->keys.pop_front();
    if (at > k->fake->now_us())
      k->fake->advance_ms(static_cast<int>((at - k->fake->now_us()) / 1000));
    return key;
  }
  // Sleeps on the port until its input, the next key, or ms.
  static void wait(KeyInput* in, const PortWait* port, int ms) {
    FakeKeys* k = self(in);
    ++k->waits;
    if (kbhit(in)) return;
    const int64_t untilKeyUs = k->keys.front().first - k->fake->now_us();
    const int limit = std::min<int64_t>(ms, (untilKeyUs + 999) / 1000);
    serial_wait_input(port->port, std::max(limit, 1));
  }
};

struct TerminalTest : testing::Test {
  FakePort fake;
  FakeKeys keys{&fake};
  DownloadJob job;
  TerminalOptions options;
  std::string screen;

  void SetUp() override {
    stop_clear();
    ASSERT_EQ(fake.open(), 0);
    fake.events.clear();
    job.port = &fake.port;
    options.device = "fake";
    options.settings = "115200,8,N,1";
    console_capture(&screen);
  }
  void TearDown() override {
    console_capture(nullptr);
    stop_clear();
  }

  int run() { return terminal(&job, &keys.input, options); }

  std::vector<uint8_t> sent() const { return fake.written(); }
  int closes() const {
    return static_cast<int>(
        std::count_if(fake.events.begin(), fake.events.end(),
                      [](const FakeEvent& e) { return e.kind == FakeEvent::Close; }));
  }
};

using Bytes = std::vector<uint8_t>;

TEST_F(TerminalTest, OrdinaryKeysGoToTheTargetWithoutLocalEcho) {
  keys.type("ab\r");
  keys.press(0xE0);   // the editing keys' prefix is a key like any other
  keys.press(0x141);  // only the low 8 bits go out
  keys.press(kKeyQuit);
  EXPECT_EQ(run(), TERMINAL_QUIT);
  EXPECT_EQ(sent(), (Bytes{'a', 'b', '\r', 0xE0, 0x41}));
  EXPECT_EQ(screen, "");
}

struct TypedCase {
  const char* name;
  std::string text;
};

// The case's name in test listings.
void PrintTo(const TypedCase& c, std::ostream* os) {
  *os << c.name;
}

// Characters that share their codes with the function keys' scan codes, the
// second bytes of UTF-8 letters (0x86, F12's code), and the control keys
// that a terminal might take for itself.
const TypedCase kTypedCases[] = {
    {"assignment", "a=1"},
    {"a line of a script", "if a<b then ? \"x@y\" : c=1\r"},
    {"the five characters", "<=>?@"},
    {"UTF-8 letters with 0x86", "\xD1\x86 \xC4\x86 \xCE\x86 \xD9\x86"},
    {"byte 134 alone", "\x86"},
    {"Ctrl-C, Ctrl-Z, Ctrl-\\", "\x03\x1A\x1C"},
    {"a NUL before <", std::string("\0<", 2)},
};

class TerminalTyped : public TerminalTest, public testing::WithParamInterface<TypedCase> {};

int g_probes = 0;
int count_probe(int) {
  ++g_probes;
  return 2;
}

TEST_P(TerminalTyped, ReachesTheTargetUnchangedAndTriggersNothing) {
  const std::string& text = GetParam().text;
  g_probes = 0;
  const PortProbe previous = set_port_probe(count_probe);
  fake.modemBits = MS_CTS;
  keys.type(text);
  keys.press(kKeyQuit, 1000);
  run();
  set_port_probe(previous);
  EXPECT_EQ(sent(), Bytes(text.begin(), text.end()));
  EXPECT_EQ(screen, "") << "no key acted";
  EXPECT_EQ(g_probes, 0) << "no port list";
  EXPECT_TRUE(serial_is_open(&fake.port));
  for (const FakeEvent& e : fake.events) EXPECT_EQ(e.kind, FakeEvent::Write);
}

INSTANTIATE_TEST_SUITE_P(Keys, TerminalTyped, testing::ValuesIn(kTypedCases),
                         [](const testing::TestParamInfo<TypedCase>& info) {
                           std::string name;
                           for (char c : std::string(info.param.name))
                             if (std::isalnum(static_cast<unsigned char>(c))) name += c;
                           return name;
                         });

TEST_F(TerminalTest, ReceivedBytesAreShownAsTheyAre) {
  fake.send(Bytes{'o', 'k', '\n', 0x00, 0xFF}, 5);
  keys.press(kKeyQuit, 200);
  run();
  EXPECT_EQ(screen, std::string("ok\n\0\xFF", 5));
}

TEST_F(TerminalTest, KeysOfAPassGoInOneWriteAndWhatArrivedInOneRead) {
  fake.send(Bytes(3000, 'x'));
  keys.type("abc");
  keys.press(kKeyQuit, 100);
  // What the screen showed when the keys reached the target.
  std::vector<std::string> shownAtWrite;
  fake.onWrite = [&](FakePort&, const Bytes&) { shownAtWrite.push_back(screen); };
  const int readsBefore = fake.reads;
  run();
  ASSERT_EQ(fake.writes().size(), 1u);
  EXPECT_EQ(fake.writes()[0].bytes, (Bytes{'a', 'b', 'c'}));
  EXPECT_EQ(shownAtWrite, std::vector<std::string>{""}) << "keys first, then the port";
  EXPECT_EQ(screen, std::string(3000, 'x'));
  EXPECT_LE(fake.reads - readsBefore, 60) << "one read takes all that arrived";
}

TEST_F(TerminalTest, FunctionKeyPrefixIsSentAndF1SendsTwoBytes) {
  keys.function(59);           // F1: no action of its own
  keys.function(133);          // F11 likewise
  keys.function(72, 0, 0xE0);  // the Up arrow
  keys.press(kKeyQuit);
  run();
  EXPECT_EQ(sent(), (Bytes{0x00, 59, 0x00, 133, 0xE0, 72}));
  EXPECT_EQ(screen, "");
}

struct ModemCase {
  int bits;
  const char* shown;
};

class TerminalModem : public TerminalTest, public testing::WithParamInterface<ModemCase> {};

TEST_P(TerminalModem, F2ShowsTheSetLinesInOrderOrWhyNone) {
  fake.modemBits = GetParam().bits;
  keys.function(kKeyModemStatus);
  keys.press(kKeyQuit);
  run();
  EXPECT_EQ(screen, GetParam().shown);
  EXPECT_EQ(sent(), Bytes{0x00}) << "only the prefix reaches the target";
}

INSTANTIATE_TEST_SUITE_P(
    Lines, TerminalModem,
    testing::Values(ModemCase{0, "F2: CTS, DSR, RING and RLSD are all off\n"},
                    ModemCase{MS_CTS | MS_DSR, "\nCTS_ON\nDSR_ON"},
                    ModemCase{MS_RLSD | MS_RING, "\nRING_ON\nRLSD_ON"},
                    ModemCase{0xFF, "\nCTS_ON\nDSR_ON\nRING_ON\nRLSD_ON"},
                    ModemCase{0x0F, "F2: CTS, DSR, RING and RLSD are all off\n"},
                    ModemCase{-1,
                              "F2: this port reports no modem lines (a pseudo-terminal has "
                              "none)\n"}));

// Free ports for the list: 1 and 3.
int ports_one_and_three(int n) {
  return n == 1 || n == 3 ? 0 : 2;
}

struct ProbeGuard {
  explicit ProbeGuard(PortProbe probe) : previous(set_port_probe(probe)) {}
  ~ProbeGuard() { set_port_probe(previous); }
  PortProbe previous;
};

TEST_F(TerminalTest, F3ListsThePortsThatOpen) {
  ProbeGuard guard(ports_one_and_three);
  keys.function(kKeyPortList);
  keys.press(kKeyQuit);
  run();
  EXPECT_EQ(screen, "\nF3\nTest - all ports list:\n1,3,");
  EXPECT_EQ(sent(), Bytes{0x00});
}

TEST_F(TerminalTest, F4WatchModeSaysSoShowsEachByteAfterATabAndCtrlAQuits) {
  keys.function(kKeyWatch);
  keys.type("zz", 1);                 // read, but not sent
  keys.function(kKeyModemStatus, 2);  // nor does a function key act
  keys.command('e', 3);               // nor the command key
  fake.send("ab", 10);
  fake.send("c", 3000);
  keys.press(kKeyQuit, 5000);
  const int readsBefore = fake.reads;
  EXPECT_EQ(run(), TERMINAL_QUIT);
  EXPECT_EQ(screen, "watch mode: Ctrl+A quits\n\ta\tb\tc");
  EXPECT_EQ(sent(), Bytes{0x00}) << "only F4's prefix";
  EXPECT_TRUE(keys.keys.empty()) << "keys are still read";
  // Quiet stretches are slept through: a 2 ms read after another would
  // make 2500 in 5 s.
  EXPECT_LT(fake.reads - readsBefore, 150);
  EXPECT_GE(fake.now_ms(), 5000);
}

TEST_F(TerminalTest, StopRequestEndsTheWatchMode) {
  keys.function(kKeyWatch);
  fake.onRead = [](FakePort& f) {
    if (f.now_ms() > 1000) stop_request();
  };
  run();
  EXPECT_LT(fake.now_ms(), 2000);
}

class ScriptFile {
 public:
  explicit ScriptFile(const std::string& text)
      : path_(std::filesystem::temp_directory_path() / "stoker-terminal-test-script.txt") {
    std::ofstream(path_, std::ios::binary) << text;
  }
  ~ScriptFile() { std::filesystem::remove(path_); }
  std::string path() const { return path_.string(); }

 private:
  std::filesystem::path path_;
};

// A target that acknowledges every CR after delayMs.
void acknowledge_lines(FakePort* fake, double delayMs) {
  fake->onWrite = [delayMs](FakePort& f, const Bytes& bytes) {
    for (uint8_t b : bytes)
      if (b == '\r') f.send(Bytes{0x06}, delayMs);
  };
}

TEST_F(TerminalTest, F5RunsTheScriptWithThePercentDisplay) {
  const ScriptFile script("a\r\nb\n");
  const std::string path = script.path();
  job.path = path.c_str();
  job.send = "go";
  acknowledge_lines(&fake, 1);
  keys.function(kKeyScript);
  keys.press('?');
  keys.press(kKeyQuit, 1000);
  run();
  EXPECT_EQ(screen, "\nF5\n<0> \n<60> \n<100> \ntload 0");
  const std::string oneRun = "go\ra\rb\r?";
  Bytes expected{0x00};
  expected.insert(expected.end(), oneRun.begin(), oneRun.end());
  EXPECT_EQ(sent(), expected);
}

TEST_F(TerminalTest, CtrlCStopsARunningScriptAndKeysTypedMeanwhileFollowIt) {
  const ScriptFile script("a\nb\nc\nd\n");
  const std::string path = script.path();
  job.path = path.c_str();
  acknowledge_lines(&fake, 100);
  keys.function(kKeyScript);
  keys.press('k', 150);
  keys.press(kKeyInterrupt, 160);
  keys.press(kKeyQuit, 2000);
  run();
  EXPECT_NE(screen.find("\ntload 4\nF5: stopped\n"), std::string::npos) << screen;
  EXPECT_EQ(screen.find("<100>"), std::string::npos) << "the script did not finish";
  const Bytes out = sent();
  ASSERT_FALSE(out.empty());
  EXPECT_EQ(out.back(), 'k') << "sent once the script stopped";
  EXPECT_EQ(std::count(out.begin(), out.end(), kKeyInterrupt), 0) << "Ctrl-C only stopped it";
}

TEST_F(TerminalTest, F5SaysWhyItFailed) {
  keys.function(kKeyScript);
  keys.function(kKeyClosePort);
  keys.function(kKeyScript);
  keys.press(kKeyQuit);
  job.path = nullptr;
  run();
  EXPECT_EQ(screen,
            "\nF5\ntload 1\nF5: no script: start the terminal with --script PATH_OR_URL\n"
            "\nF6\nF6: the port is closed: keys typed now are not sent (Ctrl+A quits)\n"
            "\nF5\ntload 5\nF5: no script: start the terminal with --script PATH_OR_URL\n");
}

TEST_F(TerminalTest, F6ClosesThePortSaysSoAndLaterKeysFailHarmlessly) {
  fake.modemBits = MS_CTS;
  keys.function(kKeyClosePort);
  keys.type("x");
  keys.function(kKeyModemStatus);  // no lines of a closed port
  keys.function(kKeyReset);        // no DTR, no bytes
  keys.command('d');               // nor from the command key
  keys.function(kKeyClosePort);    // closing again prints again, closes nothing
  keys.press(kKeyQuit, 1000);
  fake.send("late", 5);  // never read from the closed port
  run();
  const std::string closed =
      "\nF6\nF6: the port is closed: keys typed now are not sent (Ctrl+A quits)\n";
  EXPECT_EQ(screen, closed + "F2: the port is closed\nthe port is closed\n" + closed);
  EXPECT_EQ(closes(), 1);
  EXPECT_FALSE(serial_is_open(&fake.port));
  EXPECT_EQ(sent(), Bytes{0x00}) << "F6's prefix, before the port closed";
  EXPECT_EQ(fake.events.size(), 2u) << "nothing but the prefix and the close reached the port";
  EXPECT_EQ(fake.opens, 1) << "a port closed by F6 is not reopened";
}

TEST_F(TerminalTest, AfterF6TheIdlePassesDoNotSpin) {
  keys.function(kKeyClosePort);
  keys.press(kKeyQuit, 10'000);
  run();
  EXPECT_EQ(keys.getches, 3);
  // A busy loop would call the wait thousands of times; a bounded sleep of
  // 100 ms takes about 100 for these 10 s.
  EXPECT_LT(keys.waits, 150);
  EXPECT_GE(fake.now_ms(), 10'000);
}

TEST_F(TerminalTest, F12PulsesDtrThenSendsTheEntryByteAndCommand) {
  keys.function(kKeyReset);
  keys.press(kKeyQuit, 2000);
  run();
  EXPECT_EQ(screen, "");
  std::vector<FakeEvent> events = fake.events;
  ASSERT_EQ(events.size(), 5u);
  EXPECT_EQ(events[0].kind, FakeEvent::Write);  // the prefix
  EXPECT_EQ(events[0].bytes, Bytes{0x00});
  const FakeEvent& on = events[1];
  const FakeEvent& off = events[2];
  const FakeEvent& entry = events[3];
  const FakeEvent& command = events[4];
  EXPECT_EQ(on.kind, FakeEvent::Dtr);
  EXPECT_TRUE(on.on);
  EXPECT_EQ(off.kind, FakeEvent::Dtr);
  EXPECT_FALSE(off.on);
  EXPECT_EQ(off.timeUs - on.timeUs, 50'000);
  EXPECT_EQ(entry.bytes, Bytes{0x5c});
  EXPECT_EQ(entry.timeUs, off.timeUs);
  EXPECT_EQ(command.bytes, Bytes{0x63});
  EXPECT_EQ(command.timeUs - entry.timeUs, 500'000);
}

struct CommandCase {
  const char* name;
  std::vector<int> keys;  // after Ctrl+T
  Bytes sent;
  std::vector<FakeEvent::Kind> events;  // besides writes
  const char* shown;                    // a line on the screen
};

// The case's name in test listings.
void PrintTo(const CommandCase& c, std::ostream* os) {
  *os << c.name;
}

const CommandCase kCommandCases[] = {
    {"DTR on", {'d'}, {}, {FakeEvent::Dtr}, "DTR on\n"},
    {"DTR off again", {'d', kKeyCommand, 'D'}, {}, {FakeEvent::Dtr, FakeEvent::Dtr}, "DTR off\n"},
    {"RTS on", {'r'}, {}, {FakeEvent::RtsLine}, "RTS on\n"},
    {"break", {'b'}, {}, {FakeEvent::Break}, "break sent\n"},
    {"DTR pulse", {'p'}, {}, {FakeEvent::Dtr, FakeEvent::Dtr}, "DTR pulsed\n"},
    {"Ctrl+T itself", {kKeyCommand}, {kKeyCommand}, {}, ""},
    {"list", {'?'}, {}, {}, "Ctrl+T then: ? this list"},
    {"not a command", {'x'}, {}, {}, "Ctrl+T x: not a command (Ctrl+T ? lists them)\n"},
    {"a function key", {0, kKeyScanCode | kKeyPortList}, {}, {}, "Ctrl+T 0x00: not a command"},
    {"local echo", {'e'}, {}, {}, "local echo on\n"},
    {"line ends",
     {'m', kKeyCommand, 'm'},
     {},
     {},
     "line ends: CR as CR LF\nline ends: LF as CR LF\n"},
};

class TerminalCommand : public TerminalTest, public testing::WithParamInterface<CommandCase> {};

TEST_P(TerminalCommand, ActsOnThePortAndSaysWhat) {
  const CommandCase& c = GetParam();
  keys.press(kKeyCommand);
  for (int key : c.keys) keys.press(key);
  keys.press(kKeyQuit, 1000);
  run();
  EXPECT_EQ(sent(), c.sent);
  std::vector<FakeEvent::Kind> kinds;
  for (const FakeEvent& e : fake.events)
    if (e.kind != FakeEvent::Write) kinds.push_back(e.kind);
  EXPECT_EQ(kinds, c.events);
  EXPECT_NE(screen.find(c.shown), std::string::npos) << screen;
}

INSTANTIATE_TEST_SUITE_P(Keys, TerminalCommand, testing::ValuesIn(kCommandCases),
                         [](const testing::TestParamInfo<CommandCase>& info) {
                           std::string name;
                           for (char c : std::string(info.param.name))
                             if (std::isalnum(static_cast<unsigned char>(c))) name += c;
                           return name;
                         });

TEST_F(TerminalTest, DtrPulseHoldsTheLineTheOtherWayForAMoment) {
  keys.command('d');
  keys.command('p');
  keys.press(kKeyQuit, 1000);
  run();
  std::vector<FakeEvent> dtr;
  for (const FakeEvent& e : fake.events)
    if (e.kind == FakeEvent::Dtr) dtr.push_back(e);
  ASSERT_EQ(dtr.size(), 3u);
  EXPECT_TRUE(dtr[0].on);
  EXPECT_FALSE(dtr[1].on);
  EXPECT_TRUE(dtr[2].on);
  EXPECT_EQ(dtr[2].timeUs - dtr[1].timeUs, 100'000);
}

TEST_F(TerminalTest, LocalEchoShowsTypedKeysAsTextWithTheLineEndsMapped) {
  options.echo = true;
  options.map = MAP_CR_CRLF;
  options.hex = true;
  keys.type("hi\r");
  keys.press(kKeyQuit, 100);
  fake.send("HI", 50);
  run();
  EXPECT_EQ(screen, "hi\r\n48 49 ");
  EXPECT_EQ(sent(), (Bytes{'h', 'i', '\r'}));
}

TEST_F(TerminalTest, LogKeepsWhatArrivedUntilItIsClosed) {
  const std::filesystem::path log =
      std::filesystem::temp_directory_path() / "stoker-terminal-test.log";
  std::filesystem::remove(log);
  const std::string path = log.string();
  options.log = path.c_str();
  options.map = MAP_CR_CRLF;
  options.hex = true;  // the screen's view, not the log's
  fake.send("one\r", 10);
  keys.command('l', 100);  // closes the log
  fake.send("two\r", 200);
  keys.command('l', 300);  // appends again
  fake.send("three", 400);
  keys.press(kKeyQuit, 500);
  run();
  std::string logged;
  {
    std::ifstream in(log, std::ios::binary);
    logged.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }  // closed before it is removed, as Windows wants
  std::filesystem::remove(log);
  EXPECT_EQ(logged, "one\r\nthree");
  EXPECT_NE(screen.find("logging to " + path + "\n6F 6E 65 0D \nlog closed: " + path),
            std::string::npos)
      << screen;
}

// The port goes away 100 ms from now, its device with it; the device is
// back returnMs from now.
struct LostPort : TerminalTest {
  void lose(double returnMs) {
    const double start = fake.now_ms();
    fake.onRead = [start](FakePort& f) {
      if (f.now_ms() - start < 100 || f.opens != 1 || f.vanished) return;
      f.vanished = true;
      f.openError = 2;  // ENOENT: the device node is gone
    };
    fake.onOpen = [start, returnMs](FakePort& f) {
      if (f.now_ms() - start >= returnMs) f.openError = 0;
    };
  }
};

TEST_F(LostPort, IsReportedWaitedForAndReopened) {
  lose(1000);
  keys.command('d', 50);   // DTR on before the loss
  keys.type("lost", 500);  // while the port is away: not sent
  keys.type("back", 2000);
  keys.press(kKeyQuit, 2100);
  const int waitsBefore = keys.waits;
  EXPECT_EQ(run(), TERMINAL_QUIT);
  EXPECT_NE(screen.find("port lost: fake; waiting for it (Ctrl+A quits)\nport back: fake\n"),
            std::string::npos)
      << screen;
  EXPECT_EQ(sent(), (Bytes{'b', 'a', 'c', 'k'}));
  EXPECT_EQ(fake.opens, 2);
  EXPECT_TRUE(fake.dtr) << "DTR as the user left it";
  EXPECT_LT(keys.waits - waitsBefore, 100) << "the wait for the port does not spin";
}

TEST_F(LostPort, PathIsTriedEveryProbeIntervalAndNoMoreOften) {
  lose(60'000);
  keys.press(kKeyQuit, 10'000);
  run();
  EXPECT_NE(screen.find("port lost: fake"), std::string::npos);
  EXPECT_EQ(screen.find("port back"), std::string::npos);
  const std::vector<int64_t>& tries = fake.openTriesUs;
  ASSERT_GE(tries.size(), 80u) << "about ten tries a second for 9.9 s";
  EXPECT_LE(tries.size(), 101u);
  for (size_t i = 2; i < tries.size(); ++i)
    EXPECT_GE(tries[i] - tries[i - 1], kPortProbeMs * 1000) << "try " << i;
}

TEST_F(LostPort, WithoutReconnectEndsTheTerminal) {
  options.reconnect = false;
  lose(1000);
  keys.press(kKeyQuit, 60'000);
  EXPECT_EQ(run(), TERMINAL_PORT_LOST);
  EXPECT_LT(fake.now_ms(), 1000);
  EXPECT_FALSE(serial_is_open(&fake.port));
}

TEST_F(TerminalTest, DeviceThatDisappearsWithoutAnErrorIsLostToo) {
  keys.press(kKeyQuit, 5000);
  const double start = fake.now_ms();
  fake.onRead = [start](FakePort& f) {
    if (f.now_ms() - start >= 100) f.openError = 2;  // the device node is gone
  };
  run();
  EXPECT_NE(screen.find("port lost: fake; waiting for it"), std::string::npos) << screen;
}

TEST_F(TerminalTest, QuitEndsAfterShowingWhatArrivedInItsPass) {
  keys.type("a", 0);
  keys.press(kKeyQuit, 20);
  keys.type("never", 20);
  fake.send("Z", 20);
  fake.send("Q", 20);
  run();
  EXPECT_EQ(screen, "ZQ");
  EXPECT_EQ(keys.keys.size(), 5u) << "keys after Ctrl+A stay unread";
  EXPECT_EQ(sent(), Bytes{'a'});
  EXPECT_EQ(fake.pending(), 0u);
}

TEST_F(TerminalTest, EndOfInputEndsTheLoop) {
  keys.type("hi");
  run();  // the fake keyboard ends after its last key
  EXPECT_EQ(sent(), (Bytes{'h', 'i'}));
  EXPECT_EQ(keys.getches, 3);
}

TEST_F(TerminalTest, StopRequestEndsTheLoop) {
  keys.type("a");
  keys.press(kKeyQuit, 60'000);
  fake.onRead = [](FakePort& f) {
    if (f.now_ms() > 1000) stop_request();
  };
  run();
  EXPECT_LT(fake.now_ms(), 2000);
  EXPECT_EQ(sent(), Bytes{'a'});
}

TEST_F(TerminalTest, IdleTerminalSleepsBetweenPasses) {
  keys.press(kKeyQuit, 10'000);
  run();
  // Every empty read is followed by a bounded sleep, not by the next read.
  EXPECT_LT(fake.reads, 200);
  EXPECT_GE(fake.now_ms(), 10'000);
}

}  // namespace
