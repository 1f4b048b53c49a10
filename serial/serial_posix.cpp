// POSIX backend of the serial port: a terminal device claimed exclusively,
// in raw mode, read through a poll bounded by the 2 ms read time-out.
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>
#ifdef __linux__
#include <linux/serial.h>
#endif

#include <cerrno>
#include <string>

#include "common/deadline.h"
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

// Raises (on) or lowers the given TIOCM_ lines. A pseudo-terminal has no
// modem lines and refuses; that is no failure of the port.
void set_modem_lines(int fd, int lines, bool on) {
  ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &lines);
}

// Makes fd this process's port: a terminal that nobody else has claimed,
// with blocking writes. 0 or an errno value.
int claim(int fd) {
  if (!isatty(fd)) return ENOTTY;
  // flock also holds against root and against a second open in this process,
  // which TIOCEXCL does not.
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) return errno == EWOULDBLOCK ? EBUSY : last_error();
  const int flags = fcntl(fd, F_GETFL);
  if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) return last_error();
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

// Reads are bounded by the poll in posix_read; writes have no time-out.
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

// Waits until the written bytes have left the device. A pseudo-terminal may
// not support this; its refusal is no failure.
int drain_output(int fd) {
  while (tcdrain(fd) != 0) {
    if (errno == EINTR) continue;
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
  drain_output(fd_of(port));
}

void posix_close(SerialPort* port) {
  drain_if_pending(port);  // what was written goes out before the port is let go
  restore_low_latency(port);
  const int fd = fd_of(port);
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
    }
    return idle_until(deadline);
  }
}

// Blocks until fd takes more output. 0, or the error that stops output.
int wait_writable(int fd) {
  pollfd watch{fd, POLLOUT, 0};
  while (poll(&watch, 1, -1) < 0) {
    if (errno != EINTR) return last_error();
  }
  return (watch.revents & POLLOUT) != 0 ? 0 : EIO;
}

int write_all(int fd, const uint8_t* data, int count) {
  int done = 0;
  while (done < count) {
    const ssize_t n = write(fd, data + done, static_cast<size_t>(count - done));
    if (n > 0) {
      done += static_cast<int>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      const int result = wait_writable(fd);
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
  return write_all(fd_of(port), data, count);
}

void posix_set_dtr(SerialPort* port, bool on) {
  set_modem_lines(fd_of(port), TIOCM_DTR, on);
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
  if (ioctl(fd_of(port), TIOCMGET, &lines) != 0) return 0;  // no modem lines
  int status = 0;
  for (const LineBit& entry : kStatusBits) {
    if ((lines & entry.line) != 0) status |= entry.bit;
  }
  return status;
}

int posix_wait_input(SerialPort* port, int ms) {
  drain_if_pending(port);
  const Deadline deadline = deadline_after_ms(ms);
  const int ready = wait_readable(fd_of(port), deadline);
  return ready >= 0 ? ready : idle_until(deadline);  // hung up: as quiet as silence
}

constexpr SerialBackend kPosixBackend = {
    posix_open,         posix_configure,    posix_set_timeouts, posix_close,
    posix_write,        posix_read,         posix_set_dtr,      posix_set_rts_handshake,
    posix_set_cts_flow, posix_modem_status, posix_wait_input,
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
