#include "boot/xmodem.h"

#include <algorithm>
#include <initializer_list>

#include "common/common.h"
#include "common/stop.h"

namespace {

// Reads the receiver makes while waiting for a start request.
constexpr int kStartTries = 1000;
// Reads (1 ms apart when empty) while waiting for the answer to a packet.
constexpr int kPacketReplyTries = 1000;
// The loader erases while the host waits after the erase-size character.
constexpr int kEraseWaitMs = 1000;
constexpr int kEotGapMs = 50;

// Packets needed for the image: imageSize rounded up to whole packets.
int64_t packet_bytes(const DownloadJob* job) {
  const int64_t size = job->imageSize;
  return (size + kXmodemPacketBytes - 1) / kXmodemPacketBytes * kXmodemPacketBytes;
}

// The buffer must hold every byte that the packets carry.
bool buffer_fits(const DownloadJob* job, ImageView image) {
  return job->imageSize >= 0 && packet_bytes(job) <= static_cast<int64_t>(image.size);
}

// Sends the packet, then again for each NAK (at most kXmodemMaxResends
// times), until an ACK. 0 on ACK, else the result code.
int send_until_acked(DownloadJob* job, const uint8_t* data, uint8_t number) {
  for (int resends = 0;; ++resends) {
    discard_arrived_input(job->port);
    xmodem_send_packet(job, data, number);
    const int reply = serial_get_wait(job->port, kPacketReplyTries);
    if (reply == 0) return RESULT_XMODEM_NO_REPLY;
    if (reply == ACK) return RESULT_OK;
    if (reply != NAK) return RESULT_XMODEM_BAD_REPLY;
    if (resends == kXmodemMaxResends) return RESULT_XMODEM_TOO_MANY_NAKS;
  }
}

}  // namespace

char erase_size_char(const DownloadJob* job) {
  if (job->eraseAll != 0) return 'd';
  if (job->imageSize <= 0x8000) return 'a';
  if (job->imageSize <= 0x18000) return 'b';
  if (job->imageSize <= 0x38000) return 'c';
  return 'd';
}

int gen1_download(DownloadJob* job, std::vector<uint8_t> image, ProgressFn progress) {
  return gen1_download(job, image_view(image), progress);
}

int gen1_download(DownloadJob* job, ImageView image, ProgressFn progress) {
  // Refuse before the loader erases anything.
  if (!buffer_fits(job, image)) return RESULT_IMAGE_TOO_LARGE;
  job_stage(job, STAGE_ERASE);
  serial_put(job->port, static_cast<uint8_t>(erase_size_char(job)));
  delay_ms(kEraseWaitMs);
  job_stage(job, STAGE_WRITE);
  return xmodem_download(job, image, progress);
}

int xmodem_start(DownloadJob* job) {
  serial_drain(job->port);
  const int64_t start = serial_trace_wait_start(job->port);
  for (int tries = 0; tries < kStartTries && !stop_requested(); ++tries) {
    uint8_t byte = 0;
    if (serial_get(job->port, &byte) == 0) {
      delay_ms(1);
      continue;
    }
    if (byte == XMODEM_CRC_REQUEST) return RESULT_OK;
    if (byte == CAN) {
      for (uint8_t answer : {ACK, CAN, CAN, CAN}) serial_put(job->port, answer);
      return RESULT_XMODEM_CANCELLED;
    }
  }
  serial_trace_wait_timed_out(job->port, start);
  return RESULT_NOT_DETECTED;
}

void xmodem_send_packet(DownloadJob* job, const uint8_t* data, uint8_t number) {
  serial_put(job->port, STX);
  serial_put(job->port, number);
  serial_put(job->port, static_cast<uint8_t>(255 - number));
  serial_write(job->port, data, kXmodemPacketBytes);
  uint16_t crc = 0;
  for (int i = 0; i < kXmodemPacketBytes; ++i) crc = crc16_update(crc, data[i]);
  serial_put(job->port, static_cast<uint8_t>(crc >> 8));
  serial_put(job->port, static_cast<uint8_t>(crc & 0xFF));
}

int xmodem_download(DownloadJob* job, std::vector<uint8_t> image, ProgressFn progress) {
  return xmodem_download(job, image_view(image), progress);
}

int xmodem_download(DownloadJob* job, ImageView image, ProgressFn progress) {
  if (!buffer_fits(job, image)) return RESULT_IMAGE_TOO_LARGE;
  // The receiver asks twice before the first packet.
  for (int request = 0; request < 2; ++request) {
    const int started = xmodem_start(job);
    if (started != RESULT_OK) return started;
  }
  const int64_t total = packet_bytes(job);
  uint8_t number = 1;
  for (int64_t offset = 0; offset < total; offset += kXmodemPacketBytes) {
    const int sent = send_until_acked(job, image.data + offset, number);
    if (sent != RESULT_OK) return sent;
    ++number;  // 255 wraps to 0
    const int64_t done = std::min<int64_t>(offset + kXmodemPacketBytes, job->imageSize);
    if (job_progress(job, progress, job->imageSize, static_cast<int>(done)) != 0)
      return RESULT_ABORTED;
  }
  serial_put(job->port, EOT);
  delay_ms(kEotGapMs);
  serial_put(job->port, EOT);
  return RESULT_OK;
}
