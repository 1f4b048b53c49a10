#include "app/kit_transfer.h"

#include <cstdio>

#include "app/kit_port.h"
#include "app/kit_progress.h"
#include "toolkit/transfer/transfer.h"

int kit_run_transfer(const KitTransferArgs& args, const char* who, long long bytes,
                     KitTransferFn transfer, SerialPort* port) {
  if (!kit_open_port(port, args.port, args.baud, who)) return RESULT_PORT_CLOSED;
  DownloadJob job;
  job.path = args.file.c_str();
  job.port = port;
  job.send = args.send.c_str();
  job.toFile = args.header ? 1 : 0;
  kit_progress_begin(who, bytes);
  const int result = transfer(&job, kit_progress);
  kit_progress_end(result == RESULT_OK);
  serial_close(port);
  const int status = kit_transfer_status(result);
  if (status == TRANSFER_WRITE_FAILED)
    std::fprintf(stderr, "%s: a write to the port failed; the target got part of the data\n", who);
  if (status == RESULT_ABORTED)
    std::fprintf(stderr, "%s: stopped (Ctrl-C); the target got part of the data\n", who);
  return status;
}
