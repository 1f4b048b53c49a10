// What stoker-kit's send-file and send-picture tell the user: the failure
// lines for pictures, the plain progress display, and Ctrl-C as an abort.
#include "app/kit_transfer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "app/kit_port.h"
#include "app/kit_progress.h"
#include "common/console.h"
#include "common/file.h"
#include "common/stop.h"
#include "tests/support/bmp_file.h"
#include "tests/support/fake_port.h"
#include "toolkit/image/bmp.h"
#include "toolkit/transfer/transfer.h"

namespace fs = std::filesystem;

namespace {

class KitTransfer : public testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::path(testing::TempDir()) /
           (std::string("kit_transfer_") +
            testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override {
    console_capture(nullptr);
    stop_clear();
    fs::remove_all(dir_);
  }

  std::string put(const char* name, const std::vector<uint8_t>& bytes) const {
    const std::string path = (dir_ / name).string();
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    return path;
  }

  // The line for a picture refused with code, after reading it as
  // send-picture does (the module's status and the header fields).
  static std::string refused(int code, const std::string& path) {
    BmpImage header;
    FilePtr file(std::fopen(path.c_str(), "rb"));
    bmp_release(file ? bmp_read_file(file.get(), &header) : bmp_read(path.c_str()));
    return kit_picture_failure(code, path, header);
  }

  fs::path dir_;
};

bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

TEST_F(KitTransfer, VariantsTheModuleDoesNotReadComeWithAWayOut) {
  for (uint32_t infoSize : {108u, 124u}) {
    BmpFile file = colour_bmp(2, 2);
    file.infoSize = infoSize;
    const std::string path = put("v.bmp", file.bytes());
    const std::string line = refused(RESULT_FILE_UNREADABLE, path);
    EXPECT_TRUE(contains(line, "File is not a supported BMP variant")) << line;
    EXPECT_TRUE(contains(line, std::to_string(infoSize) + "-byte information header")) << line;
    EXPECT_TRUE(contains(line, "Image.open('" + path + "').convert('RGB').save(")) << line;
    EXPECT_TRUE(contains(line, "no colour space information")) << line;
    EXPECT_EQ(line.find('\n'), std::string::npos);
  }
  BmpFile packed = colour_bmp(2, 2);
  packed.compression = 3;
  packed.bitCount = 16;
  EXPECT_TRUE(contains(refused(1, put("p.bmp", packed.bytes())), "compressed (compression 3)"));
  packed.compression = 0;
  EXPECT_TRUE(contains(refused(1, put("p.bmp", packed.bytes())), "it has 16 bits per pixel"));
}

TEST_F(KitTransfer, OtherPictureFailures) {
  const std::string missing = (dir_ / "missing.bmp").string();
  EXPECT_EQ(refused(1, missing), "cannot load " + missing + ": File not found");
  const std::string junk = put("junk.bmp", {'B', 'M', 1, 2});
  EXPECT_EQ(refused(1, junk), "cannot load " + junk + ": File is not a valid BMP image");

  const std::string deep = put("deep.bmp", colour_bmp(2, 2, 32).bytes());
  const std::string line = refused(TRANSFER_NOT_24_BITS, deep);
  EXPECT_TRUE(contains(line, deep + " has 32 bits per pixel, and only 24-bit pictures are sent"))
      << line;
  EXPECT_TRUE(contains(line, "save it as a plain 24-bit BMP")) << line;

  // Too wide or too high for the stream: the size and the limit. A picture
  // stored top-down gives its height as a number of rows all the same.
  BmpFile tall = colour_bmp(2, 70000);
  EXPECT_EQ(refused(TRANSFER_TOO_LARGE, put("tall.bmp", tall.bytes())),
            (dir_ / "tall.bmp").string() +
                " is 2 x 70000 pixels, and the picture stream carries at most 65535 in either "
                "direction");
  tall.height = static_cast<uint32_t>(-70000);
  EXPECT_TRUE(contains(refused(TRANSFER_TOO_LARGE, put("down.bmp", tall.bytes())), " 2 x 70000 "));
}

TEST_F(KitTransfer, PlainProgressShowsEachTenthOnce) {
  if (console_is_terminal()) GTEST_SKIP() << "standard output is a terminal: the bar is drawn";
  std::string out;
  console_capture(&out);
  kit_progress_begin("send", 2000);
  for (int done = 0; done <= 100; ++done) ASSERT_EQ(kit_progress(100, done), 0);
  kit_progress_end(true);
  EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 11) << out;
  EXPECT_TRUE(contains(out, "send 50%  1000/2000 bytes")) << out;
  EXPECT_TRUE(contains(out, "send 100%  2000/2000 bytes")) << out;

  // Done values that stop short of the total (a picture's last row is
  // height - 1): the end shows 100% all the same, and only once.
  out.clear();
  kit_progress_begin("pic", 300);
  for (int row = 0; row < 3; ++row) kit_progress(3, row);
  kit_progress_end(true);
  EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 4) << out;
  EXPECT_TRUE(contains(out, "pic 66%  200/300 bytes")) << out;
  EXPECT_TRUE(contains(out, "\npic 100%  300/300 bytes")) << out;
  kit_progress_end(true);  // ended already: nothing more
  EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 4) << out;
}

TEST_F(KitTransfer, CtrlCStopsATransferAsAbort) {
  FakePort fake;
  ASSERT_EQ(fake.open(), 0);
  DownloadJob job;
  job.port = &fake.port;
  const std::string path = put("data.bin", std::vector<uint8_t>(100, 7));
  job.path = path.c_str();
  std::string out;
  console_capture(&out);
  kit_progress_begin("send-file", 100);
  int calls = 0;
  fake.onWrite = [&calls](FakePort&, const std::vector<uint8_t>&) {
    if (++calls == 3) stop_request();
  };
  EXPECT_EQ(send_binary(&job, kit_progress), RESULT_ABORTED);
  EXPECT_EQ(fake.written().size(), 12u);
  kit_progress_end(false);
  // Whatever a stopped transfer reports, its exit status is 4.
  EXPECT_EQ(transfer_status(TRANSFER_WRITE_FAILED), RESULT_ABORTED);
  EXPECT_EQ(transfer_status(RESULT_OK), RESULT_OK);
  stop_clear();
  EXPECT_EQ(transfer_status(TRANSFER_WRITE_FAILED), TRANSFER_WRITE_FAILED);
}

}  // namespace
