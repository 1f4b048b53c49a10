// The board's end of the line: the master side of a pseudo-terminal, or a
// serial port, with optional pacing that models a real 8N1 line of a given
// baud rate in both directions. The line model lives in link.cpp; the device
// and the stop request that ends every wait in link_posix.cpp and
// link_win32.cpp.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

struct SerialTrace;

// The platform's device under the line (sim/link_device.h).
struct LinkDevice;
struct LinkDeviceCloser {
  void operator()(LinkDevice* device) const;
};
using LinkDevicePtr = std::unique_ptr<LinkDevice, LinkDeviceCloser>;

using Clock = std::chrono::steady_clock;
using TimePoint = Clock::time_point;
constexpr TimePoint kNever = TimePoint::max();

struct TimedByte {
  TimePoint at;  // when the byte has wholly crossed the line
  uint8_t value;
};

struct Link {
  LinkDevicePtr device;
  // The port's name for the host: the pseudo-terminal's slave, or the
  // device that --port named.
  std::string path;
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

// Whether this system has pseudo-terminals for the board (Windows has none:
// there the board needs a serial port).
bool link_pty_supported();

// Makes the stop signals (SIGTERM, SIGINT, SIGHUP; on Windows the console's
// Ctrl-C, Ctrl-Break and closing) end every wait of the link, which then
// reports kLinkStopped. False with *error when they can't be watched.
bool link_watch_stop(std::string* error);

// Creates the pseudo-terminal, makes its slave raw and keeps it open. baud 0
// disables pacing; trace (may be null) records the line from here on.
// False with *error (one line) on failure; nothing stays open then.
bool link_open_pty(Link* link, long baud, SerialTrace* trace, std::string* error);

// Opens the serial port `name` (a device path; a number n, the port that
// stoker takes for n; on Windows also COMn) exclusively, raw 8N1 at `rate`
// without flow control. baud paces the line as for link_open_pty: a real
// port's own rate then holds the bytes to the same pace, and the model adds
// no more than a byte's time. False with *error on failure.
bool link_open_port(Link* link, const std::string& name, long rate, long baud, SerialTrace* trace,
                    std::string* error);

// Makes linkPath a symbolic link to the pseudo-terminal, replacing a link
// but nothing else. False with *error.
bool link_publish(const Link* link, const std::string& linkPath, std::string* error);
// Removes linkPath if it still points at the pseudo-terminal.
void link_unpublish(const Link* link, const std::string& linkPath);

// Closes the board's end: a host still on a pseudo-terminal sees it vanish.
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
