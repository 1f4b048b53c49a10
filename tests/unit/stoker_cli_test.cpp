// The stoker command line: checks in their order, messages byte for byte,
// and the run's console output over the in-memory port.
#include "app/stoker_cli.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "common/console.h"
#include "tests/support/fake_loader.h"
#include "tests/support/fake_port.h"

namespace {

const std::string kUsage =
    "\n\nUsage: stoker [-v] port baud flashStart flashSize delay fileName"
    "\n  [-v] is optional if included give debug output (verbose)"
    "\n  port an integer number for example 3"
    "\n  flashStart in hexm for example 0x1d000000"
    "\n  flashSize is the size in k example 128"
    "\n  delay is the delay needed for a full erase in seconds"
    "\n  Example -v 3 115200 0x1d000000 256 4 out.bin\n\n";

struct CliTest : testing::Test {
  std::string console;
  StokerArgs args;
  std::string file = testing::TempDir() + "out.bin";

  void SetUp() override {
    std::ofstream(file, std::ios::binary) << "0123456789";
    console_capture(&console);
  }
  void TearDown() override { console_capture(nullptr); }

  // The job points into the argument vector, so it lives in the fixture.
  std::vector<std::string> words;

  int check(std::vector<std::string> list) {
    words = std::move(list);
    words.insert(words.begin(), "stoker");
    std::vector<const char*> argv;
    for (const std::string& w : words) argv.push_back(w.c_str());
    argv.push_back(nullptr);
    console.clear();
    return stoker_check_args(static_cast<int>(words.size()), argv.data(), &args);
  }
};

TEST_F(CliTest, TooFewArgumentsPrintTheUsage) {
  EXPECT_EQ(check({}), 1);
  EXPECT_EQ(console, kUsage);
  EXPECT_EQ(check({"-v", "3", "115200", "0x1d000000", "256", "4"}), 1);
  EXPECT_EQ(console, kUsage);
}

TEST_F(CliTest, TheUsageExampleFillsTheJob) {
  EXPECT_EQ(check({"-v", "3", "115200", "0x1d000000", "256", "4", file}), -1);
  EXPECT_EQ(args.portNumber, 3);
  EXPECT_EQ(args.settings, "115200,8,N,1");
  EXPECT_EQ(args.job.flashStart, 0x1d000000);
  EXPECT_EQ(args.job.flashSize, 262144);
  EXPECT_EQ(args.job.eraseDelay, 4);
  EXPECT_EQ(args.job.verbose, 1u);
  EXPECT_EQ(args.job.eraseAll, 0u);
  EXPECT_EQ(args.job.path, file);
  EXPECT_EQ(console,
            "\nTollan - Boot PIC32 Programer v2.0 \n\nPort=3\nPort string=115200,8,N,1"
            "\nf.flashStart=1d000000\nf.flashSize=40000\nFile name=" +
                file + "\n");
}

TEST_F(CliTest, MissingFileComesBeforeEveryValueCheck) {
  EXPECT_EQ(check({"0", "1", "zz", "1", "0", "/nonexistent/x.bin"}), 1);
  EXPECT_EQ(console, "Cant open file /nonexistent/x.bin" + kUsage);
}

TEST_F(CliTest, PortMustBeAboveZero) {
  EXPECT_EQ(check({"-v", "0", "115200", "0x1d000000", "256", "4", file}), 1);
  EXPECT_EQ(console, "\nTollan - Boot PIC32 Programer v2.0 \nnot a valid com port 0" + kUsage);
  EXPECT_EQ(check({"COM3", "115200", "0x1d000000", "256", "4", file}), 1);
  EXPECT_EQ(console, "\nnot a valid com port 0" + kUsage);
}

TEST_F(CliTest, APathNamesTheDeviceItself) {
  EXPECT_EQ(check({"-v", "/dev/ttyUSB0", "115200", "1d000000", "512", "1", file}), -1);
  EXPECT_EQ(args.device, "/dev/ttyUSB0");
  EXPECT_NE(console.find("\n\nPort=/dev/ttyUSB0\n"), std::string::npos);
}

TEST_F(CliTest, BaudTextBounds) {
  EXPECT_EQ(check({"3", "9600", "0x1d000000", "256", "4", file}), -1);
  EXPECT_EQ(args.settings, "9600,8,N,1");
  EXPECT_EQ(check({"3", "300", "0x1d000000", "256", "4", file}), 1);
  EXPECT_EQ(console, "\nerror with baud rate 300,8,N,1" + kUsage);
  const std::string longest(45, '1');
  EXPECT_EQ(check({"3", longest, "0x1d000000", "256", "4", file}), -1);
  EXPECT_EQ(check({"3", longest + "1", "0x1d000000", "256", "4", file}), 1);
  EXPECT_EQ(console, "\nerror with baud rate " + longest + "1,8,N,1" + kUsage);
}

TEST_F(CliTest, FlashSizeBounds) {
  EXPECT_EQ(check({"3", "115200", "0x1d000000", "127", "4", file}), 1);
  EXPECT_EQ(console, "\nflash Size (130048) is wrong, specify in k, e.g. 512" + kUsage);
  EXPECT_EQ(check({"3", "115200", "0x1d000000", "128", "4", file}), -1);
  EXPECT_EQ(check({"3", "115200", "0x1d000000", "475648", "4", file}), -1);
  EXPECT_EQ(check({"3", "115200", "0x1d000000", "475649", "4", file}), 1);
  // 4 GiB shifts out of 32 bits and reads as 0.
  EXPECT_EQ(check({"3", "115200", "0x1d000000", "4194304", "4", file}), 1);
  EXPECT_EQ(console, "\nflash Size (0) is wrong, specify in k, e.g. 512" + kUsage);
}

TEST_F(CliTest, FlashStartRange) {
  EXPECT_EQ(check({"3", "115200", "0x9d000000", "256", "4", file}), 1);
  EXPECT_EQ(console, "\nFlash start out of range 486539264 to 486801408" + kUsage);
  EXPECT_EQ(check({"3", "115200", "0x1d040000", "256", "4", file}), -1);
  EXPECT_EQ(check({"3", "115200", "0x1d040001", "256", "4", file}), 1);
  EXPECT_EQ(check({"3", "115200", "nothex", "256", "4", file}), 1);
  EXPECT_EQ(check({"3", "115200", "1D000000", "256", "4", file}), -1);
  EXPECT_EQ(args.job.flashStart, 0x1d000000);
  EXPECT_EQ(check({"3", "115200", "0x1d0000001", "256", "4", file}), 1);
}

TEST_F(CliTest, OptionIsOnlyRecognisedFirst) {
  EXPECT_EQ(check({"3", "-v", "0x1d000000", "256", "4", file}), 1);
  EXPECT_EQ(console, "\nerror with baud rate -v,8,N,1" + kUsage);
  EXPECT_EQ(check({"-verbose", "3", "115200", "0x1d000000", "256", "4", file, "extra"}), -1);
  EXPECT_EQ(args.job.verbose, 1u);
}

TEST_F(CliTest, RunPrintsDotsAndSuccess) {
  FakePort fake;
  FakeLoader loader;
  loader.attach(fake);
  ASSERT_EQ(check({"7", "115200", "0x1d000000", "256", "0", file}), -1);
  console.clear();
  EXPECT_EQ(stoker_run(&args, &fake.port), 0);
  EXPECT_EQ(console, "\nWait .\nsucess");
  EXPECT_FALSE(serial_is_open(&fake.port));
  EXPECT_EQ(fake.configuredBaud, 115200);
}

TEST_F(CliTest, RunReportsTheFailureCode) {
  FakePort fake;
  FakeLoader loader;
  loader.eraseReply = NAK;
  loader.attach(fake);
  ASSERT_EQ(check({"-v", "7", "115200", "0x1d000000", "256", "0", file}), -1);
  console.clear();
  EXPECT_EQ(stoker_run(&args, &fake.port), RESULT_ERASE_REFUSED);
  EXPECT_NE(console.find("\nValue came back=21\nFail Code =8"), std::string::npos);
}

TEST_F(CliTest, PortThatWontOpen) {
  FakePort fake;
  fake.openError = 2;
  ASSERT_EQ(check({"7", "115200", "0x1d000000", "256", "0", file}), -1);
  console.clear();
  EXPECT_EQ(stoker_run(&args, &fake.port), 1);
  EXPECT_EQ(console, "\nUnable to open com port 7 with 115200,8,N,1");
}

// The command-line fuzz target's seeds reach every check after the file
// name's: it runs them where image.bin and image.hex are regular files.
TEST_F(CliTest, FuzzSeedsPassTheFileCheckAndReachEveryValueCheck) {
  namespace fs = std::filesystem;
  const fs::path seeds = fs::path(STOKER_SOURCE_DIR) / "fuzz" / "corpus" / "cli";
  const fs::path scratch = fs::path(testing::TempDir()) / "cli_seeds";
  fs::create_directories(scratch);
  std::ofstream(scratch / "image.bin", std::ios::binary) << "\x01\x02";
  std::ofstream(scratch / "image.hex") << ":00000001FF\n";
  const fs::path before = fs::current_path();
  fs::current_path(scratch);
  std::string outputs;
  int accepted = 0;
  int pastTheFile = 0;
  for (const auto& entry : fs::directory_iterator(seeds)) {
    std::ifstream in(entry.path(), std::ios::binary);
    const std::string seed{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    std::vector<std::string> list;
    for (size_t begin = 0, end; begin <= seed.size(); begin = end + 1) {
      end = seed.find('\0', begin);
      if (end == std::string::npos) end = seed.size();
      list.push_back(seed.substr(begin, end - begin));
    }
    const int status = check(list);
    accepted += status == -1;
    pastTheFile += console.find("Cant open file") == std::string::npos && list.size() >= 6;
    outputs += console;
  }
  fs::current_path(before);
  EXPECT_GE(accepted, 3);
  EXPECT_GE(pastTheFile, 10);
  for (const char* message :
       {"not a valid com port", "error with baud rate", "flash Size (", "Flash start out of range"})
    EXPECT_NE(outputs.find(message), std::string::npos) << message;
}

}  // namespace
