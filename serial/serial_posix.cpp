// POSIX backend of the serial port: a terminal device claimed exclusively,
// in raw mode, read through a poll bounded by the 2 ms read time-out.
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>
#ifdef __linux__
#include <linux/serial.h>
#endif

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <string>

#include "common/deadline.h"
#include "common/stop.h"
#include "serial/custom_baud.h"
#include "serial/flow_flags_posix.h"
#include "serial/serial.h"

namespace {

struct SpeedEntry {
  int32_t baud;
  speed_t speed;
};

constexpr SpeedEntry kSpeeds[] = {
    {50, B50},           {75, B75},         {110, B110},       {134, B134},     {150, B150},
    {200, B200},         {300, B300},       {600, B600},       {1200, B1200},   {1800, B1800},
    {2400, B2400},       {4800, B4800},     {9600, B9600},     {19200, B19200}, {38400, B38400},
    {57600, B57600},     {115200, B115200}, {230400, B230400},
#ifdef B460800
    {460800, B460800},
#endif
#ifdef B500000
    {500000, B500000},
#endif
#ifdef B576000
    {576000, B576000},
#endif
#ifdef B921600
    {921600, B921600},
#endif
#ifdef B1000000
    {1000000, B1000000},
#endif
#ifdef B1152000
    {1152000, B1152000},
#endif
#ifdef B1500000
    {1500000, B1500000},
#endif
#ifdef B2000000
    {2000000, B2000000},
#endif
#ifdef B2500000
    {2500000, B2500000},
#endif
#ifdef B3000000
    {3000000, B3000000},
#endif
#ifdef B3500000
    {3500000, B3500000},
#endif
#ifdef B4000000
    {4000000, B4000000},
#endif
};

constexpr tcflag_t kCharSize[] = {CS5, CS6, CS7, CS8};

int fd_of(const SerialPort* port) {
  return static_cast<int>(port->handle);
}

// errno of the call that just failed, never 0: a failure must not read as
// success.
int last_error() {
  return errno != 0 ? errno : EIO;
}

// Errors of a device that has gone away (unplugged, or the other side of a
// pseudo-terminal closed) rather than of one call.
bool gone_error(int error) {
  return error == EIO || error == ENXIO || error == ENODEV || error == EPIPE;
}

// The device went away: nothing written is waiting to leave any more.
void mark_lost(SerialPort* port) {
  port->lost = 1;
  port->outputPending = 0;
}

// Raises (on) or lowers the given TIOCM_ lines. A pseudo-terminal has no
// modem lines and refuses; that is no failure of the port.
void set_modem_lines(int fd, int lines, bool on) {
  ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &lines);
}

// Makes fd this process's port: a terminal that nobody else has claimed.
// It stays non-blocking: reads wait in poll, and a write that the device
// does not take waits there too, where a stop request or the stall bound
// can end it. 0 or an errno value.
int claim(int fd) {
  if (!isatty(fd)) return ENOTTY;
  // flock also holds against root and against a second open in this process,
  // which TIOCEXCL does not.
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) return errno == EWOULDBLOCK ? EBUSY : last_error();
  ioctl(fd, TIOCEXCL);  // keeps other openers out where the driver allows it
  return 0;
}

