// The terminal's passes over a scripted keyboard and the fake port: every key
// of the table, its character twin, the watch mode, F6 and the keys after
// it, F12's timing on the virtual clock, and what ends the loop.
#include "toolkit/terminal/terminal.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <filesystem>
#include <fstream>
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
  std::string screen;

  void SetUp() override {
    stop_clear();
    ASSERT_EQ(fake.open(), 0);
    fake.events.clear();
    job.port = &fake.port;
    console_capture(&screen);
  }
  void TearDown() override {
    console_capture(nullptr);
    stop_clear();
  }

  void run() { terminal(&job, &keys.input); }

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
  run();
  EXPECT_EQ(sent(), (Bytes{'a', 'b', '\r', 0xE0, 0x41}));
  EXPECT_EQ(screen, "");
}

TEST_F(TerminalTest, ReceivedBytesAreShownAsTheyAre) {
  fake.send(Bytes{'o', 'k', '\n', 0x00, 0xFF}, 5);
  keys.press(kKeyQuit, 200);
  run();
  EXPECT_EQ(screen, std::string("ok\n\0\xFF", 5));
}

TEST_F(TerminalTest, EachPassHandlesOneKeyThenShowsOneByte) {
  fake.send("XYZ");
  keys.type("ab");
  keys.press(kKeyQuit, 100);
  // What the screen showed when each key reached the target.
  std::vector<std::string> shownAtWrite;
  fake.onWrite = [&](FakePort&, const Bytes&) { shownAtWrite.push_back(screen); };
  run();
  EXPECT_EQ(shownAtWrite, (std::vector<std::string>{"", "X"}));
  EXPECT_EQ(screen, "XYZ");
}

TEST_F(TerminalTest, FunctionKeyPrefixIsSentAndF1SendsTwoBytes) {
  keys.press(0);
  keys.press(59);  // F1: no action of its own
  keys.press(0);
  keys.press(133);  // F11 likewise
  keys.press(kKeyQuit);
  run();
  EXPECT_EQ(sent(), (Bytes{0x00, 59, 0x00, 133}));
  EXPECT_EQ(screen, "");
}

struct ModemCase {
  int bits;
  const char* shown;
};

class TerminalModem : public TerminalTest, public testing::WithParamInterface<ModemCase> {};

TEST_P(TerminalModem, F2AndLessThanShowTheSetLinesInOrder) {
  fake.modemBits = GetParam().bits;
  keys.press(0);
  keys.press(kKeyModemStatus);
  keys.press('<');
  keys.press(kKeyQuit);
  run();
  const std::string once = GetParam().shown;
  EXPECT_EQ(screen, once + once);
  EXPECT_EQ(sent(), Bytes{0x00}) << "only the prefix reaches the target";
}

INSTANTIATE_TEST_SUITE_P(Lines, TerminalModem,
                         testing::Values(ModemCase{0, ""},
                                         ModemCase{MS_CTS | MS_DSR, "\nCTS_ON\nDSR_ON"},
                                         ModemCase{MS_RLSD | MS_RING, "\nRING_ON\nRLSD_ON"},
                                         ModemCase{0xFF, "\nCTS_ON\nDSR_ON\nRING_ON\nRLSD_ON"},
                                         ModemCase{0x0F, ""}));

// Free ports for the list: 1 and 3.
int ports_one_and_three(int n) {
  return n == 1 || n == 3 ? 0 : 2;
}

struct ProbeGuard {
  explicit ProbeGuard(PortProbe probe) : previous(set_port_probe(probe)) {}
  ~ProbeGuard() { set_port_probe(previous); }
  PortProbe previous;
};

TEST_F(TerminalTest, F3AndEqualsListThePortsThatOpen) {
  ProbeGuard guard(ports_one_and_three);
  keys.press(kKeyPortList);
  keys.press('=');
  keys.press(kKeyQuit);
  run();
  const std::string once = "\nF3\nTest - all ports list:\n1,3,";
  EXPECT_EQ(screen, once + once);
  EXPECT_TRUE(sent().empty());
}

