// Fuzz target for the escaped text sender over an in-memory port (the pauses
// run on its virtual clock). Byte 0 is the echo buffer's capacity, the rest
// the text. The echo buffer is exactly that large, on the heap, so
// AddressSanitizer sees any write past it. The text is then sent again with
// an echo large enough for anything, and both runs must send the same bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "app/kit_script.h"
#include "tests/support/fake_port.h"
#include "toolkit/text/text.h"

namespace {

void check(bool condition) {
  if (!condition) std::abort();
}

// Sends text with an echo of `capacity` bytes; returns the bytes sent.
std::vector<uint8_t> send(const std::string& text, std::vector<char>* echo) {
  FakePort fake;
  if (fake.open() != 0) std::abort();
  send_text(&fake.port, text.c_str(), echo->empty() ? nullptr : echo->data(), echo->size());
  return fake.written();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const size_t capacity = data[0];
  // The text ends at its first NUL, as a C string does.
  std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
  text = text.c_str();

  std::vector<char> small(capacity, '#');
  const std::vector<uint8_t> sent = send(text, &small);
  if (capacity > 0) check(std::memchr(small.data(), '\0', capacity) != nullptr);
  // No escape sends more than twice its own length (\$Date: 6 → 10).
  check(sent.size() <= 2 * text.size());

  std::vector<char> whole(kit_echo_capacity(text), '#');
  const std::vector<uint8_t> again = send(text, &whole);
  const size_t echoed = std::strlen(whole.data());
  check(echoed < whole.size());
  // Date and time may change between the runs (a second may tick between
  // them); nothing else may.
  if (text.find("\\$") != std::string::npos) return 0;
  check(sent == again);
  // The short echo is the beginning of the whole one.
  if (capacity > 0) {
    const size_t shortLength = std::strlen(small.data());
    check(shortLength <= echoed);
    check(std::memcmp(small.data(), whole.data(), shortLength) == 0);
  }
  return 0;
}
