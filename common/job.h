// The job record that every transfer works on, and the result codes of the
// download. Shared by the boot loader protocols and the toolkit.
#pragma once

#include <cstdint>

#include "common/common.h"

struct SerialPort;

// The stages of a download that a display may name: the reset and the
// loader's answer, the erase, the image going out.
enum DownloadStage : int {
  STAGE_DETECT = 1,
  STAGE_ERASE = 2,
  STAGE_WRITE = 3,
};

// A progress reporter with state of its own, such as one display per
// download: report(context, total, done) is called wherever the transfer's
// ProgressFn is, with the same values. A nonzero return aborts the transfer.
// stage(context, stage), when set, as the download enters each stage.
struct ProgressSink {
  int (*report)(void* context, int total, int done) = nullptr;
  void* context = nullptr;
  void (*stage)(void* context, int stage) = nullptr;
};

// One transfer's job. The front end fills path, port, eraseAll, flashStart,
// flashSize, verbose and eraseDelay; the download driver sets blockSize,
// imageSize and blockCount. The toolkit transfers use path, port, send and
// toFile; the script sender also fetchTimeoutS. A front end may add a
// progressSink; the driver records the generation of the loader it found.
struct DownloadJob {
  const char* path = nullptr;  // file path (or URL for scripts); not owned
  SerialPort* port = nullptr;  // the open port; not owned
  const char* send = nullptr;  // text sent before a toolkit transfer; may be null
  uint32_t eraseAll = 0;
  int32_t flashStart = 0;
  int32_t flashSize = 0;
  int32_t blockSize = 0;
  int32_t imageSize = 0;
  uint32_t blockCount = 0;
  int32_t toFile = 0;
  uint32_t verbose = 0;
  int32_t eraseDelay = 0;
  int32_t fetchTimeoutS = 0;  // a script fetched by URL: whole seconds for the fetch; 0: default
  ProgressSink progressSink;  // optional, beside the ProgressFn
  int32_t generation = 0;     // 1, 2 or 3 once the loader answered; 0 before
};

// Reports progress to the ProgressFn (when there is one) and to the job's
// progressSink (when set). Nonzero when either asks to stop.
int job_progress(const DownloadJob* job, ProgressFn progress, int total, int done);
// Tells the job's progressSink (when it has a stage function) the stage the
// download enters.
void job_stage(const DownloadJob* job, int stage);

// Result codes of the download.
enum DownloadResult : int {
  RESULT_OK = 0,
  RESULT_FILE_UNREADABLE = 1,
  RESULT_NO_ERASE_REPLY = 2,
  RESULT_ABORTED = 4,
  RESULT_PORT_CLOSED = 5,
  RESULT_NOT_DETECTED = 6,
  RESULT_NO_SUB_VERSION = 7,
  RESULT_ERASE_REFUSED = 8,
  RESULT_NO_ACK = 9,
  RESULT_NO_MEMORY = 10,
  RESULT_HEX_ERROR = 11,
  RESULT_IMAGE_TOO_LARGE = 12,
  RESULT_XMODEM_NO_REPLY = 21,
  RESULT_XMODEM_BAD_REPLY = 22,
  RESULT_XMODEM_TOO_MANY_NAKS = 23,
  RESULT_XMODEM_CANCELLED = 26,
};

// One line of explanation for a download result code.
const char* result_text(int code);

// The result of a transfer that may have been interrupted: once a stop was
// requested (Ctrl-C, common/stop.h) the waits end early, and whatever
// failure that caused is an abort, RESULT_ABORTED. A transfer that finished
// keeps its result.
int transfer_status(int result);
