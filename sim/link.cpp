// The line model: bytes stamped with the time they cross a paced line,
// the waits of the board's protocols, and the drain before a close. The
// device under it is the platform's (sim/link_device.h).
#include "sim/link.h"

#include <algorithm>
#include <climits>
#include <string>
#include <thread>
#include <utility>

#include "serial/serial.h"
#include "serial/trace.h"
#include "sim/link_device.h"
#include "sim/log.h"

namespace {

constexpr size_t kReadChunk = 4096;
// A port that reports hang-up or an error is looked at again after this long.
constexpr auto kHangupPause = std::chrono::milliseconds(50);
// How often link_drain looks whether the host has read everything.
constexpr auto kDrainPoll = std::chrono::milliseconds(2);
constexpr auto kDrainSettle = std::chrono::milliseconds(10);
// How long before an answer is due the line stops sleeping.
constexpr auto kAwakeBeforeAnswer = std::chrono::microseconds(80);
// A paced line reads from the host like a UART: only what it is about to
// carry. It takes more once what it holds has crossed to within kReadAhead,
// and then what crosses in twice that; the rest stays in the port, whose
// buffer fills until the host's writes block as on a real port. The margin
// is that of a UART's buffer: a wake-up that comes late on a busy machine
// must not leave the line idle.
constexpr auto kReadAhead = std::chrono::milliseconds(100);
// Waits longer than this hand the trace to its file first.
constexpr int kTraceFlushWaitMs = 5;

// Whole milliseconds until t, rounded down: the device's wait sleeps at
// least that long, and the caller sleeps off a remainder below one
// millisecond precisely. -1 (no limit) for kNever.
int wait_timeout(TimePoint t) {
  if (t == kNever) return -1;
  const auto left = t - Clock::now();
  if (left <= Clock::duration::zero()) return 0;
  const auto ms = std::chrono::floor<std::chrono::milliseconds>(left).count();
  return static_cast<int>(std::min<long long>(ms, INT_MAX));
}

// Stamps freshly read host bytes with the time each one finishes crossing the
// line: back to back after the previous one, never before it was written.
void queue_input(Link* link, const uint8_t* data, size_t count) {
  const TimePoint now = Clock::now();
  for (size_t i = 0; i < count; ++i) {
    link->rxFree = std::max(now, link->rxFree) + link->byteTime;
    link->input.push_back({link->rxFree, data[i]});
  }
}

// How many bytes the line takes from the host now: all there are when it is
// not paced, else what keeps it busy for the read-ahead time (at least one
// byte once it is nearly idle), or none while it holds enough.
size_t read_room(const Link* link, TimePoint now) {
  if (link->byteTime == Clock::duration::zero()) return kReadChunk;
  const Clock::duration ahead = std::max(link->rxFree - now, Clock::duration::zero());
  if (ahead >= kReadAhead) return 0;
  const auto bytes = static_cast<size_t>((2 * kReadAhead - ahead) / link->byteTime);
  return std::clamp<size_t>(bytes, 1, kReadChunk);
}

// When a paced line that holds enough will take more.
TimePoint read_resumes(const Link* link) {
  return link->rxFree - kReadAhead;
}

// Reads at most room bytes of what the host has written. False when the
// device hung up or failed, so the caller can pause instead of spinning.
bool read_input(Link* link, size_t room) {
  uint8_t buffer[kReadChunk];
  const long n = device_read(link->device.get(), buffer, std::min(room, sizeof buffer));
  if (n > 0) {
    if (link->trace != nullptr) serial_trace_bytes(link->trace, "rx", buffer, static_cast<int>(n));
    queue_input(link, buffer, static_cast<size_t>(n));
  }
  return n != kDeviceGone;
}

// Writes every queued byte that is due. A host that does not read loses
// bytes, as on a real line.
void pump_output(Link* link, TimePoint now) {
  uint8_t buffer[kReadChunk];
  while (!link->output.empty() && link->output.front().at <= now) {
    size_t count = 0;
    while (!link->output.empty() && link->output.front().at <= now && count < sizeof buffer) {
      buffer[count++] = link->output.front().value;
      link->output.pop_front();
    }
    if (link->trace != nullptr)
      serial_trace_bytes(link->trace, "tx", buffer, static_cast<int>(count));
    const size_t written = device_write(link->device.get(), buffer, count);
    if (written < count)
      sim_log("output: %lu byte(s) dropped", static_cast<unsigned long>(count - written));
  }
}

// Earliest time something is due: wake, the next output byte, the moment a
// paced line that holds enough takes more (room 0) and, for a reader
// (wantInput), the next input release.
TimePoint next_event(const Link* link, TimePoint wake, bool wantInput, size_t room) {
  TimePoint next = wake;
  if (wantInput && !link->input.empty()) next = std::min(next, link->input.front().at);
  if (!link->output.empty()) next = std::min(next, link->output.front().at);
  if (room == 0) next = std::min(next, read_resumes(link));
  return next;
}

// When the wanted bytes that are already on the line will have crossed it,
// or deadline if that is sooner. Waking only then spares a wake-up per byte.
TimePoint read_wake(const Link* link, size_t wanted, TimePoint deadline) {
  if (link->input.empty()) return deadline;
  const size_t last = std::min(wanted, link->input.size()) - 1;
  return std::min(deadline, link->input[last].at);
}

// Bytes the host has written that the line has not read yet: a paced line
// leaves them in the port until it carries them.
bool port_holds_input(const Link* link) {
  return device_input_waiting(link->device.get());
}

// Whether bytes the host has written are still on their way: in the port,
// or on the line. Until they have crossed, the host is not quiet.
bool host_sending(const Link* link) {
  return !link->input.empty() || port_holds_input(link);
}

// When a wait wakes: at its deadline, or, once that has passed while the
// host is still sending, only at the line's own events.
TimePoint wake_for(TimePoint deadline, TimePoint now) {
  return now >= deadline ? kNever : deadline;
}

// Sleeps until t. When an answer to the host is due then, the last stretch
// is waited out awake: a timed wake-up comes tens of microseconds late,
// which a real line's answer never is.
void sleep_until_due(const Link* link, TimePoint t) {
  if (link->output.empty() || link->output.front().at != t) {
    std::this_thread::sleep_until(t);
    return;
  }
  std::this_thread::sleep_until(t - kAwakeBeforeAnswer);
  while (Clock::now() < t) {
  }
}

// One round of the line: sleeps in the device's wait until input arrives, a
// stop is requested or the next event is due, then moves bytes. The last
// fraction of a millisecond is slept without watching the port; input that
// comes in meanwhile is read right after.
void service(Link* link, TimePoint wake, bool wantInput) {
  const size_t room = read_room(link, Clock::now());
  const TimePoint next = next_event(link, wake, wantInput, room);
  const int timeout = wait_timeout(next);
  // Before a wait of more than a moment, the trace so far goes to its file.
  if (link->trace != nullptr && (timeout < 0 || timeout > kTraceFlushWaitMs))
    serial_trace_flush(link->trace);
  // A line that holds enough leaves the host's bytes in the port.
  const int woke = device_wait(link->device.get(), timeout, room > 0);
  if ((woke & kDeviceStop) != 0) link->stopped = true;
  if ((woke & kDeviceInput) != 0) {
    // Hang-up or error instead of data: pause rather than spin.
    if (room == 0 || !read_input(link, room)) {
      std::this_thread::sleep_until(std::min(next, Clock::now() + kHangupPause));
    }
  } else if (woke == kDeviceQuiet && timeout == 0) {
    sleep_until_due(link, next);
  }
  pump_output(link, Clock::now());
}

// A fresh line on the device: paced at baud (0: not), traced from here on.
void start_line(Link* link, LinkDevicePtr device, const std::string& path, long baud,
                SerialTrace* trace, const std::string& settings) {
  *link = Link{};
  link->device = std::move(device);
  link->path = path;
  link->trace = trace;
  if (baud > 0) {
    link->byteTime = std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(10.0 / static_cast<double>(baud)));
  }
  if (trace != nullptr) serial_trace_open(trace, path.c_str(), settings.c_str());
}

