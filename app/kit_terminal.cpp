// stoker-kit terminal PORT BAUD [--script PATH_OR_URL] [--send TEXT] [--fetch-timeout S]
//   [--log FILE] [--timestamps] [--echo] [--hex] [--map crlf|lfcrlf] [--no-reconnect]
#include <CLI/CLI.hpp>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "app/kit.h"
#include "app/kit_port.h"
#include "app/kit_script.h"
#include "common/common.h"
#include "common/console.h"
#include "common/file.h"
#include "common/job.h"
#include "common/stop.h"
#include "console/keyboard.h"
#include "toolkit/script/script.h"
#include "toolkit/terminal/terminal.h"

namespace {

struct KitTerminalArgs {
  std::string port;
  std::string baud;
  std::string script;
  std::string send;
  int fetchTimeoutS = kScriptFetchTimeoutS;
  std::string log;
  bool timestamps = false;
  bool echo = false;
  bool hex = false;
  std::string map;  // "", or "crlf" or "lfcrlf" in any case
  bool noReconnect = false;
  std::string trace;
};

constexpr const char* kWho = "stoker-kit terminal";

// The device the port argument names, and its settings string (both valid
// once the port has opened).
void port_target(const KitTerminalArgs& args, std::string* device, std::string* settings) {
  KitPortName name;
  std::string error;
  kit_parse_port(args.port, &name, &error);
  kit_settings(args.baud, settings, &error);
  if (!name.usb.empty()) {
    kit_resolve_usb_port(name.usb, kit_scan_roots(), device, &error);
    return;
  }
  *device = name.device.empty() ? serial_device_name(name.number) : name.device;
}

LineMap line_map(std::string name) {
  for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (name == "crlf") return MAP_CR_CRLF;
  return name == "lfcrlf" ? MAP_LF_CRLF : MAP_NONE;
}

// The log can be written (it is appended to, never replaced). False with a
// line on standard error when not.
bool log_writable(const std::string& path) {
  if (path.empty()) return true;
  FilePtr file(std::fopen(path.c_str(), "ab"));
  if (file != nullptr) return true;
  std::fprintf(stderr, "%s: cannot open the log %s: %s\n", kWho, path.c_str(),
               std::strerror(errno));
  return false;
}

int kit_terminal(const KitTerminalArgs& args, SerialPort* port) {
  if (!log_writable(args.log)) return 1;
  if (!kit_open_port(port, args.port, args.baud, args.trace, kWho)) return 1;
  reset_script_options();
  DownloadJob job;
  job.port = port;
  // Without --script, F5 reports that there is no script to open (1).
  job.path = args.script.empty() ? nullptr : args.script.c_str();
  job.send = args.send.empty() ? nullptr : args.send.c_str();
  job.fetchTimeoutS = args.fetchTimeoutS;
  std::string device;
  std::string settings;
  port_target(args, &device, &settings);
  TerminalOptions options;
  options.device = device.c_str();
  options.settings = settings.c_str();
  options.reconnect = !args.noReconnect;
  options.log = args.log.empty() ? nullptr : args.log.c_str();
  options.timestamps = args.timestamps;
  options.echo = args.echo;
  options.hex = args.hex;
  options.map = line_map(args.map);
  KeyInput* keys = console_keys_open();
  // Once the keys are open: what is typed from now on goes to the target.
  std::fprintf(stderr,
               "%s: %s at %s baud. Ctrl+A quits; Ctrl+T is the command key (Ctrl+T ? lists the "
               "commands); F2 modem lines, F3 ports that open, F4 watch, F5 script, F6 close the "
               "port, F12 reset into the boot loader.\n",
               kWho, args.port.c_str(), args.baud.c_str());
  const int result = terminal(&job, keys, options);
  console_keys_close();
  console_print("\n");
  kit_close_port(port, kWho);
  if (result == TERMINAL_PORT_LOST) {
    std::fprintf(stderr, "%s: port lost: %s (the device went away; --no-reconnect)\n", kWho,
                 device.c_str());
    return TERMINAL_PORT_LOST;
  }
  // Ended by SIGINT, SIGTERM or SIGHUP: interrupted, as the transfers.
  return stop_requested() ? RESULT_ABORTED : 0;
}

}  // namespace

void kit_register_terminal(CLI::App* app, int* status) {
  auto args = std::make_shared<KitTerminalArgs>();
  CLI::App* sub = app->add_subcommand(
      "terminal",
      "Keyboard terminal on the port: keys go to the target as typed (Ctrl-C too), its bytes to "
      "the screen. Ctrl+A quits; Ctrl+T is the command key (Ctrl+T ? lists the commands); F2 "
      "modem lines, F3 ports that open, F4 watch mode, F5 run the script, F6 close the port, "
      "F12 reset the target into its boot loader. A port that goes away is waited for and "
      "reopened");
  kit_add_port_arguments(sub, &args->port, &args->baud, &args->trace);
  sub->add_option("--script", args->script, "Script file or http:// URL that F5 sends")
      ->type_name("PATH_OR_URL");
  sub->add_option("--send", args->send, "Escaped text F5 sends before the script")
      ->type_name("TEXT");
  kit_add_fetch_timeout(sub, &args->fetchTimeoutS);
  sub->add_option("--log", args->log, "Log what arrives to FILE (appended; Ctrl+T l toggles)")
      ->type_name("FILE");
  sub->add_flag("--timestamps", args->timestamps, "Time stamp at each line start (Ctrl+T t)");
  sub->add_flag("--echo", args->echo, "Show typed keys too (Ctrl+T e)");
  sub->add_flag("--hex", args->hex, "Show what arrives as hex (Ctrl+T h)");
  sub->add_option("--map", args->map,
                  "Line ends of what arrives: crlf (CR as CR LF) or lfcrlf (LF as CR LF) "
                  "(Ctrl+T m)")
      ->type_name("crlf|lfcrlf")
      ->check(CLI::IsMember({"crlf", "lfcrlf"}, CLI::ignore_case).description(""));
  sub->add_flag("--no-reconnect", args->noReconnect,
                "End (status 3) when the port goes away instead of waiting for it");
  sub->callback([args, status] {
    static SerialPort port;
    *status = kit_terminal(*args, &port);
  });
}
