// stoker-kit flash [-v] PORT[,PORT...] BAUD FLASHSTART FLASHSIZE_K DELAY FILE [--erase-all]
//                  [--trace FILE|DIR]
#include "app/kit_flash.h"

#include <CLI/CLI.hpp>
#include <chrono>
#include <cstdio>
#include <memory>

#include "app/kit.h"
#include "app/kit_port.h"
#include "app/stoker_cli.h"
#include "boot/download.h"
#include "common/console.h"
#include "common/file.h"
#include "common/stop.h"

namespace {

constexpr const char* kWho = "stoker-kit flash";
constexpr long long kMaxEraseDelay = 3600;

// A whole number in base 10 or 16 (a leading 0x allowed), at most max.
bool parse_number(const std::string& text, int base, long long max, long long* value) {
  size_t i =
      base == 16 && text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X') ? 2 : 0;
  if (i == text.size()) return false;
  long long v = 0;
  for (; i < text.size(); ++i) {
    const char c = text[i];
    int d = -1;
    if (c >= '0' && c <= '9') d = c - '0';
    if (base == 16 && c >= 'a' && c <= 'f') d = c - 'a' + 10;
    if (base == 16 && c >= 'A' && c <= 'F') d = c - 'A' + 10;
    if (d < 0) return false;
    v = v * base + d;
    if (v > max) return false;
  }
  *value = v;
  return true;
}

std::string hex(long long value) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%llx", value);
  return text;
}

// The progress sink of a download: the display starts with the first
// report, once the image's size is known.
int report(void* context, int total, int done) {
  KitFlashRun* run = static_cast<KitFlashRun*>(context);
  if (!run->display.active) {
    if (run->job.verbose) console_print("\n");
    kit_progress_start(&run->display, "flash", total, run->terminal);
  }
  kit_progress_show(&run->display, kit_flash_bytes_done(run->job.generation, total, done));
  return stop_requested() ? 1 : 0;
}

void print_failure(const KitFlashRun& run, int code) {
  std::fflush(stdout);
  if (code == RESULT_ABORTED)
    std::fprintf(stderr, "%s: stopped (Ctrl-C); the board may be partly programmed\n", kWho);
  else
    std::fprintf(stderr, "%s: failed with code %d: %s\n", kWho, code,
                 download_failure_text(run.job, code).c_str());
}

}  // namespace

bool kit_flash_check(const KitFlashArgs& args, DownloadJob* job, std::string* error) {
  long long start = 0, sizeK = 0, delay = 0;
  if (!parse_number(args.flashStart, 16, 0xFFFFFFFFLL, &start)) {
    *error = "not a flash address: '" + args.flashStart + "' (hexadecimal, e.g. 0x1d000000)";
    return false;
  }
  if (!parse_number(args.flashSizeK, 10, kMaxFlashSize >> 10, &sizeK) ||
      sizeK < (kMinFlashSize >> 10)) {
    *error = "not a flash size: '" + args.flashSizeK + "' (KiB, " +
             std::to_string(kMinFlashSize >> 10) + " to " + std::to_string(kMaxFlashSize >> 10) +
             ", e.g. 512)";
    return false;
  }
  const long long size = sizeK << 10;
  if (start < kFlashBase || start > kFlashBase + size) {
    *error = "flash start " + hex(start) + " is outside " + hex(kFlashBase) + " to " +
             hex(kFlashBase + size) + " for " + std::to_string(sizeK) + " KiB of flash";
    return false;
  }
  if (!parse_number(args.delay, 10, kMaxEraseDelay, &delay)) {
    *error = "not an erase delay: '" + args.delay + "' (seconds, 0 to " +
             std::to_string(kMaxEraseDelay) + ")";
    return false;
  }
  if (!open_regular_file(args.file.c_str())) {
    *error = "cannot open the image " + args.file;
    return false;
  }
  job->path = args.file.c_str();
  job->flashStart = static_cast<int32_t>(start);
  job->flashSize = static_cast<int32_t>(size);
  job->eraseDelay = static_cast<int32_t>(delay);
  job->eraseAll = args.eraseAll ? 1 : 0;
  job->verbose = args.verbose ? 1 : 0;
  return true;
}

std::string kit_flash_summary(long long bytes, const std::string& port, double seconds,
                              int generation) {
  char text[96];
  const double rate = seconds > 0 ? static_cast<double>(bytes) / seconds / 1000.0 : 0.0;
  std::snprintf(text, sizeof text, " in %.1f s (%.1f kB/s), generation %d", seconds, rate,
                generation);
  return "Wrote " + std::to_string(bytes) + " bytes to " + port + text;
}

int kit_flash(const KitFlashArgs& args, SerialPort* port) {
  if (kit_gang_form(args.port)) return kit_flash_gang(args);
  KitFlashRun run;
  std::string error;
  if (!kit_flash_check(args, &run.job, &error)) {
    std::fprintf(stderr, "%s: %s\n", kWho, error.c_str());
    return 1;
  }
  if (!kit_open_port(port, args.port, args.baud, args.trace, kWho)) return 1;
  run.job.port = port;
  run.job.progressSink = {report, &run};
  run.terminal = console_is_terminal();
  const auto start = std::chrono::steady_clock::now();
  const int code = download_any_generation(&run.job, nullptr);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  kit_progress_finish(&run.display, code == RESULT_OK);
  kit_close_port(port, kWho);
  if (code != RESULT_OK) {
    print_failure(run, code);
    return code;
  }
  console_print(
      "%s\n", kit_flash_summary(run.job.imageSize, args.port, seconds, run.job.generation).c_str());
  return 0;
}

void kit_register_flash(CLI::App* app, int* status) {
  auto args = std::make_shared<KitFlashArgs>();
  CLI::App* sub = app->add_subcommand(
      "flash",
      "Download an image to any generation of boot loader, with a progress display, a summary "
      "and an optional wire trace");
  kit_add_download_arguments(sub, args.get(), "Also the download's detailed lines");
  sub->get_option("PORT")->description(
      "Port number (3 for COM3), device path, or board: usb:SERIAL, usb:VVVV:PPPP#N; several "
      "comma-separated, or usb:VVVV:PPPP for every board with these ids, are flashed at once");
  sub->get_option("--trace")
      ->description(
          "Record every operation on the port, with its bytes and times, in this file; with "
          "several boards one file per board in this directory")
      ->type_name("FILE|DIR");
  sub->callback([args, status] {
    SerialPort port;
    *status = kit_flash(*args, &port);
  });
}
