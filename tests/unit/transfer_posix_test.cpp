// Writes that fail only when the data is flushed (a full disk): the image
// module and the picture's header file must not report them as success.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "tests/support/bmp_file.h"
#include "tests/support/fake_port.h"
#include "toolkit/image/bmp.h"
#include "toolkit/transfer/transfer.h"

namespace fs = std::filesystem;

namespace {

bool have_dev_full() {
  return access("/dev/full", W_OK) == 0;
}

TEST(FullDisk, SavingAnImageReportsTheFailedWrite) {
  if (!have_dev_full()) GTEST_SKIP() << "no /dev/full";
  BmpImage* image = bmp_new(4, 4, 24);
  ASSERT_NE(image, nullptr);
  bmp_write(image, "/dev/full");
  EXPECT_EQ(bmp_status(), BMP_IO_ERROR);
  bmp_release(image);
}

TEST(FullDisk, HeaderFileThatCannotBeWrittenWholeGives17) {
  if (!have_dev_full()) GTEST_SKIP() << "no /dev/full";
  const fs::path dir = fs::path(testing::TempDir()) / "transfer_posix_full";
  fs::remove_all(dir);
  fs::create_directories(dir);
  const fs::path picture = dir / "pic.bmp";
  {
    const std::vector<uint8_t> bytes = colour_bmp(10, 3).bytes();
    FILE* f = std::fopen(picture.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
  }
  fs::create_symlink("/dev/full", dir / kPictureHeaderFile);
  const fs::path previous = fs::current_path();
  fs::current_path(dir);
  FakePort fake;
  ASSERT_EQ(fake.open(), 0);
  DownloadJob job;
  job.port = &fake.port;
  const std::string path = picture.string();
  job.path = path.c_str();
  job.toFile = 1;
  EXPECT_EQ(send_picture(&job, nullptr), TRANSFER_HEADER_FILE);
  EXPECT_TRUE(fake.written().empty());
  fs::current_path(previous);
  fs::remove_all(dir);
}

}  // namespace
