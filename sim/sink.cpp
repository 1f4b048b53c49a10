#include "sim/sink.h"

#include <cstdio>
#include <memory>
#include <vector>

#include "common/file.h"
#include "sim/log.h"

namespace {

// Adds to batch every further byte that has already crossed the line, so a
// fast host costs one file write per read from the port, not one per byte.
void take_arrived(Link* link, std::vector<uint8_t>* batch) {
  const TimePoint now = Clock::now();
  while (!link->input.empty() && link->input.front().at <= now) {
    batch->push_back(link->input.front().value);
    link->input.pop_front();
  }
}

// Records bytes that arrived: in the result, in the file, with their time,
// and back to the host.
void take(Link* link, const SimOptions& opts, FILE* file, FILE* times,
          const std::vector<uint8_t>& bytes, SessionResult* result) {
  if (times != nullptr) {
    const auto us =
        std::chrono::duration_cast<std::chrono::microseconds>(Clock::now().time_since_epoch());
    for (uint8_t byte : bytes)
      std::fprintf(times, "%lld %d\n", static_cast<long long>(us.count()), byte);
    std::fflush(times);
  }
  result->streamedBytes += bytes.size();
  for (uint8_t byte : bytes) result->streamedSum += byte;
  if (file != nullptr) {
    std::fwrite(bytes.data(), 1, bytes.size(), file);
    std::fflush(file);
  }
  if (opts.echo) link_send(link, bytes.data(), bytes.size());
}

}  // namespace

int sink_session(Link* link, const SimOptions& opts, SessionResult* result) {
  result->gen = 0;
  result->streamed = true;
  FilePtr file(opts.outPath.empty() ? nullptr : std::fopen(opts.outPath.c_str(), "wb"));
  FilePtr times(opts.timesPath.empty() ? nullptr : std::fopen(opts.timesPath.c_str(), "a"));
  if (!opts.outPath.empty() && file == nullptr)
    std::fprintf(stderr, "stoker-target: cannot write %s\n", opts.outPath.c_str());
  if (!opts.timesPath.empty() && times == nullptr)
    std::fprintf(stderr, "stoker-target: cannot open %s\n", opts.timesPath.c_str());
  uint8_t byte = 0;
  int rc = link_get(link, kNever, &byte);
  if (rc != kLinkByte) return session_end_for(rc);
  sim_log("sink: first byte 0x%02x", byte);
  const auto idle = std::chrono::milliseconds(opts.idleMs);
  std::vector<uint8_t> batch;
  for (;;) {
    batch.assign(1, byte);
    take_arrived(link, &batch);
    take(link, opts, file.get(), times.get(), batch, result);
    rc = link_get(link, opts.idleMs > 0 ? Clock::now() + idle : kNever, &byte);
    if (rc == kLinkStopped) return kSessionStopped;
    if (rc != kLinkByte) break;
  }
  sim_log("sink: %llu byte(s), then quiet", static_cast<unsigned long long>(result->streamedBytes));
  result->ok = true;
  return kSessionEnded;
}
