// stoker against the simulated board on a pseudo-terminal: whole downloads,
// every failure code the wire can produce, console text byte for byte.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ostream>
#include <string>
#include <vector>

#include "tests/e2e/support.h"

namespace {

constexpr int kRunLimitMs = 60000;

// Intel HEX text for `data` at `address`, 16 bytes a record.
std::string make_hex(uint32_t address, const std::vector<uint8_t>& data) {
  std::string text;
  char line[80];
  auto record = [&](uint8_t type, uint16_t at, const uint8_t* bytes, size_t n) {
    unsigned sum = static_cast<unsigned>(n + (at >> 8) + (at & 0xFF) + type);
    int len = std::snprintf(line, sizeof line, ":%02X%04X%02X", static_cast<unsigned>(n), at, type);
    text.append(line, static_cast<size_t>(len));
    for (size_t i = 0; i < n; ++i) {
      sum += bytes[i];
      len = std::snprintf(line, sizeof line, "%02X", bytes[i]);
      text.append(line, static_cast<size_t>(len));
    }
    len = std::snprintf(line, sizeof line, "%02X\r\n", (0x100 - (sum & 0xFF)) & 0xFF);
    text.append(line, static_cast<size_t>(len));
  };
  uint32_t upper = 0xFFFFFFFF;
  for (size_t i = 0; i < data.size(); i += 16) {
    const uint32_t a = address + static_cast<uint32_t>(i);
    if ((a >> 16) != upper) {
      upper = a >> 16;
      const uint8_t value[2] = {static_cast<uint8_t>(upper >> 8), static_cast<uint8_t>(upper)};
      record(4, 0, value, 2);
    }
    record(0, static_cast<uint16_t>(a), data.data() + i, std::min<size_t>(16, data.size() - i));
  }
  record(1, 0, nullptr, 0);
  return text;
}

struct StokerE2E : testing::Test {
  SimTarget target;
  std::string dir = make_temp_dir();

