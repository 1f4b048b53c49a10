#include "toolkit/transfer/transfer.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <utility>

#include "common/file.h"
#include "serial/serial.h"
#include "toolkit/image/bmp.h"
#include "toolkit/text/text.h"

namespace {

constexpr int kMaxProgressTotal = 65000;
constexpr size_t kBinaryWrite = 4;
// A chunk goes out once it holds more than this; with 3 bytes a pixel every
// full chunk is 66 bytes.
constexpr size_t kChunkFill = 63;
constexpr int kPixelsPerLine = 6;  // of the header file

bool port_open(const DownloadJob* job) {
  return job != nullptr && serial_is_open(job->port) != 0;
}

struct ImageReleaser {
  void operator()(BmpImage* image) const { bmp_release(image); }
};
using ImagePtr = std::unique_ptr<BmpImage, ImageReleaser>;

// A pixel as the stream carries it: red, green, blue at 6 bits each.
void stream_pixel(const BmpImage* image, uint32_t x, uint32_t y, uint8_t out[3]) {
  uint8_t red = 0, green = 0, blue = 0;
  bmp_rgb_at(image, x, y, &red, &green, &blue);
  out[0] = static_cast<uint8_t>(red / 4);
  out[1] = static_cast<uint8_t>(green / 4);
  out[2] = static_cast<uint8_t>(blue / 4);
}

void stream_head(uint32_t width, uint32_t height, uint8_t out[4]) {
  out[0] = static_cast<uint8_t>(height >> 8);
  out[1] = static_cast<uint8_t>(height);
  out[2] = static_cast<uint8_t>(width >> 8);
  out[3] = static_cast<uint8_t>(width);
}

// The stream as a C array, a line break after every sixth pixel.
bool write_header_text(FILE* file, const BmpImage* image, uint32_t width, uint32_t height) {
  uint8_t head[4];
  stream_head(width, height, head);
  std::fprintf(file, "\nconst unsigned char pic[]={ %d,%d,%d,%d", head[0], head[1], head[2],
               head[3]);
  int onLine = 0;
  for (uint32_t y = 0; y < height; ++y) {
    for (uint32_t x = 0; x < width; ++x) {
      uint8_t pixel[3];
      stream_pixel(image, x, y, pixel);
      std::fprintf(file, ",%d,%d,%d", pixel[0], pixel[1], pixel[2]);
      if (++onLine >= kPixelsPerLine) {
        onLine = 0;
        std::fputs("\n", file);
      }
    }
  }
  std::fputs(" };\n", file);
  return std::ferror(file) == 0;
}

// Writes kPictureHeaderFile; false with *error saying why it could not.
bool write_header_file(const BmpImage* image, uint32_t width, uint32_t height, std::string* error) {
  return write_file_replacing_with(
      kPictureHeaderFile, [=](FILE* file) { return write_header_text(file, image, width, height); },
      error);
}

// Fills in the report when there is one.
int reported(TransferReport* report, int result, std::string detail) {
  if (report != nullptr) report->detail = std::move(detail);
  return result;
}

}  // namespace

ProgressScale binary_progress_scale(int64_t size) {
  // The smallest divisor d with size / d <= 65000 is size / 65001 + 1 (1 up
  // to 65000 bytes).
  const int64_t divisor = size / (kMaxProgressTotal + 1) + 1;
  return {static_cast<int>(size / divisor), divisor};
}

int send_binary(DownloadJob* job, ProgressFn progress) {
  if (!port_open(job)) return RESULT_PORT_CLOSED;
  if (job->path == nullptr) return RESULT_FILE_UNREADABLE;
  FilePtr file = open_regular_file(job->path);
  int64_t size = 0;
  if (!file || !stream_length(file.get(), &size)) return RESULT_FILE_UNREADABLE;
  return send_binary_file(job, file.get(), size, progress, nullptr);
}