std::string pacing_text(long baud) {
  return baud > 0 ? "paced at " + std::to_string(baud) + " baud" : "unpaced";
}

}  // namespace

std::string device_path_of(const std::string& name) {
  constexpr size_t kMaxDigits = 3;
  const bool number = !name.empty() && name.size() <= kMaxDigits &&
                      name.find_first_not_of("0123456789") == std::string::npos;
  const int n = number ? std::stoi(name) : 0;
  return n > 0 ? serial_device_name(n) : name;
}

bool link_open_pty(Link* link, long baud, SerialTrace* trace, std::string* error) {
  std::string path;
  LinkDevicePtr device = device_open_pty(&path, error);
  if (!device) return false;
  start_line(link, std::move(device), path, baud, trace, pacing_text(baud));
  return true;
}

bool link_open_port(Link* link, const std::string& name, long rate, long baud, SerialTrace* trace,
                    std::string* error) {
  std::string path;
  LinkDevicePtr device = device_open_port(name, rate, &path, error);
  if (!device) return false;
  start_line(link, std::move(device), path, baud, trace,
             std::to_string(rate) + ",8,N,1 " + pacing_text(baud));
  return true;
}

void link_close(Link* link) {
  if (link->device && link->trace != nullptr) serial_trace_text(link->trace, "close", "");
  link->device.reset();
}

