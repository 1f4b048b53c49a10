// Writing output files without destroying what the path named before: a
// device, a symbolic link, an existing file's mode (POSIX file kinds).
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "app/kit_hex2bin.h"
#include "common/file.h"

namespace fs = std::filesystem;

namespace {

struct WriteFileReplacing : testing::Test {
  fs::path dir;
  void SetUp() override {
    dir =
        fs::temp_directory_path() / ("stoker-file-" + std::to_string(getpid()) + "-" +
                                     testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir);
    fs::create_directories(dir);
  }
  void TearDown() override { fs::remove_all(dir); }

  std::string text_of(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  void put(const fs::path& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
  }
  // Nothing but the expected entries in the directory (no temporary left).
  size_t entries() { return static_cast<size_t>(std::distance(fs::directory_iterator(dir), {})); }
};

TEST_F(WriteFileReplacing, ReplacesAFileKeepingItsModeAndLeavesNothingBehind) {
  const fs::path out = dir / "out.bin";
  put(out, "old");
  chmod(out.c_str(), 0640);
  std::string error;
  ASSERT_TRUE(write_file_replacing(out.string(), "new!", 4, &error)) << error;
  EXPECT_EQ(text_of(out), "new!");
  struct stat info {};
  ASSERT_EQ(stat(out.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0640u);
  EXPECT_EQ(entries(), 1u);
}

TEST_F(WriteFileReplacing, FollowsASymbolicLinkAndKeepsIt) {
  const fs::path target = dir / "real.bin";
  const fs::path link = dir / "link.bin";
  put(target, "old");
  fs::create_symlink("real.bin", link);
  std::string error;
  ASSERT_TRUE(write_file_replacing(link.string(), "abc", 3, &error)) << error;
  EXPECT_TRUE(fs::is_symlink(fs::symlink_status(link)));
  EXPECT_EQ(text_of(target), "abc");
  EXPECT_EQ(entries(), 2u);
}

TEST_F(WriteFileReplacing, ADeviceIsWrittenInPlaceAndNeverRemoved) {
  // A node like /dev/full: every write fails with ENOSPC.
  const fs::path full = dir / "full";
  if (mknod(full.c_str(), S_IFCHR | 0666, makedev(1, 7)) != 0) GTEST_SKIP() << "mknod needs root";
  std::string error;
  EXPECT_FALSE(write_file_replacing(full.string(), std::string(70000, 'x').data(), 70000, &error));
  EXPECT_NE(error.find("cannot write"), std::string::npos) << error;
  struct stat info {};
  ASSERT_EQ(lstat(full.c_str(), &info), 0);
  EXPECT_TRUE(S_ISCHR(info.st_mode));
  EXPECT_EQ(entries(), 1u);

  // hex2bin through the same path: exit 1, and the node stays.
  const fs::path hex = dir / "t.hex";
  put(hex, ":020000041D00DD\n:020000001122CB\n:00000001FF\n");
  std::string message;
  EXPECT_EQ(hex2bin(hex.string(), full.string(), 0x1d000000, 512 * 1024, &message), 1);
  ASSERT_EQ(lstat(full.c_str(), &info), 0);
  EXPECT_TRUE(S_ISCHR(info.st_mode));
}

TEST_F(WriteFileReplacing, AMissingDirectoryFailsWithoutLeavingAnything) {
  std::string error;
  EXPECT_FALSE(write_file_replacing((dir / "no" / "out.bin").string(), "x", 1, &error));
  EXPECT_NE(error.find("cannot create"), std::string::npos) << error;
  EXPECT_EQ(entries(), 0u);
}

}  // namespace
