#include "sim/script.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <vector>

#include "common/common.h"
#include "common/file.h"
#include "sim/log.h"

namespace {

bool contains(const std::string& line, const std::string& text) {
  return !text.empty() && line.find(text) != std::string::npos;
}

bool has_name(const std::string& names, const std::string& name) {
  size_t begin = 0;
  for (;;) {
    const size_t end = names.find(',', begin);
    if (names.compare(begin, end == std::string::npos ? std::string::npos : end - begin, name) == 0)
      return true;
    if (end == std::string::npos) return false;
    begin = end + 1;
  }
}

}  // namespace

int script_answer(const std::string& line, const SimOptions& opts) {
  if (contains(line, opts.silentLine)) return -1;
  if (contains(line, opts.refuseLine)) return REFUSE;
  if (line.compare(0, 3, "#1 ") == 0) return has_name(opts.has, line.substr(3)) ? ACK : REFUSE;
  return ACK;
}

namespace {

// One session's state: the line so far and where the bytes go.
struct ScriptSession {
  Link* link;
  const SimOptions& opts;
  SessionResult* result;
  FILE* file;
  std::string line;

  // Takes one byte that has crossed (or will have crossed) the line at
  // `crossed`: logged, echoed, and a CR answered.
  void take(uint8_t byte, TimePoint crossed) {
    result->data.push_back(byte);
    if (file != nullptr) std::fputc(byte, file);
    if (opts.echo) link_send_at(link, &byte, 1, crossed);
    if (byte != '\r') {
      line += static_cast<char>(byte);
      return;
    }
    if (file != nullptr) std::fflush(file);
    const int answer = script_answer(line, opts);
    if (answer >= 0) {
      const uint8_t reply = static_cast<uint8_t>(answer);
      link_send_at(link, &reply, 1, crossed);
    }
    sim_log("script: line %u \"%s\": %s", result->blocks + 1, line.c_str(),
            answer == ACK      ? "ACK"
            : answer == REFUSE ? "refused"
                               : "no answer");
    ++result->blocks;
    line.clear();
  }
};

}  // namespace

int script_session(Link* link, const SimOptions& opts, SessionResult* result) {
  result->gen = 0;
  FilePtr file(opts.outPath.empty() ? nullptr : std::fopen(opts.outPath.c_str(), "wb"));
  ScriptSession session{link, opts, result, file.get(), {}};
  uint8_t byte = 0;
  int rc = link_get(link, kNever, &byte);
  if (rc != kLinkByte) return session_end_for(rc);
  session.take(byte, Clock::now());
  const auto idle = std::chrono::milliseconds(opts.idleMs);
  for (;;) {
    // Quiet counts from the last answer's arrival at the host.
    const TimePoint quietEnd =
        opts.idleMs > 0 ? std::max(Clock::now(), link->txFree) + idle : kNever;
    if (!opts.echo) {
      // A whole line at once, answered when its CR has crossed the line:
      // no wake-up per byte, none at the CR.
      rc = link_wait_queued(link, '\r', quietEnd);
      if (rc == kLinkStopped) return kSessionStopped;
      std::vector<uint8_t> bytes;
      TimePoint crossed;
      if (rc == kLinkByte && link_take_through(link, '\r', &bytes, &crossed)) {
        for (uint8_t b : bytes) session.take(b, crossed);
        continue;
      }
    }
    // With echo every byte as it comes; without, what came of a line
    // without its CR.
    rc = link_get(link, quietEnd, &byte);
    if (rc == kLinkStopped) return kSessionStopped;
    if (rc != kLinkByte) break;
    session.take(byte, Clock::now());
  }
  sim_log("script: %u line(s), then quiet", result->blocks);
  result->ok = true;
  return kSessionEnded;
}
