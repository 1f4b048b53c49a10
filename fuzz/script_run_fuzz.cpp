// Fuzz target for a whole script run: tload over the in-memory port on its
// virtual clock, with the target's replies taken from the input.
//
// The input is cut at each "\n%%\n" into sections: the target's replies,
// the script (the file "s"), then the files "a", "b" and "c" that it may
// "#include". Before the cut, byte 0 sets the script options the run starts
// with (bits 0 to 2) and whether a send string goes first (bit 3). Every '/'
// and '\\' of a script becomes '_', so the names a script holds stay in the
// scratch directory, where "#saveto" may write too.
//
// The target answers each line (each CR) the host writes with the next reply
// byte r: its low 3 bits pick ACK (0 to 3), a refusal (4), silence (5), a
// stray byte and ACK (6) or two ACKs (7); r / 8 is the delay in ms. Once the
// replies run out every line is acknowledged.
//
// Checks: no crash, no hang (a run ends; the fuzzer's time-out sees a hang),
// no write over a request's 260 bytes, every percentage shown between 0 and
// 100, and a result code tload may give.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <iterator>
#include <string>
#include <vector>

#include "common/common.h"
#include "common/console.h"
#include "common/job.h"
#include "common/stop.h"
#include "fuzz/scratch.h"
#include "tests/support/fake_port.h"
#include "toolkit/script/script.h"

namespace {

// Lines a run may send before it is stopped: includes can multiply a short
// input into very many lines, which is legitimate but slow.
constexpr int kMaxLines = 20000;
constexpr const char* kCut = "\n%%\n";
const char* const kFiles[] = {"s", "a", "b", "c"};

void check(bool condition) {
  if (!condition) std::abort();
}

std::vector<std::string> sections(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  std::vector<std::string> out;
  size_t begin = 0;
  for (size_t at; (at = input.find(kCut, begin)) != std::string::npos; begin = at + 4)
    out.push_back(input.substr(begin, at - begin));
  out.push_back(input.substr(begin));
  return out;
}

// The target: answers each CR with the next reply byte's answer.
struct Target {
  std::string replies;
  size_t next = 0;
  int lines = 0;

  void take(FakePort& port, const std::vector<uint8_t>& bytes) {
    check(bytes.size() <= kRequestBytes);
    for (uint8_t byte : bytes) {
      if (byte != '\r') continue;
      if (++lines == kMaxLines) stop_request();
      const uint8_t r = next < replies.size() ? static_cast<uint8_t>(replies[next++]) : 0;
      const double delayMs = (r >> 3) + 0.1;
      switch (r & 7) {
        case 4:
          port.send(std::vector<uint8_t>{REFUSE}, delayMs);
          break;
        case 5:
          break;
        case 6:
          port.send(std::vector<uint8_t>{'x', ACK}, delayMs);
          break;
        case 7:
          port.send(std::vector<uint8_t>{ACK, ACK}, delayMs);
          break;
        default:
          port.send(std::vector<uint8_t>{ACK}, delayMs);
      }
    }
  }
};

// Every "<N>" the percentage reporter printed is within 0 to 100.
void check_percentages(const std::string& output) {
  for (size_t at = output.find("\n<"); at != std::string::npos; at = output.find("\n<", at + 1)) {
    size_t i = at + 2;
    long value = 0;
    while (i < output.size() && output[i] >= '0' && output[i] <= '9' && value < 1000)
      value = value * 10 + (output[i++] - '0');
    check(i > at + 2 && i < output.size() && output[i] == '>');
    check(value <= 100);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  fuzz_scratch_dir();
  const uint8_t flags = data[0];
  std::vector<std::string> parts = sections(data + 1, size - 1);
  for (size_t i = 1; i < parts.size() && i - 1 < std::size(kFiles); ++i) {
    for (char& c : parts[i])
      if (c == '/' || c == '\\') c = '_';
    fuzz_scratch_file(kFiles[i - 1], parts[i].data(), parts[i].size());
  }
  for (size_t i = parts.size(); i <= std::size(kFiles); ++i)
    fuzz_scratch_file(kFiles[i - 1], "", 0);

  stop_clear();
  FakePort fake;
  if (fake.open() != 0) return 0;
  Target target;
  target.replies = parts[0];
  fake.onWrite = [&target](FakePort& port, const std::vector<uint8_t>& bytes) {
    target.take(port, bytes);
  };
  scriptOptions = flags & (SCRIPT_ECHO | SCRIPT_FIRST | SCRIPT_ONLY);
  DownloadJob job;
  job.path = "s";
  job.port = &fake.port;
  job.send = (flags & 8) != 0 ? "go\\r" : nullptr;

  std::string output;
  console_capture(&output);
  ScriptFailure why;
  const int result = tload(&job, report_percent, &why);
  console_capture(nullptr);
  const bool stopped = stop_requested();
  stop_clear();
  serial_close(&fake.port);

  check(result == SCRIPT_OK || result == SCRIPT_FILE_UNREADABLE || result == SCRIPT_NO_ANSWER ||
        result == SCRIPT_REFUSED || result == SCRIPT_NO_MEMORY ||
        result == SCRIPT_INCLUDE_NOT_ACKED || result == SCRIPT_TOO_DEEP ||
        (stopped && result == SCRIPT_STOPPED));
  check_percentages(output);
  for (const FakeEvent& e : fake.writes()) check(e.bytes.size() <= kRequestBytes);
  return 0;
}