  std::string file(const std::string& name, const std::vector<uint8_t>& bytes) {
    return put_file(dir, name, bytes);
  }
  std::string hex_file(const std::string& name, const std::vector<uint8_t>& data) {
    const std::string text = make_hex(0x1d000000, data);
    return file(name, std::vector<uint8_t>(text.begin(), text.end()));
  }
  ProcessResult stoker(const std::vector<std::string>& args) {
    return run_host("stoker", args, kRunLimitMs);
  }
  // A quiet download of `image` with flash 512 KiB and no erase delay.
  ProcessResult flash(const std::string& image) {
    return stoker({target.host_port(), "115200", "0x1d000000", "512", "0", image});
  }
  static std::string dots(int blocks) { return "\nWait " + std::string(blocks, '.'); }
};

TEST_F(StokerE2E, RawImageToGenerationThree) {
  ASSERT_TRUE(target.start({"--gen", "3", "--sub-version", "3"}));
  const std::vector<uint8_t> data = pattern_bytes(5000);
  const ProcessResult r = flash(file("image.bin", data));
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(r.out, dots(3) + "\nsucess");
  const std::string s = target.summary(5000);
  EXPECT_EQ(SimTarget::field(s, "status"), "ok") << s;
  EXPECT_EQ(SimTarget::field(s, "announced"), "5000");
  EXPECT_EQ(SimTarget::field(s, "blocks"), "3");
  EXPECT_EQ(target.image(), data);
}

TEST_F(StokerE2E, HexImageToGenerationTwoOlderLoader) {
  ASSERT_TRUE(target.start({"--gen", "2", "--sub-version", "2"}));
  const std::vector<uint8_t> data = pattern_bytes(4100, 7);
  const ProcessResult r = flash(hex_file("image.hex", data));
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(r.out, dots(3) + "\nsucess");
  const std::string s = target.summary(5000);
  // An older loader is told the flash to erase: 512 KiB less 35840.
  EXPECT_EQ(SimTarget::field(s, "announced"), std::to_string(512 * 1024 - 35840)) << s;
  const std::vector<uint8_t> got = target.image();
  ASSERT_EQ(got.size(), 6000u);
  EXPECT_TRUE(std::equal(data.begin(), data.end(), got.begin()));
  for (size_t i = data.size(); i < got.size(); ++i) ASSERT_EQ(got[i], 0xFF) << i;
}

TEST_F(StokerE2E, HexImageToGenerationThree) {
  ASSERT_TRUE(target.start({"--gen", "3", "--sub-version", "3"}));
  const std::vector<uint8_t> data = pattern_bytes(70000, 3);
  const ProcessResult r = flash(hex_file("IMAGE.HEX", data));
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(r.out, dots(36) + "\nsucess");
  target.summary(5000);
  EXPECT_EQ(target.image(), data);
}

TEST_F(StokerE2E, RawImageToGenerationTwoNewLoader) {
  ASSERT_TRUE(
      target.start({"--gen", "2", "--sub-version", "3", "--noise", "3", "--d-flood", "20"}));
  const std::vector<uint8_t> data = pattern_bytes(2000, 9);
  const ProcessResult r = flash(file("image.bin", data));
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(r.out, dots(2) + "\nsucess");
  target.summary(5000);
  EXPECT_EQ(target.image(), data);
}

TEST_F(StokerE2E, VerboseConsoleByteForByte) {
  ASSERT_TRUE(target.start({"--gen", "3", "--sub-version", "3"}));
  const std::string image = file("v.bin", pattern_bytes(2500));
  const ProcessResult r =
      stoker({"-v", target.host_port(), "115200", "0x1d000000", "512", "0", image});
  EXPECT_EQ(r.status, 0) << r.err;
  const std::string expected =
      "\nTollan - Boot PIC32 Programer v2.0 \n\nPort=" + target.host_port() +
      "\nPort string=115200,8,N,1\nf.flashStart=1d000000\nf.flashSize=80000\nFile name=" + image +
      "\n\n------- boot loader ----------\n\nFile name " + image +
      "\tflash start 1d000000\nDetecting boot loader version\nBoot loader version 3"
      "\nactual file size 2500\nOn this version all flash is erased before sending"
      "\nBoot loader 2 sub version returned 3\nSent size to target =2500"
      "\nDelaying 0 seconds to allow flash to be erased\nValue came back=6\nSending blocks"
      "\nthe file size=2500, block sent=0\nthe file size=2500, block sent=2000\nsucess";
  EXPECT_EQ(r.out, expected);
}

struct FailureCase {
  const char* name;
  std::vector<std::string> simOptions;
  int code;
};

class StokerFailure : public StokerE2E, public testing::WithParamInterface<FailureCase> {};

TEST_P(StokerFailure, EndsWithItsCode) {
  const FailureCase& c = GetParam();
  ASSERT_TRUE(target.start(c.simOptions));
  const ProcessResult r = flash(file("image.bin", pattern_bytes(6000)));
  EXPECT_FALSE(r.timedOut);
  EXPECT_EQ(r.status, c.code) << r.out << r.err;
  EXPECT_EQ(r.out.find("sucess"), std::string::npos);
  const std::string tail = "\nFail Code =" + std::to_string(c.code);
  ASSERT_GE(r.out.size(), tail.size());
  EXPECT_EQ(r.out.substr(r.out.size() - tail.size()), tail) << r.out;
  EXPECT_NE(r.err.find("stoker: "), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Wire, StokerFailure,
                         testing::Values(FailureCase{"NoEraseReply", {"--no-erase-reply"}, 2},
                                         FailureCase{"Silent", {"--silent"}, 6},
                                         FailureCase{"EarlyAnswer", {"--early-answer"}, 6},
                                         FailureCase{"NoSubVersion", {"--no-sub-version"}, 7},
                                         FailureCase{"NakAfterErase", {"--nak-erase"}, 8},
                                         FailureCase{"StopsAcking", {"--stop-ack-after", "1"}, 9},
                                         FailureCase{"PortVanishes", {"--vanish-after", "1"}, 9}),
                         [](const testing::TestParamInfo<FailureCase>& info) {
                           return info.param.name;
                         });

// A board that serves one session after another starts each one fresh: the
// host that got no erase reply gives up, and the next host's entry byte
// begins a new session (it is not taken as block data of the old one).
TEST_F(StokerE2E, EverySessionStartsFreshAfterAMissingEraseReply) {
  ASSERT_TRUE(
      target.start({"--gen", "3", "--sub-version", "3", "--no-erase-reply"}, kAnyComPort, false));
  const std::string image = file("image.bin", pattern_bytes(6000));
  for (int session = 1; session <= 2; ++session) {
    const ProcessResult r = flash(image);
    EXPECT_EQ(r.status, 2) << "session " << session << r.out << r.err;
  }
}

// Under Wine the port argument is a COM number, opened as "//./COMn": numbers
// above 9 as well as single digits.
struct ComPortCase {
  const char* name;
  ComRange numbers;
};

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const ComPortCase& c, std::ostream* os) {
  *os << c.name;
}

class StokerComPort : public StokerE2E, public testing::WithParamInterface<ComPortCase> {};

TEST_P(StokerComPort, DownloadsThroughThatNumber) {
  if (!wine_mode()) GTEST_SKIP() << "COM port numbers name ports on Windows only";
  const ComRange numbers = GetParam().numbers;
  ASSERT_TRUE(target.start({"--gen", "3", "--sub-version", "3"}, numbers));
  const int n = target.com_number();
  EXPECT_GE(n, std::min(numbers.first, numbers.last));
  EXPECT_LE(n, std::max(numbers.first, numbers.last));
  const std::vector<uint8_t> data = pattern_bytes(3000, 5);
  const ProcessResult r = stoker(
      {"-v", std::to_string(n), "115200", "0x1d000000", "512", "0", file("image.bin", data)});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("\n\nPort=" + std::to_string(n) + "\n"), std::string::npos) << r.out;
  EXPECT_EQ(SimTarget::field(target.summary(5000), "status"), "ok");
  EXPECT_EQ(target.image(), data);
}

