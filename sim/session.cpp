#include "sim/session.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <memory>

int session_end_for(int linkResult) {
  return linkResult == kLinkStopped ? kSessionStopped : kSessionEnded;
}

int read_bytes(Link* link, uint8_t* dst, size_t count, Clock::duration idle) {
  size_t got = 0;
  return link_read(link, dst, count, Clock::now() + idle, idle, &got);
}

int discard_until_silence(Link* link, Clock::duration idle) {
  uint8_t byte = 0;
  for (;;) {
    const int rc = link_get(link, Clock::now() + idle, &byte);
    if (rc != kLinkByte) return rc;
  }
}

uint32_t checksum32(const std::vector<uint8_t>& data) {
  uint32_t sum = 0;
  for (uint8_t byte : data) sum += byte;
  return sum;
}

std::string format_summary(const SessionResult& result) {
  const uint64_t bytes = result.streamed ? result.streamedBytes : result.data.size();
  const uint32_t sum = result.streamed ? result.streamedSum : checksum32(result.data);
  char line[256];
  std::snprintf(line, sizeof line,
                "SUMMARY gen=%d sub=%d status=%s blocks=%" PRIu32 " bytes=%" PRIu64
                " announced=%" PRIu32 " erase=%c checksum=0x%08" PRIx32 "\n",
                result.gen, result.sub, result.ok ? "ok" : "incomplete", result.blocks, bytes,
                result.announced, result.erase, sum);
  return line;
}

int write_image(const std::string& path, const std::vector<uint8_t>& data) {
  std::unique_ptr<FILE, int (*)(FILE*)> file(std::fopen(path.c_str(), "wb"), &std::fclose);
  if (!file) return errno != 0 ? errno : EIO;
  if (!data.empty() && std::fwrite(data.data(), 1, data.size(), file.get()) != data.size()) {
    return errno != 0 ? errno : EIO;
  }
  if (std::fclose(file.release()) != 0) return errno != 0 ? errno : EIO;
  return 0;
}
