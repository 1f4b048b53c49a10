// One loader session: its outcome record, the summary line, and the waits
// both loaders share.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sim/link.h"

// Host silence that ends a session as a failure: the host gave up.
constexpr auto kHostGaveUp = std::chrono::seconds(5);

struct SessionResult {
  int gen = 0;
  int sub = 0;
  bool ok = false;
  uint32_t blocks = 0;        // blocks (generations 2, 3) or packets (1) taken
  uint32_t announced = 0;     // size value received; 0 when none
  char erase = '-';           // erase-size character (generation 1)
  std::vector<uint8_t> data;  // what goes to the output file
  // A sink keeps no data: it writes what arrives to the output file as it
  // comes, and counts it here for the summary.
  bool streamed = false;
  uint64_t streamedBytes = 0;
  uint32_t streamedSum = 0;
};

// Results of a session and of its steps.
constexpr int kSessionEnded = 0;     // over; the result is filled in
constexpr int kSessionStopped = 1;   // a stop was requested
constexpr int kSessionVanished = 2;  // the port is to vanish now
constexpr int kStepDone = 3;         // step finished, the session goes on

// Session result for a link_get result that is not a byte: kSessionStopped
// or kSessionEnded.
int session_end_for(int linkResult);

// Reads count bytes, each within `idle` of the previous one. Returns
// kLinkByte when all arrived, else kLinkTimeout or kLinkStopped.
int read_bytes(Link* link, uint8_t* dst, size_t count, Clock::duration idle);

// Drops every byte until the host has been silent for `idle`. Returns
// kLinkTimeout then, or kLinkStopped.
int discard_until_silence(Link* link, Clock::duration idle);

// The 32-bit sum of the bytes, modulo 2^32.
uint32_t checksum32(const std::vector<uint8_t>& data);

// The "SUMMARY ..." line, newline included.
std::string format_summary(const SessionResult& result);

// Writes data to path, replacing the file. 0 or an errno value.
int write_image(const std::string& path, const std::vector<uint8_t>& data);
