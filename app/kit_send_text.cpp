// stoker-kit send-text PORT BAUD TEXT
#include <CLI/CLI.hpp>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "app/kit.h"
#include "app/kit_port.h"
#include "app/kit_script.h"
#include "app/kit_transfer.h"
#include "common/console.h"
#include "common/stop.h"
#include "serial/serial.h"
#include "toolkit/text/text.h"
#include "toolkit/transfer/transfer.h"

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
  const int failed = send_text(&port, args.text.c_str(), echo.data(), echo.size());
  console_print("%s\n", echo.data());
  kit_close_port(&port, kWho);
  // What was printed is what went out; a text cut short says why.
  if (stop_requested()) {
    std::fprintf(stderr, "%s: %s; the target got part of the text\n", kWho,
                 kit_stopped_text().c_str());
    return RESULT_ABORTED;
  }
  if (failed != 0) {
    std::fprintf(stderr, "%s: %s; the target got part of the text\n", kWho,
                 serial_write_failure_text(&port).c_str());
    return TRANSFER_WRITE_FAILED;
  }
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
  sub->footer(
      "Exit status: 0 sent, 1 a port that cannot be opened, 2 port write failed (also: the "
      "port took no data for 10 s), 4 stopped (Ctrl-C, SIGTERM, SIGHUP).");
  sub->callback([args, status] { *status = run_send_text(*args); });
}
