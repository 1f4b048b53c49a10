#include "sim/link.h"

#include <fcntl.h>
#include <poll.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <thread>

#include "serial/trace.h"
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

int fail_with_errno() {
  return errno != 0 ? errno : EIO;
}

void close_fd(int* fd) {
  if (*fd >= 0) close(*fd);
  *fd = -1;
}

bool add_fd_flags(int fd, int statusFlags) {
  const int flags = fcntl(fd, F_GETFL);
  if (flags < 0 || fcntl(fd, F_SETFL, flags | statusFlags) != 0) return false;
  return fcntl(fd, F_SETFD, FD_CLOEXEC) == 0;
}

// Opens the master, names and opens the slave. 0 or errno.
int open_pair(Link* link) {
  link->master = posix_openpt(O_RDWR | O_NOCTTY);
  if (link->master < 0) return fail_with_errno();
  if (grantpt(link->master) != 0 || unlockpt(link->master) != 0) return fail_with_errno();
  const char* name = ptsname(link->master);
  if (name == nullptr) return fail_with_errno();
  link->slavePath = name;
  link->slave = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (link->slave < 0) return fail_with_errno();
  return 0;
}

// Raw 8-bit line on the slave, master non-blocking. 0 or errno.
int configure_pair(Link* link) {
  termios tio{};
  if (tcgetattr(link->slave, &tio) != 0) return fail_with_errno();
  cfmakeraw(&tio);
  tio.c_cflag |= CLOCAL | CREAD;
  if (tcsetattr(link->slave, TCSANOW, &tio) != 0) return fail_with_errno();
  if (!add_fd_flags(link->master, O_NONBLOCK)) return fail_with_errno();
  return 0;
}

// Whole milliseconds until t, rounded down: poll sleeps at least that long,
// and the caller sleeps off a remainder below one millisecond precisely.
// -1 (no limit) for kNever.
int poll_timeout(TimePoint t) {
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
// master reports no data (hang-up or error) so the caller can pause instead
// of spinning.
bool read_master(Link* link, size_t room) {
  uint8_t buffer[kReadChunk];
  const ssize_t n = read(link->master, buffer, std::min(room, sizeof buffer));
  if (n > 0) {
    if (link->trace != nullptr) serial_trace_bytes(link->trace, "rx", buffer, static_cast<int>(n));
    queue_input(link, buffer, static_cast<size_t>(n));
    return true;
  }
  return n < 0 && (errno == EAGAIN || errno == EINTR);
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
    const ssize_t n = write(link->master, buffer, count);
    const size_t written = n < 0 ? 0 : static_cast<size_t>(n);
    if (written < count) sim_log("output: %zu byte(s) dropped", count - written);
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
  int waiting = 0;
  return ioctl(link->master, FIONREAD, &waiting) == 0 && waiting > 0;
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

void note_stop(Link* link) {
  char drain[16];
  while (read(link->stopFd, drain, sizeof drain) > 0) {
  }
  link->stopped = true;
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

// One round of the line: sleeps in poll until input arrives, a stop is
// requested or the next event is due, then moves bytes. The last fraction of
// a millisecond is slept without watching the port; input that comes in
// meanwhile is read right after.
void service(Link* link, TimePoint wake, bool wantInput) {
  const size_t room = read_room(link, Clock::now());
  const TimePoint next = next_event(link, wake, wantInput, room);
  const int timeout = poll_timeout(next);
  // Before a wait of more than a moment, the trace so far goes to its file.
  if (link->trace != nullptr && (timeout < 0 || timeout > kTraceFlushWaitMs))
    serial_trace_flush(link->trace);
  // A line that holds enough leaves the host's bytes in the port.
  const short watch = room > 0 ? POLLIN : 0;
  pollfd fds[2] = {{link->master, watch, 0}, {link->stopFd, POLLIN, 0}};
  const int n = poll(fds, link->stopFd >= 0 ? 2 : 1, timeout);
  if (n > 0 && (fds[1].revents & POLLIN) != 0) note_stop(link);
  if (n > 0 && fds[0].revents != 0) {
    // Hang-up or error instead of data: pause rather than spin.
    if (room == 0 || !read_master(link, room)) {
      std::this_thread::sleep_until(std::min(next, Clock::now() + kHangupPause));
    }
  } else if (n == 0 && timeout == 0) {
    sleep_until_due(link, next);
  }
  pump_output(link, Clock::now());
}

}  // namespace

int link_open(Link* link, long baud, int stopFd, SerialTrace* trace) {
  *link = Link{};
  link->trace = trace;
#ifdef __linux__
  // Timed wake-ups at the byte times, not up to 50 us late (the default
  // slack of a timer): a paced line then runs at its baud rate.
  prctl(PR_SET_TIMERSLACK, 1UL);
#endif
  link->stopFd = stopFd;
  if (baud > 0) {
    link->byteTime = std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(10.0 / static_cast<double>(baud)));
  }
  int result = open_pair(link);
  if (result == 0) result = configure_pair(link);
  if (result != 0) {
    link_close(link);
    return result;
  }
  if (trace != nullptr)
    serial_trace_open(
        trace, link->slavePath.c_str(),
        baud > 0 ? ("paced at " + std::to_string(baud) + " baud").c_str() : "unpaced");
  return 0;
}

void link_close(Link* link) {
  if (link->master >= 0 && link->trace != nullptr) serial_trace_text(link->trace, "close", "");
  close_fd(&link->slave);
  close_fd(&link->master);
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
  // Bytes written to the master reach the port's queue a moment later, so an
  // empty queue counts only once that moment has surely passed.
  const TimePoint settled = std::max(Clock::now(), link->txFree) + kDrainSettle;
  for (;;) {
    int unread = 0;
    const TimePoint now = Clock::now();
    const bool empty = ioctl(link->slave, FIONREAD, &unread) != 0 || unread <= 0;
    if ((empty && now >= settled) || now >= limit) return kLinkTimeout;
    if (link_wait_until(link, std::min(limit, now + kDrainPoll)) == kLinkStopped) {
      return kLinkStopped;
    }
  }
}
