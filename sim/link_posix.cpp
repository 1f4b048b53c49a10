// POSIX side of the link: a pseudo-terminal's master (its slave held open,
// so hosts may come and go) or a serial port opened through the port layer,
// waited on in poll together with a pipe that the stop signals write to.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif

#include <cerrno>
#include <climits>
#include <cstring>
#include <initializer_list>
#include <string>

#include "serial/serial.h"
#include "sim/link_device.h"

struct LinkDevice {
  int fd = -1;      // what the board reads and writes: master, or the port
  int slave = -1;   // a pseudo-terminal's slave, held open by the board
  SerialPort port;  // a serial port's record in the port layer
  bool isPort = false;
};

namespace {

// Readable once a stop signal came; both ends non-blocking.
int g_stopPipe[2] = {-1, -1};

extern "C" void on_stop_signal(int) {
  const int saved = errno;
  const char byte = 1;
  if (write(g_stopPipe[1], &byte, 1) < 0) {
  }
  errno = saved;
}

bool set_nonblocking_cloexec(int fd) {
  const int flags = fcntl(fd, F_GETFL);
  return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0 &&
         fcntl(fd, F_SETFD, FD_CLOEXEC) == 0;
}

int last_errno() {
  return errno != 0 ? errno : EIO;
}

void close_fd(int* fd) {
  if (*fd >= 0) close(*fd);
  *fd = -1;
}

// Timed wake-ups at the byte times, not up to 50 us late (the default slack
// of a timer): a paced line then runs at its baud rate.
void tighten_timers() {
#ifdef __linux__
  prctl(PR_SET_TIMERSLACK, 1UL);
#endif
}

// Opens the master, names and opens the slave, makes the slave a raw 8-bit
// line and the master non-blocking. 0 or errno.
int open_pair(LinkDevice* device, std::string* path) {
  device->fd = posix_openpt(O_RDWR | O_NOCTTY);
  if (device->fd < 0) return last_errno();
  if (grantpt(device->fd) != 0 || unlockpt(device->fd) != 0) return last_errno();
  const char* name = ptsname(device->fd);
  if (name == nullptr) return last_errno();
  *path = name;
  device->slave = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (device->slave < 0) return last_errno();
  termios tio{};
  if (tcgetattr(device->slave, &tio) != 0) return last_errno();
  cfmakeraw(&tio);
  tio.c_cflag |= CLOCAL | CREAD;
  if (tcsetattr(device->slave, TCSANOW, &tio) != 0) return last_errno();
  return set_nonblocking_cloexec(device->fd) ? 0 : last_errno();
}

int queued_bytes(int fd, unsigned long request) {
  int count = 0;
  return ioctl(fd, request, &count) == 0 ? count : 0;
}

}  // namespace

void LinkDeviceCloser::operator()(LinkDevice* device) const {
  if (device->isPort) serial_close(&device->port);
  close_fd(&device->slave);
  if (!device->isPort) close_fd(&device->fd);
  delete device;
}

bool link_pty_supported() {
  return true;
}

bool link_watch_stop(std::string* error) {
  if (pipe(g_stopPipe) != 0 || !set_nonblocking_cloexec(g_stopPipe[0]) ||
      !set_nonblocking_cloexec(g_stopPipe[1])) {
    *error = std::string("cannot set up signals: ") + std::strerror(last_errno());
    return false;
  }
  struct sigaction action {};
  action.sa_handler = on_stop_signal;
  sigemptyset(&action.sa_mask);
  for (int sig : {SIGTERM, SIGINT, SIGHUP}) sigaction(sig, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);
  return true;
}

LinkDevicePtr device_open_pty(std::string* path, std::string* error) {
  LinkDevicePtr device(new LinkDevice);
  const int result = open_pair(device.get(), path);
  if (result != 0) {
    *error = std::string("cannot create a pseudo-terminal: ") + std::strerror(result);
    return nullptr;
  }
  tighten_timers();
  return device;
}

LinkDevicePtr device_open_port(const std::string& name, long rate, std::string* path,
                               std::string* error) {
  LinkDevicePtr device(new LinkDevice);
  *path = device_path_of(name);
  const std::string settings = std::to_string(rate) + ",8,N,1";
  if (serial_open_device(&device->port, path->c_str(), settings.c_str()) != 0) {
    *error =
        "cannot open " + *path + ": " + serial_open_failure_text(&device->port, settings.c_str());
    return nullptr;
  }
  device->isPort = true;
  device->fd = static_cast<int>(serial_wait_handle(&device->port));
  tighten_timers();
  return device;
}

bool link_publish(const Link* link, const std::string& linkPath, std::string* error) {
  struct stat info {};
  int result = 0;
  if (lstat(linkPath.c_str(), &info) == 0) {
    if (!S_ISLNK(info.st_mode))
      result = EEXIST;
    else if (unlink(linkPath.c_str()) != 0 && errno != ENOENT)
      result = errno;
  }
  if (result == 0 && symlink(link->path.c_str(), linkPath.c_str()) != 0) result = last_errno();
  if (result == 0) return true;
  *error = "cannot make link " + linkPath + ": " + std::strerror(result);
  return false;
}

void link_unpublish(const Link* link, const std::string& linkPath) {
  if (linkPath.empty()) return;
  char buffer[PATH_MAX];
  const ssize_t n = readlink(linkPath.c_str(), buffer, sizeof buffer - 1);
  if (n < 0) return;
  buffer[n] = '\0';
  if (link->path == buffer) unlink(linkPath.c_str());
}

int device_wait(LinkDevice* device, int timeoutMs, bool watchInput) {
  // A device that hung up reports it even unwatched; the caller pauses.
  pollfd fds[2] = {{device->fd, static_cast<short>(watchInput ? POLLIN : 0), 0},
                   {g_stopPipe[0], POLLIN, 0}};
  const int n = poll(fds, g_stopPipe[0] >= 0 ? 2 : 1, timeoutMs);
  int woke = kDeviceQuiet;
  if (n <= 0) return woke;
  // The pipe is left readable: every later wait ends at once too.
  if ((fds[1].revents & POLLIN) != 0) woke |= kDeviceStop;
  if (fds[0].revents != 0) woke |= kDeviceInput;
  return woke;
}

long device_read(LinkDevice* device, uint8_t* data, size_t count) {
  const ssize_t n = read(device->fd, data, count);
  if (n > 0) return static_cast<long>(n);
  return n < 0 && (errno == EAGAIN || errno == EINTR) ? 0 : kDeviceGone;
}

size_t device_write(LinkDevice* device, const uint8_t* data, size_t count) {
  const ssize_t n = write(device->fd, data, count);
  return n < 0 ? 0 : static_cast<size_t>(n);
}

bool device_input_waiting(LinkDevice* device) {
  return queued_bytes(device->fd, FIONREAD) > 0;
}

bool device_output_unread(LinkDevice* device) {
  // A pseudo-terminal's slave holds what the host has not read; a port's
  // output queue what it has not sent.
  if (device->isPort) return queued_bytes(device->fd, TIOCOUTQ) > 0;
  return queued_bytes(device->slave, FIONREAD) > 0;
}
