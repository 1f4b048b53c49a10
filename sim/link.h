// The board's end of the line: the master side of a pseudo-terminal, with
// optional pacing that models a real 8N1 line of a given baud rate in both
// directions.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

struct SerialTrace;

using Clock = std::chrono::steady_clock;
using TimePoint = Clock::time_point;
constexpr TimePoint kNever = TimePoint::max();

struct TimedByte {
  TimePoint at;  // when the byte has wholly crossed the line
  uint8_t value;
};

struct Link {
  int master = -1;
  int slave = -1;   // our own hold on the port, so hosts may come and go
  int stopFd = -1;  // readable once a stop was requested; not owned
  std::string slavePath;
  Clock::duration byteTime{};    // zero: no pacing
  std::deque<TimedByte> input;   // from the host, released at .at
  std::deque<TimedByte> output;  // to the host, written at .at
  TimePoint rxFree{};            // when the host-to-board line is free again
  TimePoint txFree{};            // when the board-to-host line is free again
  bool stopped = false;
  // The wire trace of the board's side (serial/trace.h), not owned: every
  // read from and write to the host while it is set.
  SerialTrace* trace = nullptr;
};

// link_get results.
constexpr int kLinkByte = 1;
constexpr int kLinkTimeout = 0;
constexpr int kLinkStopped = -1;

// Creates the pseudo-terminal, makes its slave raw and keeps it open. baud 0
// disables pacing; stopFd (may be -1) ends every wait once readable; trace
// (may be null) records the line from here on.
// Returns 0 or an errno value; on failure nothing stays open.
int link_open(Link* link, long baud, int stopFd, SerialTrace* trace = nullptr);

// Closes both sides: a host still on the port sees it vanish.
void link_close(Link* link);

// Next byte from the host, waiting until deadline at most. Returns kLinkByte
// with *out set, kLinkTimeout, or kLinkStopped after a stop request.
int link_get(Link* link, TimePoint deadline, uint8_t* out);

// Reads count bytes into dst: the first must arrive by firstBy, each further
// one within idle of the previous. *got tells how many arrived. Returns
// kLinkByte when all did, else kLinkTimeout or kLinkStopped.
int link_read(Link* link, uint8_t* dst, size_t count, TimePoint firstBy, Clock::duration idle,
              size_t* got);

// Waits until a byte of the value is among the bytes on their way from the
// host (kLinkByte; it need not have crossed the line yet), or until deadline
// (kLinkTimeout), or a stop (kLinkStopped).
int link_wait_queued(Link* link, uint8_t value, TimePoint deadline);

// Takes the bytes on their way from the host up to and including the first
// one of the value, ahead of their crossing; *crossed is when that last one
// will have crossed the line. False (nothing taken) when none is on its way.
// A target that answers a whole message this way needs no wake-up per byte.
bool link_take_through(Link* link, uint8_t value, std::vector<uint8_t>* out, TimePoint* crossed);

// Queues bytes for the host (paced, or written at once without pacing).
// Returns the time the last of them reaches the host.
TimePoint link_send(Link* link, const uint8_t* data, size_t count);
// The same, the first byte starting no earlier than notBefore.
TimePoint link_send_at(Link* link, const uint8_t* data, size_t count, TimePoint notBefore);

// Sends one byte; see link_send.
TimePoint link_send_byte(Link* link, uint8_t byte);

// Keeps the line running (bytes from the host are queued) until the given
// time. Returns kLinkTimeout, or kLinkStopped after a stop request.
int link_wait_until(Link* link, TimePoint until);

// Waits until every queued byte has reached the host. kLinkTimeout or
// kLinkStopped as link_wait_until.
int link_flush(Link* link);

// Waits until every byte sent has been read by the host (closing the port
// would discard what is still unread), or until limit. kLinkTimeout or
// kLinkStopped.
int link_drain(Link* link, TimePoint limit);
