// stoker-kit flash against the simulated boards: every generation, the
// progress lines and the summary, failures with their code, Ctrl-C, the wire
// traces of both sides, and ports named by their board on a fake device tree.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "tests/e2e/support.h"
#include "tests/support/text.h"

namespace fs = std::filesystem;

namespace {

constexpr int kRunLimitMs = 60000;

// The first of pieces that text does not hold after the ones before it; ""
// when it holds them all in this order.
std::string missing_in_order(const std::string& text, const std::vector<std::string>& pieces) {
  size_t at = 0;
  for (const std::string& piece : pieces) {
    at = text.find(piece, at);
    if (at == std::string::npos) return piece;
    at += piece.size();
  }
  return "";
}

std::string hex3(const std::vector<uint8_t>& data, size_t offset) {
  char text[16];
  std::snprintf(text, sizeof text, "%02x %02x %02x", data[offset], data[offset + 1],
                data[offset + 2]);
  return text;
}

struct FlashE2E : testing::Test {
  SimTarget target;
  std::string dir = make_temp_dir();

  std::string file(const std::string& name, const std::vector<uint8_t>& bytes) {
    return put_file(dir, name, bytes);
  }
  // flash of `image` with flash 512 KiB and no erase delay, to `port`.
  ProcessResult flash(const std::string& port, const std::string& image,
                      const std::vector<std::string>& extra = {},
                      const std::vector<std::string>& before = {}) {
    std::vector<std::string> args = before;
    for (const std::string& arg :
         {std::string("flash"), port, std::string("115200"), std::string("0x1d000000"),
          std::string("512"), std::string("0"), image})
      args.push_back(arg);
    args.insert(args.end(), extra.begin(), extra.end());
    return run_host("stoker-kit", args, kRunLimitMs);
  }
};

TEST_F(FlashE2E, GenerationThreeWithBothTraces) {
  const std::string simTrace = dir + "/board.trace";
  ASSERT_TRUE(target.start({"--gen", "3", "--trace", simTrace}));
  const std::vector<uint8_t> data = pattern_bytes(5000, 3);
  const std::string hostTrace = dir + "/host.trace";
  const ProcessResult r =
      flash(target.host_port(), file("image.bin", data), {"--trace", host_path(hostTrace)});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  // Not a terminal: a line per tenth reached, then the summary.
  EXPECT_EQ(missing_in_order(r.out, {"flash 40%  2000/5000 bytes\n", "flash 80%  4000/5000 bytes",
                                     "flash 100%  5000/5000 bytes"}),
            "")
      << r.out;
  const std::string summary = "\nWrote 5000 bytes to " + target.host_port() + " in ";
  const size_t at = r.out.rfind(summary);
  ASSERT_NE(at, std::string::npos) << r.out;
  EXPECT_TRUE(std::regex_match(r.out.substr(at + summary.size()),
                               std::regex("[0-9]+[.][0-9] s \\([0-9]+[.][0-9] kB/s\\), "
                                          "generation 3\n")))
      << r.out;
  EXPECT_EQ(SimTarget::field(target.summary(5000), "status"), "ok");
  EXPECT_EQ(target.image(), data);

  // The host's side: the reset, the entry byte, the generation answer, then
  // each block's first bytes and its ACK, in order.
  const std::string host = text_of(hostTrace);
  std::vector<std::string> expected = {" open  ",       " dtr   on\n",   " dtr   off\n",
                                       " tx    1  5c ", " rx    1  45 ", " tx    1  76 "};
  for (size_t offset = 0; offset <= data.size(); offset += 2000) {
    const std::string first = offset < data.size() ? hex3(data, offset) : "";
    expected.push_back(" tx    2000 " + first);
    expected.push_back(" rx    1  06 ");
  }
  expected.push_back(" close\n");
  EXPECT_EQ(missing_in_order(host, expected), "") << host.substr(0, 3000);
  if (!wine_mode()) {
    // A pseudo-terminal refuses the low-latency request; nothing else minds.
    EXPECT_EQ(
        missing_in_order(host, {" open  ", " note  low latency refused (error ", " dtr   on"}), "")
        << host.substr(0, 600);
  }
  // The board's side: the same bytes the other way round.
  EXPECT_EQ(target.stop(), 0);
  const std::string board = text_of(simTrace);
  EXPECT_EQ(missing_in_order(board, {" open  ", " rx    1  5c ", " tx    1  45 ", " rx    1  76 ",
                                     " tx    1  03 ", " close\n"}),
            "")
      << board.substr(0, 2000);
}

TEST_F(FlashE2E, GenerationOneThroughXmodem) {
  ASSERT_TRUE(target.start({"--gen", "1"}));
  const std::vector<uint8_t> data = pattern_bytes(3000, 5);
  const std::string trace = dir + "/host.trace";
  const ProcessResult r =
      flash(target.host_port(), file("image.bin", data), {"--trace", host_path(trace)});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("flash 100%  3000/3000 bytes"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("Wrote 3000 bytes to "), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("generation 1\n"), std::string::npos) << r.out;
  const std::string s = target.summary(5000);
  EXPECT_EQ(SimTarget::field(s, "status"), "ok") << s;
  std::vector<uint8_t> expected = data;
  expected.resize(3072, 0xFF);  // whole packets
  EXPECT_EQ(target.image(), expected);
  // The silent loader: the detection times out, the erase size goes out,
  // the receiver asks for CRC mode, packet 1 starts.
  EXPECT_EQ(missing_in_order(text_of(trace), {" tx    1  5c ", " wait  timed out after ",
                                              " tx    1  61 ", " rx    1  43 ", " tx    1  02 ",
                                              " tx    1  01 ", " tx    1  fe ", " close\n"}),
            "");
}

TEST_F(FlashE2E, FailureExplainedWithItsCode) {
  ASSERT_TRUE(target.start({"--gen", "2", "--stop-ack-after", "1"}));
  const ProcessResult r = flash(target.host_port(), file("image.bin", pattern_bytes(5000)));
  EXPECT_EQ(r.status, 9) << r.out << r.err;
  EXPECT_NE(
      r.err.find("stoker-kit flash: failed with code 9: no ACK from the target after a block"),
      std::string::npos)
      << r.err;
  EXPECT_EQ(r.out.find("Wrote "), std::string::npos) << r.out;
}

TEST_F(FlashE2E, TraceThatCannotBeCreatedIsRefusedBeforeThePortOpens) {
  const std::string board = dir + "/board.trace";
  ASSERT_TRUE(target.start({"--gen", "3", "--trace", board}));
  const ProcessResult r = flash(target.host_port(), file("image.bin", pattern_bytes(100)),
                                {"--trace", host_path(dir + "/no/such/dir/host.trace")});
  EXPECT_EQ(r.status, 1) << r.out << r.err;
  EXPECT_NE(r.err.find("stoker-kit flash: no trace: cannot create "), std::string::npos) << r.err;
  EXPECT_EQ(target.stop(), 0);
  EXPECT_EQ(text_of(board).find(" rx "), std::string::npos) << "the board heard nothing";
}

TEST_F(FlashE2E, CtrlCEndsWithFourAndReleasesThePort) {
  if (wine_mode()) GTEST_SKIP() << "SIGINT and TIOCGEXCL are POSIX";
  ASSERT_TRUE(target.start({"--gen", "3", "--erase-ms", "20000"}));
  std::vector<std::string> command = host_program("stoker-kit");
  for (const std::string& arg :
       {std::string("flash"), target.port(), std::string("115200"), std::string("0x1d000000"),
        std::string("512"), std::string("20"), file("image.bin", pattern_bytes(5000))})
    command.push_back(arg);
  const auto start = std::chrono::steady_clock::now();
  const ProcessResult r = run_program_interrupted(command, kRunLimitMs, 2500);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  EXPECT_EQ(r.status, 4) << r.out << r.err;
  EXPECT_NE(r.err.find("stoker-kit flash: stopped (Ctrl-C)"), std::string::npos) << r.err;
  expect_port_released(target.port());
}

TEST_F(FlashE2E, OtherSubcommandsTraceTheirPortToo) {
  ASSERT_TRUE(target.start({"--mode", "sink", "--idle-ms", "300"}));
  const std::string sendTrace = dir + "/send.trace";
  const ProcessResult r =
      run_host("stoker-kit",
               {"send-text", target.host_port(), "9600", "hi\\r", "--trace", host_path(sendTrace)},
               kRunLimitMs);
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(missing_in_order(text_of(sendTrace), {" open  ", " 9600,8,N,1\n", " tx    1  68 ",
                                                  " tx    1  69 ", " tx    1  0d ", " close\n"}),
            "");
}

// A device tree with three USB boards: two adapters of one kind (the first
// one the simulated board's port, the second another board's when given,
// else a plain file) and a modem, each described in sysfs.
struct FakeTree {
  std::string dev, sys;

