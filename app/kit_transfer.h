// The one-way transfers of stoker-kit (send-file, send-picture): the port
// opened as stoker opens it, the progress display, the result code as the
// exit status and one line on standard error for every failure. Their
// arguments (PORT BAUD FILE [--send TEXT]) are also those of send-font and
// script.
#pragma once

#include <functional>
#include <string>

#include "common/common.h"
#include "common/job.h"
#include "serial/serial.h"

struct BmpImage;

struct KitTransferArgs {
  std::string port;  // number, or a device path
  std::string baud;
  std::string file;     // the file (for script: a path or a URL)
  std::string send;     // text sent first (escapes allowed); empty: none
  bool header = false;  // send-picture: also write the C header file
  std::string trace;    // the wire trace's file; empty: none
};

using KitTransferFn = std::function<int(DownloadJob* job, ProgressFn progress)>;
// One line saying why the transfer gave `code`.
using KitExplainFn = std::function<std::string(int code)>;

namespace CLI {
class App;
}

// Adds a transfer's arguments to its subcommand: PORT, BAUD, the file
// (named fileName on the command line), --send and --trace.
void kit_add_transfer_arguments(CLI::App* sub, KitTransferArgs* args, const char* fileName,
                                const char* fileHelp);

// Opens the port, runs transfer over it with the progress display (for a
// transfer of `bytes` bytes) and closes the port. Returns the result code,
// 4 when a stop signal interrupted it, and 1 when the port can't be opened
// (as stoker). Every failure is reported here as one line "<who>: ..." on
// standard error: the port's, those every transfer shares (2: why the write
// failed, such as a port that took no data for the write bound; 4: the
// signal), and the others through explain.
int kit_run_transfer(const KitTransferArgs& args, const char* who, long long bytes,
                     KitTransferFn transfer, KitExplainFn explain, SerialPort* port);

// send-file: sends args.file unchanged. Returns the exit status; every
// nonzero one comes with a line on standard error.
int kit_send_file(const KitTransferArgs& args, SerialPort* port);

// send-picture: sends the 24-bit BMP args.file (and writes the C header
// file into the current directory first with args.header). Returns the exit
// status; every nonzero one comes with a line on standard error.
int kit_send_picture(const KitTransferArgs& args, SerialPort* port);

// Why the picture at path was refused or its transfer gave `code`, as one
// line; header holds the file's header fields (as bmp_read_file leaves
// them). After a refusal by the image module (code 1) its status text, and
// for a BMP variant it does not read or a picture that is not 24 bits per
// pixel, how to save one that will do; for a picture the stream can't carry
// (18), its size and the limit.
std::string kit_picture_failure(int code, const std::string& path, const BmpImage& header);

// The line for a stop: "stopped (Ctrl-C)", or the signal that stopped it.
std::string kit_stopped_text();
