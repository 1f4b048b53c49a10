// stoker-kit xmodem [-v] PORT BAUD FLASHSTART FLASHSIZE_K DELAY FILE [--erase-all]
#include "app/kit_xmodem.h"

#include <CLI/CLI.hpp>
#include <memory>
#include <vector>

#include "app/kit.h"
#include "app/kit_port.h"
#include "app/stoker_cli.h"

int kit_xmodem(const KitXmodemArgs& args, SerialPort* port) {
  // The same command line as stoker's, so the same checks and messages.
  std::vector<const char*> argv = {"stoker-kit xmodem"};
  if (args.verbose) argv.push_back("-v");
  for (const std::string* arg :
       {&args.port, &args.baud, &args.flashStart, &args.flashSizeK, &args.delay, &args.file})
    argv.push_back(arg->c_str());

  StokerArgs run;
  const int status = stoker_check_args(static_cast<int>(argv.size()), argv.data(), &run);
  if (status >= 0) return status;
  run.anyGeneration = true;
  run.trace = args.trace;
  run.name = "stoker-kit xmodem";
  run.job.eraseAll = args.eraseAll ? 1 : 0;
  return stoker_run(&run, port);
}

void kit_register_xmodem(CLI::App* app, int* status) {
  auto args = std::make_shared<KitXmodemArgs>();
  CLI::App* sub = app->add_subcommand(
      "xmodem",
      "Download an image as stoker does; a silent (generation 1) boot loader gets XMODEM-1K");
  sub->add_flag("-v", args->verbose, "Detailed output (verbose)");
  sub->add_flag("--erase-all", args->eraseAll,
                "Ask a generation-1 loader to erase the whole flash");
  kit_add_port_arguments(sub, &args->port, &args->baud, &args->trace);
  sub->add_option("FLASHSTART", args->flashStart, "Flash base address in hex, e.g. 0x1d000000")
      ->required();
  sub->add_option("FLASHSIZE_K", args->flashSizeK, "Flash size in KiB, e.g. 256")->required();
  sub->add_option("DELAY", args->delay, "Seconds a full flash erase needs")->required();
  sub->add_option("FILE", args->file, "Image file: Intel HEX or raw")->required();
  sub->callback([args, status] {
    static SerialPort port;
    *status = kit_xmodem(*args, &port);
  });
}
