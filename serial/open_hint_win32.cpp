#include <windows.h>

#include "serial/serial.h"

const char* serial_open_hint(int error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
      return "no such device: check the COM port number in Device Manager and that the "
             "board is plugged in";
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
      return "the port is busy: another program holds it open (close the terminal or "
             "flasher that uses it)";
    default:
      return nullptr;
  }
}