INSTANTIATE_TEST_SUITE_P(Wine, StokerComPort,
                         testing::Values(ComPortCase{"Com10", {10, 10}},
                                         ComPortCase{"Com27", {27, 27}},
                                         ComPortCase{"SingleDigit", {9, 2}}),
                         [](const testing::TestParamInfo<ComPortCase>& info) {
                           return info.param.name;
                         });

TEST_F(StokerE2E, SilentLoaderMessage) {
  ASSERT_TRUE(target.start({"--silent"}));
  const ProcessResult r = flash(file("image.bin", pattern_bytes(10)));
  EXPECT_EQ(r.out, "\nWait \nBoot loader not detected\n\nFail Code =6");
}

TEST_F(StokerE2E, BadHexIsEleven) {
  ASSERT_TRUE(target.start({}));
  std::string text = make_hex(0x1d000000, pattern_bytes(64));
  text[20] = text[20] == '0' ? '1' : '0';  // break the first data record's checksum
  const ProcessResult r = flash(file("bad.hex", std::vector<uint8_t>(text.begin(), text.end())));
  EXPECT_EQ(r.status, 11);
  EXPECT_EQ(r.out, "\nWait \nFail Code =11");
}

TEST_F(StokerE2E, ImageLargerThanFlashIsRefused) {
  ASSERT_TRUE(target.start({}));
  const ProcessResult r = stoker({target.host_port(), "115200", "0x1d000000", "128", "0",
                                  file("big.bin", pattern_bytes(131073))});
  EXPECT_EQ(r.status, 12);
  EXPECT_EQ(r.out, "\nWait \nFail Code =12");
  EXPECT_NE(r.err.find("131073"), std::string::npos) << r.err;
  // The target was never reset or spoken to.
  EXPECT_EQ(target.summary(300), "");
}

TEST_F(StokerE2E, DirectoryOrFifoAsImageIsRefusedByTheFileCheck) {
  // Refused without being opened: opening a FIFO would block for ever.
  const std::string fifo = dir + "/image.fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  std::vector<std::string> paths = {dir};
  if (!wine_mode()) paths.push_back(fifo);  // a POSIX file kind
  for (const std::string& path : paths) {
    const ProcessResult r = stoker({"1", "115200", "0x1d000000", "512", "1", host_path(path)});
    EXPECT_FALSE(r.timedOut) << path;
    EXPECT_EQ(r.status, 1) << path;
    EXPECT_EQ(r.out.rfind("Cant open file " + host_path(path) + "\n\nUsage: stoker", 0), 0u)
        << r.out;
  }
}

TEST_F(StokerE2E, PortThatCannotBeOpened) {
  const std::string image = file("image.bin", pattern_bytes(10));
  const std::string port = missing_port(dir);
  const ProcessResult r = stoker({port, "115200", "0x1d000000", "512", "0", image});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "\nUnable to open com port " + port + " with 115200,8,N,1");
  EXPECT_NE(r.err.find("no such device"), std::string::npos) << r.err;
}