  FakeTree(const std::string& root, const std::string& boardPort,
           const std::string& secondBoardPort = "")
      : dev(root + "/dev"), sys(root + "/sys") {
    fs::create_directories(dev + "/serial/by-id");
    fs::create_symlink(boardPort, dev + "/ttyUSB0");
    if (secondBoardPort.empty())
      put_file(dev, "ttyUSB1", {});
    else
      fs::create_symlink(secondBoardPort, dev + "/ttyUSB1");
    put_file(dev, "ttyACM0", {});
    fs::create_symlink("../../ttyUSB0", dev + "/serial/by-id/usb-Maker_Board_A1-if00-port0");
    board("1-1", "ttyUSB0", "0403", "6001", "A1");
    board("1-2", "ttyUSB1", "0403", "6001", "B2");
    board("1-3", "ttyACM0", "2e8a", "000a", "C3");
  }

  void board(const std::string& usb, const std::string& tty, const char* vendor,
             const char* product, const char* serial) {
    const std::string device = sys + "/devices/pci0/usb1/" + usb;
    fs::create_directories(device + "/" + usb + ":1.0/" + tty);
    for (const auto& [name, value] : {std::pair<const char*, const char*>{"idVendor", vendor},
                                      {"idProduct", product},
                                      {"serial", serial},
                                      {"manufacturer", "Maker"},
                                      {"product", "Board"}}) {
      const std::string text = std::string(value) + "\n";
      put_file(device, name, std::vector<uint8_t>(text.begin(), text.end()));
    }
    fs::create_directories(sys + "/class/tty/" + tty);
    fs::create_symlink(device + "/" + usb + ":1.0/" + tty, sys + "/class/tty/" + tty + "/device");
  }