TEST_F(TerminalTest, F4AndGreaterThanEnterTheWatchModeForGood) {
  for (int key : {kKeyWatch, static_cast<int>('>')}) {
    SCOPED_TRACE(key);
    screen.clear();
    fake.events.clear();
    keys.keys.clear();
    keys.getches = 0;
    stop_clear();
    keys.press(key);
    keys.type("zz", 1);       // never read again
    keys.press(kKeyQuit, 2);  // nor is the quit key
    fake.send("ab", 10);
    fake.send("c", 3000);
    const int64_t start = fake.now_us();
    // Only the process's end (a stop request) leaves the watch mode.
    fake.onRead = [start](FakePort& f) {
      if (f.now_us() - start > 10'000'000) stop_request();
    };
    const int readsBefore = fake.reads;
    run();
    EXPECT_EQ(screen, "\ta\tb\tc");
    // Quiet stretches are slept through: a 2 ms read after another would
    // make 5000 in 10 s.
    EXPECT_LT(fake.reads - readsBefore, 250);
    EXPECT_EQ(keys.getches, 1);
    EXPECT_TRUE(sent().empty());
    EXPECT_GT(fake.now_us() - start, 10'000'000) << "returned before the stop request";
    fake.onRead = nullptr;
  }
}

TEST_F(TerminalTest, F5AndQuestionMarkRunTheScriptWithThePercentDisplay) {
  const std::filesystem::path script =
      std::filesystem::temp_directory_path() / "stoker-terminal-test-script.txt";
  std::ofstream(script, std::ios::binary) << "a\r\nb\n";
  const std::string path = script.string();
  job.path = path.c_str();
  job.send = "go";
  // A target that acknowledges every CR.
  fake.onWrite = [](FakePort& f, const Bytes& bytes) {
    for (uint8_t b : bytes)
      if (b == '\r') f.send(Bytes{0x06}, 1);
  };
  keys.press(0);
  keys.press(kKeyScript);
  keys.press('?');
  keys.press(kKeyQuit, 1000);
  run();
  std::filesystem::remove(script);
  const std::string once = "\nF5\n<0> \n<60> \n<100> \ntload 0";
  EXPECT_EQ(screen, once + once);
  const std::string oneRun = "go\ra\rb\r";
  Bytes expected{0x00};
  for (int i = 0; i < 2; ++i) expected.insert(expected.end(), oneRun.begin(), oneRun.end());
  EXPECT_EQ(sent(), expected);
}

TEST_F(TerminalTest, F5WithoutAScriptPrintsItsResult) {
  keys.press(kKeyScript);
  keys.press(kKeyClosePort);
  keys.press(kKeyScript);
  keys.press(kKeyQuit);
  job.path = nullptr;
  run();
  EXPECT_EQ(screen, "\nF5\ntload 1\nF6\nF5\ntload 5");
}

TEST_F(TerminalTest, F6AndAtCloseThePortAndLaterKeysFailHarmlessly) {
  for (int key : {kKeyClosePort, static_cast<int>('@')}) {
    SCOPED_TRACE(key);
    ASSERT_EQ(fake.open(), 0);
    fake.events.clear();
    screen.clear();
    fake.modemBits = MS_CTS;
    keys.press(key);
    keys.type("x");
    keys.press(kKeyModemStatus);  // no lines of a closed port
    keys.press(kKeyReset);        // no DTR, no bytes
    keys.press(key);              // closing again prints again, closes nothing
    keys.press(kKeyQuit, 1000);
    fake.send("late", 5);  // never read from the closed port
    run();
    EXPECT_EQ(screen, "\nF6\nF6");
    EXPECT_EQ(closes(), 1);
    EXPECT_FALSE(serial_is_open(&fake.port));
    EXPECT_TRUE(sent().empty());
    EXPECT_EQ(fake.events.size(), 1u) << "nothing but the close reached the port";
  }
}

TEST_F(TerminalTest, AfterF6TheIdlePassesDoNotSpin) {
  keys.press(kKeyClosePort);
  keys.press(kKeyQuit, 10'000);
  run();
  EXPECT_EQ(keys.getches, 2);
  // A busy loop would call the wait thousands of times; a bounded sleep of
  // 100 ms takes about 100 for these 10 s.
  EXPECT_LT(keys.waits, 150);
  EXPECT_GE(fake.now_ms(), 10'000);
}

TEST_F(TerminalTest, F12PulsesDtrThenSendsTheEntryByteAndCommand) {
  keys.press(0);
  keys.press(kKeyReset);
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

TEST_F(TerminalTest, QuitEndsAfterShowingTheByteOfItsPass) {
  keys.type("a", 0);
  keys.press(kKeyQuit, 20);
  keys.type("never", 20);
  fake.send("Z", 20);
  fake.send("Q", 20);
  run();
  EXPECT_EQ(screen, "Z");
  EXPECT_EQ(keys.keys.size(), 5u) << "keys after Ctrl+A stay unread";
  EXPECT_EQ(sent(), Bytes{'a'});
  EXPECT_EQ(fake.pending(), 1u);
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
