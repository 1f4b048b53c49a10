// XMODEM-1K sender against a scripted receiver on the fake port.
#include "boot/xmodem.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "app/kit_xmodem.h"
#include "common/common.h"
#include "common/console.h"
#include "tests/support/fake_port.h"

namespace {

constexpr int kFrame = 1029;

struct Packet {
  std::vector<uint8_t> raw;  // all 1029 bytes
  uint8_t number() const { return raw[1]; }
  std::vector<uint8_t> data() const { return {raw.begin() + 3, raw.begin() + 1027}; }
  uint16_t crc() const { return static_cast<uint16_t>(raw[1027] << 8 | raw[1028]); }
};

// A receiver that collects the host's packets and answers each one through
// `answer` (ACK unless the test says otherwise). Bytes outside packets (the
// erase-size character, EOT, the answer to CAN) land in `other`.
struct Receiver {
  std::vector<Packet> packets;
  std::vector<FakeEvent> other;
  std::function<std::vector<uint8_t>(const Packet&)> answer = [](const Packet&) {
    return std::vector<uint8_t>{ACK};
  };
  // Called with each byte outside a packet.
  std::function<void(FakePort&, uint8_t)> onOther;
  std::vector<uint8_t> partial;

  void attach(FakePort& fake) {
    fake.onWrite = [this](FakePort& f, const std::vector<uint8_t>& bytes) {
      for (uint8_t b : bytes) take(f, b);
    };
  }
  void take(FakePort& f, uint8_t b) {
    if (partial.empty() && b != STX) {
      other.push_back({FakeEvent::Write, f.now_us(), {b}, false});
      if (onOther) onOther(f, b);
      return;
    }
    partial.push_back(b);
    if (partial.size() < kFrame) return;
    packets.push_back({partial});
    partial.clear();
    f.send(answer(packets.back()), 5);
  }
  std::vector<uint8_t> other_bytes() const {
    std::vector<uint8_t> out;
    for (const FakeEvent& e : other) out.push_back(e.bytes[0]);
    return out;
  }
};

class XmodemTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(fake.open(), 0);
    job.port = &fake.port;
    rx.attach(fake);
  }
  // An image of `size` counting bytes in a buffer of `size` + `spare` bytes
  // of 0xFF, with the job sized as the driver sizes it.
  std::vector<uint8_t> make_image(int size, int spare = 2000 + 255) {
    std::vector<uint8_t> image(size + spare, kErasedByte);
    for (int i = 0; i < size; ++i) image[i] = static_cast<uint8_t>(i * 7 + i / 256);
    size_image(&job, size);
    return image;
  }
  // The receiver's two start requests, a second apart.
  void request_start() {
    fake.send("C", 10);
    fake.send("C", 1010);
  }
  std::vector<uint8_t> received() const {
    std::vector<uint8_t> all;
    for (const Packet& p : rx.packets) {
      std::vector<uint8_t> d = p.data();
      all.insert(all.end(), d.begin(), d.end());
    }
    return all;
  }

  FakePort fake;
  DownloadJob job;
  Receiver rx;
};

uint16_t crc_of(const std::vector<uint8_t>& bytes) {
  uint16_t crc = 0;
  for (uint8_t b : bytes) crc = crc16_update(crc, b);
  return crc;
}

TEST(XmodemCrc, KnownValuesAndTable) {
  const std::string check = "123456789";
  EXPECT_EQ(crc_of({check.begin(), check.end()}), 0x31C3);
  EXPECT_EQ(crc_of(std::vector<uint8_t>(1024, 0)), 0);
  static_assert(crc16_table[0] == 0 && crc16_table[1] == 0x1021, "table built at compile time");
  EXPECT_EQ(crc16_table[2], 0x2042);
  EXPECT_EQ(crc16_table[0x80], 0x9188);
  EXPECT_EQ(crc16_table[0xFF], 0x1EF0);
}

TEST(XmodemEraseSize, TableBoundaries) {
  const std::vector<std::pair<int, char>> cases = {{0, 'a'},      {32768, 'a'},  {32769, 'b'},
                                                   {98304, 'b'},  {98305, 'c'},  {229376, 'c'},
                                                   {229377, 'd'}, {1 << 20, 'd'}};
  DownloadJob job;
  for (const auto& [size, expected] : cases) {
    job.imageSize = size;
    EXPECT_EQ(erase_size_char(&job), expected) << size;
  }
  job.eraseAll = 1;
  job.imageSize = 100;
  EXPECT_EQ(erase_size_char(&job), 'd');
}

