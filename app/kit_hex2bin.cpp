// stoker-kit hex2bin FILE.hex OUT.bin FLASHSTART FLASHSIZE_K
#include "app/kit_hex2bin.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <memory>
#include <new>
#include <string>

#include "app/kit.h"
#include "boot/download.h"
#include "boot/hex.h"

namespace {

int hex_digit_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Largest flash size in KiB whose byte count fits a 32-bit signed int.
constexpr uint32_t kMaxFlashSizeK = INT32_MAX / 1024;

struct FileCloser {
  void operator()(FILE* file) const { std::fclose(file); }
};
using File = std::unique_ptr<FILE, FileCloser>;

// Writes the image to `path`; false (and no file left behind) on any failure.
bool write_image(const std::string& path, const uint8_t* image, size_t size) {
  FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return false;
  const bool written = std::fwrite(image, 1, size, file) == size;
  const bool closed = std::fclose(file) == 0;
  if (written && closed) return true;
  std::remove(path.c_str());
  return false;
}

std::string window_text(uint32_t flashStart, int32_t flashSize) {
  char text[64];
  std::snprintf(text, sizeof text, "0x%08" PRIx32 "-0x%08" PRIx64, flashStart,
                static_cast<uint64_t>(flashStart) + static_cast<uint64_t>(flashSize));
  return text;
}

std::string summary(const std::string& output, int size, int32_t flashSize) {
  std::string text = std::to_string(size) + " bytes written to " + output;
  if (size > flashSize) {
    text += " (" + std::to_string(size - flashSize) +
            " bytes beyond the flash window: the last record starts at its top)";
  }
  return text;
}

}  // namespace

bool parse_flash_start(const std::string& text, uint32_t* value, std::string* error) {
  size_t i = 0;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) i = 2;
  if (i == text.size()) {
    *error = "flash start '" + text + "' is not a hexadecimal number";
    return false;
  }
  uint64_t result = 0;
  for (; i < text.size(); ++i) {
    const int digit = hex_digit_value(text[i]);
    if (digit < 0) {
      *error = "flash start '" + text + "' is not a hexadecimal number";
      return false;
    }
    result = result * 16 + static_cast<uint64_t>(digit);
    if (result > UINT32_MAX) {
      *error = "flash start '" + text + "' does not fit 32 bits";
      return false;
    }
  }
  *value = static_cast<uint32_t>(result);
  return true;
}

bool parse_flash_size_k(const std::string& text, int32_t* bytes, std::string* error) {
  uint32_t kib = 0;
  for (char c : text) {
    if (c < '0' || c > '9') {
      *error = "flash size '" + text + "' is not a decimal number of KiB";
      return false;
    }
    if (kib <= kMaxFlashSizeK) kib = kib * 10 + static_cast<uint32_t>(c - '0');
  }
  if (text.empty()) {
    *error = "flash size is empty";
    return false;
  }
  if (kib == 0 || kib > kMaxFlashSizeK) {
    *error = "flash size '" + text + "' KiB is out of range 1 to " + std::to_string(kMaxFlashSizeK);
    return false;
  }
  *bytes = static_cast<int32_t>(kib * 1024);
  return true;
}

int hex2bin(const std::string& input, const std::string& output, uint32_t flashStart,
            int32_t flashSize, std::string* message) {
  const File file(std::fopen(input.c_str(), "rb"));
  if (!file) {
    *message = "cannot open input file " + input;
    return 1;
  }
  // The download's buffer: room for the blocks' tail and for a record that
  // starts at the top of the window, erased flash where no record writes.
  const size_t bufferSize = static_cast<size_t>(flashSize) + kBlockBytes + kHexMaxRecordBytes;
  const std::unique_ptr<uint8_t[]> image(new (std::nothrow) uint8_t[bufferSize]);
  if (!image) {
    *message = "cannot allocate an image buffer of " + std::to_string(bufferSize) + " bytes";
    return RESULT_NO_MEMORY;
  }
  std::fill(image.get(), image.get() + bufferSize, kErasedByte);
  int size = 0;
  const int result =
      hex_to_image(file.get(), flashStart, static_cast<uint32_t>(flashSize), image.get(), &size);
  if (result == HEX_BAD_RECORD) {
    *message = input + ": bad record or missing end record";
    return result;
  }
  if (result == HEX_NO_DATA) {
    *message = input + ": no data inside the flash window " + window_text(flashStart, flashSize);
    return result;
  }
  if (!write_image(output, image.get(), static_cast<size_t>(size))) {
    *message = "cannot write output file " + output;
    return 1;
  }
  *message = summary(output, size, flashSize);
  return 0;
}

namespace {

struct Hex2BinArgs {
  std::string input;
  std::string output;
  std::string flashStart;
  std::string flashSizeK;
};

int run_hex2bin(const Hex2BinArgs& args) {
  uint32_t flashStart = 0;
  int32_t flashSize = 0;
  std::string message;
  if (!parse_flash_start(args.flashStart, &flashStart, &message) ||
      !parse_flash_size_k(args.flashSizeK, &flashSize, &message)) {
    std::fprintf(stderr, "hex2bin: %s\n", message.c_str());
    return 1;
  }
  const int status = hex2bin(args.input, args.output, flashStart, flashSize, &message);
  std::fprintf(status == 0 ? stdout : stderr, "%s%s\n",
               status == 0 ? "" : "hex2bin: ", message.c_str());
  return status;
}

}  // namespace

void kit_register_hex2bin(CLI::App* app, int* status) {
  CLI::App* sub = app->add_subcommand(
      "hex2bin", "Convert an Intel HEX file to the flat image of a flash window, as downloaded");
  auto args = std::make_shared<Hex2BinArgs>();
  sub->add_option("FILE.hex", args->input, "Intel HEX file")->required();
  sub->add_option("OUT.bin", args->output, "image file to write")->required();
  sub->add_option("FLASHSTART", args->flashStart, "flash start address in hex, e.g. 0x1d000000")
      ->required();
  sub->add_option("FLASHSIZE_K", args->flashSizeK, "flash size in KiB, e.g. 512")->required();
  sub->footer(
      "Bytes that no record sets are 0xFF (erased flash). Records outside the window are "
      "skipped; a record starting exactly at its top is written whole.");
  sub->callback([args, status] { *status = run_hex2bin(*args); });
}
