// The stoker command line: argument checks in their fixed order, then the
// run: open the port, download, report the outcome, close.
#include "app/stoker_cli.h"

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "app/kit_port.h"
#include "common/console.h"
#include "common/file.h"
#include "serial/usb_port.h"

namespace {

constexpr size_t kMinSettingsLength = 10;  // a baud text of at least 4 characters

int digit_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return 99;
}

// Reads a number the way "%u" (base 10) or "%x" (base 16, a leading 0x
// accepted) does: leading blanks, an optional sign, then digits. No digits
// reads as 0; a value beyond 32 bits saturates; a minus sign negates modulo
// 2^32.
uint32_t scan_number(const char* text, int base) {
  while (std::isspace(static_cast<unsigned char>(*text))) ++text;
  bool negative = false;
  if (*text == '+' || *text == '-') negative = *text++ == '-';
  if (base == 16 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X') &&
      digit_value(text[2]) < base)
    text += 2;
  uint64_t value = 0;
  for (int d; (d = digit_value(*text)) < base; ++text) {
    value = value * static_cast<uint64_t>(base) + static_cast<uint64_t>(d);
    if (value > UINT32_MAX) value = UINT32_MAX;
  }
  const uint32_t result = static_cast<uint32_t>(value);
  return negative ? 0u - result : result;
}

int report_dots(int, int) {
  console_print(".");
  return 0;
}

int report_blocks(int total, int done) {
  console_print("\nthe file size=%d, block sent=%d", total, done);
  return 0;
}

// Prints a failed check's message and the usage text; the exit status.
int fail_check() {
  print_usage();
  return 1;
}

// A regular file that opens for reading. Anything else (a directory, a
// FIFO, a device) is refused without being opened, so the check never
// blocks.
bool readable_regular_file(const char* path) {
  return open_regular_file(path) != nullptr;
}

bool names_device(const char* port) {
  return std::strchr(port, '/') != nullptr;
}

// Steps 8 to 11: the value checks, in their order.
int check_values(const StokerArgs* args, const char* baud) {
  const DownloadJob& job = args->job;
  UsbPortName usb;
  std::string usbError;
  if (!args->usbName.empty() && !usb_port_parse(args->usbName, &usb, &usbError)) {
    console_print("\nnot a valid com port %s", args->usbName.c_str());
    return fail_check();
  }
  if (args->device.empty() && args->usbName.empty() && args->portNumber <= 0) {
    console_print("\nnot a valid com port %d", args->portNumber);
    return fail_check();
  }
  if (args->settings.size() < kMinSettingsLength || std::strlen(baud) > kMaxBaudLength) {
    console_print("\nerror with baud rate %s", args->settings.c_str());
    return fail_check();
  }
  if (job.flashSize < kMinFlashSize || job.flashSize > kMaxFlashSize) {
    console_print("\nflash Size (%d) is wrong, specify in k, e.g. 512", job.flashSize);
    return fail_check();
  }
  if (job.flashStart < kFlashBase || job.flashStart > kFlashBase + job.flashSize) {
    console_print("\nFlash start out of range %d to %d", kFlashBase, kFlashBase + job.flashSize);
    return fail_check();
  }
  return -1;
}

void print_settings(const StokerArgs* args, const char* fileName) {
  if (!args->usbName.empty())
    console_print("\n\nPort=%s", args->usbName.c_str());
  else if (args->device.empty())
    console_print("\n\nPort=%d", args->portNumber);
  else
    console_print("\n\nPort=%s", args->device.c_str());
  console_print("\nPort string=%s", args->settings.c_str());
  console_print("\nf.flashStart=%x", static_cast<unsigned>(args->job.flashStart));
  console_print("\nf.flashSize=%x", static_cast<unsigned>(args->job.flashSize));
  console_print("\nFile name=%s\n", fileName);
}

// The device a usb: port argument names; false after the messages of a
// port that cannot be opened.
bool resolve_board(StokerArgs* args) {
  std::string error;
  if (kit_resolve_usb_port(args->usbName, kit_scan_roots(), &args->device, &error)) {
    if (args->job.verbose) console_print("\n%s is %s", args->usbName.c_str(), args->device.c_str());
    return true;
  }
  console_print("\nUnable to open com port %s with %s", args->usbName.c_str(),
                args->settings.c_str());
  std::fprintf(stderr, "\n%s: %s\n", args->name.c_str(), error.c_str());
  return false;
}

