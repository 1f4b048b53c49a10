// stoker-kit send-file PORT BAUD FILE [--send TEXT]
#include <CLI/CLI.hpp>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <system_error>

#include "app/kit.h"
#include "app/kit_transfer.h"
#include "toolkit/transfer/transfer.h"

namespace {

constexpr const char* kWho = "stoker-kit send-file";

std::string file_failure(int code, const std::string& path) {
  if (code == RESULT_FILE_UNREADABLE) return "cannot read " + path;
  return "failed with code " + std::to_string(code);
}

}  // namespace

int kit_send_file(const KitTransferArgs& args, SerialPort* port) {
  // Checked before the port is touched; the transfer checks again.
  std::error_code error;
  const auto size = std::filesystem::file_size(args.file, error);
  if (error) {
    std::fprintf(stderr, "%s: cannot read %s: %s\n", kWho, args.file.c_str(),
                 error.message().c_str());
    return RESULT_FILE_UNREADABLE;
  }
  return kit_run_transfer(args, kWho, static_cast<long long>(size), send_binary, file_failure,
                          port);
}

void kit_register_send_file(CLI::App* app, int* status) {
  auto args = std::make_shared<KitTransferArgs>();
  CLI::App* sub = app->add_subcommand(
      "send-file", "Send a file's bytes unchanged to the target (one way, no acknowledgements)");
  kit_add_transfer_arguments(sub, args.get(), "FILE", "File to send");
  sub->footer(
      "Exit status: 0 sent, 1 file unreadable or port that cannot be opened, 2 port write "
      "failed, 4 stopped (Ctrl-C).");
  sub->callback([args, status] {
    static SerialPort port;
    *status = kit_send_file(*args, &port);
  });
}
