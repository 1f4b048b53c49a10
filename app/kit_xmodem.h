// The xmodem operation of stoker-kit: the download of stoker with the
// generation-1 (XMODEM-1K) loader let through.
#pragma once

#include <string>

#include "app/kit_download_args.h"
#include "serial/serial.h"

using KitXmodemArgs = KitDownloadArgs;

// Checks the arguments as stoker does (messages and usage text on the
// console, status 1), then opens the port, downloads with any generation
// allowed and reports "sucess" or the fail code. Returns the exit status: 1
// for bad arguments or a port that can't be opened, else the result code.
int kit_xmodem(const KitXmodemArgs& args, SerialPort* port);
