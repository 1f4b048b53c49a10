// Download driver: port and file checks, reset and handshake, image loading
// and sizing, then the protocol of the loader's generation.
#include "boot/download.h"

#include <cctype>
#include <cstdio>
#include <filesystem>
#include <memory>

#include "boot/block.h"
#include "boot/hex.h"
#include "boot/xmodem.h"
#include "common/console.h"
#include "common/file.h"
#include "common/stop.h"

namespace {

constexpr uint8_t kEntryByte = 0x5C;
constexpr int32_t kMaxBlockSize = 65000;

// Reads a raw image of `size` bytes into the buffer; false on a short read.
bool read_raw(FILE* file, long size, std::vector<uint8_t>& image) {
  if (size == 0) return true;
  return std::fread(image.data(), 1, static_cast<size_t>(size), file) == static_cast<size_t>(size);
}

// Loads the image (HEX conversion or raw read) and returns its size through
// *size; 0 or a result code.
int load_image(DownloadJob* job, FilePtr file, bool hex, long rawSize, std::vector<uint8_t>& image,
               int32_t* size) {
  if (!hex) {
    if (!read_raw(file.get(), rawSize, image)) return RESULT_FILE_UNREADABLE;
    *size = static_cast<int32_t>(rawSize);
    return RESULT_OK;
  }
  if (job->verbose) {
    console_print("\nStarting hex convert flash start=0x%x",
                  static_cast<unsigned>(job->flashStart));
    console_print("\tflash size=%d", job->flashSize);
  }
  int converted = 0;
  if (hex_to_image(file.get(), static_cast<uint32_t>(job->flashStart),
                   static_cast<uint32_t>(job->flashSize), image.data(), &converted) != HEX_OK)
    return RESULT_HEX_ERROR;
  file.reset();
  if (job->verbose) console_print("\nActual size returned form convert =%d", converted);
  *size = converted;
  return RESULT_OK;
}

void print_start(const DownloadJob* job) {
  if (!job->verbose) return;
  console_print("\n");
  console_print("------- boot loader ----------\n");
  console_print("\nFile name %s", job->path);
  console_print("\tflash start %x", static_cast<unsigned>(job->flashStart));
}

// The image file, checked before the target is touched: only a regular file
// is an image (a directory or a device would open and then read as nothing,
// or for ever), and a raw image must fit the flash window, since the loader
// would be left half programmed. RESULT_OK with *file, *hex and *rawSize set.
int open_image(DownloadJob* job, FilePtr* file, bool* hex, long* rawSize) {
  *file = open_regular_file(job->path);
  if (!*file) return RESULT_FILE_UNREADABLE;
  *hex = is_hex_path(job->path);
  *rawSize = 0;
  if (*hex) return RESULT_OK;
  *rawSize = file_length(file->get());
  if (*rawSize < 0) return RESULT_FILE_UNREADABLE;
  if (*rawSize > job->flashSize) {
    job->imageSize = *rawSize > INT32_MAX ? INT32_MAX : static_cast<int32_t>(*rawSize);
    return RESULT_IMAGE_TOO_LARGE;
  }
  return RESULT_OK;
}

// The handshake: the loader's generation in the job, or the result code
// that ends the download (an abort, or no loader of lowestGeneration).
int detect_loader(DownloadJob* job, int lowestGeneration) {
  job_stage(job, STAGE_DETECT);
  const int generation = boot_start(job);
  if (stop_requested()) return RESULT_ABORTED;
  job->generation = generation;
  if (job->verbose) console_print("\nBoot loader version %d", generation);
  if (generation < lowestGeneration) {
    console_print("\nBoot loader not detected\n");
    return RESULT_NOT_DETECTED;
  }
  return RESULT_OK;
}

// Sizes the job for an image of `size` bytes and runs the protocol of the
// loader's generation.
int send_image(DownloadJob* job, ImageView image, int32_t size, ProgressFn progress) {
  if (job->verbose) console_print("\nactual file size %d", size);
  size_image(job, size);
  if (job->generation >= 2) return block_download(job, image, progress);
  return gen1_download(job, image, progress);
}

int run_download(DownloadJob* job, ProgressFn progress, int lowestGeneration) {
  print_start(job);
  job->generation = 0;
  if (!serial_is_open(job->port)) return RESULT_PORT_CLOSED;
  FilePtr file;
  bool hex = false;
  long rawSize = 0;
  const int opened = open_image(job, &file, &hex, &rawSize);
  if (opened != RESULT_OK) return opened;
  std::vector<uint8_t> image = image_buffer(job->flashSize);
  if (image.empty()) return RESULT_NO_MEMORY;

  const int detected = detect_loader(job, lowestGeneration);
  if (detected != RESULT_OK) return detected;

  int32_t size = 0;
  const int loaded = load_image(job, std::move(file), hex, rawSize, image, &size);
  if (loaded != RESULT_OK) return loaded;
  return send_image(job, image_view(image), size, progress);
}

int run_loaded(DownloadJob* job, const LoadedImage& image, ProgressFn progress) {
  print_start(job);
  job->generation = 0;
  if (!serial_is_open(job->port)) return RESULT_PORT_CLOSED;
  // A stop that came before this download began touches no board.
  if (stop_requested()) return RESULT_ABORTED;
  const int detected = detect_loader(job, 1);
  if (detected != RESULT_OK) return detected;
  return send_image(job, image_view(image.buffer), image.size, progress);
}

}  // namespace

