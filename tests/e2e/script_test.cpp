// stoker-kit script and send-text against stoker-target --mode script (and
// --mode sink): every directive as the target receives it, the result codes
// and their messages, scripts fetched from a local HTTP server, and Ctrl-C.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e/support.h"

namespace {

constexpr int kRunLimitMs = 60000;

std::vector<uint8_t> bytes(const std::string& text) {
  return std::vector<uint8_t>(text.begin(), text.end());
}

std::string text_of(const std::vector<uint8_t>& data) {
  return std::string(data.begin(), data.end());
}

struct ScriptE2E : testing::Test {
  SimTarget target;
  std::string dir = make_temp_dir();

  // Starts a script target that ends its session after 300 ms of quiet.
  void start(std::vector<std::string> options = {}) {
    options.insert(options.begin(), {"--mode", "script", "--idle-ms", "300"});
    ASSERT_TRUE(target.start(options));
  }
  std::string file(const std::string& name, const std::string& text) {
    return put_file(dir, name, bytes(text));
  }
  ProcessResult script(const std::string& pathOrUrl, const std::vector<std::string>& extra = {}) {
    std::vector<std::string> args = {"script", target.host_port(), "115200", pathOrUrl};
    args.insert(args.end(), extra.begin(), extra.end());
    return run_host("stoker-kit", args, kRunLimitMs);
  }
  // What the target received, once its session is over.
  std::string received() {
    const std::string s = target.summary(10000);
    EXPECT_EQ(SimTarget::field(s, "status"), "ok") << s;
    return text_of(target.image());
  }
};

TEST_F(ScriptE2E, LinesAndReportsOfASmallScript) {
  start();
  // 13 bytes: a blank line among them, a tab and a byte from 0x80 up.
  const ProcessResult r = script(file("s.txt", "a\r\nb\r\n\r\nc\td\x81\n"));
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(r.out, "\n<0> \n<23> \n<46> \n<61> \n<100> \ntload 0");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(received(), "\ra\rb\r\rc d \r");
}

TEST_F(ScriptE2E, EveryDirective) {
  start({"--has", "blink,t", "--refuse-line", "#2 beep"});
  const std::string sub = file("sub.txt", "sub 1\nsub 2\n");
  const std::string copyPath = dir + "/copy.txt";
  const std::string text =
      "#option noload off\n"
      "#option noload on\n"
      "#send print\n"
      "#send beep\n"
      "#openlog \"log.txt\"\n"
      "#closelog\n"
      "#comment\n"
      "not sent\n"
      "#comment\n"
      "#saveto host \"" +
      host_path(copyPath) +
      "\"\n"
      "#include " +
      sub +
      "\n"
      "#foo bar\n"
      "#option only\n"
      "function blink()\n"
      "  led 1\n"
      "endf\n"
      "function other()\n"
      "endf\n"
      "constant flash t {1,2}\n"
      "}\n"
      "#option only off\n"
      "#option echo\n"
      "last line\n";
  const ProcessResult r = script(file("main.txt", text));
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(received(),
            "\r#6 on\r#6 off\r#2 print\r#2 beep\r#3 log.txt\r#4  \r"
            "\rsub 1\rsub 2\r#5 11\r"
            "#foo bar\r#1 blink\r\r#1 other\rfunction other()\rendf\r#1 t\r\r}\r"
            "last line\r");
  // The refused "#send beep" is reported and the script goes on.
  EXPECT_NE(r.out.find("**Error at send command**\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("beep\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("last line"), std::string::npos) << r.out;  // echo on
  EXPECT_EQ(r.out.substr(r.out.size() - 8), "\ntload 0");
  EXPECT_EQ(text_of(read_file(copyPath)), text);
}

TEST_F(ScriptE2E, FirstEndsTheScriptWhenTheTargetHasIt) {
  start({"--has", "f1"});
  const ProcessResult r = script(file("s.txt", "a\n#option first\nfunction f1()\nendf\nb\n"));
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(received(), "\ra\r#1 f1\r\r");
  // The last report: the whole script, never more.
  EXPECT_EQ(r.out, "\n<0> \n<5> \n<100> \ntload 0");
}

TEST_F(ScriptE2E, OneLineWithoutLineEndShowsAHundredPercent) {
  start();
  const ProcessResult r = script(file("s.txt", "a"));
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(r.out, "\n<0> \n<100> \ntload 0");
}

TEST_F(ScriptE2E, TheRefusalOfLineTwoIsSeenAfterASendTextTheTargetAnswers) {
  start({"--refuse-line", "bad"});
  const ProcessResult r = script(file("s.txt", "a\nbad\n"), {"--send", "run\\r"});
  EXPECT_EQ(r.status, 3) << r.out << r.err;
  EXPECT_NE(r.err.find("the target refused line 2 of "), std::string::npos) << r.err;
  EXPECT_EQ(received(), "run\r\ra\rbad\r");
}

TEST_F(ScriptE2E, ASaveToThatCannotWriteSaysWhyOnStandardError) {
  start();
  const std::string folder = make_temp_dir();
  const ProcessResult r = script(file("s.txt", "#saveto host " + host_path(folder) + "\nz\n"));
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("cant open file \n"), std::string::npos) << r.out;
  EXPECT_EQ(r.err.rfind("\nstoker-kit script: the copy of the script was not saved: ", 0), 0u)
      << r.err;
  EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 2) << r.err;
  EXPECT_EQ(received(), "\rz\r");
}

