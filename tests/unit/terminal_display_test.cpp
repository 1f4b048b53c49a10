// What the terminal shows and logs of received bytes: the line-end
// mappings, time stamps at line starts across reads, the hex view and the
// watch mode, and that the log never gets the screen's views.
#include <gtest/gtest.h>

#include <cctype>
#include <ostream>
#include <string>
#include <vector>

#include "toolkit/terminal/display.h"

namespace {

struct DisplayCase {
  const char* name;
  Display start;
  std::vector<std::string> reads;  // what each read brought
  std::string screen;
  std::string log;
};

// The case's name in test listings.
void PrintTo(const DisplayCase& c, std::ostream* os) {
  *os << c.name;
}

Display with(LineMap map, bool hex, bool watch, bool timestamps) {
  Display d;
  d.map = map;
  d.hex = hex;
  d.watch = watch;
  d.timestamps = timestamps;
  return d;
}

const Display kPlain = with(MAP_NONE, false, false, false);
const Display kStamped = with(MAP_NONE, false, false, true);

const DisplayCase kCases[] = {
    {"plain bytes as they are",
     kPlain,
     {"a\r\nb", std::string("\0\xFF", 2)},
     std::string("a\r\nb\0\xFF", 6),
     std::string("a\r\nb\0\xFF", 6)},
    {"CR as CR LF",
     with(MAP_CR_CRLF, false, false, false),
     {"a\rb\r\n"},
     "a\r\nb\r\n\n",
     "a\r\nb\r\n\n"},
    {"LF as CR LF",
     with(MAP_LF_CRLF, false, false, false),
     {"a\nb\r\n"},
     "a\r\nb\r\r\n",
     "a\r\nb\r\r\n"},
    {"stamps at each line start, across reads",
     kStamped,
     {"one\ntw", "o\n", "\nthree"},
     "[T] one\n[T] two\n[T] \n[T] three",
     "[T] one\n[T] two\n[T] \n[T] three"},
    {"stamps follow the mapped lines",
     with(MAP_CR_CRLF, false, false, true),
     {"a\rb"},
     "[T] a\r\n[T] b",
     "[T] a\r\n[T] b"},
    {"a CR alone starts no line", kStamped, {"a\rb"}, "[T] a\rb", "[T] a\rb"},
    {"hex on screen, text in the log",
     with(MAP_NONE, true, false, false),
     {"A\n", "\xFF"},
     "41 0A FF ",
     "A\n\xFF"},
    {"hex lines of sixteen, stamped",
     with(MAP_NONE, true, false, true),
     {std::string(17, 'a')},
     "[T] 61 61 61 61 61 61 61 61 61 61 61 61 61 61 61 61 \n[T] 61 ",
     "[T] " + std::string(17, 'a')},
    {"watch: each byte after a tab, unmapped",
     with(MAP_LF_CRLF, false, true, true),
     {"a\n"},
     "\ta\t\n",
     "[T] a\r\n"},
};

class DisplayBytes : public testing::TestWithParam<DisplayCase> {};

TEST_P(DisplayBytes, ScreenAndLog) {
  Display d = GetParam().start;
  std::string screen;
  std::string log;
  for (const std::string& read : GetParam().reads)
    display_bytes(&d, reinterpret_cast<const uint8_t*>(read.data()), read.size(), "[T] ", &screen,
                  &log);
  EXPECT_EQ(screen, GetParam().screen);
  EXPECT_EQ(log, GetParam().log);
}

INSTANTIATE_TEST_SUITE_P(Views, DisplayBytes, testing::ValuesIn(kCases),
                         [](const testing::TestParamInfo<DisplayCase>& info) {
                           std::string name;
                           for (char c : std::string(info.param.name))
                             if (std::isalnum(static_cast<unsigned char>(c))) name += c;
                           return name;
                         });

TEST(DisplayStamp, HoursMinutesSecondsAndMilliseconds) {
  const std::string stamp = display_stamp();
  ASSERT_EQ(stamp.size(), 15u) << stamp;
  EXPECT_EQ(stamp.front(), '[');
  EXPECT_EQ(stamp.substr(13), "] ");
  for (size_t i : {3u, 6u}) EXPECT_EQ(stamp[i], ':');
  EXPECT_EQ(stamp[9], '.');
}

}  // namespace
