#include "sim/block_loader.h"

#include <algorithm>
#include <vector>

#include "common/common.h"
#include "sim/log.h"

namespace {

constexpr uint8_t kEntryByte = 0x5C;
constexpr uint8_t kSubVersionRequest = 'v';
constexpr size_t kBlockSize = 2000;
constexpr auto kLetterPeriod = std::chrono::milliseconds(50);
// An older loader (sub-version 1 or 2) does not know the block count: a
// quiet host after an ACK has sent its last block.
constexpr auto kOlderLoaderIdleEnd = std::chrono::milliseconds(500);
constexpr uint8_t kNoise[] = {0x00, NAK, 0x55, 0xAA, 0xFF};

// Outcomes of one block.
constexpr int kBlockWhole = 0;
constexpr int kBlockNoStart = 1;
constexpr int kBlockCutShort = 2;
constexpr int kBlockStopped = 3;

struct BlockAcks {
  uint32_t acked = 0;
  bool withheld = false;  // a block went unanswered: no further ACK
  TimePoint lastAck{};    // when the last ACK reached the host
};

uint8_t generation_letter(int gen) {
  return gen == 2 ? 'D' : 'E';
}

bool sized_loader(const SimOptions& opts) {
  return opts.subVersion >= 3;
}

bool vanish_due(const SimOptions& opts, uint32_t acked) {
  return opts.vanishAfter >= 0 && acked == static_cast<uint32_t>(opts.vanishAfter);
}

// Drops bytes until the entry byte arrives; no time limit.
int await_entry(Link* link) {
  uint8_t byte = 0;
  for (;;) {
    const int rc = link_get(link, kNever, &byte);
    if (rc != kLinkByte) return session_end_for(rc);
    if (byte == kEntryByte) return kStepDone;
  }
}

// Answers nothing more; the session ends (incomplete) once the host gave up.
int ignore_host(Link* link) {
  sim_log("ignoring the host until it gives up");
  return session_end_for(discard_until_silence(link, kHostGaveUp));
}

// Sends the generation letter every 50 ms until 'v' arrives; other bytes
// are dropped.
int announce_until_request(Link* link, uint8_t letter) {
  TimePoint nextLetter = Clock::now();
  TimePoint hostGone = nextLetter + kHostGaveUp;
  for (;;) {
    if (Clock::now() >= nextLetter) {
      link_send_byte(link, letter);
      nextLetter = std::max(nextLetter + kLetterPeriod, Clock::now());
    }
    uint8_t byte = 0;
    const int rc = link_get(link, std::min(nextLetter, hostGone), &byte);
    if (rc == kLinkByte && byte == kSubVersionRequest) return kStepDone;
    if (rc == kLinkByte) hostGone = Clock::now() + kHostGaveUp;
    if (rc == kLinkStopped) return kSessionStopped;
    if (rc == kLinkTimeout && Clock::now() >= hostGone) return kSessionEnded;
  }
}

void send_sub_version(Link* link, const SimOptions& opts, uint8_t letter) {
  std::vector<uint8_t> reply(static_cast<size_t>(opts.dFlood), letter);
  reply.push_back(static_cast<uint8_t>(opts.subVersion));
  link_send(link, reply.data(), reply.size());
  sim_log("sub-version %d sent after %d extra letter(s)", opts.subVersion, opts.dFlood);
}

// Reads the 4-byte size, most significant byte first.
int read_announcement(Link* link, uint32_t* value) {
  uint8_t bytes[4] = {};
  const int rc = read_bytes(link, bytes, sizeof bytes, kHostGaveUp);
  if (rc != kLinkByte) return session_end_for(rc);
  *value = (static_cast<uint32_t>(bytes[0]) << 24) | (static_cast<uint32_t>(bytes[1]) << 16) |
           (static_cast<uint32_t>(bytes[2]) << 8) | bytes[3];
  sim_log("size announced: %u", *value);
  return kStepDone;
}

// Takes the erase time, then sends the erase reply. Without one the host
// cannot go on: the session is over, and the next entry byte starts a fresh
// one (bytes in between are no block data).
int erase_flash(Link* link, const SimOptions& opts) {
  const TimePoint done = Clock::now() + std::chrono::milliseconds(opts.eraseMs);
  if (link_wait_until(link, done) == kLinkStopped) return kSessionStopped;
  if (opts.noEraseReply) {
    sim_log("no erase reply: the session ends");
    return kSessionEnded;
  }
  link_send_byte(link, opts.nakErase ? NAK : ACK);
  sim_log("erase reply %s", opts.nakErase ? "NAK" : "ACK");
  return kStepDone;
}

// From the entry byte to the erase reply.
int negotiate(Link* link, const SimOptions& opts, SessionResult* result) {
  if (opts.silent) return ignore_host(link);
  const uint8_t letter = generation_letter(opts.gen);
  if (opts.earlyAnswer) {
    link_send_byte(link, letter);
    return ignore_host(link);
  }
  int rc = announce_until_request(link, letter);
  if (rc != kStepDone) return rc;
  if (opts.noSubVersion) return ignore_host(link);
  send_sub_version(link, opts, letter);
  rc = read_announcement(link, &result->announced);
  if (rc == kStepDone) rc = erase_flash(link, opts);
  if (rc != kStepDone) return rc;
  if (opts.nakErase) return ignore_host(link);
  return vanish_due(opts, 0) ? kSessionVanished : kStepDone;
}

// Receives one block into data; the first byte must come by startBy, each
// further one within kHostGaveUp of the previous. A cut-short block leaves
// what arrived in data.
int receive_block(Link* link, TimePoint startBy, std::vector<uint8_t>* data) {
  const size_t start = data->size();
  data->resize(start + kBlockSize);
  size_t got = 0;
  const int rc = link_read(link, data->data() + start, kBlockSize, startBy, kHostGaveUp, &got);
  data->resize(start + got);
  if (rc == kLinkStopped) return kBlockStopped;
  if (rc == kLinkTimeout) return got == 0 ? kBlockNoStart : kBlockCutShort;
  return kBlockWhole;
}

// ACKs a whole block (after the noise bytes) unless ACKs have stopped.
int answer_block(Link* link, const SimOptions& opts, BlockAcks* acks) {
  if (acks->withheld ||
      (opts.stopAckAfter >= 0 && acks->acked >= static_cast<uint32_t>(opts.stopAckAfter))) {
    acks->withheld = true;
    return kStepDone;
  }
  for (int i = 0; i < opts.noise; ++i) {
    link_send_byte(link, kNoise[static_cast<size_t>(i) % sizeof kNoise]);
  }
  acks->lastAck = link_send_byte(link, ACK);
  ++acks->acked;
  return vanish_due(opts, acks->acked) ? kSessionVanished : kStepDone;
}

// When the next block must begin: soon after an ACK for an older loader
// whose host may be done, else before the host gives up.
TimePoint next_block_due(const SimOptions& opts, const SessionResult& result, const BlockAcks& acks,
                         bool* idleEndsSession) {
  const TimePoint now = Clock::now();
  *idleEndsSession = !sized_loader(opts) && result.blocks > 0 && !acks.withheld;
  if (*idleEndsSession) return std::max(now, acks.lastAck) + kOlderLoaderIdleEnd;
  return now + kHostGaveUp;
}

int receive_blocks(Link* link, const SimOptions& opts, SessionResult* result) {
  const uint64_t expected = static_cast<uint64_t>(result->announced) / kBlockSize + 1;
  BlockAcks acks;
  acks.lastAck = Clock::now();
  for (;;) {
    bool idleEnds = false;
    const TimePoint startBy = next_block_due(opts, *result, acks, &idleEnds);
    const int outcome = receive_block(link, startBy, &result->data);
    if (outcome == kBlockStopped) return kSessionStopped;
    if (outcome != kBlockWhole) {
      result->ok = idleEnds && outcome == kBlockNoStart;
      return kSessionEnded;
    }
    ++result->blocks;
    sim_log("block %u received", result->blocks);
    const int rc = answer_block(link, opts, &acks);
    const bool last = sized_loader(opts) && result->blocks == expected;
    if (last) result->ok = !acks.withheld;
    if (rc != kStepDone || last) return rc == kStepDone ? kSessionEnded : rc;
  }
}

}  // namespace

int block_session(Link* link, const SimOptions& opts, SessionResult* result) {
  *result = SessionResult{};
  result->gen = opts.gen;
  result->sub = opts.subVersion;
  int rc = await_entry(link);
  if (rc != kStepDone) return rc;
  sim_log("entry byte: session starts");
  rc = negotiate(link, opts, result);
  if (rc == kStepDone) rc = receive_blocks(link, opts, result);
  // A sized loader keeps the image only: the last block's tail is padding.
  if (sized_loader(opts) && result->data.size() > result->announced) {
    result->data.resize(result->announced);
  }
  return rc;
}