int posix_open(SerialPort* port, const char* device) {
  // O_NONBLOCK: don't wait for carrier detect while opening.
  const int fd = open(device, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return last_error();
  const int result = claim(fd);
  if (result != 0) {
    close(fd);
    return result;
  }
  port->handle = fd;
  return 0;
}

// Looks up the termios constant of a standard rate.
bool standard_speed(int32_t baud, speed_t* speed) {
  for (const SpeedEntry& entry : kSpeeds) {
    if (entry.baud != baud) continue;
    *speed = entry.speed;
    return true;
  }
  return false;
}

// Raw 8-bit transparent line with the record's character frame. 0 or EINVAL
// for a frame the termios interface can't express.
int set_frame(termios* tio, const SerialPort* port) {
  if (port->dataBits < 5 || port->dataBits > 8) return EINVAL;
  if (port->parity < kParityNone || port->parity > kParityEven) return EINVAL;
  cfmakeraw(tio);
  tio->c_iflag &= ~(IXON | IXOFF | IXANY | INPCK);
  tio->c_cflag &= ~(CSIZE | PARENB | PARODD | kRtsFlow | kCtsFlow);
#ifdef CIBAUD
  tio->c_cflag &= ~CIBAUD;  // input rate follows the output rate
#endif
  tio->c_cflag |= CLOCAL | CREAD | kCharSize[port->dataBits - 5];
  if (port->parity == kParityOdd) tio->c_cflag |= PARENB | PARODD;
  if (port->parity == kParityEven) tio->c_cflag |= PARENB;
  // Other stop-bit values keep the device's setting.
  if (port->stopBits == 1) tio->c_cflag &= ~CSTOPB;
  if (port->stopBits == 2) tio->c_cflag |= CSTOPB;
  tio->c_cc[VMIN] = 0;
  tio->c_cc[VTIME] = 0;
  return 0;
}

int posix_configure(SerialPort* port) {
  const int fd = fd_of(port);
  if (port->baud <= 0) return EINVAL;
  termios old{};
  if (tcgetattr(fd, &old) != 0) return last_error();
  termios tio = old;
  int result = set_frame(&tio, port);
  if (result != 0) return result;
  speed_t speed = B0;
  const bool standard = standard_speed(port->baud, &speed);
  if (standard && (cfsetispeed(&tio, speed) != 0 || cfsetospeed(&tio, speed) != 0)) return EINVAL;
  if (tcsetattr(fd, TCSANOW, &tio) != 0) return last_error();
  if (!standard && (result = custom_baud_set(fd, port->baud)) != 0) {
    tcsetattr(fd, TCSANOW, &old);  // a refused rate changes nothing
    return result;
  }
  set_modem_lines(fd, TIOCM_DTR | TIOCM_RTS, false);
  return 0;
}

#ifdef __linux__
// Asks the driver to pass received bytes on at once: a USB serial adapter
// otherwise holds them up to its latency timer (16 ms on some), which every
// reply wait would pay. A device without the request (a pseudo-terminal)
// refuses it; that is no failure of the port.
void request_low_latency(SerialPort* port) {
  serial_struct info{};
  if (ioctl(fd_of(port), TIOCGSERIAL, &info) != 0) {
    port->lowLatency = SERIAL_LOW_LATENCY_REFUSED;
    port->lowLatencyError = last_error();
    return;
  }
  port->savedDeviceFlags = info.flags;
  if ((info.flags & ASYNC_LOW_LATENCY) != 0) {
    port->lowLatency = SERIAL_LOW_LATENCY_ALREADY;
    return;
  }
  info.flags |= ASYNC_LOW_LATENCY;
  if (ioctl(fd_of(port), TIOCSSERIAL, &info) != 0) {
    port->lowLatency = SERIAL_LOW_LATENCY_REFUSED;
    port->lowLatencyError = last_error();
    return;
  }
  port->lowLatency = SERIAL_LOW_LATENCY_SET;
}

// Puts back the flags the device had before request_low_latency set it.
void restore_low_latency(SerialPort* port) {
  if (port->lowLatency != SERIAL_LOW_LATENCY_SET) return;
  serial_struct info{};
  if (ioctl(fd_of(port), TIOCGSERIAL, &info) != 0) return;
  info.flags = (info.flags & ~ASYNC_LOW_LATENCY) | (port->savedDeviceFlags & ASYNC_LOW_LATENCY);
  ioctl(fd_of(port), TIOCSSERIAL, &info);
}
#else
// Other systems have no such request; their drivers decide.
void request_low_latency(SerialPort*) {}
void restore_low_latency(SerialPort*) {}
#endif

// Reads are bounded by the poll in posix_read, writes by the stall bound of
// write_all: nothing to install there.
// Received bytes should not wait in the adapter either: low latency.
int posix_set_timeouts(SerialPort* port) {
  request_low_latency(port);
  return 0;
}

// A vanished device (hang-up, error) answers at once; waiting out the read
// time-out keeps it as slow as a silent line, so caller loops don't spin.
int idle_until(const Deadline& deadline) {
  sleep_until_deadline(deadline, nullptr);
  return 0;
}

// Waits for input until deadline: 1 when input is waiting, 0 when the
// deadline passed, -1 when the device hung up or failed.
int wait_readable(int fd, const Deadline& deadline) {
  for (;;) {
    pollfd watch{fd, POLLIN, 0};
    const int ready = poll(&watch, 1, deadline_left_ms(deadline));
    if (ready == 0) return 0;
    if (ready < 0 && errno == EINTR) continue;
    return ready > 0 && (watch.revents & POLLIN) != 0 ? 1 : -1;
  }
}

// The longest pause between two looks at a port that does not take data:
// a stop request is seen within this time even if its signal came just
// before the wait began.
constexpr int kStopLookMs = 50;

// Records that a write gave up after the port took nothing for the stall
// bound; returns the error code of the failed write.
int stalled(SerialPort* port) {
  port->failure = SERIAL_FAIL_WRITE_STALLED;
  port->writeStalled = 1;
  return ETIMEDOUT;
}

// How long a write or drain may wait for a device that takes nothing: the
// stall bound, or no time once the device has stalled already.
Deadline stall_deadline(const SerialPort* port) {
  return deadline_after_ms(port->writeStalled != 0 ? 0 : port->writeStallMs);
}

// Bytes the driver still holds for sending; -1 when it can't tell.
int queued_output(int fd) {
  int queued = 0;
  return ioctl(fd, TIOCOUTQ, &queued) == 0 ? queued : -1;
}

// Waits for the line to carry what the driver holds: a whole wait while it
// makes progress, ending early on a stop request (EINTR) or when nothing
// left for the stall bound (ETIMEDOUT). A device that can't tell its queue,
// or whose queue is empty, is left to tcdrain, which then waits at most
// for the bytes already in the hardware.
int wait_output_sent(SerialPort* port) {
  const int fd = fd_of(port);
  int last = -1;
  Deadline stall = stall_deadline(port);
  for (int queued; (queued = queued_output(fd)) > 0;) {
    if (stop_requested()) return EINTR;
    if (queued != last && last >= 0) {
      port->writeStalled = 0;
      stall = deadline_after_ms(port->writeStallMs);
    }
    if (deadline_passed(stall)) return stalled(port);
    last = queued;
    // About the time the queue takes to leave at 10 bits a byte.
    const int64_t ms = port->baud > 0 ? int64_t{queued} * 10000 / port->baud : kStopLookMs;
    sleep_until_deadline(
        deadline_after_ms(static_cast<int>(std::clamp<int64_t>(ms, 1, kStopLookMs))), nullptr);
  }
  return 0;
}

// Waits until the written bytes have left the device. A pseudo-terminal may
// not support this; its refusal is no failure.
int drain_output(SerialPort* port) {
  const int waited = wait_output_sent(port);
  if (waited != 0) return waited;
  const int fd = fd_of(port);
  while (tcdrain(fd) != 0) {
    if (errno == EINTR && !stop_requested()) continue;
    return errno == ENOTTY || errno == EINVAL ? 0 : last_error();
  }
  return 0;
}

// Turnaround: before the first read or input wait after writes, wait until
// the written bytes are on the wire, so that a reply window starts only
// then. One-way streams of many small writes thus drain once, not per write.
void drain_if_pending(SerialPort* port) {
  if (port->outputPending == 0) return;
  port->outputPending = 0;
  drain_output(port);
}

void posix_close(SerialPort* port) {
  restore_low_latency(port);
  const int fd = fd_of(port);
  // What was written goes out before the port is let go. When it does not
  // (a stalled write, or a drain that a stop request or the stall bound
  // ended) it is dropped, so that the close does not wait for a line that
  // does not move.
  const bool pending = port->outputPending != 0;
  port->outputPending = 0;
  if (port->writeStalled != 0 || (pending && drain_output(port) != 0)) tcflush(fd, TCOFLUSH);
  // Another process (the simulated board, say) may keep the device open:
  // leave it openable for the next user.
  ioctl(fd, TIOCNXCL);
  flock(fd, LOCK_UN);
  close(fd);
}

int posix_read(SerialPort* port, uint8_t* data, int count) {
  drain_if_pending(port);
  const int fd = fd_of(port);
  const Deadline deadline = deadline_after_ms(kSerialReadTimeoutMs);
  for (;;) {
    const int ready = wait_readable(fd, deadline);
    if (ready == 0) return 0;
    if (ready > 0) {
      const ssize_t n = read(fd, data, static_cast<size_t>(count));
      if (n > 0) return static_cast<int>(n);
      if (n < 0 && errno == EINTR) continue;
      // End of file after poll said readable: a hang-up, as is EIO.
      if (n == 0 || gone_error(errno)) mark_lost(port);
    } else {
      mark_lost(port);
    }
    return idle_until(deadline);
  }
}

// Waits until fd takes more output: 0 then, EINTR once a stop is requested,
// ETIMEDOUT at the deadline, or the error that stops output.
int wait_writable(int fd, const Deadline& deadline) {
  for (;;) {
    if (stop_requested()) return EINTR;
    const int left = deadline_left_ms(deadline);
    if (left == 0) return ETIMEDOUT;
    pollfd watch{fd, POLLOUT, 0};
    const int ready = poll(&watch, 1, std::min(left, kStopLookMs));
    if (ready < 0 && errno != EINTR) return last_error();
    if (ready > 0) return (watch.revents & POLLOUT) != 0 ? 0 : EIO;
  }
}

// Writes every byte. A device that takes nothing for the stall bound ends
// the write (ETIMEDOUT, the port's failure says so); a stop request ends it
// at once (EINTR).
int write_all(SerialPort* port, const uint8_t* data, int count) {
  const int fd = fd_of(port);
  int done = 0;
  Deadline stall = stall_deadline(port);
  while (done < count) {
    const ssize_t n = write(fd, data + done, static_cast<size_t>(count - done));
    if (n > 0) {
      done += static_cast<int>(n);
      port->writeStalled = 0;
      stall = deadline_after_ms(port->writeStallMs);
    } else if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) {
      const int result = wait_writable(fd, stall);
      if (result == ETIMEDOUT) return stalled(port);
      if (result != 0) return result;
    } else {
      return n < 0 ? last_error() : EIO;
    }
  }
  return 0;
}

