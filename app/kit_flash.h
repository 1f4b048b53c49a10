// stoker-kit flash: stoker's download for people at a terminal and for
// debugging boards: any loader generation, a progress display, a summary,
// the result code explained, and the wire trace.
#pragma once

#include <string>

#include "app/kit_progress.h"
#include "common/job.h"
#include "serial/serial.h"

struct KitFlashArgs {
  bool verbose = false;
  bool eraseAll = false;  // ask a generation-1 loader to erase all its flash
  std::string port;       // number, device path or usb:...
  std::string baud;
  std::string flashStart;  // hexadecimal
  std::string flashSizeK;
  std::string delay;  // seconds for a full erase
  std::string file;
  std::string trace;  // the wire trace's file; empty: none
};

// One board's download: its job, its progress display and its clock. All a
// download's reports reach is here, so downloads on other threads keep
// their own.
struct KitFlashRun {
  DownloadJob job;
  KitProgress display;
  bool terminal = false;  // the display is redrawn in place
};

// Checks the numbers and the image file and fills the job's path,
// flashStart, flashSize, eraseDelay, eraseAll and verbose. False with
// *error saying which argument is wrong and why.
bool kit_flash_check(const KitFlashArgs& args, DownloadJob* job, std::string* error);

// The image bytes a progress report stands for: the block protocol (loader
// generations 2 and 3) reports the offset of the block just written, the
// XMODEM one (generation 1) the bytes acknowledged.
long long kit_flash_bytes_done(int generation, int total, int done);

// "Wrote N bytes to PORT in T s (R kB/s), generation G".
std::string kit_flash_summary(long long bytes, const std::string& port, double seconds,
                              int generation);

// The whole command: checks, opens the port (and the trace), downloads
// with the display, closes, prints the summary or the failure. Returns the
// exit status: 0, 1 for a wrong argument or a port that can't be opened,
// else the download's result code (4 after Ctrl-C).
int kit_flash(const KitFlashArgs& args, SerialPort* port);
