#include "sim/script.h"

#include <cstdio>
#include <memory>

#include "common/common.h"
#include "sim/log.h"

namespace {

using FileHandle = std::unique_ptr<FILE, int (*)(FILE*)>;

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

int script_session(Link* link, const SimOptions& opts, SessionResult* result) {
  result->gen = 0;
  FileHandle file(opts.outPath.empty() ? nullptr : std::fopen(opts.outPath.c_str(), "wb"),
                  &std::fclose);
  uint8_t byte = 0;
  int rc = link_get(link, kNever, &byte);
  if (rc != kLinkByte) return session_end_for(rc);
  const auto idle = std::chrono::milliseconds(opts.idleMs);
  std::string line;
  for (;;) {
    result->data.push_back(byte);
    if (file) std::fputc(byte, file.get());
    if (opts.echo) link_send_byte(link, byte);
    if (byte == '\r') {
      if (file) std::fflush(file.get());
      const int answer = script_answer(line, opts);
      if (answer >= 0) link_send_byte(link, static_cast<uint8_t>(answer));
      sim_log("script: line %u \"%s\": %s", result->blocks + 1, line.c_str(),
              answer == ACK      ? "ACK"
              : answer == REFUSE ? "refused"
                                 : "no answer");
      ++result->blocks;
      line.clear();
    } else {
      line += static_cast<char>(byte);
    }
    rc = link_get(link, opts.idleMs > 0 ? Clock::now() + idle : kNever, &byte);
    if (rc == kLinkStopped) return kSessionStopped;
    if (rc != kLinkByte) break;
  }
  sim_log("script: %u line(s), then quiet", result->blocks);
  result->ok = true;
  return kSessionEnded;
}
