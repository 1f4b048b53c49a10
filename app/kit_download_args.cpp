#include "app/kit_download_args.h"

#include <CLI/CLI.hpp>

#include "app/kit_port.h"

void kit_add_download_arguments(CLI::App* sub, KitDownloadArgs* args, const char* verboseHelp) {
  sub->add_flag("-v", args->verbose, verboseHelp);
  sub->add_flag("--erase-all", args->eraseAll,
                "Ask a generation-1 loader to erase the whole flash");
  kit_add_port_arguments(sub, &args->port, &args->baud, &args->trace);
  sub->add_option("FLASHSTART", args->flashStart, "Flash base address in hex, e.g. 0x1d000000")
      ->required();
  sub->add_option("FLASHSIZE_K", args->flashSizeK, "Flash size in KiB, e.g. 512")->required();
  sub->add_option("DELAY", args->delay, "Seconds a full flash erase needs")->required();
  sub->add_option("FILE", args->file, "Image file: Intel HEX or raw")->required();
}
