// One-way transfers to the target over the job's open port, without
// acknowledgements: a file's bytes unchanged, or a 24-bit BMP picture as a
// small header and its pixels at 6 bits per colour. Both first send the
// job's `send` text (escapes and all) and report progress to a ProgressFn
// whose nonzero return stops them.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "common/common.h"
#include "common/job.h"

struct BmpImage;

// Result codes beside RESULT_OK, RESULT_FILE_UNREADABLE, RESULT_ABORTED and
// RESULT_PORT_CLOSED of common/job.h.
constexpr int TRANSFER_WRITE_FAILED = 2;  // a serial write failed
constexpr int TRANSFER_NOT_24_BITS = 16;  // the picture is not 24 bits per pixel
constexpr int TRANSFER_HEADER_FILE = 17;  // the header file can't be written
constexpr int TRANSFER_TOO_LARGE = 18;    // a side of the picture over kMaxPictureSide

// The C header that send_picture writes into the current directory when the
// job's toFile is set.
constexpr const char* kPictureHeaderFile = "bmpHead.h";

// The picture stream carries each side in 16 bits.
constexpr uint32_t kMaxPictureSide = 65535;

// What a transfer tells beside its result code. `detail` says in a few words
// why it failed, where the code alone does not: how much of a file that
// ended early was sent ("sent X of Y bytes"), or why the header file could
// not be written (the system's reason).
struct TransferReport {
  int64_t size = 0;  // bytes the file had when the transfer began
  int64_t sent = 0;  // bytes of the file that went to the port
  std::string detail;
};

// Progress of send_binary: done values are bytes / divisor, so that the
// total stays at most 65000.
struct ProgressScale {
  int total;
  int64_t divisor;
};
ProgressScale binary_progress_scale(int64_t size);

// Sends the file job->path in writes of 4 bytes (the last one 0 to 3). The
// progress function gets (total, 0) before the data and (total, bytes sent /
// divisor) after each full write. Returns 0, 1 (the file is not a regular
// file, can't be opened, or can't be read to the length it had at the
// start), 2 (a write failed), 4 (stopped) or 5 (the port is not open).
int send_binary(DownloadJob* job, ProgressFn progress);

// send_binary of an open file of `size` bytes, from its current position:
// exactly that many bytes are sent. A file that ends sooner (it shrank) or a
// read error is result 1 with report->detail "sent X of Y bytes". report
// may be null.
int send_binary_file(DownloadJob* job, FILE* file, int64_t size, ProgressFn progress,
                     TransferReport* report);

// Sends the 24-bit BMP picture job->path: height and width (high byte
// first), then each pixel's red, green and blue divided by 4, rows from the
// top, in writes of 66 bytes (22 pixels) and a last shorter one. With
// job->toFile the same bytes go, in decimal, into kPictureHeaderFile first.
// The progress function gets (height, 0) before the data and (height, y)
// after row y. Returns 0, 1 (not a regular file, or not a BMP the image
// module reads), 2 (a write failed), 4 (stopped), 5 (the port is not open),
// 16 (not 24 bits per pixel), 17 (the header file can't be written) or 18
// (wider or higher than kMaxPictureSide).
int send_picture(DownloadJob* job, ProgressFn progress);

// Whether the stream can carry the picture: 0, 16 (not 24 bits per pixel)
// or 18 (a side over kMaxPictureSide). Nothing is sent.
int picture_check(const BmpImage* image);

// send_picture of a loaded picture (which stays the caller's). The header
// file is written through a temporary file renamed into place, so a failed
// write leaves an existing one as it was; report->detail then says why.
// report may be null.
int send_picture_image(DownloadJob* job, const BmpImage* image, ProgressFn progress,
                       TransferReport* report);
