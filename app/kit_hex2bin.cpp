// stoker-kit hex2bin FILE.hex OUT.bin FLASHSTART FLASHSIZE_K
#include "app/kit_hex2bin.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cctype>
#include <cinttypes>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "app/kit.h"
#include "boot/hex.h"
#include "common/file.h"
#include "common/job.h"

namespace {

// Largest flash size in KiB whose byte count fits a 32-bit signed int.
constexpr uint32_t kMaxFlashSizeK = INT32_MAX / 1024;

std::string window_text(uint32_t flashStart, int32_t flashSize) {
  char text[64];
  std::snprintf(text, sizeof text, "0x%08" PRIx32 "-0x%08" PRIx64, flashStart,
                static_cast<uint64_t>(flashStart) + static_cast<uint64_t>(flashSize));
  return text;
}

}  // namespace

bool parse_flash_start(const std::string& text, uint32_t* value, std::string* error) {
  size_t i = 0;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) i = 2;
  // Leading zeros don't count against the eight digits of 32 bits.
  while (i + 1 < text.size() && text[i] == '0') ++i;
  const std::string digits = text.substr(i);
  const bool allHex = !digits.empty() && std::all_of(digits.begin(), digits.end(), [](char c) {
    return std::isxdigit(static_cast<unsigned char>(c)) != 0;
  });
  const int parsed = allHex ? parse_hex(digits.c_str(), value) : 4;
  if (parsed == 2) *error = "flash start '" + text + "' does not fit 32 bits";
  if (parsed == 4) *error = "flash start '" + text + "' is not a hexadecimal number";
  return parsed == 1;
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
  // The download's own conversion and buffer, so the image is exactly what
  // would be sent.
  std::vector<uint8_t> image;
  int size = 0;
  const int result = hex_file_to_image(input.c_str(), flashStart, flashSize, &image, &size);
  switch (result) {
    case HEX_OK:
      break;
    case HEX_FILE_UNREADABLE:
      *message = "cannot open input file " + input;
      return 1;
    case HEX_NO_MEMORY:
      *message = "cannot allocate an image buffer for " + std::to_string(flashSize) + " bytes";
      return RESULT_NO_MEMORY;
    case HEX_NO_DATA:
      *message = input + ": no data inside the flash window " + window_text(flashStart, flashSize);
      return result;
    default:
      *message = input + ": bad record or missing end record";
      return result;
  }
  std::string error;
  if (!write_file_replacing(output, image.data(), static_cast<size_t>(size), &error)) {
    *message = "cannot write output file " + output + ": " + error;
    return 1;
  }
  *message = std::to_string(size) + " bytes written to " + output;
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
      "Bytes that no record sets are 0xFF (erased flash). Only the window [FLASHSTART, "
      "FLASHSTART + size) is written: records outside it are skipped, bytes at or above its "
      "top dropped. An existing output file is replaced only once the image is complete.");
  sub->callback([args, status] { *status = run_hex2bin(*args); });
}
