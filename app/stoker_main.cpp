// stoker: resets a PIC32 through DTR, finds its boot loader and downloads a
// firmware image (Intel HEX or raw) into its flash.
#include "app/stoker_cli.h"
#include "common/stop.h"

int main(int argc, char** argv) {
  static SerialPort port;
  // Ctrl-C ends the download as an abort, and the port is closed normally.
  stop_watch_signals();
  StokerArgs args;
  const int status = stoker_check_args(argc, argv, &args);
  if (status >= 0) return status;
  return stoker_run(&args, &port);
}
