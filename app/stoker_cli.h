// The stoker command line: "[-v] port baud flashStart flashSize delay fileName".
#pragma once

#include <string>

#include "boot/download.h"

// The flash window the download accepts: a size of 128 KiB up to
// 0x1d080000 bytes, starting from 0x1d000000 up to that plus the size.
constexpr int32_t kFlashBase = 0x1d000000;
constexpr int32_t kMinFlashSize = 0x20000;
constexpr int32_t kMaxFlashSize = 0x1d080000;

struct StokerArgs {
  DownloadJob job;              // filled for the download (port left null)
  int portNumber = 0;           // the port argument as a number (0 when a path)
  std::string device;           // the device path when the argument names one
  std::string usbName;          // the argument when it names a board (usb:...)
  std::string settings;         // "<baud>,8,N,1"
  bool anyGeneration = false;   // let a silent (generation 1) loader through
  std::string trace;            // the wire trace's file (stoker-kit); empty: none
  std::string name = "stoker";  // the program, in messages about the port
};

// The usage text.
void print_usage();

// Runs the argument checks in their order, printing each message (and the
// usage text) through console_print. Returns -1 when the arguments are good
// and the download may start, else the exit status (1).
int stoker_check_args(int argc, const char* const* argv, StokerArgs* args);

// The whole run after the checks: opens the port, downloads, reports, closes.
// Returns the exit status.
int stoker_run(StokerArgs* args, SerialPort* port);

// One line explaining a failed download's result code (the sizes, for an
// image larger than the flash).
std::string download_failure_text(const DownloadJob& job, int code);