int open_port(StokerArgs* args, SerialPort* port) {
  if (!args->usbName.empty() && !resolve_board(args)) return 1;
  const int error = args->device.empty()
                        ? serial_open(port, args->portNumber, args->settings.c_str())
                        : serial_open_device(port, args->device.c_str(), args->settings.c_str());
  if (error == 0) return 0;
  if (args->device.empty())
    console_print("\nUnable to open com port %d with %s", args->portNumber, args->settings.c_str());
  else
    console_print("\nUnable to open com port %s with %s", args->device.c_str(),
                  args->settings.c_str());
  const std::string name =
      args->device.empty() ? serial_device_name(args->portNumber) : args->device;
  std::fprintf(stderr, "\nstoker: %s: %s\n", name.c_str(),
               serial_open_failure_text(port, args->settings.c_str()).c_str());
  return 1;
}

}  // namespace

std::string download_failure_text(const DownloadJob& job, int code) {
  if (code != RESULT_IMAGE_TOO_LARGE) return result_text(code);
  return "the image (" + std::to_string(job.imageSize) + " bytes) is larger than the flash (" +
         std::to_string(job.flashSize) + " bytes)";
}

void print_usage() {
  console_print("\n\nUsage: stoker [-v] port baud flashStart flashSize delay fileName");
  console_print("\n  [-v] is optional if included give debug output (verbose)");
  console_print("\n  port an integer number for example 3");
  console_print("\n  flashStart in hexm for example 0x1d000000");
  console_print("\n  flashSize is the size in k example 128");
  console_print("\n  delay is the delay needed for a full erase in seconds");
  console_print("\n  Example -v 3 115200 0x1d000000 256 4 out.bin\n\n");
}

int stoker_check_args(int argc, const char* const* argv, StokerArgs* args) {
  DownloadJob& job = args->job;
  job.eraseAll = 0;
  job.verbose = 0;
  const bool option = argc > 1 && std::strncmp(argv[1], "-v", 2) == 0;
  if (argc - 1 - (option ? 1 : 0) < 6) return fail_check();
  job.verbose = option ? 1 : 0;
  const char* const* arg = argv + (option ? 2 : 1);

  const char* port = arg[0];
  args->device.clear();
  args->usbName.clear();
  args->portNumber = 0;
  if (usb_port_form(port) && !names_device(port)) {
    args->usbName = port;
  } else if (names_device(port)) {
    args->device = port;
    args->portNumber = 0;
  } else {
    args->portNumber = static_cast<int32_t>(scan_number(port, 10));
  }
  args->settings = std::string(arg[1]) + ",8,N,1";
  job.flashStart = static_cast<int32_t>(scan_number(arg[2], 16));
  job.flashSize = static_cast<int32_t>(scan_number(arg[3], 10) << 10);
  job.eraseDelay = static_cast<int32_t>(scan_number(arg[4], 10));

  const char* fileName = arg[5];
  if (!readable_regular_file(fileName)) {
    console_print("Cant open file %s", fileName);
    return fail_check();
  }
  job.path = fileName;

  if (job.verbose) console_print("\nTollan - Boot PIC32 Programer v2.0 ");
  const int status = check_values(args, arg[1]);
  if (status >= 0) return status;
  if (job.verbose) print_settings(args, fileName);
  return -1;
}

int stoker_run(StokerArgs* args, SerialPort* port) {
  DownloadJob& job = args->job;
  job.port = port;
  if (!kit_trace_start(port, args->trace, args->name.c_str())) return 1;
  if (open_port(args, port) != 0) {
    kit_trace_end(port, args->name.c_str());
    return 1;
  }
  reset_script_options();
  ProgressFn reporter = report_blocks;
  if (!job.verbose) {
    console_print("\nWait ");
    reporter = report_dots;
  }
  const int code =
      args->anyGeneration ? download_any_generation(&job, reporter) : download(&job, reporter);
  if (code != 0) {
    console_print("\nFail Code =%d", code);
    std::fprintf(stderr, "\nstoker: %s\n", download_failure_text(job, code).c_str());
  } else {
    console_print("\nsucess");
  }
  serial_close(port);
  kit_trace_end(port, args->name.c_str());
  delay_ms(400);
  return code;
}
