// Fuzz target for the stoker command-line checks. The input is an argument
// vector, one argument per NUL-separated piece; console output is captured.
// The checks open the file name read-only to prove it exists; so that they
// never reach devices or pseudo-files, only the port argument may hold a '/'.
// The working directory is a scratch directory holding two regular files,
// image.bin and image.hex, so inputs that name them pass the file check and
// reach the port, baud, size and start checks.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "app/stoker_cli.h"
#include "common/console.h"
#include "fuzz/scratch.h"

namespace {

constexpr size_t kMaxArgs = 16;

void check(bool condition) {
  if (!condition) std::abort();
}

// Splits the input at NUL bytes; argv[0] is the program name.
std::vector<std::string> split(const uint8_t* data, size_t size) {
  std::vector<std::string> args = {"stoker"};
  const char* text = size == 0 ? "" : reinterpret_cast<const char*>(data);
  size_t begin = 0;
  for (size_t i = 0; i <= size && args.size() <= kMaxArgs; ++i) {
    if (i == size || text[i] == '\0') {
      args.emplace_back(text + begin, i - begin);
      begin = i + 1;
    }
  }
  return args;
}

// Only argv[1] and argv[2] can be the port (after an optional -v).
bool names_only_local_files(const std::vector<std::string>& args) {
  for (size_t i = 3; i < args.size(); ++i) {
    if (args[i].find('/') != std::string::npos || args[i].find('\\') != std::string::npos)
      return false;
  }
  return true;
}

// What a run that passes the checks may rely on.
void check_accepted(const StokerArgs& args) {
  const DownloadJob& job = args.job;
  check(job.path != nullptr);
  check(job.flashSize >= 0x20000 && job.flashSize <= 0x1d080000);
  check(job.flashStart >= 0x1d000000 && job.flashStart <= 0x1d000000 + job.flashSize);
  check(args.settings.size() >= 10 && args.settings.size() <= 51);
  check(!args.device.empty() || !args.usbName.empty() || args.portNumber > 0);
}

void make_images() {
  static const bool made = [] {
    fuzz_scratch_file("image.bin", "\x01\x02", 2);
    const std::string hex = ":020000041D00DD\n:020000001122CB\n:00000001FF\n";
    fuzz_scratch_file("image.hex", hex.data(), hex.size());
    return true;
  }();
  (void)made;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  make_images();
  const std::vector<std::string> args = split(data, size);
  if (!names_only_local_files(args)) return 0;
  std::vector<const char*> argv;
  for (const std::string& arg : args) argv.push_back(arg.c_str());
  argv.push_back(nullptr);

  std::string output;
  console_capture(&output);
  StokerArgs parsed;
  const int status = stoker_check_args(static_cast<int>(args.size()), argv.data(), &parsed);
  console_capture(nullptr);

  check(status == -1 || status == 1);
  if (status == -1) check_accepted(parsed);
  if (status == 1) check(output.find("Usage: stoker") != std::string::npos);
  return 0;
}