  std::vector<std::string> options() const { return {"--device-root", dev, "--sysfs-root", sys}; }
};

struct UsbCase {
  const char* command;  // flash, or port-settings: a subcommand of one port
  const char* port;
  int status;
  std::vector<std::string> err;  // in this order on standard error
  std::vector<std::string> out;  // in this order on standard output
};

TEST_F(FlashE2E, PortsNamedByTheirBoardOnAFakeDeviceTree) {
  if (wine_mode()) GTEST_SKIP() << "the fake tree is a POSIX device and sysfs tree";
  const std::string image = file("image.bin", pattern_bytes(3000, 9));
  const std::vector<std::string> boards = {
      "boards present:", "/ttyUSB0  ", "USB 0403:6001", "serial A1",
      "/ttyUSB1  ",      "serial B2",  "/ttyACM0  ",    "USB 2e8a:000a  Maker  Board  serial C3"};
  auto with_boards = [&boards](std::vector<std::string> first) {
    first.insert(first.end(), boards.begin(), boards.end());
    return first;
  };
  const UsbCase cases[] = {
      {"flash", "usb:A1", 0, {}, {}},
      {"flash", "usb:0403:6001#1", 0, {}, {}},
      // A subcommand of one port: the ids alone don't say which board.
      {"port-settings",
       "usb:0403:6001",
       1,
       with_boards({"usb:0403:6001 matches 2 boards: name one as usb:0403:6001#N"}),
       {}},
      // flash takes every board with the ids: the simulated one, and one
      // whose device (a plain file) won't open, the table says so.
      {"flash",
       "usb:0403:6001",
       1,
       {},
       {"\nport ", "/dev/ttyUSB0  A1      ok  ", "/dev/ttyUSB1  B2      1: cannot open ",
        "2 boards: 1 ok, 1 failed\n"}},
      {"flash", "usb:0403:6001#3", 1, with_boards({"usb:0403:6001#3: only 2 boards match"}), {}},
      {"flash", "usb:ffff:0001", 1, with_boards({"no USB serial board matches usb:ffff:0001"}), {}},
      // The one board with these ids; its device (a plain file) won't open.
      {"port-settings", "usb:2E8A:000A", 1, {"cannot open ", "/dev/ttyACM0 with 115200,8,N,1"}, {}},
      {"flash",
       "usb:2E8A:000A",
       1,
       {},
       {"/dev/ttyACM0  C3      1: cannot open ", "/dev/ttyACM0 with 115200,8,N,1: "}},
      {"flash", "usb:", 1, {"names no board"}, {}},
  };
  for (const UsbCase& c : cases) {
    SimTarget board;
    ASSERT_TRUE(board.start({"--gen", "3"}));
    const FakeTree tree(make_temp_dir(), board.port());
    const std::string command = c.command;
    const ProcessResult r = command == "flash"
                                ? flash(c.port, image, {}, tree.options())
                                : run_host("stoker-kit",
                                           {"--device-root", tree.dev, "--sysfs-root", tree.sys,
                                            c.command, c.port, "115200"},
                                           kRunLimitMs);
    EXPECT_EQ(r.status, c.status) << c.port << "\n" << r.out << r.err;
    if (c.status == 0) {
      EXPECT_NE(r.out.find(std::string("Wrote 3000 bytes to ") + c.port), std::string::npos)
          << r.out;
      EXPECT_EQ(SimTarget::field(board.summary(5000), "status"), "ok") << c.port;
      EXPECT_EQ(board.image(), read_file(image)) << c.port;
      continue;
    }
    EXPECT_EQ(missing_in_order(r.out, c.out), "") << c.port << "\n" << r.out;
    if (c.err.empty()) continue;
    EXPECT_EQ(missing_in_order(r.err, c.err), "") << c.port << "\n" << r.err;
    EXPECT_EQ(r.err.rfind("stoker-kit " + command + ": ", 0), 0u) << r.err;
  }
}

TEST_F(FlashE2E, EveryBoardWithTheIdsAtOnce) {
  if (wine_mode()) GTEST_SKIP() << "the fake tree is a POSIX device and sysfs tree";
  const std::vector<uint8_t> data = pattern_bytes(3000, 13);
  const std::string image = file("image.bin", data);
  // usb:VVVV:PPPP stands for both boards; a path is the board behind it,
  // its serial number found all the same.
  for (const char* ports : {"usb:0403:6001", "usb:B2,DEV/ttyUSB0"}) {
    SimTarget first, second;
    ASSERT_TRUE(first.start({"--gen", "3"}));
    ASSERT_TRUE(second.start({"--gen", "2"}));
    const FakeTree tree(make_temp_dir(), first.port(), second.port());
    std::string list = ports;
    if (list.find("DEV") != std::string::npos) list.replace(list.find("DEV"), 3, tree.dev);
    const ProcessResult r = flash(list, image, {}, tree.options());
    EXPECT_EQ(r.status, 0) << list << "\n" << r.out << r.err;
    EXPECT_EQ(missing_in_order(r.out, {"\nport ", "  A1      ok       3000  ", "\n",
                                       "2 boards: 2 ok, 0 failed\n"}),
              "")
        << r.out;
    EXPECT_NE(r.out.find("  B2      ok       3000  "), std::string::npos) << r.out;
    EXPECT_EQ(first.image(), data) << list;
    EXPECT_EQ(second.image(), data) << list;
  }
}

}  // namespace
