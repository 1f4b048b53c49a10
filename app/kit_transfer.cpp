#include "app/kit_transfer.h"

#include <CLI/CLI.hpp>
#include <cstdio>

#include "app/kit_port.h"
#include "app/kit_progress.h"
#include "common/stop.h"
#include "toolkit/transfer/transfer.h"

void kit_add_transfer_arguments(CLI::App* sub, KitTransferArgs* args, const char* fileName,
                                const char* fileHelp) {
  kit_add_port_arguments(sub, &args->port, &args->baud, &args->trace);
  sub->add_option(fileName, args->file, fileHelp)->required();
  sub->add_option("--send", args->send,
                  "Text sent first, with escapes such as \\r \\n \\e \\0x41 \\w100 (a "
                  "100 ms pause)");
}

int kit_run_transfer(const KitTransferArgs& args, const char* who, long long bytes,
                     KitTransferFn transfer, KitExplainFn explain, SerialPort* port) {
  // As stoker: 1 when the port cannot be opened.
  if (!kit_open_port(port, args.port, args.baud, args.trace, who)) return 1;
  DownloadJob job;
  job.path = args.file.c_str();
  job.port = port;
  job.send = args.send.c_str();
  job.toFile = args.header ? 1 : 0;
  kit_progress_begin(who, bytes);
  const int result = transfer(&job, kit_progress);
  kit_progress_end(result == RESULT_OK);
  kit_close_port(port, who);
  const int status = transfer_status(result);
  if (status == TRANSFER_WRITE_FAILED)
    std::fprintf(stderr, "%s: %s; the target got part of the data\n", who,
                 serial_write_failure_text(port).c_str());
  else if (status == RESULT_ABORTED)
    std::fprintf(stderr, "%s: %s; the target got part of the data\n", who,
                 kit_stopped_text().c_str());
  else if (status != RESULT_OK)
    std::fprintf(stderr, "%s: %s\n", who, explain(status).c_str());
  return status;
}

std::string kit_stopped_text() {
  return std::string("stopped (") + stop_cause() + ")";
}
