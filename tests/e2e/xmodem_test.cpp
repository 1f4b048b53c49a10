// stoker-kit xmodem against a simulated generation-1 loader on a
// pseudo-terminal: whole images, resends, and the failures the wire can give.
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "tests/e2e/support.h"

namespace {

constexpr int kRunLimitMs = 60000;

struct XmodemE2E : testing::Test {
  SimTarget target;
  std::string dir = make_temp_dir();

  std::string file(const std::string& name, const std::vector<uint8_t>& bytes) {
    return put_file(dir, name, bytes);
  }
  // A quiet download of `image` with flash 512 KiB and no erase delay.
  ProcessResult kit_xmodem(const std::string& image, const std::vector<std::string>& extra = {}) {
    std::vector<std::string> args = {
        "xmodem", target.host_port(), "115200", "0x1d000000", "512", "0", image};
    args.insert(args.end(), extra.begin(), extra.end());
    return run_host("stoker-kit", args, kRunLimitMs);
  }
  // What the target kept: whole packets, so the image and then erased flash.
  void expect_received(const std::vector<uint8_t>& data) {
    const size_t packets = (data.size() + 1023) / 1024;
    std::vector<uint8_t> expected = data;
    expected.resize(packets * 1024, 0xFF);
    EXPECT_EQ(target.image(), expected);
  }
};

TEST_F(XmodemE2E, SmallImage) {
  ASSERT_TRUE(target.start({"--gen", "1"}));
  const std::vector<uint8_t> data = pattern_bytes(5000);
  const ProcessResult r = kit_xmodem(file("image.bin", data));
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(r.out, "\nWait .....\nsucess");
  const std::string s = target.summary(5000);
  EXPECT_EQ(SimTarget::field(s, "status"), "ok") << s;
  EXPECT_EQ(SimTarget::field(s, "erase"), "a");
  EXPECT_EQ(SimTarget::field(s, "blocks"), "5");
  expect_received(data);
}

TEST_F(XmodemE2E, ImageOverSixtyFiveThousandBytesArrivesWhole) {
  ASSERT_TRUE(target.start({"--gen", "1"}));
  const std::vector<uint8_t> data = pattern_bytes(70000, 7);
  const ProcessResult r = kit_xmodem(file("image.bin", data), {"--erase-all"});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(r.out, "\nWait " + std::string(69, '.') + "\nsucess");
  const std::string s = target.summary(5000);
  EXPECT_EQ(SimTarget::field(s, "status"), "ok") << s;
  EXPECT_EQ(SimTarget::field(s, "erase"), "d");
  EXPECT_EQ(SimTarget::field(s, "blocks"), "69");
  expect_received(data);
}

TEST_F(XmodemE2E, NakResendsThenSuccess) {
  ASSERT_TRUE(target.start({"--gen", "1", "--nak-first", "5"}));
  const std::vector<uint8_t> data = pattern_bytes(3000, 3);
  const ProcessResult r = kit_xmodem(file("image.bin", data));
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(r.out, "\nWait ...\nsucess");
  EXPECT_EQ(SimTarget::field(target.summary(5000), "status"), "ok");
  expect_received(data);
}

struct FailureCase {
  const char* name;
  std::vector<std::string> options;
  int code;
  int dots;  // packets acknowledged before the failure
};

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const FailureCase& c, std::ostream* os) {
  *os << c.name;
}

class XmodemFailure : public XmodemE2E, public testing::WithParamInterface<FailureCase> {};

TEST_P(XmodemFailure, EndsWithItsCode) {
  const FailureCase& c = GetParam();
  std::vector<std::string> options = {"--gen", "1"};
  options.insert(options.end(), c.options.begin(), c.options.end());
  ASSERT_TRUE(target.start(options));
  const ProcessResult r = kit_xmodem(file("image.bin", pattern_bytes(5000)));
  EXPECT_EQ(r.status, c.code) << r.out << r.err;
  EXPECT_EQ(r.out, "\nWait " + std::string(c.dots, '.') + "\nFail Code =" + std::to_string(c.code));
}

INSTANTIATE_TEST_SUITE_P(
    Wire, XmodemFailure,
    testing::Values(FailureCase{"Cancel", {"--cancel"}, 26, 0},
                    FailureCase{"SilentAfterTwoPackets", {"--silent-after", "2"}, 21, 2},
                    FailureCase{"CorruptAcks", {"--corrupt-acks"}, 22, 0},
                    FailureCase{"NakForever", {"--nak-always"}, 23, 0},
                    FailureCase{"NeverAsksToStart", {"--silent"}, 6, 0}),
    [](const testing::TestParamInfo<FailureCase>& info) { return info.param.name; });

}  // namespace
