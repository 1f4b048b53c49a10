// stoker-kit send-picture PORT BAUD FILE.bmp [--send TEXT] [--header]
#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "app/kit.h"
#include "app/kit_transfer.h"
#include "common/file.h"
#include "toolkit/image/bmp.h"
#include "toolkit/transfer/transfer.h"

namespace {

constexpr const char* kWho = "stoker-kit send-picture";

// The picture's header fields; false when the file has no 54 bytes to read.
bool read_header(const std::string& path, BmpImage* header) {
  FilePtr file(std::fopen(path.c_str(), "rb"));
  return file && bmp_read_header(header, file.get()) == 0;
}

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

}  // namespace

std::string kit_picture_failure(int code, const std::string& path) {
  BmpImage header;
  const bool haveHeader = read_header(path, &header);
  switch (code) {
    case RESULT_FILE_UNREADABLE: {
      const char* text = bmp_status_text();
      std::string line = "cannot load " + path + ": " + (text != nullptr ? text : "unknown error");
      if (bmp_status() == BMP_UNSUPPORTED && haveHeader)
        line += ": " + variant_of(header) + "; " + how_to_save(path);
      return line;
    }
    case TRANSFER_NOT_24_BITS:
      return path + " has " + (haveHeader ? std::to_string(header.bitCount) : "other than 24") +
             " bits per pixel, and only 24-bit pictures are sent: " + how_to_save(path);
    case TRANSFER_HEADER_FILE:
      return std::string("cannot write ") + kPictureHeaderFile + " in the current directory";
    default:
      return "failed with code " + std::to_string(code);
  }
}

int kit_send_picture(const KitTransferArgs& args, SerialPort* port) {
  // Checked before the port is touched; the transfer loads the picture.
  FilePtr file(std::fopen(args.file.c_str(), "rb"));
  if (!file) {
    std::fprintf(stderr, "%s: cannot open %s: %s\n", kWho, args.file.c_str(), std::strerror(errno));
    return RESULT_FILE_UNREADABLE;
  }
  // The stream's length for the progress display, when the header tells.
  BmpImage header;
  long long bytes = 0;
  if (bmp_read_header(&header, file.get()) == 0) {
    const int64_t height = static_cast<int32_t>(header.height);
    const uint64_t pixels = static_cast<uint64_t>(header.width) * std::llabs(height);
    if (pixels < (1ull << 40)) bytes = 4 + 3 * static_cast<long long>(pixels);
  }
  file.reset();

  return kit_run_transfer(args, kWho, bytes, send_picture, kit_picture_failure, port);
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
      "Exit status: 0 sent, 1 not a BMP picture that can be read or a port that cannot be "
      "opened, 2 port write failed, 4 stopped (Ctrl-C), 16 not 24 bits per pixel, 17 header "
      "file not writable.");
  sub->callback([args, status] {
    static SerialPort port;
    *status = kit_send_picture(*args, &port);
  });
}
