// Win32 backend of the serial port: a COM device opened exclusively for
// synchronous I/O, with a 2 ms total read time-out and short write
// time-outs, so that a write into a port that takes nothing ends (on a stop
// request or after the stall bound) instead of blocking for ever.
#include <windows.h>
// After windows.h:
#include <timeapi.h>

#include <cctype>
#include <initializer_list>
#include <string>

#include "common/common.h"
#include "common/deadline.h"
#include "common/stop.h"
#include "serial/serial.h"

namespace {

static_assert(sizeof(DCB) == 28, "DCBlength must be 28");

// A write that the device takes nothing of returns after this long, so that
// the write loop can look at the stop request and the stall bound.
constexpr DWORD kWriteLookMs = 100;
// Milliseconds per byte that a write may take beyond kWriteLookMs: the time
// of 12 bits (a byte with start, parity and two stop bits) at the port's
// rate, rounded up.
DWORD write_ms_per_byte(int32_t baud) {
  return baud > 0 ? static_cast<DWORD>((12000 + baud - 1) / baud) : 1;
}

HANDLE handle_of(const SerialPort* port) {
  return reinterpret_cast<HANDLE>(port->handle);
}

// GetLastError of the call that just failed, never 0: a failure must not
// read as success.
int last_error() {
  const DWORD error = GetLastError();
  return error != 0 ? static_cast<int>(error) : ERROR_GEN_FAILURE;
}

// Reads the device state into dcb. False when the device refuses.
bool read_state(HANDLE handle, DCB* dcb) {
  *dcb = DCB{};
  dcb->DCBlength = sizeof(DCB);
  return GetCommState(handle, dcb) != 0;
}

int win32_open(SerialPort* port, const char* device) {
  const HANDLE handle =
      CreateFileA(device, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return last_error();
  port->handle = reinterpret_cast<intptr_t>(handle);
  // The protocols pace themselves in milliseconds: while the port is open,
  // sleeps and read time-outs follow a 1 ms system timer, not the default
  // 15.6 ms one.
  timeBeginPeriod(1);
  return 0;
}

int win32_configure(SerialPort* port) {
  DCB dcb;
  if (!read_state(handle_of(port), &dcb)) return last_error();
  dcb.BaudRate = static_cast<DWORD>(port->baud);
  dcb.ByteSize = static_cast<BYTE>(port->dataBits);
  dcb.Parity = static_cast<BYTE>(port->parity);
  // Other stop-bit values keep the device's setting.
  if (port->stopBits == 1) dcb.StopBits = ONESTOPBIT;
  if (port->stopBits == 2) dcb.StopBits = TWOSTOPBITS;
  dcb.fOutxCtsFlow = 0;
  dcb.fRtsControl = RTS_CONTROL_DISABLE;
  dcb.fDtrControl = DTR_CONTROL_DISABLE;
  return SetCommState(handle_of(port), &dcb) ? 0 : last_error();
}

int win32_set_timeouts(SerialPort* port) {
  COMMTIMEOUTS timeouts;
  if (!GetCommTimeouts(handle_of(port), &timeouts)) return last_error();
  timeouts.ReadIntervalTimeout = 0;
  timeouts.ReadTotalTimeoutMultiplier = 0;
  timeouts.ReadTotalTimeoutConstant = 2;
  timeouts.WriteTotalTimeoutMultiplier = write_ms_per_byte(port->baud);
  timeouts.WriteTotalTimeoutConstant = kWriteLookMs;
  return SetCommTimeouts(handle_of(port), &timeouts) ? 0 : last_error();
}

void win32_close(SerialPort* port) {
  // After a stalled write, what the driver still holds is dropped rather
  // than waited for.
  if (port->writeStalled != 0) PurgeComm(handle_of(port), PURGE_TXABORT | PURGE_TXCLEAR);
  CloseHandle(handle_of(port));
  timeEndPeriod(1);
}

// After a failed read or write: a device that answers ClearCommError is
// still there (the failure was a line error, now cleared); one that doesn't
// has gone away (a USB adapter unplugged).
void check_gone(SerialPort* port) {
  DWORD errors = 0;
  COMSTAT status{};
  if (!ClearCommError(handle_of(port), &errors, &status)) port->lost = 1;
}

bool timed_out(DWORD error) {
  return error == ERROR_TIMEOUT || error == ERROR_SEM_TIMEOUT || error == WAIT_TIMEOUT;
}

// Writes every byte. A write that times out hands back what it took; the
// loop goes on while the device takes something, ends at once on a stop
// request, and gives up once it has taken nothing for the stall bound.
int win32_write(SerialPort* port, const uint8_t* data, int count) {
  // Once the device has stalled, a write that it takes nothing of ends
  // after one look.
  Deadline stall = deadline_after_ms(port->writeStalled != 0 ? 0 : port->writeStallMs);
  while (count > 0) {
    DWORD written = 0;
    if (!WriteFile(handle_of(port), data, static_cast<DWORD>(count), &written, nullptr) &&
        !timed_out(GetLastError())) {
      const int error = last_error();
      check_gone(port);
      return error;
    }
    data += written;
    count -= static_cast<int>(written);
    if (written > 0) {
      port->writeStalled = 0;
      stall = deadline_after_ms(port->writeStallMs);
    } else if (count > 0 && stop_requested()) {
      return ERROR_OPERATION_ABORTED;
    } else if (count > 0 && deadline_passed(stall)) {
      port->failure = SERIAL_FAIL_WRITE_STALLED;
      port->writeStalled = 1;
      return ERROR_TIMEOUT;
    }
  }
  return 0;
}

int win32_read(SerialPort* port, uint8_t* data, int count) {
  DWORD received = 0;
  if (!ReadFile(handle_of(port), data, static_cast<DWORD>(count), &received, nullptr)) {
    check_gone(port);
    return 0;
  }
  return static_cast<int>(received);
}

void win32_set_dtr(SerialPort* port, bool on) {
  DCB dcb;
  if (!read_state(handle_of(port), &dcb)) return;
  dcb.fDtrControl = on ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;
  SetCommState(handle_of(port), &dcb);
}

void win32_set_rts(SerialPort* port, bool on) {
  DCB dcb;
  if (!read_state(handle_of(port), &dcb)) return;
  dcb.fRtsControl = on ? RTS_CONTROL_ENABLE : RTS_CONTROL_DISABLE;
  SetCommState(handle_of(port), &dcb);
}

// The line held at space for 250 ms.
void win32_send_break(SerialPort* port) {
  constexpr int kBreakMs = 250;
  if (!SetCommBreak(handle_of(port))) return;
  delay_ms(kBreakMs);
  ClearCommBreak(handle_of(port));
}

void win32_set_rts_handshake(SerialPort* port, bool on) {
  DCB dcb;
  if (!read_state(handle_of(port), &dcb)) return;
  dcb.fRtsControl = on ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_DISABLE;
  SetCommState(handle_of(port), &dcb);
}

int win32_set_cts_flow(SerialPort* port, bool on) {
  DCB dcb;
  if (!read_state(handle_of(port), &dcb)) return 0;
  dcb.fOutxCtsFlow = on ? 1 : 0;
  return SetCommState(handle_of(port), &dcb) ? 1 : 0;
}

int win32_modem_status(SerialPort* port) {
  DWORD status = 0;
  if (!GetCommModemStatus(handle_of(port), &status)) return -1;  // reports no lines
  return static_cast<int>(status & 0xFF);
}

// Synchronous Win32 I/O has no way to watch for input without reading it:
// the pause is waited in full, as the reply waits always did.
int win32_wait_input(SerialPort*, int ms) {
  delay_ms(ms);
  return 0;
}

// A COM port ("//./COMn" or "\\\\.\\COMn") exists while its DOS device name
// is defined; any other name while the file system knows it.
bool win32_present(SerialPort*, const char* device) {
  const std::string name = device;
  for (const char* prefix : {"//./", "\\\\.\\"}) {
    const std::string start = prefix;
    if (name.compare(0, start.size(), start) != 0) continue;
    char target[512];
    return QueryDosDeviceA(name.substr(start.size()).c_str(), target, sizeof target) != 0 ||
           GetLastError() == ERROR_INSUFFICIENT_BUFFER;
  }
  return GetFileAttributesA(device) != INVALID_FILE_ATTRIBUTES;
}

constexpr SerialBackend kWin32Backend = {
    win32_open,         win32_configure,    win32_set_timeouts, win32_close,
    win32_write,        win32_read,         win32_set_dtr,      win32_set_rts_handshake,
    win32_set_cts_flow, win32_modem_status, win32_wait_input,   win32_send_break,
    win32_set_rts,      win32_present,
};

}  // namespace

const SerialBackend* serial_platform_backend() {
  return &kWin32Backend;
}

std::string serial_device_name(int n) {
  return "//./COM" + std::to_string(n);
}

int serial_not_open_error() {
  return ERROR_INVALID_HANDLE;
}

std::string serial_device_identity(const std::string& device) {
  // Device names are case-blind, and the prefix //./ (or \\.\) names
  // the same device as the bare name does.
  std::string name = device;
  for (const char* prefix : {"//./", "\\\\.\\"}) {
    if (name.compare(0, 4, prefix) == 0) {
      name.erase(0, 4);
      break;
    }
  }
  for (char& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return name;
}
