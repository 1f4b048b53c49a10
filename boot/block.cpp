// Block download: sub-version, size announcement, erase pause, then
// 2000-byte blocks, each answered by the loader with ACK.
#include "boot/block.h"

#include "common/console.h"

namespace {

constexpr uint8_t kSubVersionRequest = 'v';
constexpr int kMaxDeBytes = 150;
// Older loaders are told how much flash to erase: all but this much.
constexpr int32_t kEraseSizeAllowance = 35840;

// Sends a 32-bit value, most significant byte first, one byte at a time.
void put_size(SerialPort* port, uint32_t value) {
  for (int shift = 24; shift >= 0; shift -= 8)
    serial_put(port, static_cast<uint8_t>(value >> shift));
}

void announce_size(DownloadJob* job, int subVersion) {
  if (subVersion >= 3) {
    put_size(job->port, static_cast<uint32_t>(job->imageSize));
    if (job->verbose) console_print("\nSent size to target =%d", job->imageSize);
    return;
  }
  const uint32_t value = static_cast<uint32_t>(job->flashSize) - kEraseSizeAllowance;
  put_size(job->port, value);
  if (job->verbose) {
    console_print("\nOlder boot loader : ");
    console_print("Sent size to target for erase=%u", value);
  }
}

// Waits the job's erase delay, a second at a time (no overflow for large
// values; nothing for zero or negative ones).
void wait_for_erase(const DownloadJob* job) {
  if (job->verbose)
    console_print("\nDelaying %d seconds to allow flash to be erased", job->eraseDelay);
  for (int32_t s = 0; s < job->eraseDelay; ++s) delay_ms(1000);
}

int send_blocks(DownloadJob* job, ImageView image, ProgressFn progress) {
  for (int64_t offset = 0; offset <= job->imageSize; offset += kBlockBytes) {
    discard_arrived_input(job->port);
    serial_write(job->port, image.data + offset, kBlockBytes);
    if (job_progress(job, progress, job->imageSize, static_cast<int>(offset)) != 0)
      return RESULT_ABORTED;
    if (!waitfor(job->port, ACK)) return RESULT_NO_ACK;
  }
  return RESULT_OK;
}

}  // namespace

int get_sub_version(DownloadJob* job) {
  serial_put(job->port, kSubVersionRequest);
  uint8_t last = 'D';
  int left = kMaxDeBytes;
  // The loader may still be sending its generation letter: skip those.
  while (last == 'D' || last == 'E') {
    if (!get_reply(job->port, &last)) return 0;
    if (left == 0) return 0;
    --left;
  }
  return last;
}

int block_download(DownloadJob* job, std::vector<uint8_t> image, ProgressFn progress) {
  return block_download(job, image_view(image), progress);
}

int block_download(DownloadJob* job, ImageView image, ProgressFn progress) {
  // Every block is a whole kBlockBytes read from the buffer: it must reach
  // that far past the image.
  if (job->imageSize < 0 ||
      image.size < static_cast<size_t>(job->imageSize) + static_cast<size_t>(kBlockBytes))
    return RESULT_IMAGE_TOO_LARGE;
  if (job->verbose) console_print("\nOn this version all flash is erased before sending");
  const int subVersion = get_sub_version(job);
  if (job->verbose) console_print("\nBoot loader 2 sub version returned %d", subVersion);
  if (subVersion == 0) return RESULT_NO_SUB_VERSION;
  announce_size(job, subVersion);
  job_stage(job, STAGE_ERASE);
  wait_for_erase(job);

  uint8_t reply = 0;
  if (!get_reply(job->port, &reply)) return RESULT_NO_ERASE_REPLY;
  if (job->verbose) console_print("\nValue came back=%d", reply);
  if (reply == NAK) return RESULT_ERASE_REFUSED;
  if (job->verbose) console_print("\nSending blocks");
  job_stage(job, STAGE_WRITE);
  return send_blocks(job, image, progress);
}