TEST_F(ScriptE2E, SendStringAndEchoingTarget) {
  start({"--echo"});
  const ProcessResult r = script(file("s.txt", "x\ny\n"), {"--send", "go\\0x21"});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(received(), "go!\rx\ry\r");
}

TEST_F(ScriptE2E, RefusedLineEndsWithThree) {
  start({"--refuse-line", "bad"});
  const ProcessResult r = script(file("s.txt", "ok\nthis is bad\nnever\n"));
  EXPECT_EQ(r.status, 3);
  EXPECT_EQ(r.out, "\n<0> \n<14> \ntload 3");
  EXPECT_NE(r.err.find("the target refused line 2 of "), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("\"this is bad\""), std::string::npos) << r.err;
  EXPECT_EQ(received(), "\rok\rthis is bad\r");
}

TEST_F(ScriptE2E, SilentLineEndsWithTwo) {
  start({"--silent-line", "mute"});
  const std::string longLine = "mute " + std::string(150, 'x');
  const ProcessResult r = script(file("s.txt", "ok\n" + longLine + "\nnever\n"));
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("no answer from the target to line 2 of "), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("\"mute xxx"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("...\""), std::string::npos) << r.err;  // cut to the screen
  EXPECT_EQ(r.out.substr(r.out.size() - 8), "\ntload 2");
}

TEST_F(ScriptE2E, SelfIncludeEndsWithNine) {
  start();
  const std::string self = file("self.txt", "#include " + host_path(dir + "/self.txt") + "\n");
  const ProcessResult r = script(self);
  EXPECT_EQ(r.status, 9) << r.out << r.err;
  EXPECT_NE(r.err.find("nested more than 16 deep"), std::string::npos) << r.err;
  EXPECT_EQ(received(), std::string(16, '\r'));
}

TEST_F(ScriptE2E, MissingScriptAndMissingPort) {
  start();
  const std::string missing = host_path(dir + "/missing.txt");
  ProcessResult r = script(missing);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "\ntload 1");
  EXPECT_NE(r.err.find("cannot open script " + missing), std::string::npos) << r.err;

  r = run_host("stoker-kit", {"script", missing_port(dir), "115200", missing}, kRunLimitMs);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_NE(r.err.find("stoker-kit script: cannot open"), std::string::npos) << r.err;
}

TEST_F(ScriptE2E, SendTextSendsTheEscapedText) {
  ASSERT_TRUE(target.start({"--mode", "sink", "--idle-ms", "300"}));
  const ProcessResult r = run_host(
      "stoker-kit", {"send-text", target.host_port(), "115200", "AB\\r\\n\\0x41\\#x\n\\w20z"},
      kRunLimitMs);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(target.summary(10000).empty(), false);
  EXPECT_EQ(text_of(target.image()), "AB\r\nAz");
  EXPECT_EQ(r.out, "AB\r\nA(w)z\n");
}

