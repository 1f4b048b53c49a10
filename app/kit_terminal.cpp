// stoker-kit terminal PORT BAUD [--script PATH_OR_URL] [--send TEXT]
#include <CLI/CLI.hpp>
#include <cstdio>
#include <memory>
#include <string>

#include "app/kit.h"
#include "app/kit_port.h"
#include "common/common.h"
#include "common/console.h"
#include "common/job.h"
#include "common/stop.h"
#include "console/keyboard.h"
#include "toolkit/terminal/terminal.h"

namespace {

struct KitTerminalArgs {
  std::string port;
  std::string baud;
  std::string script;
  std::string send;
  std::string trace;
};

constexpr const char* kWho = "stoker-kit terminal";

int kit_terminal(const KitTerminalArgs& args, SerialPort* port) {
  if (!kit_open_port(port, args.port, args.baud, args.trace, kWho)) return 1;
  reset_script_options();
  DownloadJob job;
  job.port = port;
  // Without --script, F5 reports that there is no script to open (1).
  job.path = args.script.empty() ? nullptr : args.script.c_str();
  job.send = args.send.empty() ? nullptr : args.send.c_str();
  KeyInput* keys = console_keys_open();
  // Once the keys are open: what is typed from now on goes to the target.
  std::fprintf(stderr,
               "%s: %s at %s baud. Ctrl+A quits; F2 modem lines, F3 ports that open, F4 watch, "
               "F5 script, F6 close the port, F12 reset into the boot loader.\n",
               kWho, args.port.c_str(), args.baud.c_str());
  terminal(&job, keys);
  console_keys_close();
  console_print("\n");
  kit_close_port(port, kWho);
  // Ended by Ctrl-C, SIGTERM or SIGHUP: interrupted, as the transfers.
  return stop_requested() ? RESULT_ABORTED : 0;
}

}  // namespace

void kit_register_terminal(CLI::App* app, int* status) {
  auto args = std::make_shared<KitTerminalArgs>();
  CLI::App* sub = app->add_subcommand(
      "terminal",
      "Keyboard terminal on the port: keys go to the target, its bytes to the screen. Ctrl+A "
      "quits; F2 modem lines, F3 ports that open, F4 watch mode, F5 run the script, F6 close "
      "the port, F12 reset the target into its boot loader");
  kit_add_port_arguments(sub, &args->port, &args->baud, &args->trace);
  sub->add_option("--script", args->script, "Script file or http:// URL that F5 sends");
  sub->add_option("--send", args->send, "Escaped text F5 sends before the script");
  sub->callback([args, status] {
    static SerialPort port;
    *status = kit_terminal(*args, &port);
  });
}