TEST_F(XmodemTest, Gen1SendsEraseSizeThenWaitsBeforeTheTransfer) {
  std::vector<uint8_t> image = make_image(40000);
  fake.send("C", 1010);
  fake.send("C", 2010);
  const int64_t start = fake.now_us();
  EXPECT_EQ(gen1_download(&job, std::move(image), nullptr), RESULT_OK);
  ASSERT_FALSE(rx.other.empty());
  EXPECT_EQ(rx.other[0].bytes[0], 'b');
  ASSERT_EQ(rx.packets.size(), 40u);
  // The first packet goes out after the 1000 ms erase wait.
  EXPECT_GE(fake.writes()[1].timeUs - start, 1000 * 1000);
}

TEST_F(XmodemTest, CancelDuringStartIsAnsweredAndReported) {
  fake.send(std::vector<uint8_t>{CAN}, 10);
  EXPECT_EQ(xmodem_download(&job, make_image(5000), nullptr), RESULT_XMODEM_CANCELLED);
  EXPECT_EQ(fake.written(), (std::vector<uint8_t>{ACK, CAN, CAN, CAN}));
  EXPECT_TRUE(rx.packets.empty());
}

TEST_F(XmodemTest, StartTriesCountOtherBytesWithoutPause) {
  // 999 other bytes, each one try and no pause, then the 'C' on the last try.
  fake.send(std::string(999, 'x') + "C", 3);
  const double before = fake.now_ms();
  EXPECT_EQ(xmodem_start(&job), RESULT_OK);
  EXPECT_LT(fake.now_ms() - before, 10.0);
  // 1000 other bytes use up every try: the 'C' after them is never read.
  fake.send(std::string(1000, 'x') + "C", 3);
  EXPECT_EQ(xmodem_start(&job), RESULT_NOT_DETECTED);
  EXPECT_EQ(fake.pending(), 1u);
}

TEST_F(XmodemTest, StartGivesUpOnSilenceAndDrainsEarlyRequests) {
  fake.send("C");  // already there: the drain discards it
  const double before = fake.now_ms();
  EXPECT_EQ(xmodem_start(&job), RESULT_NOT_DETECTED);
  // 1000 empty reads (2 ms each on the fake), each followed by a 1 ms pause.
  EXPECT_GE(fake.now_ms() - before, 3000.0);
  EXPECT_TRUE(fake.written().empty());
}

TEST_F(XmodemTest, OneStartRequestIsNotEnough) {
  fake.send("C", 10);
  EXPECT_EQ(xmodem_download(&job, make_image(5000), nullptr), RESULT_NOT_DETECTED);
  EXPECT_TRUE(fake.written().empty());
}

TEST_F(XmodemTest, PacketFraming) {
  request_start();
  std::vector<uint8_t> image = make_image(1024);
  const std::vector<uint8_t> expected(image.begin(), image.begin() + 1024);
  EXPECT_EQ(xmodem_download(&job, std::move(image), nullptr), RESULT_OK);
  ASSERT_EQ(rx.packets.size(), 1u);
  const Packet& p = rx.packets[0];
  EXPECT_EQ(p.raw[0], STX);
  EXPECT_EQ(p.raw[1], 0x01);
  EXPECT_EQ(p.raw[2], 0xFE);
  EXPECT_EQ(p.data(), expected);
  EXPECT_EQ(p.crc(), crc_of(expected));
  // Five single-byte framing writes around one 1024-byte data write.
  std::vector<size_t> sizes;
  for (const FakeEvent& e : fake.writes()) sizes.push_back(e.bytes.size());
  EXPECT_EQ(sizes, (std::vector<size_t>{1, 1, 1, 1024, 1, 1, 1, 1}));  // + two EOT
}

TEST_F(XmodemTest, NumbersWrapAndTheWholeLargeImageArrives) {
  request_start();
  const int size = 258 * 1024 + 100;  // 259 packets
  std::vector<uint8_t> image = make_image(size);
  const std::vector<uint8_t> expected(image.begin(), image.begin() + 259 * 1024);
  ASSERT_LT(job.blockSize, size);  // counting must not stop at blockSize
  EXPECT_EQ(xmodem_download(&job, std::move(image), nullptr), RESULT_OK);
  ASSERT_EQ(rx.packets.size(), 259u);
  for (size_t i = 0; i < rx.packets.size(); ++i) {
    const Packet& p = rx.packets[i];
    ASSERT_EQ(p.number(), static_cast<uint8_t>(i + 1)) << i;
    ASSERT_EQ(p.raw[2], static_cast<uint8_t>(255 - p.number())) << i;
    ASSERT_EQ(p.crc(), crc_of(p.data())) << i;
  }
  EXPECT_EQ(rx.packets[254].number(), 255);
  EXPECT_EQ(rx.packets[255].number(), 0);
  EXPECT_EQ(received(), expected);  // the image, then erased-flash filler
}