// ---- over HTTP ----

// A free TCP port on 127.0.0.1 (free when asked; the server takes it next).
int free_port() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  int port = 0;
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
    port = ntohs(address.sin_port);
  close(fd);
  return port;
}

bool accepts_connections(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(port));
  const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  close(fd);
  return ok;
}

// A server that answers every request with a document of 1000 bytes, sent
// at 2 bytes a second.
constexpr const char* kSlowServer = R"(
import socket, sys, time
server = socket.socket()
server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
server.bind(('127.0.0.1', int(sys.argv[1])))
server.listen(4)
while True:
    client, _ = server.accept()
    try:
        client.recv(4096)
        client.sendall(b'HTTP/1.0 200 OK\r\nContent-Length: 1000\r\n\r\n')
        for i in range(500):
            client.sendall(b'a\n')
            time.sleep(1)
    except OSError:
        pass
    client.close()
)";

// python3 -m http.server serving a directory on 127.0.0.1 (or the slow
// server above), stopped (by its pid) when this goes away.
class HttpServer {
 public:
  bool start(const std::string& root) {
    return launch({"-m", "http.server", "--bind", "127.0.0.1", "--directory", root});
  }
  bool start_slow() { return launch({"-c", kSlowServer}); }
  std::string url(const std::string& name) const {
    return "http://127.0.0.1:" + std::to_string(port_) + "/" + name;
  }

 private:
  // Runs python3 with the arguments and the port number last.
  bool launch(std::vector<std::string> args) {
    port_ = free_port();
    if (port_ == 0) return false;
    args.insert(args.begin(), "python3");
    args.push_back(std::to_string(port_));
    pid_ = fork();
    if (pid_ == 0) {
      const int devnull = open("/dev/null", O_RDWR);
      dup2(devnull, 0);
      dup2(devnull, 1);
      dup2(devnull, 2);
      std::vector<char*> argv;
      for (std::string& arg : args) argv.push_back(arg.data());
      argv.push_back(nullptr);
      execv("/usr/bin/python3", argv.data());
      _exit(127);
    }
    for (int i = 0; i < 200; ++i) {
      if (accepts_connections(port_)) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
  }

 public:
  ~HttpServer() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
    }
  }

 private:
  pid_t pid_ = -1;
  int port_ = 0;
};

struct ScriptHttpE2E : ScriptE2E {
  HttpServer server;
  std::string root = make_temp_dir();
  void SetUp() override { ASSERT_TRUE(server.start(root)) << "python3 -m http.server"; }
  void serve(const std::string& name, const std::string& text) {
    write_file(root + "/" + name, bytes(text));
  }
};

TEST_F(ScriptHttpE2E, FetchesAndSendsTheScript) {
  start();
  // A NUL inside the document ends a line, as in a file.
  serve("s.txt", std::string("one\r\ntwo\0three\n", 15));
  const ProcessResult r = script(server.url("s.txt"));
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  // No first report for a URL: the first one follows the first line.
  EXPECT_EQ(r.out, "\n<33> \n<60> \n<100> \ntload 0");
  EXPECT_EQ(received(), "\rone\rtwo\rthree\r");
}

TEST_F(ScriptHttpE2E, IncludesAUrlFromAFile) {
  // The board waits through the include's fetch, slow on a loaded machine.
  start({"--idle-ms", "5000"});
  serve("sub.txt", "sub\n");
  const ProcessResult r =
      script(file("main.txt", "a\n#include " + server.url("sub.txt") + "\nb\n"));
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(received(), "\ra\r\rsub\r#5 2\rb\r");
}

