// The download driver: reset and handshake with the boot loader, image
// preparation and sizing, dispatch to the loader's protocol.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "boot/image.h"
#include "common/common.h"
#include "common/job.h"
#include "serial/reply.h"
#include "serial/serial.h"

// Downloads the job's image to a generation 2 or 3 boot loader. A silent
// target is reported and refused with RESULT_NOT_DETECTED.
int download(DownloadJob* job, ProgressFn progress);
// As download, but a silent (generation 1) loader gets the XMODEM-1K path.
int download_any_generation(DownloadJob* job, ProgressFn progress);

// An image read and converted once, for any number of downloads into
// boards of the same flash window; only read while they run.
struct LoadedImage {
  std::vector<uint8_t> buffer;  // the flash window and a block after it (image_buffer)
  int32_t size = 0;             // the image's bytes, from the buffer's start
};

// Reads the job's image (path, flashStart, flashSize; the detailed lines
// when verbose, as download prints them) into *image without touching any
// port. RESULT_OK, or 1 (cannot be read), 10 (no memory), 11 (a bad HEX
// file) or 12 (larger than the flash: job->imageSize then says how large).
int download_load_image(DownloadJob* job, LoadedImage* image);

// As download_any_generation, with an image that download_load_image has
// loaded: the reset and handshake, then the protocol of the loader's
// generation. The image is only read, so several downloads, each with its
// own job and port, may share it at once.
int download_loaded_image(DownloadJob* job, const LoadedImage& image, ProgressFn progress);

// Resets the target through DTR, sends the entry byte and returns the
// loader's generation: 2 ('D'), 3 ('E') or 1 (no answer).
int boot_start(DownloadJob* job);

// Upper-cased text after the last '.' of the path, "" when there is none.
std::string file_extension(std::string_view path);
// True when the path names an Intel HEX file: "HEX" occurs in its extension.
bool is_hex_path(std::string_view path);

// Sizing: blockCount is the smallest n from 1 up with size / n <= 65000.
void size_image(DownloadJob* job, int32_t size);

// Drops the input that has already arrived, without waiting for more (on a
// backend that can tell input is waiting), at most 64 KiB of it. Called
// before each block and packet, so the reply read after one answers that
// one: a reply left over from before (a second ACK) can't pass for it.
void discard_arrived_input(SerialPort* port);