int download(DownloadJob* job, ProgressFn progress) {
  return transfer_status(run_download(job, progress, 2));
}

int download_any_generation(DownloadJob* job, ProgressFn progress) {
  return transfer_status(run_download(job, progress, 1));
}

int download_load_image(DownloadJob* job, LoadedImage* image) {
  FilePtr file;
  bool hex = false;
  long rawSize = 0;
  const int opened = open_image(job, &file, &hex, &rawSize);
  if (opened != RESULT_OK) return opened;
  image->buffer = image_buffer(job->flashSize);
  if (image->buffer.empty()) return RESULT_NO_MEMORY;
  return load_image(job, std::move(file), hex, rawSize, image->buffer, &image->size);
}

int download_loaded_image(DownloadJob* job, const LoadedImage& image, ProgressFn progress) {
  return transfer_status(run_loaded(job, image, progress));
}

int boot_start(DownloadJob* job) {
  SerialPort* port = job->port;
  serial_set_dtr(port, 1);
  delay_ms(50);
  serial_set_dtr(port, 0);
  delay_ms(150);
  serial_put(port, kEntryByte);
  delay_ms(500);
  // Anything the target said before now is not the loader's answer.
  serial_drain(port);
  if (job->verbose) console_print("\nDetecting boot loader version");
  switch (waitforS(port, "DE")) {
    case 'D':
      return 2;
    case 'E':
      return 3;
    default:
      return 1;
  }
}

std::string file_extension(std::string_view path) {
  const size_t dot = path.rfind('.');
  if (dot == std::string_view::npos) return {};
  std::string extension(path.substr(dot + 1));
  for (char& c : extension) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return extension;
}

bool is_hex_path(std::string_view path) {
  return file_extension(path).find("HEX") != std::string::npos;
}

void discard_arrived_input(SerialPort* port) {
  constexpr int kMaxDiscarded = 64 * 1024;
  uint8_t byte = 0;
  for (int n = 0; n < kMaxDiscarded && serial_wait_input(port, 0) != 0; ++n) {
    if (serial_get(port, &byte) == 0) return;
  }
}

void size_image(DownloadJob* job, int32_t size) {
  int32_t n = 1;
  while (size / n > kMaxBlockSize) ++n;
  job->imageSize = size;
  job->blockSize = size / n;
  job->blockCount = static_cast<uint32_t>(n);
}