int send_binary_file(DownloadJob* job, FILE* file, int64_t size, ProgressFn progress,
                     TransferReport* report) {
  if (!port_open(job)) return RESULT_PORT_CLOSED;
  if (file == nullptr || size < 0) return RESULT_FILE_UNREADABLE;
  TransferReport ignored;
  TransferReport& counts = report != nullptr ? *report : ignored;
  counts.size = size;
  counts.sent = 0;
  const ProgressScale scale = binary_progress_scale(size);
  if (report_progress(progress, scale.total, 0) != 0) return RESULT_ABORTED;
  if (send_text_first(job->port, job->send) != 0) return TRANSFER_WRITE_FAILED;

  uint8_t buffer[kBinaryWrite];
  for (;;) {
    // Never past the length the file had at the start: a file that grows is
    // sent as it was announced.
    const size_t want = static_cast<size_t>(std::min<int64_t>(kBinaryWrite, size - counts.sent));
    if (std::fread(buffer, 1, want, file) != want) {
      return reported(
          report, RESULT_FILE_UNREADABLE,
          "sent " + std::to_string(counts.sent) + " of " + std::to_string(size) + " bytes");
    }
    if (serial_write(job->port, buffer, static_cast<int>(want)) != 0) return TRANSFER_WRITE_FAILED;
    counts.sent += static_cast<int64_t>(want);
    if (want < kBinaryWrite) return RESULT_OK;
    if (report_progress(progress, scale.total, static_cast<int>(counts.sent / scale.divisor)) != 0)
      return RESULT_ABORTED;
  }
}

int send_picture(DownloadJob* job, ProgressFn progress) {
  if (!port_open(job)) return RESULT_PORT_CLOSED;
  FilePtr file = job->path != nullptr ? open_regular_file(job->path) : nullptr;
  ImagePtr image(file ? bmp_read_file(file.get()) : nullptr);
  if (!image) return RESULT_FILE_UNREADABLE;
  return send_picture_image(job, image.get(), progress, nullptr);
}

int picture_check(const BmpImage* image) {
  if (bmp_bits(image) != 24) return TRANSFER_NOT_24_BITS;
  if (bmp_width(image) > kMaxPictureSide || bmp_height(image) > kMaxPictureSide)
    return TRANSFER_TOO_LARGE;
  return RESULT_OK;
}

int send_picture_image(DownloadJob* job, const BmpImage* image, ProgressFn progress,
                       TransferReport* report) {
  if (!port_open(job)) return RESULT_PORT_CLOSED;
  if (image == nullptr) return RESULT_FILE_UNREADABLE;
  const int fits = picture_check(image);
  if (fits != RESULT_OK) return fits;
  const uint32_t width = bmp_width(image);
  const uint32_t height = bmp_height(image);
  // At most kMaxPictureSide rows: the count fits an int.
  const int rows = static_cast<int>(height);
  if (report_progress(progress, rows, 0) != 0) return RESULT_ABORTED;
  if (send_text_first(job->port, job->send) != 0) return TRANSFER_WRITE_FAILED;
  std::string error;
  if (job->toFile != 0 && !write_header_file(image, width, height, &error))
    return reported(report, TRANSFER_HEADER_FILE, error);

  uint8_t head[4];
  stream_head(width, height, head);
  if (serial_write(job->port, head, sizeof head) != 0) return TRANSFER_WRITE_FAILED;
  uint8_t chunk[256];
  size_t used = 0;
  for (uint32_t y = 0; y < height; ++y) {
    for (uint32_t x = 0; x < width; ++x) {
      stream_pixel(image, x, y, chunk + used);
      used += 3;
      if (used > kChunkFill) {
        if (serial_write(job->port, chunk, static_cast<int>(used)) != 0)
          return TRANSFER_WRITE_FAILED;
        used = 0;
      }
    }
    if (report_progress(progress, rows, static_cast<int>(y)) != 0) return RESULT_ABORTED;
  }
  if (used > 0 && serial_write(job->port, chunk, static_cast<int>(used)) != 0)
    return TRANSFER_WRITE_FAILED;
  return RESULT_OK;
}
