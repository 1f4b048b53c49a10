// stoker-kit flash: stoker's download for people at a terminal and for
// debugging boards: any loader generation, a progress display, a summary,
// the result code explained, and the wire trace.
#pragma once

#include <string>
#include <vector>

#include "app/kit_download_args.h"
#include "app/kit_gang.h"
#include "app/kit_port.h"
#include "app/kit_progress.h"
#include "common/job.h"
#include "serial/serial.h"

using KitFlashArgs = KitDownloadArgs;

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

// "Wrote N bytes to PORT in T s (R kB/s), generation G".
std::string kit_flash_summary(long long bytes, const std::string& port, double seconds,
                              int generation);

// The whole command: checks, opens the port (and the trace), downloads
// with the display, closes, prints the summary or the failure. Returns the
// exit status: 0, 1 for a wrong argument or a port that can't be opened,
// else the download's result code (4 after Ctrl-C). A port argument of the
// gang form (kit_gang_form) runs kit_flash_gang instead.
int kit_flash(const KitFlashArgs& args, SerialPort* port);

// True when the port argument asks for a gang run: several ports
// (comma-separated), or usb:VVVV:PPPP without #N, which in flash means
// every board with those ids.
bool kit_gang_form(const std::string& portArg);

// The boards a gang run's port argument names, in its order: each entry
// parsed as a single port (a number, a path, usb:...) and resolved, a
// usb:VVVV:PPPP without #N standing for every board with those ids, each
// with its USB serial number where the device scan (in roots, opening
// nothing) knows it. False with *error saying why (a malformed or empty
// entry, a usb: name that matches no board, two entries that name the
// same port, however they name it).
bool kit_gang_boards(const std::string& portArg, const KitScanRoots& roots,
                     std::vector<GangBoard>* boards, std::string* error);

// flash on several boards: checks everything first (arguments, ports,
// --trace DIR, the image, loaded once), refusing the run before any port
// is opened when one is wrong (status 1); then flashes every board at once
// and prints the table. Returns the number of boards that failed (at most
// 125).
int kit_flash_gang(const KitFlashArgs& args);
