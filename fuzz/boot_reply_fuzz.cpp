// Fuzz target for the download against a boot loader whose replies come from
// the input: the handshake, the block protocol (generations 2 and 3) and
// XMODEM-1K (generation 1), over the in-memory port on its virtual clock.
//
// Byte 0 picks the raw image's size (bits 0 to 2) and the erase delay in
// seconds (bits 3 and 4). The rest is the loader's answers, one to each write
// the host makes, in order: a count byte n (n % 4 bytes), then n pairs of a
// delay (in 10 ms, after the write) and a byte. Once the answers run out the
// loader is silent.
//
// Checks: no crash, no hang, a result code the download may give, and
// "success" only when every block (every packet) was acknowledged: an ACK
// that became readable after the block was written and before the next one
// was, or at any time after the last one. A packet sent again after a NAK
// counts by its last sending.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <iterator>
#include <string>
#include <vector>

#include "boot/download.h"
#include "boot/xmodem.h"
#include "common/console.h"
#include "common/job.h"
#include "common/stop.h"
#include "fuzz/scratch.h"
#include "tests/support/fake_port.h"

namespace {

constexpr int kBlockWriteBytes = 2000;
const size_t kImageSizes[] = {0, 1, 1999, 2000, 2001, 3000, 5000, 1024};

void check(bool condition) {
  if (!condition) std::abort();
}

std::string image_name(size_t index) {
  return "image" + std::to_string(index) + ".bin";
}

void make_images() {
  static const bool made = [] {
    for (size_t i = 0; i < std::size(kImageSizes); ++i) {
      std::vector<uint8_t> bytes(kImageSizes[i]);
      for (size_t j = 0; j < bytes.size(); ++j) bytes[j] = static_cast<uint8_t>(j * 7 + i);
      fuzz_scratch_file(image_name(i), bytes.data(), bytes.size());
    }
    return true;
  }();
  (void)made;
}

// The loader: one answer per host write, and when each ACK it sent becomes
// readable.
struct Loader {
  const uint8_t* data = nullptr;
  size_t size = 0;
  size_t next = 0;
  int64_t lastQueuedUs = 0;
  std::vector<int64_t> ackTimesUs;

  uint8_t take() { return next < size ? data[next++] : 0; }

  void answer(FakePort& port) {
    const int count = take() % 4;
    for (int i = 0; i < count && next < size; ++i) {
      const double delayMs = take() * 10.0 + 0.1;
      const uint8_t byte = take();
      // As the port queues it: never before the bytes already queued.
      const int64_t at =
          std::max(port.now_us() + static_cast<int64_t>(delayMs * 1000.0), lastQueuedUs);
      lastQueuedUs = at;
      if (byte == ACK) ackTimesUs.push_back(at);
      port.send(std::vector<uint8_t>{byte}, delayMs);
    }
  }
};

// What the host sent: the time each block or packet began, and for packets
// their numbers (the byte after STX).
struct Sends {
  std::vector<int64_t> times;
  std::vector<int> numbers;
};

Sends blocks_sent(const FakePort& fake) {
  Sends sends;
  for (const FakeEvent& e : fake.writes())
    if (e.bytes.size() == kBlockWriteBytes) sends.times.push_back(e.timeUs);
  return sends;
}

Sends packets_sent(const FakePort& fake) {
  Sends sends;
  const std::vector<FakeEvent> writes = fake.writes();
  // STX, the number, 255 - the number, the data, two CRC bytes.
  for (size_t i = 0; i + 3 < writes.size(); ++i) {
    if (writes[i + 3].bytes.size() == kXmodemPacketBytes && writes[i].bytes.size() == 1 &&
        writes[i].bytes[0] == STX && writes[i + 1].bytes.size() == 1) {
      sends.times.push_back(writes[i].timeUs);
      sends.numbers.push_back(writes[i + 1].bytes[0]);
    }
  }
  return sends;
}

bool acked_between(const std::vector<int64_t>& acks, int64_t after, int64_t until) {
  for (int64_t a : acks)
    if (a > after && a <= until) return true;
  return false;
}

// Every block, and every packet's last sending, has an ACK readable in its
// window.
void check_all_acknowledged(const Sends& sends, const std::vector<int64_t>& acks) {
  const size_t n = sends.times.size();
  for (size_t k = 0; k < n; ++k) {
    const bool last = k + 1 == n;
    if (!last && !sends.numbers.empty() && sends.numbers[k] == sends.numbers[k + 1]) continue;
    check(acked_between(acks, sends.times[k], last ? INT64_MAX : sends.times[k + 1]));
  }
}

// The distinct packet numbers, 1 upwards, one per 1024 bytes of the image.
void check_every_packet_sent(const Sends& sends, size_t imageBytes) {
  std::vector<int> distinct = sends.numbers;
  distinct.erase(std::unique(distinct.begin(), distinct.end()), distinct.end());
  check(distinct.size() == (imageBytes + kXmodemPacketBytes - 1) / kXmodemPacketBytes);
  for (size_t i = 0; i < distinct.size(); ++i) check(distinct[i] == static_cast<int>(i + 1));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  make_images();
  const size_t imageIndex = data[0] % std::size(kImageSizes);
  const std::string image = image_name(imageIndex);

  stop_clear();
  FakePort fake;
  if (fake.open() != 0) return 0;
  Loader loader;
  loader.data = data + 1;
  loader.size = size - 1;
  fake.onWrite = [&loader](FakePort& port, const std::vector<uint8_t>&) { loader.answer(port); };
  DownloadJob job;
  job.path = image.c_str();
  job.port = &fake.port;
  job.flashStart = 0x1d000000;
  job.flashSize = 0x20000;
  job.eraseDelay = (data[0] >> 3) & 3;

  std::string output;
  console_capture(&output);
  const int result = download_any_generation(&job, nullptr);
  console_capture(nullptr);
  serial_close(&fake.port);

  const int known[] = {RESULT_OK,
                       RESULT_NO_ERASE_REPLY,
                       RESULT_NOT_DETECTED,
                       RESULT_NO_SUB_VERSION,
                       RESULT_ERASE_REFUSED,
                       RESULT_NO_ACK,
                       RESULT_XMODEM_NO_REPLY,
                       RESULT_XMODEM_BAD_REPLY,
                       RESULT_XMODEM_TOO_MANY_NAKS,
                       RESULT_XMODEM_CANCELLED};
  check(std::find(std::begin(known), std::end(known), result) != std::end(known));
  if (result != RESULT_OK) return 0;
  const Sends blocks = blocks_sent(fake);
  const Sends packets = packets_sent(fake);
  check(blocks.times.empty() || packets.times.empty());
  if (!blocks.times.empty()) {
    // Every block of the image went out: offsets 0, 2000, ... up to its size.
    check(blocks.times.size() == kImageSizes[imageIndex] / kBlockWriteBytes + 1);
    check_all_acknowledged(blocks, loader.ackTimesUs);
  } else {
    check_every_packet_sent(packets, kImageSizes[imageIndex]);
    check_all_acknowledged(packets, loader.ackTimesUs);
  }
  return 0;
}
