#include "sim/xmodem_receiver.h"

#include <algorithm>

#include "common/common.h"
#include "sim/log.h"

namespace {

constexpr uint8_t kStartRequest = 'C';
constexpr uint8_t kBadAck = 0x07;  // what --corrupt-acks answers instead of ACK
constexpr size_t kPacketData = 1024;
constexpr auto kRequestPeriod = std::chrono::seconds(1);
constexpr auto kResyncSilence = std::chrono::seconds(1);

struct Receiver {
  uint8_t expected = 1;  // number of the next new packet
  uint32_t naksLeft = 0;
  bool silent = false;  // answers nothing any more
};

bool is_erase_char(uint8_t byte) {
  return byte >= 'a' && byte <= 'd';
}

// Sends one answer byte unless the receiver has gone silent.
void answer(Link* link, const Receiver& rx, uint8_t byte) {
  if (!rx.silent) link_send_byte(link, byte);
}

// Drops bytes until an erase-size character arrives; no time limit.
int await_erase_char(Link* link, char* erase) {
  uint8_t byte = 0;
  for (;;) {
    const int rc = link_get(link, kNever, &byte);
    if (rc != kLinkByte) return session_end_for(rc);
    if (!is_erase_char(byte)) continue;
    *erase = static_cast<char>(byte);
    return kStepDone;
  }
}

// Sends the start request (or CAN) once a second until a packet or EOT
// begins; *lead gets that first byte.
int request_start(Link* link, const SimOptions& opts, uint8_t* lead) {
  TimePoint nextRequest = Clock::now();
  TimePoint hostGone = nextRequest + kHostGaveUp;
  for (;;) {
    if (Clock::now() >= nextRequest) {
      if (!opts.silent) link_send_byte(link, opts.cancel ? CAN : kStartRequest);
      nextRequest = std::max(nextRequest + kRequestPeriod, Clock::now());
    }
    const int rc = link_get(link, std::min(nextRequest, hostGone), lead);
    if (rc == kLinkByte && (*lead == STX || *lead == EOT)) return kStepDone;
    if (rc == kLinkByte) hostGone = Clock::now() + kHostGaveUp;
    if (rc == kLinkStopped) return kSessionStopped;
    if (rc == kLinkTimeout && Clock::now() >= hostGone) return kSessionEnded;
  }
}

// A damaged header: the packet's length can't be trusted, so wait for the
// line to go quiet before asking for the packet again.
int refuse_after_silence(Link* link, const Receiver& rx) {
  if (discard_until_silence(link, kResyncSilence) == kLinkStopped) return kSessionStopped;
  answer(link, rx, NAK);
  return kStepDone;
}

// Leading garbage where a packet should start: skip to the next STX or EOT
// (which becomes *lead) or, after a second of silence, refuse.
int resync(Link* link, const Receiver& rx, uint8_t* lead, bool* haveLead) {
  for (;;) {
    const int rc = link_get(link, Clock::now() + kResyncSilence, lead);
    if (rc == kLinkStopped) return kSessionStopped;
    if (rc == kLinkTimeout) break;
    if (*lead == STX || *lead == EOT) {
      *haveLead = true;
      return kStepDone;
    }
  }
  answer(link, rx, NAK);
  return kStepDone;
}

// Answers a packet whose header and CRC are good.
void take_packet(Link* link, const SimOptions& opts, Receiver* rx, SessionResult* result,
                 uint8_t number, const uint8_t* data) {
  if (rx->silent) return;
  if (opts.nakAlways) return answer(link, *rx, NAK);
  if (number != rx->expected) return answer(link, *rx, ACK);  // a resend: already kept
  if (rx->naksLeft > 0) {
    --rx->naksLeft;
    return answer(link, *rx, NAK);
  }
  answer(link, *rx, opts.corruptAcks ? kBadAck : ACK);
  result->data.insert(result->data.end(), data, data + kPacketData);
  ++result->blocks;
  ++rx->expected;
  sim_log("packet %u accepted", result->blocks);
  if (opts.silentAfter >= 0 && result->blocks >= static_cast<uint32_t>(opts.silentAfter)) {
    rx->silent = true;
  }
}

// Header check: complement right, number the expected one or (once a packet
// was taken) the previous one.
bool header_ok(const Receiver& rx, const SessionResult& result, uint8_t number, uint8_t check) {
  if (static_cast<uint8_t>(255 - number) != check) return false;
  if (number == rx.expected) return true;
  return result.blocks > 0 && number == static_cast<uint8_t>(rx.expected - 1);
}

// Receives the rest of a packet whose STX has arrived, and answers it.
int receive_packet(Link* link, const SimOptions& opts, Receiver* rx, SessionResult* result) {
  uint8_t header[2] = {};
  int rc = read_bytes(link, header, sizeof header, kHostGaveUp);
  if (rc != kLinkByte) return session_end_for(rc);
  if (!header_ok(*rx, *result, header[0], header[1])) {
    sim_log("bad packet header %02x %02x", header[0], header[1]);
    return refuse_after_silence(link, *rx);
  }
  uint8_t body[kPacketData + 2] = {};
  rc = read_bytes(link, body, sizeof body, kHostGaveUp);
  if (rc != kLinkByte) return session_end_for(rc);
  const uint16_t crc = static_cast<uint16_t>((body[kPacketData] << 8) | body[kPacketData + 1]);
  if (crc16_xmodem(body, kPacketData) != crc) {
    sim_log("packet %u: CRC error", header[0]);
    answer(link, *rx, NAK);
    return kStepDone;
  }
  take_packet(link, opts, rx, result, header[0], body);
  return kStepDone;
}

// Packets until EOT; lead is the first byte of the first one.
int receive_packets(Link* link, const SimOptions& opts, Receiver* rx, SessionResult* result,
                    uint8_t lead) {
  bool haveLead = true;
  for (;;) {
    if (!haveLead) {
      const int rc = link_get(link, Clock::now() + kHostGaveUp, &lead);
      if (rc != kLinkByte) return session_end_for(rc);
    }
    haveLead = false;
    if (lead == EOT) {
      answer(link, *rx, ACK);
      result->ok = true;
      return kSessionEnded;
    }
    const int rc =
        lead == STX ? receive_packet(link, opts, rx, result) : resync(link, *rx, &lead, &haveLead);
    if (rc != kStepDone) return rc;
  }
}

}  // namespace

uint16_t crc16_xmodem(const uint8_t* data, size_t count) {
  uint16_t crc = 0;
  for (size_t i = 0; i < count; ++i) {
    crc = static_cast<uint16_t>(crc ^ (data[i] << 8));
    for (int bit = 0; bit < 8; ++bit) {
      crc = static_cast<uint16_t>((crc & 0x8000) != 0 ? (crc << 1) ^ 0x1021 : crc << 1);
    }
  }
  return crc;
}

int xmodem_session(Link* link, const SimOptions& opts, SessionResult* result) {
  *result = SessionResult{};
  result->gen = 1;
  int rc = await_erase_char(link, &result->erase);
  if (rc != kStepDone) return rc;
  sim_log("erase-size character '%c': session starts", result->erase);
  Receiver rx;
  rx.naksLeft = static_cast<uint32_t>(opts.nakFirst);
  rx.silent = opts.silent || opts.silentAfter == 0;
  uint8_t lead = 0;
  rc = request_start(link, opts, &lead);
  if (rc != kStepDone) return rc;
  return receive_packets(link, opts, &rx, result, lead);
}