TEST_F(XmodemTest, SeventyThousandBytesGoOutWhole) {
  request_start();
  std::vector<uint8_t> image = make_image(70000);
  const std::vector<uint8_t> expected(image.begin(), image.begin() + 69 * 1024);
  EXPECT_EQ(job.blockSize, 35000);
  EXPECT_EQ(xmodem_download(&job, std::move(image), nullptr), RESULT_OK);
  EXPECT_EQ(rx.packets.size(), 69u);
  EXPECT_EQ(received(), expected);
}

TEST_F(XmodemTest, EmptyImageSendsOnlyTwoEotsFiftyMsApart) {
  request_start();
  EXPECT_EQ(xmodem_download(&job, make_image(0), nullptr), RESULT_OK);
  EXPECT_TRUE(rx.packets.empty());
  ASSERT_EQ(rx.other_bytes(), (std::vector<uint8_t>{EOT, EOT}));
  EXPECT_GE(rx.other[1].timeUs - rx.other[0].timeUs, 50 * 1000);
}

TEST_F(XmodemTest, NakResendsTheSamePacket) {
  request_start();
  int naks = 5;
  rx.answer = [&](const Packet&) { return std::vector<uint8_t>{naks-- > 0 ? NAK : ACK}; };
  EXPECT_EQ(xmodem_download(&job, make_image(2048), nullptr), RESULT_OK);
  ASSERT_EQ(rx.packets.size(), 7u);
  for (int i = 0; i < 6; ++i) EXPECT_EQ(rx.packets[i].raw, rx.packets[0].raw) << i;
  EXPECT_EQ(rx.packets[0].number(), 1);
  EXPECT_EQ(rx.packets[6].number(), 2);
  EXPECT_EQ(rx.other_bytes(), (std::vector<uint8_t>{EOT, EOT}));
}

TEST_F(XmodemTest, AReplyLeftOverIsNotTakenForTheNextPacket) {
  // The first packet answered twice (ACK ACK, or NAK ACK: the ACK left over
  // would pass for the next sending's), then silence.
  for (const std::vector<uint8_t>& first : {std::vector<uint8_t>{ACK, ACK}, {NAK, ACK}}) {
    request_start();
    rx.packets.clear();
    bool answered = false;
    rx.answer = [&](const Packet&) {
      if (answered) return std::vector<uint8_t>{};
      answered = true;
      return first;
    };
    EXPECT_EQ(xmodem_download(&job, make_image(2048), nullptr), RESULT_XMODEM_NO_REPLY);
    EXPECT_EQ(rx.packets.size(), 2u);
  }
}

TEST_F(XmodemTest, ResendsAreBounded) {
  request_start();
  int naks = 10;  // ten resends are allowed
  rx.answer = [&](const Packet&) { return std::vector<uint8_t>{naks-- > 0 ? NAK : ACK}; };
  EXPECT_EQ(xmodem_download(&job, make_image(1000), nullptr), RESULT_OK);
  EXPECT_EQ(rx.packets.size(), 11u);

  request_start();
  rx.packets.clear();
  rx.other.clear();
  rx.answer = [](const Packet&) { return std::vector<uint8_t>{NAK}; };
  EXPECT_EQ(xmodem_download(&job, make_image(1000), nullptr), RESULT_XMODEM_TOO_MANY_NAKS);
  EXPECT_EQ(rx.packets.size(), 11u);
  EXPECT_TRUE(rx.other.empty());  // no EOT after a failure
}

