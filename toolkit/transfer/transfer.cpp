#include "toolkit/transfer/transfer.h"

#include <cstdio>
#include <memory>

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

// The stream as a C array in kPictureHeaderFile, a line break after every
// sixth pixel. False when the file can't be created or written whole.
bool write_header_file(const BmpImage* image, uint32_t width, uint32_t height) {
  FilePtr file(std::fopen(kPictureHeaderFile, "wb"));
  if (!file) return false;
  uint8_t head[4];
  stream_head(width, height, head);
  std::fprintf(file.get(), "\nconst unsigned char pic[]={ %d,%d,%d,%d", head[0], head[1], head[2],
               head[3]);
  int onLine = 0;
  for (uint32_t y = 0; y < height; ++y) {
    for (uint32_t x = 0; x < width; ++x) {
      uint8_t pixel[3];
      stream_pixel(image, x, y, pixel);
      std::fprintf(file.get(), ",%d,%d,%d", pixel[0], pixel[1], pixel[2]);
      if (++onLine >= kPixelsPerLine) {
        onLine = 0;
        std::fputs("\n", file.get());
      }
    }
  }
  std::fputs(" };\n", file.get());
  const bool written = std::ferror(file.get()) == 0;
  return std::fclose(file.release()) == 0 && written;
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
  FilePtr file(std::fopen(job->path, "rb"));
  int64_t size = 0;
  if (!file || !stream_length(file.get(), &size)) return RESULT_FILE_UNREADABLE;
  const ProgressScale scale = binary_progress_scale(size);
  if (report_progress(progress, scale.total, 0) != 0) return RESULT_ABORTED;
  send_text_first(job->port, job->send);

  uint8_t buffer[kBinaryWrite];
  int64_t position = 0;
  for (;;) {
    const size_t got = std::fread(buffer, 1, sizeof buffer, file.get());
    // A read error is not the end of the file: nothing more is sent.
    if (got < sizeof buffer && std::ferror(file.get()) != 0) return RESULT_FILE_UNREADABLE;
    if (serial_write(job->port, buffer, static_cast<int>(got)) != 0) return TRANSFER_WRITE_FAILED;
    if (got < sizeof buffer) return RESULT_OK;
    position += static_cast<int64_t>(got);
    if (report_progress(progress, scale.total, static_cast<int>(position / scale.divisor)) != 0)
      return RESULT_ABORTED;
  }
}

int send_picture(DownloadJob* job, ProgressFn progress) {
  if (!port_open(job)) return RESULT_PORT_CLOSED;
  ImagePtr image(job->path != nullptr ? bmp_read(job->path) : nullptr);
  if (!image) return RESULT_FILE_UNREADABLE;
  if (bmp_bits(image.get()) != 24) return TRANSFER_NOT_24_BITS;
  const uint32_t width = bmp_width(image.get());
  const uint32_t height = bmp_height(image.get());
  // A loaded picture has at most 2^31 - 1 rows: the count fits an int.
  const int rows = static_cast<int>(height);
  if (report_progress(progress, rows, 0) != 0) return RESULT_ABORTED;
  send_text_first(job->port, job->send);
  if (job->toFile != 0 && !write_header_file(image.get(), width, height))
    return TRANSFER_HEADER_FILE;

  uint8_t head[4];
  stream_head(width, height, head);
  if (serial_write(job->port, head, sizeof head) != 0) return TRANSFER_WRITE_FAILED;
  uint8_t chunk[256];
  size_t used = 0;
  for (uint32_t y = 0; y < height; ++y) {
    for (uint32_t x = 0; x < width; ++x) {
      stream_pixel(image.get(), x, y, chunk + used);
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