int link_get(Link* link, TimePoint deadline, uint8_t* out) {
  for (;;) {
    if (link->stopped) return kLinkStopped;
    const TimePoint now = Clock::now();
    pump_output(link, now);
    if (!link->input.empty() && link->input.front().at <= now) {
      *out = link->input.front().value;
      link->input.pop_front();
      return kLinkByte;
    }
    if (now >= deadline && !host_sending(link)) return kLinkTimeout;
    service(link, wake_for(deadline, now), true);
  }
}

int link_read(Link* link, uint8_t* dst, size_t count, TimePoint firstBy, Clock::duration idle,
              size_t* got) {
  *got = 0;
  TimePoint deadline = firstBy;
  for (;;) {
    if (link->stopped) return kLinkStopped;
    const TimePoint now = Clock::now();
    pump_output(link, now);
    while (*got < count && !link->input.empty() && link->input.front().at <= now) {
      dst[(*got)++] = link->input.front().value;
      link->input.pop_front();
      deadline = now + idle;
    }
    if (*got == count) return kLinkByte;
    if (now >= deadline && !host_sending(link)) return kLinkTimeout;
    service(link, read_wake(link, count - *got, wake_for(deadline, now)), false);
  }
}

namespace {

// The first queued input byte of the value, or input.end().
std::deque<TimedByte>::const_iterator find_queued(const Link* link, uint8_t value) {
  return std::find_if(link->input.begin(), link->input.end(),
                      [value](const TimedByte& queued) { return queued.value == value; });
}

}  // namespace

int link_wait_queued(Link* link, uint8_t value, TimePoint deadline) {
  for (;;) {
    if (link->stopped) return kLinkStopped;
    const TimePoint now = Clock::now();
    pump_output(link, now);
    if (find_queued(link, value) != link->input.end()) return kLinkByte;
    // Bytes still in the port may hold the value: a paced line has not
    // read them yet.
    if (now >= deadline && !port_holds_input(link)) return kLinkTimeout;
    service(link, wake_for(deadline, now), false);
  }
}

bool link_take_through(Link* link, uint8_t value, std::vector<uint8_t>* out, TimePoint* crossed) {
  const auto last = find_queued(link, value);
  if (last == link->input.end()) return false;
  *crossed = last->at;
  const auto end = last + 1;
  for (auto it = link->input.cbegin(); it != end; ++it) out->push_back(it->value);
  link->input.erase(link->input.cbegin(), end);
  return true;
}

TimePoint link_send(Link* link, const uint8_t* data, size_t count) {
  return link_send_at(link, data, count, Clock::now());
}

TimePoint link_send_at(Link* link, const uint8_t* data, size_t count, TimePoint notBefore) {
  const TimePoint now = Clock::now();
  for (size_t i = 0; i < count; ++i) {
    link->txFree = std::max(notBefore, link->txFree) + link->byteTime;
    link->output.push_back({link->txFree, data[i]});
  }
  pump_output(link, now);
  return std::max(now, link->txFree);
}

TimePoint link_send_byte(Link* link, uint8_t byte) {
  return link_send(link, &byte, 1);
}

int link_wait_until(Link* link, TimePoint until) {
  for (;;) {
    if (link->stopped) return kLinkStopped;
    const TimePoint now = Clock::now();
    pump_output(link, now);
    if (now >= until) return kLinkTimeout;
    service(link, until, false);
  }
}

int link_flush(Link* link) {
  if (link->output.empty()) return link->stopped ? kLinkStopped : kLinkTimeout;
  return link_wait_until(link, link->output.back().at);
}

int link_drain(Link* link, TimePoint limit) {
  if (link_flush(link) == kLinkStopped) return kLinkStopped;
  // Bytes written to the device reach the host's side a moment later, so an
  // empty queue counts only once that moment has surely passed.
  const TimePoint settled = std::max(Clock::now(), link->txFree) + kDrainSettle;
  for (;;) {
    const TimePoint now = Clock::now();
    const bool empty = !device_output_unread(link->device.get());
    if ((empty && now >= settled) || now >= limit) return kLinkTimeout;
    if (link_wait_until(link, std::min(limit, now + kDrainPoll)) == kLinkStopped) {
      return kLinkStopped;
    }
  }
}
