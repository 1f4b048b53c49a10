// The escaped text sender over an in-memory port: what goes on the wire, the
// echo, the pauses on the virtual clock, and the echo's capacity.
#include "toolkit/text/text.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <string>
#include <vector>

#include "app/kit_script.h"
#include "common/stop.h"
#include "tests/support/fake_port.h"

namespace {

struct TextTest : testing::Test {
  FakePort fake;
  char echo[260] = "unset";
  void SetUp() override { ASSERT_EQ(fake.open(), 0); }

  // Sends text; returns the bytes that went on the wire.
  std::string sent(const std::string& text) {
    const size_t before = fake.written().size();
    send_text(&fake.port, text.c_str(), echo, sizeof echo);
    const std::vector<uint8_t> all = fake.written();
    return std::string(all.begin() + static_cast<long>(before), all.end());
  }
};

TEST_F(TextTest, PlainTextAndControlEscapes) {
  EXPECT_EQ(sent(""), "");
  EXPECT_STREQ(echo, "");
  EXPECT_EQ(sent("AB\\r\\n"), "AB\r\n");
  EXPECT_STREQ(echo, "AB\r\n");
  EXPECT_EQ(sent("\\e[2J"), "\x1b[2J");
  // Case matters: \N is no line feed; the backslash is dropped.
  EXPECT_EQ(sent("\\N"), "N");
  // Raw control bytes go as they stand.
  EXPECT_EQ(sent("a\tb\r\nc"), "a\tb\r\nc");
}

TEST_F(TextTest, NumericEscapesSendTheNumberModulo256) {
  EXPECT_EQ(sent("\\65"), "A");
  EXPECT_EQ(sent("\\0x41"), "A");
  EXPECT_EQ(sent("\\0X41"), "A");
  EXPECT_EQ(sent("\\0101"), "A");
  EXPECT_EQ(sent("\\300"), "\x2c");
  EXPECT_EQ(sent("\\0x1F"), "\x1f");
  EXPECT_EQ(sent("\\0x1Fz"), "\x1fz");
  EXPECT_EQ(sent("\\0x141"), "A");  // 0x141 modulo 256
  // Octal stops at 8 or 9, which are passed over unsent.
  EXPECT_EQ(sent("\\0128"), std::string(1, '\x0a'));
  EXPECT_EQ(sent("\\09"), std::string(1, '\0'));
  EXPECT_EQ(sent("\\0q"), std::string("\0q", 2));
  // No escape for a backslash itself: its number.
  EXPECT_EQ(sent("\\92"), "\\");
  EXPECT_EQ(sent("\\0134"), "\\");
  EXPECT_EQ(sent("\\0x5C"), "\\");
  // The number ends at the first character that is no digit.
  EXPECT_EQ(sent("\\65 66"), "A 66");
}

TEST_F(TextTest, EscapesWithoutANumberSendNothing) {
  // A second backslash: nothing for the first, then the \n escape.
  EXPECT_EQ(sent("\\\\n"), "\n");
  EXPECT_EQ(sent("ab\\"), "ab");
  EXPECT_EQ(sent("\\0xg"), "g");
  const int64_t t = fake.now_us();
  EXPECT_EQ(sent("a\\wb"), "ab");
  EXPECT_STREQ(echo, "ab");  // no "(w)": there was no pause
  EXPECT_EQ(fake.now_us(), t);
  // \$ followed by neither word: the $ is an ordinary character.
  EXPECT_EQ(sent("\\$date"), "$date");
  EXPECT_EQ(sent("\\$"), "$");
}

TEST_F(TextTest, PausesWaitOnTheClockAndEchoW) {
  EXPECT_EQ(sent("x\\w10y"), "xy");
  EXPECT_STREQ(echo, "x(w)y");
  std::vector<FakeEvent> w = fake.writes();
  ASSERT_GE(w.size(), 2u);
  EXPECT_EQ(w[w.size() - 1].timeUs - w[w.size() - 2].timeUs, 10000);

  int64_t t = fake.now_us();
  EXPECT_EQ(sent("\\w250"), "");
  EXPECT_EQ(fake.now_us() - t, 250000);
  EXPECT_STREQ(echo, "(w)");
  // Digits after the pause's number are not sent; zero waits not at all.
  t = fake.now_us();
  EXPECT_EQ(sent("\\w0\\w5z"), "z");
  EXPECT_EQ(fake.now_us() - t, 5000);
  EXPECT_STREQ(echo, "(w)(w)z");
}

TEST_F(TextTest, CommentsRunToTheLineEndAndTakeAtMostTwoLineEnds) {
  EXPECT_EQ(sent("ab\\#comment\r\ncd"), "abcd");
  EXPECT_EQ(sent("ab\\#c\r\n\r\ncd"), "ab\r\ncd");
  EXPECT_EQ(sent("ab\\#c\n\ncd"), "abcd");
  EXPECT_EQ(sent("ab\\#c\r\rcd"), "abcd");
  EXPECT_EQ(sent("ab\\#the end"), "ab");
  EXPECT_STREQ(echo, "ab");
}

bool digits_at(const std::string& text, std::initializer_list<size_t> positions) {
  for (size_t i : positions)
    if (i >= text.size() || !std::isdigit(static_cast<unsigned char>(text[i]))) return false;
  return true;
}

TEST_F(TextTest, DateAndTimeAreSentAndEchoed) {
  const std::string date = sent("\\$Date");
  ASSERT_EQ(date.size(), 10u);
  EXPECT_TRUE(digits_at(date, {0, 1, 3, 4, 6, 7, 9})) << date;
  EXPECT_EQ(date[2], '/');
  EXPECT_EQ(date[5], '/');
  EXPECT_EQ(date[8], ' ');
  EXPECT_LE(date[9], '6');
  EXPECT_EQ(echo, date);

  const std::string time = sent("[\\$Time] Date");
  ASSERT_EQ(time.size(), 15u) << time;
  EXPECT_TRUE(digits_at(time, {1, 2, 4, 5, 7, 8})) << time;
  EXPECT_EQ(time.substr(9), "] Date");
  EXPECT_EQ(echo, time);
}

TEST_F(TextTest, EveryByteWaitsTheInterByteDelay) {
  serial_set_char_delay(&fake.port, 3);
  const int64_t t = fake.now_us();
  sent("ab\\r\\0x41");
  const std::vector<FakeEvent> w = fake.writes();
  ASSERT_EQ(w.size(), 4u);  // each byte its own write
  for (size_t i = 0; i < w.size(); ++i) {
    EXPECT_EQ(w[i].bytes.size(), 1u);
    EXPECT_EQ(w[i].timeUs - t, 3000 * static_cast<int64_t>(i + 1));
  }
  // The date's characters too.
  const int64_t t2 = fake.now_us();
  sent("\\$Time");
  EXPECT_EQ(fake.now_us() - t2, 8 * 3000);
}

TEST_F(TextTest, EchoNeverPassesItsCapacity) {
  // A buffer on the heap of exactly the capacity, with guards around it.
  std::vector<char> memory(16 + 6 + 16, '#');
  char* buffer = memory.data() + 16;
  send_text(&fake.port, "abcdefgh\\$Date", buffer, 6);
  EXPECT_STREQ(buffer, "abcde");
  EXPECT_EQ(std::string(memory.data(), 16), std::string(16, '#'));
  EXPECT_EQ(std::string(memory.data() + 22, 16), std::string(16, '#'));
  // What is sent does not depend on the echo.
  EXPECT_EQ(fake.written().size(), 8u + 10u);
  send_text(&fake.port, "xyz", nullptr, 0);
  EXPECT_EQ(fake.written().size(), 21u);
  char one[1] = {'#'};
  send_text(&fake.port, "xyz", one, 1);
  EXPECT_EQ(one[0], '\0');
}

// A port that stops taking data: nothing more is sent after the first
// failed write (each would wait out the port's stall bound again), the echo
// holds what went out, and the result is the write's error. A stop request
// ends the text too.
TEST_F(TextTest, SendingEndsAtTheFirstFailedWriteOrAStop) {
  const struct {
    const char* text;
    int failAt;          // the write that fails
    const char* echoed;  // how the echo starts
  } cases[] = {{"abcdef", 3, "ab"}, {"a\\$Time", 3, "a"}, {"\\0x41\\0x42\\0x43", 2, "A"}};
  for (const auto& c : cases) {
    fake.events.clear();
    fake.writeError = 0;
    int writes = 0;
    const int failAt = c.failAt;
    fake.onWrite = [&writes, failAt](FakePort& f, const std::vector<uint8_t>&) {
      if (++writes == failAt - 1) f.writeError = 5;
    };
    EXPECT_EQ(send_text(&fake.port, c.text, echo, sizeof echo), 5) << c.text;
    const size_t sent = static_cast<size_t>(c.failAt - 1);
    EXPECT_EQ(std::strlen(echo), sent) << c.text;
    EXPECT_EQ(fake.written().size(), sent) << c.text;
    EXPECT_EQ(std::string(echo).rfind(c.echoed, 0), 0u) << c.text << ": " << echo;
  }
  fake.writeError = 0;
  fake.events.clear();
  fake.onWrite = [](FakePort&, const std::vector<uint8_t>&) { stop_request(); };
  EXPECT_EQ(send_text(&fake.port, "xyz", echo, sizeof echo), 0);
  EXPECT_EQ(fake.written().size(), 1u);
  stop_clear();
  fake.onWrite = nullptr;
  EXPECT_EQ(send_text_first(&fake.port, nullptr), 0);
}

TEST_F(TextTest, KitEchoCapacityHoldsTheWholeEcho) {
  // The escape that echoes most per character of text.
  std::string text;
  for (int i = 0; i < 20; ++i) text += "\\$Date\\w1";
  std::vector<char> buffer(kit_echo_capacity(text));
  send_text(&fake.port, text.c_str(), buffer.data(), buffer.size());
  EXPECT_EQ(std::strlen(buffer.data()), 20u * 13u);
}

}  // namespace