TEST_F(XmodemTest, MissingOrBadRepliesEndTheTransfer) {
  struct Case {
    std::vector<uint8_t> replies;  // answers to successive sends
    int result;
    size_t packets;  // sends made, resends included
  };
  const std::vector<Case> cases = {
      {{}, RESULT_XMODEM_NO_REPLY, 1},          {{0x00}, RESULT_XMODEM_NO_REPLY, 1},
      {{NAK}, RESULT_XMODEM_NO_REPLY, 2},       {{CAN}, RESULT_XMODEM_BAD_REPLY, 1},
      {{ACK, 'X'}, RESULT_XMODEM_BAD_REPLY, 2}, {{NAK, EOT}, RESULT_XMODEM_BAD_REPLY, 2}};
  for (const Case& c : cases) {
    rx.packets.clear();
    rx.other.clear();
    size_t next = 0;
    rx.answer = [&](const Packet&) {
      return next < c.replies.size() ? std::vector<uint8_t>{c.replies[next++]}
                                     : std::vector<uint8_t>{};
    };
    request_start();
    EXPECT_EQ(xmodem_download(&job, make_image(3000), nullptr), c.result) << c.replies.size();
    EXPECT_EQ(rx.packets.size(), c.packets);
    EXPECT_TRUE(rx.other.empty());
  }
}

std::vector<std::pair<int, int>> g_calls;
int g_abort_at = 0;
int record_progress(int total, int done) {
  g_calls.push_back({total, done});
  return static_cast<int>(g_calls.size()) == g_abort_at ? 1 : 0;
}

TEST_F(XmodemTest, ProgressAfterEachAcknowledgedPacketAndAbort) {
  g_calls.clear();
  g_abort_at = 0;
  request_start();
  EXPECT_EQ(xmodem_download(&job, make_image(2500), record_progress), RESULT_OK);
  EXPECT_EQ(g_calls, (std::vector<std::pair<int, int>>{{2500, 1024}, {2500, 2048}, {2500, 2500}}));

  g_calls.clear();
  g_abort_at = 2;
  rx.packets.clear();
  rx.other.clear();
  request_start();
  EXPECT_EQ(xmodem_download(&job, make_image(5000), record_progress), RESULT_ABORTED);
  EXPECT_EQ(rx.packets.size(), 2u);
  EXPECT_TRUE(rx.other.empty());
}

TEST_F(XmodemTest, BufferShorterThanThePacketsIsRefusedBeforeSending) {
  request_start();
  // 1025 bytes need two packets, 2048 bytes of buffer.
  EXPECT_EQ(gen1_download(&job, make_image(1025, 1000), nullptr), RESULT_IMAGE_TOO_LARGE);
  EXPECT_EQ(xmodem_download(&job, make_image(1025, 1000), nullptr), RESULT_IMAGE_TOO_LARGE);
  EXPECT_TRUE(fake.written().empty());
  EXPECT_EQ(xmodem_download(&job, make_image(1025, 1023), nullptr), RESULT_OK);
}

// The stoker-kit operation: stoker's checks and run, with a silent loader
// let through to the erase-size character and XMODEM-1K.
TEST_F(XmodemTest, KitRunsTheDownloadForASilentLoader) {
  const std::string path = ::testing::TempDir() + "xmodem_kit_image.bin";
  std::vector<uint8_t> image(5000);
  for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i % 251);
  FILE* file = std::fopen(path.c_str(), "wb");
  ASSERT_NE(file, nullptr);
  std::fwrite(image.data(), 1, image.size(), file);
  std::fclose(file);
  // Silent after the entry byte; asks to start after the erase-size character.
  rx.onOther = [](FakePort& f, uint8_t b) {
    if (b >= 'a' && b <= 'd') {
      f.send("C", 1010);
      f.send("C", 2010);
    }
  };
  serial_close(&fake.port);
  KitXmodemArgs args;
  args.eraseAll = true;
  args.port = "/dev/fake";
  args.baud = "115200";
  args.flashStart = "0x1d000000";
  args.flashSizeK = "256";
  args.delay = "0";
  args.file = path;
  std::string out;
  console_capture(&out);
  const int status = kit_xmodem(args, &fake.port);
  args.flashSizeK = "127";  // checked as stoker checks it
  const int refused = kit_xmodem(args, &fake.port);
  console_capture(nullptr);
  std::remove(path.c_str());

  EXPECT_EQ(status, 0);
  ASSERT_GE(rx.other_bytes().size(), 2u);
  EXPECT_EQ(rx.other_bytes()[0], 0x5C);  // entry byte
  EXPECT_EQ(rx.other_bytes()[1], 'd');   // --erase-all
  ASSERT_EQ(rx.packets.size(), 5u);
  std::vector<uint8_t> sent = received();
  sent.resize(image.size());
  EXPECT_EQ(sent, image);
  EXPECT_NE(out.find("\nWait .....\nsucess"), std::string::npos) << out;
  EXPECT_EQ(refused, 1);
  EXPECT_NE(out.find("\nflash Size (130048) is wrong"), std::string::npos) << out;
}

}  // namespace
