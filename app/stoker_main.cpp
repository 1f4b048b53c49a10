// stoker: resets a PIC32 through DTR, finds its boot loader and downloads a
// firmware image (Intel HEX or raw) into its flash.
#include "app/stoker_cli.h"

int main(int argc, char** argv) {
  static SerialPort port;
  StokerArgs args;
  const int status = stoker_check_args(argc, argv, &args);
  if (status >= 0) return status;
  return stoker_run(&args, &port);
}
