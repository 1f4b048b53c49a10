// stoker-kit font-header NAME
// stoker-kit font-file FILE.bff
// stoker-kit send-font PORT BAUD FILE.bff [--send TEXT]
#include <CLI/CLI.hpp>
#include <cstdio>
#include <memory>
#include <string>

#include "app/kit.h"
#include "app/kit_port.h"
#include "app/kit_progress.h"
#include "app/kit_transfer.h"
#include "common/job.h"
#include "toolkit/font/font.h"

namespace {

int fail(const char* who, int result, const FontReport& report, const std::string& hint = "") {
  std::fprintf(stderr, "%s: %s%s\n", who, report.detail.c_str(), hint.c_str());
  return transfer_status(result);
}

bool ends_with(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() &&
         text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

int run_font_header(const std::string& name) {
  FontReport report;
  const int result = font_to_header(name.c_str(), &report);
  if (result != FONT_OK) {
    const bool hint = result == FONT_UNREADABLE && ends_with(name, ".bff");
    return fail("stoker-kit font-header", result, report,
                hint ? " (NAME is the font file's name without .bff)" : "");
  }
  std::printf("%s\n", report.output.c_str());
  return 0;
}

int run_font_file(const std::string& file) {
  DownloadJob job;
  job.path = file.c_str();
  job.toFile = 1;
  FontReport report;
  // Only for Ctrl-C: writing the file takes no time worth a display.
  const int result = send_font(&job, kit_progress, &report);
  if (result != FONT_OK) return fail("stoker-kit font-file", result, report);
  std::printf("%s\n", report.output.c_str());
  return 0;
}

// The report of the font being sent until its display has started: the
// display starts once send_font knows the stream's size.
const FontReport* g_starting = nullptr;

int send_progress(int total, int done) {
  if (g_starting != nullptr) {
    kit_progress_begin("send-font", g_starting->streamBytes);
    g_starting = nullptr;
  }
  return kit_progress(total, done);
}

int run_send_font(const KitTransferArgs& args) {
  constexpr const char* kWho = "stoker-kit send-font";
  // The font is read and checked before the port is opened: a file that is
  // no font, or no regular file, never touches the port.
  FontReport report;
  PackedFont font;
  const int loaded = load_font(args.file.c_str(), &font, &report);
  if (loaded != FONT_OK) return fail(kWho, loaded, report);
  static SerialPort port;
  if (!kit_open_port(&port, args.port, args.baud, args.trace, kWho)) return 1;
  DownloadJob job;
  job.path = args.file.c_str();
  job.port = &port;
  job.send = args.send.empty() ? nullptr : args.send.c_str();
  g_starting = &report;
  const int result = deliver_font(&job, font, send_progress, &report);
  g_starting = nullptr;
  kit_progress_end(result == FONT_OK);
  kit_close_port(&port, kWho);
  if (result != FONT_OK && transfer_status(result) == RESULT_ABORTED) {
    std::fprintf(stderr, "%s: %s; the target got part of the font\n", kWho,
                 kit_stopped_text().c_str());
    return RESULT_ABORTED;
  }
  if (result != FONT_OK) return fail(kWho, result, report);
  std::printf("%lld bytes of font %s sent (%d glyphs of %d bytes)\n", report.streamBytes,
              args.file.c_str(), report.records, report.bf.nBytes);
  return 0;
}

}  // namespace

void kit_register_font_header(CLI::App* app, int* status) {
  auto name = std::make_shared<std::string>();
  CLI::App* sub =
      app->add_subcommand("font-header", "Convert the font NAME.bff to a C header, NAME.h");
  sub->add_option("NAME", *name, "the font file's name without .bff, e.g. fonts/small")->required();
  sub->footer(
      "The header is NAME cut at its last \".\" plus \".h\"; it declares the array "
      "`const unsigned char NAME[]` (the file name, as a C identifier).");
  sub->callback([name, status] { *status = run_font_header(*name); });
}

void kit_register_font_file(CLI::App* app, int* status) {
  auto file = std::make_shared<std::string>();
  CLI::App* sub = app->add_subcommand(
      "font-file", "Pack a .bff font into a .bf file beside it, as send-font would send it");
  sub->add_option("FILE.bff", *file, "font file")->required();
  sub->callback([file, status] { *status = run_font_file(*file); });
}

void kit_register_send_font(CLI::App* app, int* status) {
  auto args = std::make_shared<KitTransferArgs>();
  CLI::App* sub = app->add_subcommand("send-font", "Pack a .bff font and send it to the target");
  kit_add_transfer_arguments(sub, args.get(), "FILE.bff", "font file");
  sub->callback([args, status] { *status = run_send_font(*args); });
}
