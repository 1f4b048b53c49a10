// Arbitrary baud rates: termios2 with BOTHER on Linux, IOSSIOSPEED on macOS.
#include <cerrno>

#include "serial/custom_baud.h"

#if defined(__linux__)
#include <asm/termbits.h>
#include <sys/ioctl.h>

int custom_baud_set(int fd, int32_t baud) {
  if (baud <= 0) return EINVAL;
  struct termios2 tio {};
  if (ioctl(fd, TCGETS2, &tio) != 0) return errno;
  // Both the output and the input speed fields say "other", with the rates
  // in c_ospeed and c_ispeed.
  tio.c_cflag &= ~(CBAUD | (CBAUD << IBSHIFT));
  tio.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
  tio.c_ispeed = static_cast<speed_t>(baud);
  tio.c_ospeed = static_cast<speed_t>(baud);
  if (ioctl(fd, TCSETS2, &tio) != 0) return errno;
  return 0;
}

// The kernel fills c_ospeed with the rate, standard or not.
int custom_baud_get(int fd, int32_t* baud) {
  struct termios2 tio {};
  if (ioctl(fd, TCGETS2, &tio) != 0) return errno;
  *baud = static_cast<int32_t>(tio.c_ospeed);
  return 0;
}

#else
#include <termios.h>

#if defined(__APPLE__)
#include <IOKit/serial/ioss.h>
#include <sys/ioctl.h>

int custom_baud_set(int fd, int32_t baud) {
  if (baud <= 0) return EINVAL;
  speed_t speed = static_cast<speed_t>(baud);
  if (ioctl(fd, IOSSIOSPEED, &speed) != 0) return errno;
  return 0;
}
#else
int custom_baud_set(int, int32_t) {
  return EINVAL;
}
#endif

// BSD and macOS: speed_t is the rate itself.
int custom_baud_get(int fd, int32_t* baud) {
  termios tio{};
  if (tcgetattr(fd, &tio) != 0) return errno;
  *baud = static_cast<int32_t>(cfgetospeed(&tio));
  return 0;
}

#endif
