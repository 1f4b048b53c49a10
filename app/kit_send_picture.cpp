// stoker-kit send-picture PORT BAUD FILE.bmp [--send TEXT] [--header]
#include <CLI/CLI.hpp>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "app/kit.h"
#include "app/kit_transfer.h"
#include "common/file.h"
#include "toolkit/image/bmp.h"
#include "toolkit/transfer/transfer.h"

namespace {

constexpr const char* kWho = "stoker-kit send-picture";

struct ImageReleaser {
  void operator()(BmpImage* image) const { bmp_release(image); }
};
using ImagePtr = std::unique_ptr<BmpImage, ImageReleaser>;

std::string how_to_save(const std::string& path) {
  return "save it as a plain 24-bit BMP, e.g. with Python's PIL: Image.open('" + path +
         "').convert('RGB').save('plain.bmp'), or with an image editor's \"24-bit BMP\" option "
         "and no colour space information";
}

// What makes the header a variant that the image module does not read.
std::string variant_of(const BmpImage& header) {
  if (header.infoSize == 108 || header.infoSize == 124)
    return "it has a " + std::to_string(header.infoSize) +
           "-byte information header (with colour space data)";
  if (header.infoSize != kBmpInfoSize)
    return "it has a " + std::to_string(header.infoSize) + "-byte information header";
  if (header.compression != 0)
    return "it is compressed (compression " + std::to_string(header.compression) + ")";
  return "it has " + std::to_string(header.bitCount) + " bits per pixel";
}

// The height as the file gives it: negative for rows stored top-down.
long long stored_height(const BmpImage& header) {
  return static_cast<int32_t>(header.height);
}

}  // namespace

std::string kit_picture_failure(int code, const std::string& path, const BmpImage& header) {
  switch (code) {
    case RESULT_FILE_UNREADABLE: {
      const char* text = bmp_status_text();
      std::string line = "cannot load " + path + ": " + (text != nullptr ? text : "unknown error");
      if (bmp_status() == BMP_UNSUPPORTED)
        line += ": " + variant_of(header) + "; " + how_to_save(path);
      return line;
    }
    case TRANSFER_NOT_24_BITS:
      return path + " has " + std::to_string(header.bitCount) +
             " bits per pixel, and only 24-bit pictures are sent: " + how_to_save(path);
    case TRANSFER_TOO_LARGE:
      return path + " is " + std::to_string(header.width) + " x " +
             std::to_string(std::llabs(stored_height(header))) +
             " pixels, and the picture stream carries at most " + std::to_string(kMaxPictureSide) +
             " in either direction";
    default:
      return "failed with code " + std::to_string(code);
  }
}

int kit_send_picture(const KitTransferArgs& args, SerialPort* port) {
  // Opened and loaded once, before the port is touched; only a picture the
  // stream can carry gets that far.
  const char* path = args.file.c_str();
  std::string why;
  FilePtr file = open_regular_file(path, &why);
  if (!file) {
    std::fprintf(stderr, "%s: cannot open %s: %s\n", kWho, path, why.c_str());
    return RESULT_FILE_UNREADABLE;
  }
  BmpImage header;
  ImagePtr image(bmp_read_file(file.get(), &header));
  file.reset();
  const int fits = image ? picture_check(image.get()) : RESULT_FILE_UNREADABLE;
  if (fits != RESULT_OK) {
    std::fprintf(stderr, "%s: %s\n", kWho, kit_picture_failure(fits, args.file, header).c_str());
    return fits;
  }

  TransferReport report;
  auto transfer = [&](DownloadJob* job, ProgressFn progress) {
    return send_picture_image(job, image.get(), progress, &report);
  };
  auto explain = [&](int code) -> std::string {
    if (code == TRANSFER_HEADER_FILE)
      return std::string("cannot write ") + kPictureHeaderFile + ": " + report.detail;
    return kit_picture_failure(code, args.file, header);
  };
  const long long bytes = 4 + 3 * static_cast<long long>(bmp_width(image.get())) *
                                  static_cast<long long>(bmp_height(image.get()));
  return kit_run_transfer(args, kWho, bytes, transfer, explain, port);
}

void kit_register_send_picture(CLI::App* app, int* status) {
  auto args = std::make_shared<KitTransferArgs>();
  CLI::App* sub = app->add_subcommand(
      "send-picture",
      "Send a 24-bit BMP picture to the target: height, width, then 6-bit red, green, blue "
      "per pixel from the top row");
  kit_add_transfer_arguments(sub, args.get(), "FILE.bmp", "24-bit BMP picture");
  sub->add_flag("--header", args->header,
                std::string("Also write the picture's bytes as a C array into ") +
                    kPictureHeaderFile + " in the current directory, before sending");
  sub->footer(
      "Exit status: 0 sent, 1 not a regular file, not a BMP picture that can be read, or a port "
      "that cannot be opened, 2 port write failed (also: the port took no data for 10 s), 4 "
      "stopped (Ctrl-C, SIGTERM, SIGHUP), 16 not 24 bits per pixel, 17 header file not "
      "writable, 18 wider or higher than 65535 pixels.");
  sub->callback([args, status] {
    static SerialPort port;
    *status = kit_send_picture(*args, &port);
  });
}
