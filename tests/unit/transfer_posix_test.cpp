// Writes that fail only when the data is flushed (a full disk): the image
// module and the picture's header file must not report them as success, and
// an existing header file survives them. Inputs that are no regular files
// (a FIFO) are refused without blocking.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "common/file.h"
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

// The header file is written through a temporary file: when the disk
// fills up (here: the file size limit), the old one stays as it was and
// nothing is left beside it.
TEST(FullDisk, AnExistingHeaderFileSurvivesAFailedWrite) {
  const fs::path dir = fs::path(testing::TempDir()) / "transfer_posix_limit";
  fs::remove_all(dir);
  fs::create_directories(dir);
  const fs::path picture = dir / "pic.bmp";
  {
    const std::vector<uint8_t> bytes = colour_bmp(40, 30).bytes();
    std::ofstream(picture, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    std::ofstream(dir / kPictureHeaderFile) << "the old header\n";
  }
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // The picture's text is far longer than 1 KiB.
    signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{1024, 1024};
    setrlimit(RLIMIT_FSIZE, &limit);
    if (chdir(dir.c_str()) != 0) _exit(100);
    FakePort fake;
    if (fake.open() != 0) _exit(101);
    DownloadJob job;
    job.port = &fake.port;
    job.path = "pic.bmp";
    job.toFile = 1;
    const int result = send_picture(&job, nullptr);
    _exit(result == TRANSFER_HEADER_FILE && fake.written().empty() ? 0 : 102);
  }
  int raw = 0;
  ASSERT_EQ(waitpid(child, &raw, 0), child);
  ASSERT_TRUE(WIFEXITED(raw));
  EXPECT_EQ(WEXITSTATUS(raw), 0);
  std::ifstream in(dir / kPictureHeaderFile);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "the old header\n");
  int files = 0;
  for (const auto& entry : fs::directory_iterator(dir)) files += entry.is_regular_file() ? 1 : 0;
  EXPECT_EQ(files, 2);  // the picture and the old header: no temporary left
  fs::remove_all(dir);
}

// A FIFO named as the file to send is refused at once (opening it would wait
// for a writer that never comes).
TEST(NotARegularFile, FifoIsRefusedWithoutBlocking) {
  const fs::path dir = fs::path(testing::TempDir()) / "transfer_posix_fifo";
  fs::remove_all(dir);
  fs::create_directories(dir);
  const std::string fifo = (dir / "fifo").string();
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  FakePort fake;
  ASSERT_EQ(fake.open(), 0);
  DownloadJob job;
  job.port = &fake.port;
  job.path = fifo.c_str();
  job.send = "never";
  for (auto transfer : {send_binary, send_picture})
    EXPECT_EQ(transfer(&job, nullptr), RESULT_FILE_UNREADABLE);
  EXPECT_TRUE(fake.written().empty());
  std::string why;
  EXPECT_FALSE(open_regular_file(fifo.c_str(), &why));
  EXPECT_EQ(why, "not a regular file");
  EXPECT_FALSE(open_regular_file(dir.c_str(), &why));
  EXPECT_EQ(why, "not a regular file");
  EXPECT_FALSE(open_regular_file((dir / "missing").c_str(), &why));
  EXPECT_EQ(why, "No such file or directory");
  fs::remove_all(dir);
}

}  // namespace