// Returns once the kernel has taken the bytes; the drain waits for the next
// read (drain_if_pending).
int posix_write(SerialPort* port, const uint8_t* data, int count) {
  port->outputPending = 1;
  const int result = write_all(port, data, count);
  if (gone_error(result)) mark_lost(port);
  return result;
}

void posix_set_dtr(SerialPort* port, bool on) {
  set_modem_lines(fd_of(port), TIOCM_DTR, on);
}

void posix_set_rts(SerialPort* port, bool on) {
  set_modem_lines(fd_of(port), TIOCM_RTS, on);
}

// A break of 0.25 to 0.5 s; a pseudo-terminal takes it without effect.
void posix_send_break(SerialPort* port) {
  drain_if_pending(port);
  tcsendbreak(fd_of(port), 0);
}

// Sets or clears flag in c_cflag. -1 if the state can't be read, 0 if the
// change was refused, 1 on success.
int set_cflag(int fd, tcflag_t flag, bool on) {
  termios tio{};
  if (tcgetattr(fd, &tio) != 0) return -1;
  if (on) {
    tio.c_cflag |= flag;
  } else {
    tio.c_cflag &= ~flag;
  }
  return tcsetattr(fd, TCSANOW, &tio) == 0 ? 1 : 0;
}

void posix_set_rts_handshake(SerialPort* port, bool on) {
  const int fd = fd_of(port);
  set_cflag(fd, kRtsFlow, on);
  if (!on) set_modem_lines(fd, TIOCM_RTS, false);
}