TEST_F(ScriptHttpE2E, DocumentsBeyondTheBoundAreRefusedWhole) {
  // One session for both runs, however long the first one's lines take.
  start({"--idle-ms", "0"});
  // 4 MiB of lines is held and sent...
  std::string big;
  while (big.size() + 8 <= (4u << 20)) big += "#option\n";  // directives: nothing goes out
  big.resize(4u << 20, '\n');
  serve("big.txt", big);
  ProcessResult r = script(server.url("big.txt"));
  EXPECT_EQ(r.status, 0) << r.err;
  // ...one byte more is not cut short: 6.
  serve("bigger.txt", big + "x");
  r = script(server.url("bigger.txt"));
  EXPECT_EQ(r.status, 6);
  EXPECT_NE(r.err.find("larger than 4194304 bytes"), std::string::npos) << r.err;
  target.stop();
  // The first run's initial CR, nothing of the second.
  EXPECT_EQ(text_of(target.image()), "\r");
}

TEST_F(ScriptHttpE2E, UrlsThatCannotBeOpenedEndWithSix) {
  start();
  ProcessResult r = script(server.url("missing.txt"));
  EXPECT_EQ(r.status, 6);
  EXPECT_EQ(r.out, "\ntload 6");
  EXPECT_NE(r.err.find("cannot fetch " + server.url("missing.txt")), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("404"), std::string::npos) << r.err;

  const std::string closed = "http://127.0.0.1:" + std::to_string(free_port()) + "/s.txt";
  r = script(closed);
  EXPECT_EQ(r.status, 6);
  EXPECT_NE(r.err.find("cannot fetch " + closed + ": "), std::string::npos) << r.err;
}

TEST_F(ScriptE2E, ASlowServerEndsAtTheFetchDeadline) {
  HttpServer slow;
  ASSERT_TRUE(slow.start_slow()) << "python3";
  start();
  const auto started = std::chrono::steady_clock::now();
  const ProcessResult r = script(slow.url("s.txt"), {"--fetch-timeout", "2"});
  const auto took = std::chrono::steady_clock::now() - started;
  EXPECT_EQ(r.status, 6) << r.out << r.err;
  EXPECT_NE(r.err.find("no whole document within 2 s"), std::string::npos) << r.err;
  // The 2 s and the port's settle, with room for a loaded machine; far
  // below the 500 s the document would take.
  EXPECT_LT(took, std::chrono::seconds(20));
  EXPECT_EQ(r.out, "\ntload 6");
}

TEST_F(ScriptE2E, FetchTimeoutTakesWholeSecondsFromOne) {
  for (const char* bad : {"0", "-1", "x", "86401"}) {
    const ProcessResult r = run_host(
        "stoker-kit", {"script", "1", "115200", "s.txt", "--fetch-timeout", bad}, kRunLimitMs);
    EXPECT_NE(r.status, 0) << bad;
    EXPECT_NE(r.err.find("--fetch-timeout"), std::string::npos) << bad << ": " << r.err;
  }
}

// ---- Ctrl-C ----

TEST_F(ScriptE2E, CtrlCEndsTheScriptAsStopped) {
  if (wine_mode()) GTEST_SKIP() << "a POSIX signal to wine is not a console Ctrl-C event";
  // Paced at 1200 baud, the script would take about a minute.
  start({"--baud", "1200"});
  std::string text;
  for (int i = 0; i < 100; ++i) text += "line number " + std::to_string(i) + "\n";
  const std::string path = file("s.txt", text);
  // Ctrl-C once the script is under way: a few lines have reached the target.
  auto underway = [this] { return target.image().size() > 40; };
  const ProcessResult r = run_program_signalled(
      {STOKER_KIT_BIN, "script", target.port(), "115200", path}, kRunLimitMs, 0, SIGINT, underway);
  EXPECT_EQ(r.status, 4) << r.out << r.err;
  // It stops at the next wait, not after the minute the rest would take.
  EXPECT_GE(r.msAfterSignal, 0);
  EXPECT_LT(r.msAfterSignal, 5000);
  EXPECT_EQ(r.out.substr(r.out.size() - 8), "\ntload 4");
  EXPECT_NE(r.err.find("stopped (Ctrl-C)"), std::string::npos) << r.err;
  const std::string got = received();
  EXPECT_GT(got.size(), 10u);
  EXPECT_LT(got.size(), text.size() / 2);
}

}  // namespace
