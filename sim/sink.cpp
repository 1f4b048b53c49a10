#include "sim/sink.h"

#include <cstdio>
#include <memory>

#include "sim/log.h"

namespace {

using FileHandle = std::unique_ptr<FILE, int (*)(FILE*)>;

// Records one byte: in the result, in the file, with its time, and back to
// the host.
void take(Link* link, const SimOptions& opts, FILE* file, FILE* times, uint8_t byte,
          SessionResult* result) {
  if (times != nullptr) {
    const auto us =
        std::chrono::duration_cast<std::chrono::microseconds>(Clock::now().time_since_epoch());
    std::fprintf(times, "%lld %d\n", static_cast<long long>(us.count()), byte);
    std::fflush(times);
  }
  result->data.push_back(byte);
  if (file != nullptr) {
    std::fputc(byte, file);
    std::fflush(file);
  }
  if (opts.echo) link_send_byte(link, byte);
}

}  // namespace

int sink_session(Link* link, const SimOptions& opts, SessionResult* result) {
  result->gen = 0;
  FileHandle file(opts.outPath.empty() ? nullptr : std::fopen(opts.outPath.c_str(), "wb"),
                  &std::fclose);
  FileHandle times(opts.timesPath.empty() ? nullptr : std::fopen(opts.timesPath.c_str(), "a"),
                   &std::fclose);
  if (!opts.timesPath.empty() && times == nullptr)
    std::fprintf(stderr, "stoker-target: cannot open %s\n", opts.timesPath.c_str());
  uint8_t byte = 0;
  int rc = link_get(link, kNever, &byte);
  if (rc != kLinkByte) return session_end_for(rc);
  sim_log("sink: first byte 0x%02x", byte);
  const auto idle = std::chrono::milliseconds(opts.idleMs);
  for (;;) {
    take(link, opts, file.get(), times.get(), byte, result);
    rc = link_get(link, opts.idleMs > 0 ? Clock::now() + idle : kNever, &byte);
    if (rc == kLinkStopped) return kSessionStopped;
    if (rc != kLinkByte) break;
  }
  sim_log("sink: %zu byte(s), then quiet", result->data.size());
  result->ok = true;
  return kSessionEnded;
}