int posix_set_cts_flow(SerialPort* port, bool on) {
  const int result = set_cflag(fd_of(port), kCtsFlow, on);
  return result < 0 ? 0 : result;
}

struct LineBit {
  int line;
  int bit;
};

constexpr LineBit kStatusBits[] = {
    {TIOCM_CTS, MS_CTS}, {TIOCM_DSR, MS_DSR}, {TIOCM_RI, MS_RING}, {TIOCM_CD, MS_RLSD}};

int posix_modem_status(SerialPort* port) {
  int lines = 0;
  if (ioctl(fd_of(port), TIOCMGET, &lines) != 0) return -1;  // no modem lines
  int status = 0;
  for (const LineBit& entry : kStatusBits) {
    if ((lines & entry.line) != 0) status |= entry.bit;
  }
  return status;
}

bool posix_present(SerialPort*, const char* device) {
  return access(device, F_OK) == 0;
}

int posix_wait_input(SerialPort* port, int ms) {
  drain_if_pending(port);
  const Deadline deadline = deadline_after_ms(ms);
  const int ready = wait_readable(fd_of(port), deadline);
  if (ready >= 0) return ready;
  mark_lost(port);
  return idle_until(deadline);  // hung up: as quiet as silence
}

constexpr SerialBackend kPosixBackend = {
    posix_open,         posix_configure,    posix_set_timeouts, posix_close,
    posix_write,        posix_read,         posix_set_dtr,      posix_set_rts_handshake,
    posix_set_cts_flow, posix_modem_status, posix_wait_input,   posix_send_break,
    posix_set_rts,      posix_present,
};

}  // namespace

const SerialBackend* serial_platform_backend() {
  return &kPosixBackend;
}

std::string serial_device_name(int n) {
  return "/dev/ttyS" + std::to_string(n - 1);
}

int serial_not_open_error() {
  return EBADF;
}

std::string serial_device_identity(const std::string& device) {
  struct stat info {};
  if (stat(device.c_str(), &info) == 0) {
    // A device is its number, however many names lead to it; anything else
    // (a file standing in for one) its file system and inode.
    if (S_ISCHR(info.st_mode)) return "device " + std::to_string(info.st_rdev);
    return "file " + std::to_string(info.st_dev) + ":" + std::to_string(info.st_ino);
  }
  std::error_code error;
  const std::filesystem::path absolute = std::filesystem::absolute(device, error);
  return "path " + (error ? device : absolute.lexically_normal().string());
}
