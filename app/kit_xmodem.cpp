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
  kit_add_download_arguments(sub, args.get(), "Detailed output (verbose)");
  sub->callback([args, status] {
    static SerialPort port;
    *status = kit_xmodem(*args, &port);
  });
}
