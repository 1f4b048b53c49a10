// stoker-kit send-file PORT BAUD FILE [--send TEXT]
#include <CLI/CLI.hpp>
#include <cstdio>
#include <memory>
#include <string>

#include "app/kit.h"
#include "app/kit_transfer.h"
#include "common/file.h"
#include "toolkit/transfer/transfer.h"

namespace {

constexpr const char* kWho = "stoker-kit send-file";

}  // namespace

int kit_send_file(const KitTransferArgs& args, SerialPort* port) {
  // Opened, and anything but a regular file refused, before the port is
  // touched: the transfer sends from this very file.
  std::string why;
  FilePtr file = open_regular_file(args.file.c_str(), &why);
  int64_t size = 0;
  if (file && !stream_length(file.get(), &size)) why = "its length cannot be told";
  if (!file || !why.empty()) {
    std::fprintf(stderr, "%s: cannot read %s: %s\n", kWho, args.file.c_str(), why.c_str());
    return RESULT_FILE_UNREADABLE;
  }
  TransferReport report;
  auto transfer = [&](DownloadJob* job, ProgressFn progress) {
    return send_binary_file(job, file.get(), size, progress, &report);
  };
  auto explain = [&](int code) -> std::string {
    if (code == RESULT_FILE_UNREADABLE)
      return "cannot read " + args.file +
             " to its end (it shrank, or a read failed): " + report.detail;
    return "failed with code " + std::to_string(code);
  };
  return kit_run_transfer(args, kWho, static_cast<long long>(size), transfer, explain, port);
}

void kit_register_send_file(CLI::App* app, int* status) {
  auto args = std::make_shared<KitTransferArgs>();
  CLI::App* sub = app->add_subcommand(
      "send-file", "Send a file's bytes unchanged to the target (one way, no acknowledgements)");
  kit_add_transfer_arguments(sub, args.get(), "FILE", "File to send");
  sub->footer(
      "Exit status: 0 sent, 1 not a regular file, unreadable, ended before its length was sent, "
      "or a port that cannot be opened, 2 port write failed (also: the port took no data for "
      "10 s), 4 stopped (Ctrl-C, SIGTERM, SIGHUP).");
  sub->callback([args, status] {
    static SerialPort port;
    *status = kit_send_file(*args, &port);
  });
}
