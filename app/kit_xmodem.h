// The xmodem operation of stoker-kit: the download of stoker with the
// generation-1 (XMODEM-1K) loader let through.
#pragma once

#include <string>

#include "serial/serial.h"

struct KitXmodemArgs {
  bool verbose = false;
  bool eraseAll = false;  // ask a generation-1 loader to erase all its flash
  std::string port;       // number, or a device path
  std::string baud;
  std::string flashStart;  // hexadecimal
  std::string flashSizeK;
  std::string delay;  // seconds for a full erase
  std::string file;
  std::string trace;  // the wire trace's file; empty: none
};

// Checks the arguments as stoker does (messages and usage text on the
// console, status 1), then opens the port, downloads with any generation
// allowed and reports "sucess" or the fail code. Returns the exit status: 1
// for bad arguments or a port that can't be opened, else the result code.
int kit_xmodem(const KitXmodemArgs& args, SerialPort* port);
