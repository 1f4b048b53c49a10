#include "serial/reply.h"

#include <string_view>

#include "common/common.h"
#include "common/stop.h"
#include "serial/serial.h"

namespace {

constexpr int kPauseAfterTryMs = 5;

// The pause after a try of waitfor and waitforS: a byte that was not wanted
// costs the full pause; after an empty read the pause ends as soon as the
// next byte is there, so a reply that comes just after a read isn't kept
// waiting. A silent line still takes the full time per try.
void pause_after_try(SerialPort* port, bool gotByte) {
  if (gotByte)
    delay_ms(kPauseAfterTryMs);
  else
    serial_wait_input(port, kPauseAfterTryMs);
}

// Waits for the first byte within the tries that `wanted` accepts: true and
// the byte in *out, or false when none came.
template <typename Wanted>
bool wait_for_byte(SerialPort* port, Wanted wanted, uint8_t* out) {
  const int64_t start = serial_trace_wait_start(port);
  for (int i = 0; i < kReplyTries && !stop_requested(); ++i) {
    const bool got = serial_get(port, out) != 0;
    if (got && wanted(*out)) return true;
    pause_after_try(port, got);
  }
  serial_trace_wait_timed_out(port, start);
  return false;
}

}  // namespace

bool get_reply(SerialPort* port, uint8_t* byte) {
  return serial_get_within(port, kReplyTries, byte);
}

int waitfor(SerialPort* port, uint8_t value) {
  uint8_t byte = 0;
  return wait_for_byte(
             port, [value](uint8_t b) { return b == value; }, &byte)
             ? 1
             : 0;
}

int waitforS(SerialPort* port, const char* set) {
  const std::string_view wanted(set);
  uint8_t byte = 0;
  const bool got = wait_for_byte(
      port,
      [wanted](uint8_t b) {
        return b != 0 && wanted.find(static_cast<char>(b)) != std::string_view::npos;
      },
      &byte);
  return got ? byte : 0;
}
