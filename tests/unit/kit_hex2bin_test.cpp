#include "app/kit_hex2bin.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "boot/hex.h"

namespace fs = std::filesystem;

namespace {

constexpr uint32_t kStart = 0x1d000000;
constexpr int32_t kSize = 512 * 1024;

// A fresh directory per test, removed afterwards.
class Hex2Bin : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           (std::string("stoker_kit_hex2bin_") +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string path(const char* name) const { return (dir_ / name).string(); }

  std::string write(const char* name, const std::string& text) const {
    std::ofstream(path(name), std::ios::binary) << text;
    return path(name);
  }

  std::vector<uint8_t> read(const std::string& file) const {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }

  fs::path dir_;
};

TEST_F(Hex2Bin, WritesTheImageWithErasedGaps) {
  // 2 bytes at 0x1d000000, 3 bytes at 0x1d000010, a boot flash record
  // (skipped), an end record.
  const std::string input = write("app.hex",
                                  ":020000041D00DD\n"
                                  ":020000001122CB\n"
                                  ":03001000AABBCCBC\n"
                                  ":020000041FC01B\n"
                                  ":0100000055AA\n"
                                  ":00000001FF\n");
  std::string message;
  ASSERT_EQ(hex2bin(input, path("app.bin"), kStart, kSize, &message), 0) << message;
  std::vector<uint8_t> expected(0x13, 0xFF);
  expected[0] = 0x11;
  expected[1] = 0x22;
  expected[0x10] = 0xAA;
  expected[0x11] = 0xBB;
  expected[0x12] = 0xCC;
  EXPECT_EQ(read(path("app.bin")), expected);
  EXPECT_NE(message.find("19 bytes written to " + path("app.bin")), std::string::npos) << message;
}

TEST_F(Hex2Bin, ImageNeverRunsPastTheWindow) {
  // flashStart 0x1d000000, 128 KiB: the top is 0x1d020000. A record at the
  // top is skipped; one running past it is cut there.
  const std::string input = write("top.hex",
                                  ":020000041D01DC\n"
                                  ":04FFFE00A1A2A3A475\n"
                                  ":020000041D02DB\n"
                                  ":020000001234B8\n"
                                  ":00000001FF\n");
  std::string message;
  ASSERT_EQ(hex2bin(input, path("top.bin"), kStart, 128 * 1024, &message), 0) << message;
  const std::vector<uint8_t> image = read(path("top.bin"));
  ASSERT_EQ(image.size(), 128u * 1024);
  EXPECT_EQ(image[0], 0xFF);
  EXPECT_EQ(image[128 * 1024 - 2], 0xA1);
  EXPECT_EQ(image[128 * 1024 - 1], 0xA2);
}

TEST_F(Hex2Bin, ConversionErrorsLeaveTheOutputAlone) {
  const std::string out = write("keep.bin", "old");
  std::string message;

  EXPECT_EQ(hex2bin(path("missing.hex"), out, kStart, kSize, &message), 1);
  EXPECT_NE(message.find("missing.hex"), std::string::npos) << message;

  const std::string bad = write("bad.hex", ":020000041D00DD\n:020000001122CC\n:00000001FF\n");
  EXPECT_EQ(hex2bin(bad, out, kStart, kSize, &message), HEX_BAD_RECORD);
  EXPECT_NE(message.find("bad record or missing end record"), std::string::npos) << message;

  const std::string noEnd = write("noend.hex", ":020000041D00DD\n:020000001122CB\n");
  EXPECT_EQ(hex2bin(noEnd, out, kStart, kSize, &message), HEX_BAD_RECORD);

  const std::string boot = write("boot.hex", ":020000041FC01B\n:020000001122CB\n:00000001FF\n");
  EXPECT_EQ(hex2bin(boot, out, kStart, kSize, &message), HEX_NO_DATA);
  EXPECT_NE(message.find("no data inside the flash window 0x1d000000-0x1d080000"),
            std::string::npos)
      << message;

  EXPECT_EQ(read(out), std::vector<uint8_t>({'o', 'l', 'd'}));
  EXPECT_FALSE(fs::exists(path("fresh.bin")));
  EXPECT_EQ(hex2bin(bad, path("fresh.bin"), kStart, kSize, &message), HEX_BAD_RECORD);
  EXPECT_FALSE(fs::exists(path("fresh.bin")));
}

TEST_F(Hex2Bin, UnwritableOutputIsAnError) {
  const std::string input = write("app.hex", ":020000041D00DD\n:020000001122CB\n:00000001FF\n");
  std::string message;
  EXPECT_EQ(hex2bin(input, path("no/such/dir/app.bin"), kStart, kSize, &message), 1);
  EXPECT_NE(message.find("cannot write output file"), std::string::npos) << message;
}

TEST(ParseFlashStart, HexWithOptionalPrefixAndNothingElse) {
  std::string error;
  uint32_t value = 0;
  for (const char* good : {"0x1d000000", "0X1D000000", "1d000000", "0x00000001d000000"}) {
    value = 0;
    EXPECT_TRUE(parse_flash_start(good, &value, &error)) << good;
    EXPECT_EQ(value, 0x1d000000u) << good;
  }
  EXPECT_TRUE(parse_flash_start("ffffffff", &value, &error));
  EXPECT_EQ(value, 0xFFFFFFFFu);
  EXPECT_TRUE(parse_flash_start("0", &value, &error));
  EXPECT_EQ(value, 0u);

  for (const char* bad : {"", "0x", "x10", "1d00zz", "0x1d000000 ", " 1d000000", "-1", "+1"}) {
    error.clear();
    EXPECT_FALSE(parse_flash_start(bad, &value, &error)) << bad;
    EXPECT_NE(error.find("not a hexadecimal number"), std::string::npos) << bad;
  }
  EXPECT_FALSE(parse_flash_start("100000000", &value, &error));
  EXPECT_NE(error.find("does not fit 32 bits"), std::string::npos) << error;
  EXPECT_FALSE(parse_flash_start("0xffffffffffffffffffff", &value, &error));
}

TEST(ParseFlashSizeK, PositiveKibibytesWhoseByteCountFitsAnInt) {
  std::string error;
  int32_t bytes = 0;
  EXPECT_TRUE(parse_flash_size_k("512", &bytes, &error));
  EXPECT_EQ(bytes, 524288);
  EXPECT_TRUE(parse_flash_size_k("2097151", &bytes, &error));  // 2^31 - 1024 bytes
  EXPECT_EQ(bytes, 2147482624);

  for (const char* bad : {"", "k", "12k", "-1", "+1", " 1", "0x10", "1.5"}) {
    error.clear();
    EXPECT_FALSE(parse_flash_size_k(bad, &bytes, &error)) << bad;
    EXPECT_FALSE(error.empty()) << bad;
  }
  for (const char* big : {"0", "2097152", "4194304", "99999999999999999999"}) {
    EXPECT_FALSE(parse_flash_size_k(big, &bytes, &error)) << big;
    EXPECT_NE(error.find("out of range"), std::string::npos) << big;
  }
}

}  // namespace
