// The script sender against a scripted target on an in-memory port: lines,
// replies, directives, requests, includes, options and the reporter; and the
// line splitter, definition names and directive words on their own.
#include "toolkit/script/script.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "app/kit_script.h"
#include "common/console.h"
#include "common/job.h"
#include "common/stop.h"
#include "tests/support/fake_port.h"

namespace fs = std::filesystem;

namespace {

// ---- the pieces ----

// split_line over a copy of text (with the two NULs behind it): the lines
// and the advance of each.
struct Split {
  std::vector<std::string> lines;
  std::vector<int> advances;
  std::string source;  // the source afterwards
};

Split split_all(const std::string& text, int limit = kScriptLineLimit) {
  Split out;
  std::vector<char> source(text.begin(), text.end());
  source.push_back('\0');
  source.push_back('\0');
  std::vector<char> line(static_cast<size_t>(limit) + 2);
  int done = 0;
  while (done < static_cast<int>(text.size())) {
    int advance = 0;
    const char* next = split_line(source.data() + done, limit, &advance, line.data());
    EXPECT_EQ(next, source.data() + done + advance);
    out.lines.emplace_back(line.data());
    out.advances.push_back(advance);
    done += advance;
  }
  out.source.assign(source.data(), text.size());
  return out;
}

TEST(SplitLine, LineEndsPairsAndControlBytes) {
  Split s = split_all("a\r\nb\n");
  EXPECT_EQ(s.lines, (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(s.advances, (std::vector<int>{3, 2}));

  // CR LF and LF CR end one line; CR CR and LF LF too, with no empty line.
  s = split_all("a\n\rb\r\rc\n\nd");
  EXPECT_EQ(s.lines, (std::vector<std::string>{"a", "b", "c", "d"}));
  // A third line end is an empty line.
  s = split_all("a\r\n\r\nb");
  EXPECT_EQ(s.lines, (std::vector<std::string>{"a", "", "b"}));
  // A NUL inside the text ends a line as well.
  s = split_all(std::string("x\0y", 3));
  EXPECT_EQ(s.lines, (std::vector<std::string>{"x", "y"}));

  // Tabs, other control bytes and bytes from 0x80 up become spaces in the
  // line; the source keeps them.
  s = split_all("a\tb\x01\x7f\x80\xff!\n");
  EXPECT_EQ(s.lines[0], "a b \x7f  !");
  EXPECT_EQ(s.source, "a\tb\x01\x7f\x80\xff!\n");
}

TEST(SplitLine, LongLinesKeepEveryCharacter) {
  std::string text;
  for (int i = 0; i < 300; ++i) text += static_cast<char>('a' + i % 26);
  Split s = split_all(text + "\r\n");
  ASSERT_EQ(s.lines.size(), 2u);
  EXPECT_EQ(s.lines[0], text.substr(0, 257));
  EXPECT_EQ(s.lines[1], text.substr(257));  // the 258th character included
  EXPECT_EQ(s.advances[0], 257);

  // 257 characters and the line end: one line.
  s = split_all(text.substr(0, 257) + "\r\nz");
  EXPECT_EQ(s.lines, (std::vector<std::string>{text.substr(0, 257), "z"}));
  // 258: the last one is a line of its own.
  s = split_all(text.substr(0, 258) + "\nz");
  EXPECT_EQ(s.lines, (std::vector<std::string>{text.substr(0, 257), text.substr(257, 1), "z"}));
  // A small limit cuts after limit + 1 characters.
  s = split_all("abcdefg", 2);
  EXPECT_EQ(s.lines, (std::vector<std::string>{"abc", "def", "g"}));
}

std::string name_of(const char* line, bool* found, size_t bytes = 64) {
  std::vector<char> name(bytes, '?');
  *found = definition_name(line, name.data(), name.size());
  return name.data();
}

TEST(DefinitionName, ConstantsAndFunctions) {
  bool found = false;
  EXPECT_EQ(name_of("constant flash table {1,2}\r", &found), "table");
  EXPECT_TRUE(found);
  EXPECT_EQ(name_of("constant limit 100\r", &found), "limit");
  EXPECT_EQ(name_of("constant k{3}\r", &found), "k");
  EXPECT_EQ(name_of("constant flash t{1}\r", &found), "t");
  EXPECT_EQ(name_of("constant last\r", &found), "last");
  EXPECT_EQ(name_of("function blink(n)\r", &found), "blink");
  EXPECT_TRUE(found);
  EXPECT_EQ(name_of("  function  go\r", &found), " go");
  EXPECT_EQ(name_of("function\r", &found), "");
  EXPECT_TRUE(found);
  EXPECT_EQ(name_of("function", &found), "");  // ends right after the word
  EXPECT_TRUE(found);
  // "constant" wins over "function".
  EXPECT_EQ(name_of("function f constant c 1\r", &found), "c");
  name_of("print 1\r", &found);
  EXPECT_FALSE(found);
  // Nothing after "constant" to name.
  name_of("constant\r", &found);
  EXPECT_FALSE(found);
  // The name is cut to its buffer.
  EXPECT_EQ(name_of("function abcdefgh()\r", &found, 4), "abc");
}

TEST(ScriptWords, DirectivesMatchOnTheirFirstCharacters) {
  ScriptWords w;
  script_words("#option echo off\r", &w);
  EXPECT_STREQ(w.word, "#option");
  EXPECT_STREQ(w.first, "echo");
  EXPECT_STREQ(w.second, "off");
  script_words("#send\r", &w);
  EXPECT_STREQ(w.first, "");

  EXPECT_EQ(script_directive("#option"), DIRECTIVE_OPTION);
  EXPECT_EQ(script_directive("#options"), DIRECTIVE_OPTION);
  EXPECT_EQ(script_directive("#includes"), DIRECTIVE_INCLUDE);
  EXPECT_EQ(script_directive("#comment"), DIRECTIVE_COMMENT);
  EXPECT_EQ(script_directive("#saveto"), DIRECTIVE_SAVETO);
  EXPECT_EQ(script_directive("#openlog"), DIRECTIVE_OPENLOG);
  EXPECT_EQ(script_directive("#closelog"), DIRECTIVE_CLOSELOG);
  EXPECT_EQ(script_directive("#sendx"), DIRECTIVE_SEND);
  EXPECT_EQ(script_directive("#send"), DIRECTIVE_SEND);
  EXPECT_EQ(script_directive("#foo"), DIRECTIVE_NONE);
  EXPECT_EQ(script_directive("#opt"), DIRECTIVE_NONE);
  EXPECT_EQ(script_directive(""), DIRECTIVE_NONE);

  EXPECT_EQ(script_option_word("echoes"), OPTION_ECHO);
  EXPECT_EQ(script_option_word("first"), OPTION_FIRST);
  EXPECT_EQ(script_option_word("only"), OPTION_ONLY);
  EXPECT_EQ(script_option_word("noload"), OPTION_NOLOAD);
  EXPECT_EQ(script_option_word("fir"), OPTION_OTHER);
  EXPECT_TRUE(script_option_off("offline"));
  EXPECT_FALSE(script_option_off("of"));
  EXPECT_FALSE(script_option_off(""));

  char quoted[] = "\"a \"b\"\"";
  strip_quotes(quoted);
  EXPECT_STREQ(quoted, "a b");
}

TEST(ReportPercent, PrintsThePercentageAndTheText) {
  std::string out;
  console_capture(&out);
  EXPECT_EQ(report_percent(200, 50, ""), 0);
  EXPECT_EQ(out, "\n<25> ");
  out.clear();
  report_percent(200, 50, "line\r");
  EXPECT_EQ(out, "\n<25> line\r\n");
  out.clear();
  report_percent(0, 0, "");  // an empty script
  EXPECT_EQ(out, "\n<100> ");
  out.clear();
  report_percent(INT_MAX - 2, INT_MAX - 2, "");  // done * 100 would pass 32 bits
  EXPECT_EQ(out, "\n<100> ");
  out.clear();
  report_percent(3, 1, nullptr);
  EXPECT_EQ(out, "\n<33> ");
  console_capture(nullptr);
}

// ---- tload against a scripted target ----

struct Call {
  int total;
  int done;
  std::string text;
  bool operator==(const Call& o) const {
    return total == o.total && done == o.done && text == o.text;
  }
};
std::ostream& operator<<(std::ostream& os, const Call& c) {
  return os << "(" << c.total << ", " << c.done << ", \"" << c.text << "\")";
}

std::vector<Call> g_calls;
int g_stopAtCall = -1;  // the reporter returns 1 at this call (0-based)

int record(int total, int done, const char* text) {
  g_calls.push_back({total, done, text});
  return static_cast<int>(g_calls.size()) - 1 == g_stopAtCall ? 1 : 0;
}

std::string file_text(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

struct ScriptTest : testing::Test {
  FakePort fake;
  fs::path dir;
  DownloadJob job;
  std::string path;
  ScriptFailure why;
  std::vector<std::string> received;  // lines the target got, without CR
  std::string partial;
  double replyDelayMs = 0.5;
  // The target's answer to a line (bytes, maybe none).
  std::function<std::string(const std::string&)> answer = [](const std::string&) {
    return std::string(1, '\x06');
  };

  void SetUp() override {
    ASSERT_EQ(fake.open(), 0);
    reset_script_options();
    g_calls.clear();
    g_stopAtCall = -1;
    dir = fs::temp_directory_path() /
          ("stoker-script-" +
           std::string(testing::UnitTest::GetInstance()->current_test_info()->name()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    job.port = &fake.port;
    fake.onWrite = [this](FakePort& f, const std::vector<uint8_t>& bytes) {
      for (uint8_t b : bytes) {
        if (b != '\r') {
          partial += static_cast<char>(b);
          continue;
        }
        received.push_back(partial);
        f.send(answer(partial), replyDelayMs);
        partial.clear();
      }
    };
  }
  void TearDown() override {
    stop_clear();
    reset_script_options();
    std::error_code ignored;
    fs::remove_all(dir, ignored);
  }

  std::string put(const std::string& name, const std::string& text) {
    const fs::path p = dir / name;
    std::ofstream(p, std::ios::binary) << text;
    return p.string();
  }
  int run(const std::string& text) {
    path = put("main.txt", text);
    job.path = path.c_str();
    return tload(&job, record, &why);
  }
  // Each write the host made, as text.
  std::vector<std::string> writes() const {
    std::vector<std::string> out;
    for (const FakeEvent& e : fake.writes()) out.emplace_back(e.bytes.begin(), e.bytes.end());
    return out;
  }
};

using Lines = std::vector<std::string>;

TEST_F(ScriptTest, SendsEachLineAfterTheReplyToTheOneBefore) {
  scriptOptions = SCRIPT_ECHO;
  replyDelayMs = 40;
  EXPECT_EQ(run("a\r\nb\n"), 0);
  EXPECT_EQ(writes(), (Lines{"\r", "a\r", "b\r"}));
  EXPECT_EQ(g_calls, (std::vector<Call>{{5, 0, ""}, {5, 3, "a\r"}, {5, 5, "b\r"}}));
  const std::vector<FakeEvent> w = fake.writes();
  for (size_t i = 1; i < w.size(); ++i) EXPECT_GE(w[i].timeUs - w[i - 1].timeUs, 40000);
}

TEST_F(ScriptTest, EchoOffReportsEmptyTextsAndBlankLinesAreSent) {
  EXPECT_EQ(run("x\r\n\r\ny\tz\x90\n"), 0);
  EXPECT_EQ(writes(), (Lines{"\r", "x\r", "\r", "y z \r"}));
  ASSERT_EQ(g_calls.size(), 4u);
  for (const Call& c : g_calls) EXPECT_EQ(c.text, "");
}

TEST_F(ScriptTest, LongLinesAreSentWhole) {
  std::string long300(300, 'L');
  long300[257] = 'K';  // the 258th character
  const std::string exact(257, 'E');
  EXPECT_EQ(run(long300 + "\n" + exact + "\n"), 0);
  const Lines w = writes();
  ASSERT_EQ(w.size(), 4u);
  EXPECT_EQ(w[1], long300.substr(0, 257) + "\r");
  EXPECT_EQ(w[2], long300.substr(257) + "\r");
  EXPECT_EQ(w[2].size(), 44u);
  EXPECT_EQ(w[3].size(), 258u);
}

TEST_F(ScriptTest, RefusalSilenceAndStrayBytes) {
  answer = [](const std::string& line) {
    if (line == "bad") return std::string(1, '\x05');
    if (line == "mute") return std::string();
    return std::string("xyz\x15\x06");  // other bytes first: ignored
  };
  EXPECT_EQ(run("one\ntwo\nbad\nnever\n"), SCRIPT_REFUSED);
  EXPECT_EQ(received, (Lines{"", "one", "two", "bad"}));
  EXPECT_EQ(why.lineNumber, 3);
  EXPECT_EQ(why.line, "bad");
  EXPECT_EQ(why.source, path);

  received.clear();
  const int64_t t = fake.now_us();
  EXPECT_EQ(run("one\nmute\nnever\n"), SCRIPT_NO_ANSWER);
  EXPECT_EQ(received, (Lines{"", "one", "mute"}));
  EXPECT_EQ(why.lineNumber, 2);
  EXPECT_EQ(why.line, "mute");
  // One get_reply's silent window, not more.
  EXPECT_LT(fake.now_us() - t, 1000000);
}

TEST_F(ScriptTest, ATargetThatEchoesStillEndsEachWaitWithItsReply) {
  answer = [](const std::string& line) { return line + "\r\x06"; };
  EXPECT_EQ(run("abc\ndef\n"), 0);
  EXPECT_EQ(received, (Lines{"", "abc", "def"}));
  EXPECT_EQ(fake.pending(), 0u);
}

TEST_F(ScriptTest, TheInitialCrAnswerIsNotExamined) {
  answer = [](const std::string& line) {
    return line.empty() ? std::string(1, '\x05') : std::string(1, '\x06');
  };
  EXPECT_EQ(run("a\n"), 0);
  answer = [](const std::string& line) { return line.empty() ? "" : std::string(1, '\x06'); };
  EXPECT_EQ(run("a\n"), 0);
}

TEST_F(ScriptTest, RequestsAndDirectives) {
  answer = [](const std::string& line) {
    return std::string(1, line.rfind("#2 ", 0) == 0 || line.rfind("#3 ", 0) == 0 ? '\x05' : '\x06');
  };
  EXPECT_EQ(run("#option noload off\n#option noload on\n#closelog\n#send print\n"
                "#openlog \"log.txt\"\n#foo bar\n#sendfoo x\nend\n"),
            0);
  EXPECT_EQ(writes(), (Lines{"\r", "#6 on\r", "#6 off\r", "#4  \r", "#2 print\r", "#3 log.txt\r",
                             "#foo bar\r", "#2 x\r", "end\r"}));
  std::vector<std::string> messages;
  for (const Call& c : g_calls)
    if (!c.text.empty()) messages.push_back(c.text);
  EXPECT_EQ(messages, (Lines{"**Error at send command**", "print",
                             "**unable to open requested file at logto**",
                             "**Error at send command**", "x"}));
}

TEST_F(ScriptTest, OptionsSetAndClearTheirBitsAndOutliveTheCall) {
  EXPECT_EQ(run("#option echo\n#options first on\n#option only 1\n#option other\n"), 0);
  EXPECT_EQ(scriptOptions, SCRIPT_ECHO | SCRIPT_FIRST | SCRIPT_ONLY);
  EXPECT_EQ(writes(), (Lines{"\r"}));  // nothing but the initial CR
  EXPECT_EQ(run("#option first off\n#option only offline\n"), 0);
  EXPECT_EQ(scriptOptions, SCRIPT_ECHO);
  EXPECT_EQ(run("a\n#option echo off\nb\n"), 0);
  EXPECT_EQ(g_calls.back().text, "");
  EXPECT_EQ(g_calls[g_calls.size() - 2].text, "a\r");
  EXPECT_EQ(scriptOptions, 0u);
}

TEST_F(ScriptTest, CommentBlocksAreNotSent) {
  EXPECT_EQ(run("a\n#comment\nb #send x\n c #comment d\ne\n#comment\nf\n"), 0);
  EXPECT_EQ(writes(), (Lines{"\r", "a\r", "e\r"}));
}

TEST_F(ScriptTest, IncludeSendsTheScriptThenRequestFive) {
  const std::string sub = put("sub.txt", "s1\ns2\n");
  EXPECT_EQ(run("a\nb\nc\n#include \"" + sub + "\"\nd\n"), 0);
  EXPECT_EQ(writes(), (Lines{"\r", "a\r", "b\r", "c\r", "\r", "s1\r", "s2\r", "#5 4\r", "d\r"}));
  // The reporter sees the included script's own counts.
  EXPECT_EQ(g_calls[4], (Call{6, 0, ""}));
}

TEST_F(ScriptTest, IncludeFailures) {
  // The end of the included script refused: 8.
  answer = [](const std::string& line) {
    return std::string(1, line.rfind("#5", 0) == 0 ? '\x05' : '\x06');
  };
  const std::string sub = put("sub.txt", "s1\n");
  EXPECT_EQ(run("#include " + sub + "\nnever\n"), SCRIPT_INCLUDE_NOT_ACKED);
  EXPECT_EQ(why.lineNumber, 1);
  EXPECT_EQ(why.source, path);

  // An included script that fails: its code, its own failure.
  answer = [](const std::string& line) { return std::string(1, line == "s2" ? '\x05' : '\x06'); };
  put("sub.txt", "s1\ns2\n");
  EXPECT_EQ(run("#include " + sub + "\nnever\n"), SCRIPT_REFUSED);
  EXPECT_EQ(why.source, sub);
  EXPECT_EQ(why.lineNumber, 2);
  EXPECT_EQ(run("#include " + (dir / "missing.txt").string() + "\n"), SCRIPT_FILE_UNREADABLE);
  EXPECT_EQ(why.source, (dir / "missing.txt").string());
}

TEST_F(ScriptTest, AnIncludeThatCannotBeOpenedNamesTheIncludedScript) {
  const std::string folder = (dir / "folder").string();
  fs::create_directories(folder);
  const struct {
    std::string include;  // the "#include" line's name
    std::string source;   // the script the failure names
    int lineNumber;       // of the including script, for a name that is no path
  } cases[] = {
      {"missing.txt", "missing.txt", 0},
      {folder, folder, 0},
      {"\"\"", "", 2},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(run("a\n#include " + c.include + "\nnever\n"), SCRIPT_FILE_UNREADABLE) << c.include;
    EXPECT_EQ(why.lineNumber, c.lineNumber) << c.include;
    const std::string text = kit_script_failure_text(SCRIPT_FILE_UNREADABLE, why, path);
    if (c.lineNumber == 0) {
      EXPECT_EQ(why.source, c.source);
      EXPECT_EQ(text.rfind("cannot open script " + c.source + ": ", 0), 0u) << text;
    } else {
      EXPECT_NE(text.find("line 2 of " + path), std::string::npos) << text;
      EXPECT_NE(text.find("names no script"), std::string::npos) << text;
    }
  }
}

TEST_F(ScriptTest, RelativeIncludeIsFoundBesideTheIncludingScript) {
  put("sibling-7f3a.txt", "s\n");
  ASSERT_FALSE(fs::exists("sibling-7f3a.txt"));
  EXPECT_EQ(run("#include sibling-7f3a.txt\n"), 0);
  EXPECT_EQ(writes(), (Lines{"\r", "\r", "s\r", "#5 1\r"}));
}

TEST_F(ScriptTest, SelfIncludeStopsAtTheDepthBound) {
  path = (dir / "self.txt").string();
  put("self.txt", "x\n#include " + path + "\n");
  job.path = path.c_str();
  EXPECT_EQ(tload(&job, record, &why), SCRIPT_TOO_DEEP);
  EXPECT_EQ(why.lineNumber, 2);
  int initialCrs = 0;
  for (const std::string& w : writes()) initialCrs += w == "\r";
  EXPECT_EQ(initialCrs, kScriptMaxDepth);
}

TEST_F(ScriptTest, SaveToHostWritesTheWholeScriptAsInTheFile) {
  const std::string copy = (dir / "copy.txt").string();
  // Tabs and UTF-8 letters in the lines already read and in those to come.
  const std::string text =
      "a\tb \xc3\xa9\n#saveto host \"" + copy + "\"\nc\td\xe2\x82\xac\n#saveto other x\n";
  EXPECT_EQ(run(text), 0);
  EXPECT_EQ(file_text(copy), text);
  EXPECT_FALSE(fs::exists("x"));
  // The target still gets them as spaces.
  EXPECT_EQ(writes(), (Lines{"\r", "a b   \r", "c d   \r"}));
  EXPECT_TRUE(why.notes.empty());
}

TEST_F(ScriptTest, SaveToThatCannotWriteIsReportedAndNotedAndTheScriptGoesOn) {
  fs::create_directories(dir / "folder");
  const struct {
    std::string name;
    std::string reason;  // part of the note
  } cases[] = {
      {(dir / "no" / "such" / "dir.txt").string(), "cannot create"},
      {(dir / "folder").string(), "cannot open"},
  };
  for (const auto& c : cases) {
    g_calls.clear();
    EXPECT_EQ(run("#saveto host " + c.name + "\nz\n"), 0) << c.name;
    ASSERT_EQ(g_calls.size(), 4u) << c.name;
    EXPECT_EQ(g_calls[1].text, "cant open file ");
    EXPECT_EQ(g_calls[2].text, c.name);
    EXPECT_EQ(writes().back(), "z\r");
    ASSERT_EQ(why.notes.size(), 1u) << c.name;
    EXPECT_NE(why.notes[0].find(c.reason), std::string::npos) << why.notes[0];
    EXPECT_NE(why.notes[0].find(c.name), std::string::npos) << why.notes[0];
  }
  EXPECT_TRUE(fs::is_directory(dir / "folder"));
  // The note outlives a failure later in the script.
  answer = [](const std::string& line) { return std::string(1, line == "no" ? '\x05' : '\x06'); };
  EXPECT_EQ(run("#saveto host " + cases[0].name + "\nno\n"), SCRIPT_REFUSED);
  EXPECT_EQ(why.notes.size(), 1u);
  EXPECT_EQ(why.lineNumber, 2);
}

TEST_F(ScriptTest, OnlyLeavesOutWhatTheTargetHas) {
  answer = [](const std::string& line) {
    const bool has = line == "#1 blink" || line == "#1 t" || line == "#1 limit" ||
                     line == "#1 tab" || line == "#1 f";
    return std::string(1, line.rfind("#1 ", 0) == 0 && !has ? '\x05' : '\x06');
  };
  EXPECT_EQ(run("#option only\nfunction blink()\n  x\nendf\nfunction other()\nendf\n"
                "constant flash tab {1,\n2}\nconstant limit 100\nconstant more 5\nlast\n"),
            0);
  EXPECT_EQ(writes(), (Lines{"\r", "#1 blink\r", "\r", "#1 other\r", "function other()\r", "endf\r",
                             "#1 tab\r", "\r", "#1 limit\r", "\r", "#1 more\r", "constant more 5\r",
                             "last\r"}));
  EXPECT_EQ(g_calls.back().done, g_calls.back().total);

  // A definition that ends on its own line is that line alone: what
  // follows it is sent (blink, which the target lacks, among it).
  const struct {
    const char* definition;
    const char* sentName;
  } oneLine[] = {{"constant flash t {1,2}", "#1 t\r"}, {"function f() x endf", "#1 f\r"}};
  for (const auto& c : oneLine) {
    fake.events.clear();
    answer = [](const std::string& line) {
      const bool has = line == "#1 t" || line == "#1 f";
      return std::string(1, line.rfind("#1 ", 0) == 0 && !has ? '\x05' : '\x06');
    };
    EXPECT_EQ(run(std::string("#option only on\n") + c.definition +
                  "\nfunction blink()\n  x\nendf\nmain()\n"),
              0);
    EXPECT_EQ(writes(), (Lines{"\r", c.sentName, "\r", "#1 blink\r", "function blink()\r", "  x\r",
                               "endf\r", "main()\r"}))
        << c.definition;
  }
}

TEST_F(ScriptTest, FirstEndsTheScriptWhenTheTargetHasItsFirstDefinition) {
  answer = [](const std::string& line) {
    return std::string(1, line.rfind("#1 ", 0) == 0 && line != "#1 f1" ? '\x05' : '\x06');
  };
  const std::string text = "#option first\na\nfunction f1()\nb\nendf\nfunction f2()\n";
  EXPECT_EQ(run(text), 0);
  EXPECT_EQ(writes(), (Lines{"\r", "a\r", "#1 f1\r", "\r"}));
  // The reporter is told of the whole script done, never of more.
  const int total = static_cast<int>(text.size());
  EXPECT_EQ(g_calls.back(), (Call{total, total, ""}));

  // Only the first definition is asked about.
  answer = [](const std::string& line) {
    return std::string(1, line.rfind("#1 ", 0) == 0 ? '\x05' : '\x06');
  };
  EXPECT_EQ(run("function f1()\nendf\nfunction f2()\n"), 0);
  EXPECT_EQ(writes(), (Lines{"\r", "a\r", "#1 f1\r", "\r", "\r", "#1 f1\r", "function f1()\r",
                             "endf\r", "function f2()\r"}));
}

TEST_F(ScriptTest, SourcesAndTheFirstReport) {
  // An empty file: the initial CR only.
  EXPECT_EQ(run(""), 0);
  EXPECT_EQ(writes(), (Lines{"\r"}));
  EXPECT_EQ(g_calls, (std::vector<Call>{{0, 0, ""}}));
  // A last line without a line end: done stops at the whole.
  EXPECT_EQ(run("ab"), 0);
  EXPECT_EQ(g_calls.back(), (Call{2, 2, ""}));
  // The scheme in any case is a URL (nothing listens on port 1).
  for (const char* url : {"HTTP://127.0.0.1:1/x", "Https://127.0.0.1:1/x"}) {
    job.path = url;
    EXPECT_EQ(tload(&job, record, &why), SCRIPT_URL_FAILED) << url;
  }
  const std::string missing = (dir / "missing").string();
  job.path = missing.c_str();
  EXPECT_EQ(tload(&job, record, &why), SCRIPT_FILE_UNREADABLE);
  EXPECT_EQ(why.source, missing);
  EXPECT_FALSE(why.reason.empty());
  const std::string folder = dir.string();
  job.path = folder.c_str();
  EXPECT_EQ(tload(&job, record, &why), SCRIPT_FILE_UNREADABLE);
  // Nothing listens on port 1: the URL can't be opened.
  job.path = "http://127.0.0.1:1/script.txt";
  EXPECT_EQ(tload(&job, record, &why), SCRIPT_URL_FAILED);
  EXPECT_FALSE(why.reason.empty());
  job.path = "https://127.0.0.1:1/script.txt";
  EXPECT_EQ(tload(&job, record, &why), SCRIPT_URL_FAILED);
  EXPECT_EQ(writes(), (Lines{"\r", "\r", "ab\r"}));
}

TEST_F(ScriptTest, RepliesToWhatWentBeforeAreNotCreditedToTheScriptsLines) {
  // The target answers every line: the send text's, the initial CR, and the
  // script's, refusing "bad". Its replies come late, or are more than one.
  answer = [](const std::string& line) { return std::string(1, line == "bad" ? '\x05' : '\x06'); };
  const struct {
    const char* send;
    double replyDelayMs;
  } cases[] = {{"run\\r", 0.5}, {"run\\rgo\\r", 0.5}, {"run\\r", 150}, {nullptr, 0.5}};
  for (const auto& c : cases) {
    job.send = c.send;
    replyDelayMs = c.replyDelayMs;
    EXPECT_EQ(run("a\nbad\nc\n"), SCRIPT_REFUSED) << (c.send ? c.send : "") << c.replyDelayMs;
    EXPECT_EQ(why.lineNumber, 2);
    EXPECT_EQ(why.line, "bad");
  }
  // Stray bytes after the replies (an echo, a prompt) are dropped as well.
  job.send = "run\\r";
  replyDelayMs = 0.5;
  answer = [](const std::string& line) {
    if (line == "bad") return std::string(1, '\x05');
    return line == "run" ? std::string("\x06ok\x06> ") : std::string(1, '\x06');
  };
  EXPECT_EQ(run("a\nbad\n"), SCRIPT_REFUSED);
  EXPECT_EQ(why.lineNumber, 2);
}

TEST_F(ScriptTest, SendStringGoesFirstWithItsEscapes) {
  job.send = "hi\\0x21";
  EXPECT_EQ(run("a\n"), 0);
  EXPECT_EQ(writes(), (Lines{"h", "i", "!", "\r", "a\r"}));
  EXPECT_EQ(received.front(), "hi!");
}

TEST_F(ScriptTest, StoppingByReporterOrRequest) {
  g_stopAtCall = 0;  // the first report, before anything is sent
  EXPECT_EQ(run("a\nb\n"), SCRIPT_STOPPED);
  EXPECT_TRUE(writes().empty());
  g_calls.clear();
  g_stopAtCall = 1;  // after the first line
  EXPECT_EQ(run("a\nb\n"), SCRIPT_STOPPED);
  EXPECT_EQ(writes(), (Lines{"\r", "a\r"}));

  // Ctrl-C while a line waits for its reply: nothing more is sent.
  g_stopAtCall = -1;
  answer = [](const std::string& line) {
    if (line == "b") stop_request();
    return std::string(1, '\x06');
  };
  EXPECT_EQ(run("a\nb\nc\n"), SCRIPT_STOPPED);
  EXPECT_EQ(writes().back(), "b\r");
}

TEST_F(ScriptTest, ClosedPortAndRequestBounds) {
  DownloadJob closed;
  SerialPort port;
  closed.port = &port;
  closed.path = "x";
  EXPECT_EQ(tload(&closed, record), SCRIPT_PORT_CLOSED);
  closed.port = nullptr;
  EXPECT_EQ(tload(&closed, record), SCRIPT_PORT_CLOSED);

  // The longest argument fits 260 bytes with the CR and NUL; one more
  // character is not sent.
  EXPECT_EQ(target_request(&job, 1, std::string(255, 'n').c_str()), 6);
  EXPECT_EQ(writes().back().size(), 259u);
  EXPECT_EQ(target_request(&job, 1, std::string(256, 'n').c_str()), 5);
  EXPECT_EQ(writes().size(), 1u);
  EXPECT_EQ(script_put(&job, 'q'), 0);
  EXPECT_EQ(writes().back(), "q");
}

TEST_F(ScriptTest, FailureTextNamesTheLineCutToTheScreen) {
  ScriptFailure f;
  f.source = "s.txt";
  f.lineNumber = 12;
  f.line = std::string(200, 'w');
  const std::string text = kit_script_failure_text(SCRIPT_REFUSED, f, "s.txt");
  EXPECT_NE(text.find("line 12 of s.txt"), std::string::npos) << text;
  EXPECT_NE(text.find("www..."), std::string::npos) << text;
  EXPECT_LT(text.size() + std::strlen("stoker-kit script: "), kScreenColumns);
  f.reason = "404";
  EXPECT_EQ(kit_script_failure_text(SCRIPT_URL_FAILED, f, "u"), "cannot fetch s.txt: 404");
}

}  // namespace
