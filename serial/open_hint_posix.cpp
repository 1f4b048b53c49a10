#include <cerrno>

#include "serial/serial.h"

const char* serial_open_hint(int error) {
  switch (error) {
    case ENOENT:
    case ENODEV:
    case ENXIO:
      return "no such device: check the port name and that the board is plugged in "
             "(ls /dev/ttyUSB* /dev/ttyACM*)";
    case EBUSY:
#if EWOULDBLOCK != EBUSY
    case EWOULDBLOCK:
#endif
      return "the port is busy: another program holds it open (close the terminal or "
             "flasher that uses it)";
    case EACCES:
    case EPERM:
      return "permission denied: join the dialout group (sudo usermod -aG dialout $USER), "
             "then log in again";
    case ENOTTY:
      return "not a serial device";
    default:
      return nullptr;
  }
}
