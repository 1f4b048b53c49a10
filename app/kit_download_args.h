// The arguments of the toolkit's downloads (flash, xmodem): stoker's, with
// --erase-all and --trace.
#pragma once

#include <string>

namespace CLI {
class App;
}

struct KitDownloadArgs {
  bool verbose = false;
  bool eraseAll = false;  // ask a generation-1 loader to erase all its flash
  std::string port;       // number, device path or usb:...; flash: several, comma-separated
  std::string baud;
  std::string flashStart;  // hexadecimal
  std::string flashSizeK;
  std::string delay;  // seconds for a full erase
  std::string file;
  std::string trace;  // the wire trace's file (flash of several boards: directory); empty: none
};

// Adds -v (described by verboseHelp), --erase-all, PORT, BAUD, --trace,
// FLASHSTART, FLASHSIZE_K, DELAY and FILE to a download subcommand.
void kit_add_download_arguments(CLI::App* sub, KitDownloadArgs* args, const char* verboseHelp);
