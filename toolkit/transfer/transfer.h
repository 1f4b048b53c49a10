// One-way transfers to the target over the job's open port, without
// acknowledgements: a file's bytes unchanged, or a 24-bit BMP picture as a
// small header and its pixels at 6 bits per colour. Both first send the
// job's `send` text (escapes and all) and report progress to a ProgressFn
// whose nonzero return stops them.
#pragma once

#include <cstdint>

#include "common/common.h"
#include "common/job.h"

// Result codes beside RESULT_OK, RESULT_FILE_UNREADABLE, RESULT_ABORTED and
// RESULT_PORT_CLOSED of common/job.h.
constexpr int TRANSFER_WRITE_FAILED = 2;  // a serial write failed
constexpr int TRANSFER_NOT_24_BITS = 16;  // the picture is not 24 bits per pixel
constexpr int TRANSFER_HEADER_FILE = 17;  // the header file can't be written

// The C header that send_picture writes into the current directory when the
// job's toFile is set.
constexpr const char* kPictureHeaderFile = "bmpHead.h";

// Progress of send_binary: done values are bytes / divisor, so that the
// total stays at most 65000.
struct ProgressScale {
  int total;
  int64_t divisor;
};
ProgressScale binary_progress_scale(int64_t size);

// Sends the file job->path in writes of 4 bytes (the last one 0 to 3). The
// progress function gets (total, 0) before the data and (total, bytes sent /
// divisor) after each full write. Returns 0, 1 (the file can't be opened or
// read), 2 (a write failed), 4 (stopped) or 5 (the port is not open).
int send_binary(DownloadJob* job, ProgressFn progress);

// Sends the 24-bit BMP picture job->path: height and width (low 16 bits,
// high byte first), then each pixel's red, green and blue divided by 4, rows
// from the top, in writes of 66 bytes (22 pixels) and a last shorter one.
// With job->toFile the same bytes go, in decimal, into kPictureHeaderFile
// first. The progress function gets (height, 0) before the data and
// (height, y) after row y. Returns 0, 1 (not a BMP the image module reads),
// 2 (a write failed), 4 (stopped), 5 (the port is not open), 16 (not 24 bits
// per pixel) or 17 (the header file can't be written).
int send_picture(DownloadJob* job, ProgressFn progress);
