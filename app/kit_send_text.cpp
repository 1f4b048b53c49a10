// stoker-kit send-text PORT BAUD TEXT
#include <CLI/CLI.hpp>
#include <memory>
#include <string>
#include <vector>

#include "app/kit.h"
#include "app/kit_port.h"
#include "app/kit_script.h"
#include "common/console.h"
#include "serial/serial.h"
#include "toolkit/text/text.h"

namespace {

constexpr const char* kWho = "stoker-kit send-text";

struct SendTextArgs {
  std::string port;
  std::string baud;
  std::string text;
  std::string trace;
};

int run_send_text(const SendTextArgs& args) {
  static SerialPort port;
  if (!kit_open_port(&port, args.port, args.baud, args.trace, kWho)) return 1;
  std::vector<char> echo(kit_echo_capacity(args.text));
  send_text(&port, args.text.c_str(), echo.data(), echo.size());
  console_print("%s\n", echo.data());
  kit_close_port(&port, kWho);
  return 0;
}

}  // namespace

size_t kit_echo_capacity(const std::string& text) {
  return 2 * text.size() + 1;
}

void kit_register_send_text(CLI::App* app, int* status) {
  auto args = std::make_shared<SendTextArgs>();
  CLI::App* sub = app->add_subcommand(
      "send-text",
      "Send a text with backslash escapes (\\n \\r \\e, \\wMS pause, \\# comment, \\$Date "
      "\\$Time, bytes \\DDD \\0OOO \\0xHH) and print what was sent");
  kit_add_port_arguments(sub, &args->port, &args->baud, &args->trace);
  sub->add_option("TEXT", args->text, "The text, with its escapes")->required();
  sub->callback([args, status] { *status = run_send_text(*args); });
}
