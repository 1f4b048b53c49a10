// stoker-kit port-settings PORT BAUD
#include <CLI/CLI.hpp>
#include <memory>
#include <string>

#include "app/kit.h"
#include "app/kit_port.h"
#include "common/console.h"
#include "toolkit/terminal/terminal.h"

namespace {

constexpr const char* kWho = "stoker-kit port-settings";

struct KitPortSettingsArgs {
  std::string port;
  std::string baud;
  std::string trace;
};

int kit_port_settings(const KitPortSettingsArgs& args, SerialPort* port) {
  if (!kit_open_port(port, args.port, args.baud, args.trace, kWho)) return 1;
  // The summary first ("115200 8N1, flow none, DTR off, RTS off"), then
  // every setting on a line of its own.
  console_print("%s", port_settings_summary(port->handle).c_str());
  dump_port_settings(port->handle);
  console_print("\n");
  kit_close_port(port, kWho);
  return 0;
}

}  // namespace

void kit_register_port_settings(CLI::App* app, int* status) {
  auto args = std::make_shared<KitPortSettingsArgs>();
  CLI::App* sub = app->add_subcommand(
      "port-settings",
      "Open the port as stoker does and print its settings in one line, then every setting the "
      "system keeps");
  kit_add_port_arguments(sub, &args->port, &args->baud, &args->trace);
  sub->callback([args, status] {
    static SerialPort port;
    *status = kit_port_settings(*args, &port);
  });
}
