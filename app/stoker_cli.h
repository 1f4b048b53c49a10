// The stoker command line: "[-v] port baud flashStart flashSize delay fileName".
#pragma once

#include <string>

#include "boot/download.h"

struct StokerArgs {
  DownloadJob job;             // filled for the download (port left null)
  int portNumber = 0;          // the port argument as a number (0 when a path)
  std::string device;          // the device path when the argument names one
  std::string settings;        // "<baud>,8,N,1"
  bool anyGeneration = false;  // let a silent (generation 1) loader through
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