TEST_F(StokerE2E, BoardNameThatMatchesNoBoard) {
  const ProcessResult r = stoker({"usb:no-such-board-7f3a", "115200", "0x1d000000", "512", "0",
                                  file("image.bin", pattern_bytes(100))});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "\nUnable to open com port usb:no-such-board-7f3a with 115200,8,N,1");
  EXPECT_NE(r.err.find("\nstoker: no USB serial board matches usb:no-such-board-7f3a"),
            std::string::npos)
      << r.err;
}

TEST_F(StokerE2E, PortHeldByAnotherProgramIsBusy) {
  if (wine_mode()) {
    GTEST_SKIP() << "Wine opens a COM port again while another process holds it: it does not "
                    "enforce the exclusive share mode on serial devices";
  }
  ASSERT_TRUE(target.start({"--silent"}));
  const std::string image = file("image.bin", pattern_bytes(10));
  // The first run holds the port for about three seconds.
  std::vector<std::string> argv = {"/bin/sh", "-c",
                                   std::string(STOKER_BIN) + " " + target.port() +
                                       " 115200 0x1d000000 512 0 " + image + " >/dev/null & " +
                                       "sleep 1; " + STOKER_BIN + " " + target.port() +
                                       " 115200 0x1d000000 512 0 " + image + "; wait"};
  const ProcessResult r = run_program(argv, kRunLimitMs);
  EXPECT_NE(r.out.find("\nUnable to open com port " + target.port()), std::string::npos) << r.out;
  EXPECT_NE(r.err.find("busy"), std::string::npos) << r.err;
}

TEST_F(StokerE2E, UsageWithoutArguments) {
  const ProcessResult r = stoker({});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out.rfind("\n\nUsage: stoker [-v] port baud flashStart flashSize delay fileName", 0),
            0u);
}

}  // namespace

namespace {

TEST_F(StokerE2E, MalformedSettingsAreReportedAsSuchNotAsPermissions) {
  // The settings string ",,,,,8,N,1" has three fields: serial_open gives 1,
  // which is also EPERM.
  ASSERT_TRUE(target.start({}));
  const std::string image = file("image.bin", pattern_bytes(10));
  const ProcessResult r = stoker({target.host_port(), ",,,,", "0x1d000000", "512", "0", image});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "\nUnable to open com port " + target.host_port() + " with ,,,,,8,N,1");
  EXPECT_NE(r.err.find("the settings ',,,,,8,N,1' are not valid"), std::string::npos) << r.err;
  EXPECT_EQ(r.err.find("dialout"), std::string::npos) << r.err;
}

// Ctrl-C during the erase wait: the download ends as an abort, and the port
// is closed the normal way, so its exclusive mode is cleared for the next
// user although the board keeps the device open.
void expect_interrupted_download(SimTarget& target, const std::vector<std::string>& command) {
  const auto start = std::chrono::steady_clock::now();
  const ProcessResult r = run_program_interrupted(command, 60000, 2500);
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_FALSE(r.timedOut);
  EXPECT_EQ(r.status, 4) << r.out << r.err;
  EXPECT_NE(r.out.find("\nFail Code =4"), std::string::npos) << r.out;
  EXPECT_LT(took, std::chrono::seconds(10));  // not the 20 s erase wait
  expect_port_released(target.port());
}

TEST_F(StokerE2E, CtrlCEndsTheDownloadAsAnAbortAndReleasesThePort) {
  if (wine_mode()) GTEST_SKIP() << "SIGINT and TIOCGEXCL are POSIX";
  ASSERT_TRUE(target.start({"--erase-ms", "20000"}));
  const std::string image = file("image.bin", pattern_bytes(5000));
  std::vector<std::string> command = host_program("stoker");
  for (const char* arg : {"115200", "0x1d000000", "512", "20"}) command.push_back(arg);
  command.insert(command.begin() + 1, target.port());
  command.push_back(image);
  expect_interrupted_download(target, command);
}

TEST_F(StokerE2E, CtrlCEndsAnXmodemSubcommandDownloadToo) {
  if (wine_mode()) GTEST_SKIP() << "SIGINT and TIOCGEXCL are POSIX";
  ASSERT_TRUE(target.start({"--erase-ms", "20000"}));
  const std::string image = file("image.bin", pattern_bytes(5000));
  std::vector<std::string> command = host_program("stoker-kit");
  for (const std::string& arg :
       {std::string("xmodem"), target.port(), std::string("115200"), std::string("0x1d000000"),
        std::string("512"), std::string("20"), image})
    command.push_back(arg);
  expect_interrupted_download(target, command);
}

}  // namespace
