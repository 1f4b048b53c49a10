// stoker-kit flash: its argument checks, the bytes its progress reports
// stand for, its summary, and the display redrawn in place on a terminal.
#include "app/kit_flash.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <string>

#include "app/kit_progress.h"
#include "common/console.h"

namespace {

struct CheckCase {
  const char* start;
  const char* sizeK;
  const char* delay;
  bool fileExists;
  const char* error;  // a piece of the message; nullptr when accepted
};

TEST(KitFlash, ArgumentChecks) {
  const std::string image = testing::TempDir() + "kit_flash_image.bin";
  std::ofstream(image) << "x";
  const CheckCase cases[] = {
      {"0x1d000000", "512", "4", true, nullptr},
      {"1D000000", "128", "0", true, nullptr},
      {"0x1d080000", "512", "3600", true, nullptr},  // the window's top is allowed
      {"0x1d080001", "512", "4", true,
       "flash start 0x1d080001 is outside 0x1d000000 to 0x1d080000"},
      {"0x1cffffff", "512", "4", true, "is outside"},
      {"0x", "512", "4", true, "not a flash address: '0x'"},
      {"1d00zz00", "512", "4", true, "not a flash address"},
      {"0x1d0000000", "512", "4", true, "not a flash address"},
      {"0x1d000000", "127", "4", true, "not a flash size: '127' (KiB, 128 to 475648"},
      {"0x1d000000", "475648", "4", true, nullptr},
      {"0x1d000000", "475649", "4", true, "not a flash size"},
      {"0x1d000000", "-512", "4", true, "not a flash size"},
      {"0x1d000000", "512", "3601", true, "not an erase delay: '3601'"},
      {"0x1d000000", "512", "", true, "not an erase delay"},
      {"0x1d000000", "512", "4", false, "cannot open the image"},
  };
  for (const CheckCase& c : cases) {
    KitFlashArgs args;
    args.flashStart = c.start;
    args.flashSizeK = c.sizeK;
    args.delay = c.delay;
    args.file = c.fileExists ? image : image + ".missing";
    args.eraseAll = true;
    DownloadJob job;
    std::string error;
    const bool ok = kit_flash_check(args, &job, &error);
    const std::string label = std::string(c.start) + " " + c.sizeK + " " + c.delay;
    if (c.error == nullptr) {
      EXPECT_TRUE(ok) << label << ": " << error;
      EXPECT_EQ(job.flashSize, std::stoi(c.sizeK) * 1024) << label;
      EXPECT_EQ(job.eraseDelay, std::stoi(c.delay)) << label;
      EXPECT_EQ(job.eraseAll, 1u);
      EXPECT_STREQ(job.path, args.file.c_str());
    } else {
      EXPECT_FALSE(ok) << label;
      EXPECT_NE(error.find(c.error), std::string::npos) << label << ": " << error;
    }
  }
}

TEST(KitFlash, BytesAReportStandsFor) {
  struct Case {
    int generation, total, done;
    long long bytes;
  };
  const Case cases[] = {
      // Blocks report the offset of the block just written.
      {3, 5000, 0, 2000},
      {3, 5000, 4000, 5000},
      {2, 4000, 4000, 4000},  // the block wholly after an image of whole blocks
      {3, 0, 0, 0},
      // Packets report the bytes acknowledged.
      {1, 5000, 1024, 1024},
      {1, 5000, 5000, 5000},
  };
  for (const Case& c : cases)
    EXPECT_EQ(kit_flash_bytes_done(c.generation, c.total, c.done), c.bytes)
        << c.generation << " " << c.total << " " << c.done;
}

TEST(KitFlash, Summary) {
  EXPECT_EQ(kit_flash_summary(262144, "/dev/ttyUSB0", 23.04, 3),
            "Wrote 262144 bytes to /dev/ttyUSB0 in 23.0 s (11.4 kB/s), generation 3");
  EXPECT_EQ(kit_flash_summary(5000, "usb:0403:6001#2", 2.5, 1),
            "Wrote 5000 bytes to usb:0403:6001#2 in 2.5 s (2.0 kB/s), generation 1");
}

TEST(KitFlash, TerminalDisplayIsOneLineRedrawnInPlace) {
  std::string out;
  console_capture(&out);
  KitProgress display;
  kit_progress_start(&display, "flash", 10000, true);
  kit_progress_show(&display, 2000);
  kit_progress_show(&display, 4000);  // within a tenth of a second: not drawn
  kit_progress_finish(&display, true);
  console_capture(nullptr);
  EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1) << out;
  EXPECT_EQ(out.back(), '\n');
  EXPECT_EQ(std::count(out.begin(), out.end(), '\r'), 2) << out;
  EXPECT_EQ(out.find("\rflash [======>"), 0u) << out;
  EXPECT_NE(out.find(" 20%  2000/10000 bytes"), std::string::npos) << out;
  EXPECT_EQ(out.find("4000/10000"), std::string::npos) << out;
  const size_t last = out.rfind('\r');
  EXPECT_NE(out.find("100%  10000/10000 bytes  ", last), std::string::npos) << out;
  EXPECT_NE(out.find("B/s", last), std::string::npos) << "the rate, once known: " << out;
}

}  // namespace
