// Win32 side of the link: a COM port opened for overlapped I/O. One read of
// a single byte stays pending while the line wants input; the waits sleep in
// WaitForMultipleObjects on its event and on the stop event that the
// console's Ctrl-C, Ctrl-Break and closing set, with the time-out of the
// next due event. What else has arrived is then read at once. Windows has no
// pseudo-terminals: the board needs a port (one end of a null-modem pair).
#include <windows.h>
// After windows.h:
#include <timeapi.h>

#include <algorithm>
#include <cctype>
#include <string>

#include "serial/serial.h"
#include "sim/link_device.h"

namespace {

// The one-byte read that waits for input.
enum WaitRead { kReadIdle, kReadPending, kReadHeld, kReadFailed };

// A write the port does not take gives up after this long plus a byte's time
// per byte: the host then loses the bytes, as on a real line.
constexpr DWORD kWriteLookMs = 100;
// After the console closes, Windows ends the process 5 s later: the handler
// holds it that long at most, so the board ends its waits and writes its
// files before.
constexpr DWORD kCloseGraceMs = 4500;
// A read of bytes the port reports waiting gives up after this long.
constexpr DWORD kReadNowMs = 100;

HANDLE g_stopEvent = nullptr;

BOOL WINAPI on_console_event(DWORD event) {
  switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
      SetEvent(g_stopEvent);
      return TRUE;
    case CTRL_CLOSE_EVENT:
      SetEvent(g_stopEvent);
      Sleep(kCloseGraceMs);
      return TRUE;
    default:
      return FALSE;
  }
}

// Milliseconds per byte: 12 bits (start, parity, two stop bits) at rate.
DWORD write_ms_per_byte(long rate) {
  return static_cast<DWORD>((12000 + rate - 1) / rate);
}

// "COMn" (any case) is opened as \\.\COMn, which also reaches n above 9.
std::string com_device(const std::string& name) {
  const bool com = name.size() > 3 && name.size() <= 6 &&
                   std::equal(name.begin(), name.begin() + 3, "COM",
                              [](char a, char b) { return std::toupper(a) == b; }) &&
                   name.find_first_not_of("0123456789", 3) == std::string::npos;
  return com ? "\\\\.\\COM" + name.substr(3) : device_path_of(name);
}

// The port's settings for the board: 8N1 at rate, binary, no flow control,
// DTR and RTS low.
bool configure(HANDLE port, long rate) {
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  if (!GetCommState(port, &dcb)) return false;
  dcb.BaudRate = static_cast<DWORD>(rate);
  dcb.ByteSize = 8;
  dcb.Parity = NOPARITY;
  dcb.StopBits = ONESTOPBIT;
  dcb.fBinary = TRUE;
  dcb.fParity = FALSE;
  dcb.fOutxCtsFlow = FALSE;
  dcb.fOutxDsrFlow = FALSE;
  dcb.fDsrSensitivity = FALSE;
  dcb.fOutX = FALSE;
  dcb.fInX = FALSE;
  dcb.fErrorChar = FALSE;
  dcb.fNull = FALSE;
  dcb.fAbortOnError = FALSE;
  dcb.fDtrControl = DTR_CONTROL_DISABLE;
  dcb.fRtsControl = RTS_CONTROL_DISABLE;
  if (!SetCommState(port, &dcb)) return false;
  // Reads wait without a time-out (the events bound the waits); writes
  // give up as above.
  COMMTIMEOUTS timeouts{};
  timeouts.WriteTotalTimeoutMultiplier = write_ms_per_byte(rate);
  timeouts.WriteTotalTimeoutConstant = kWriteLookMs;
  return SetCommTimeouts(port, &timeouts) != 0;
}

OVERLAPPED overlapped_with_event() {
  OVERLAPPED ov{};
  ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  return ov;
}

// Bytes in the port's input (in) or output queue; 0 when it can't tell.
DWORD queued(HANDLE port, bool in) {
  DWORD errors = 0;
  COMSTAT status{};
  if (!ClearCommError(port, &errors, &status)) return 0;
  return in ? status.cbInQue : status.cbOutQue;
}

// Runs an overlapped transfer to its end, waiting at most ms when it is
// pending (then cancelled). The bytes it moved.
DWORD finish(HANDLE port, OVERLAPPED* ov, BOOL started, DWORD ms) {
  DWORD moved = 0;
  if (!started && GetLastError() != ERROR_IO_PENDING) return 0;
  if (WaitForSingleObject(ov->hEvent, ms) != WAIT_OBJECT_0) CancelIoEx(port, ov);
  GetOverlappedResult(port, ov, &moved, TRUE);
  return moved;
}

}  // namespace

struct LinkDevice {
  HANDLE port = INVALID_HANDLE_VALUE;
  OVERLAPPED waitRead = overlapped_with_event();
  OVERLAPPED readNow = overlapped_with_event();
  OVERLAPPED write = overlapped_with_event();
  uint8_t waitByte = 0;
  WaitRead state = kReadIdle;
  bool timerRaised = false;
};

namespace {

// Takes the outcome of the pending one-byte read if it has one.
void collect(LinkDevice* device) {
  if (device->state != kReadPending) return;
  DWORD got = 0;
  if (GetOverlappedResult(device->port, &device->waitRead, &got, FALSE)) {
    device->state = got == 1 ? kReadHeld : kReadIdle;
  } else if (GetLastError() != ERROR_IO_INCOMPLETE) {
    device->state = kReadFailed;
  }
}

// Starts the one-byte read unless one is under way or has ended. True while
// it is pending: its event then tells when input came.
bool arm(LinkDevice* device) {
  collect(device);
  if (device->state == kReadIdle) {
    DWORD got = 0;
    if (ReadFile(device->port, &device->waitByte, 1, &got, &device->waitRead)) {
      device->state = got == 1 ? kReadHeld : kReadIdle;
    } else {
      device->state = GetLastError() == ERROR_IO_PENDING ? kReadPending : kReadFailed;
    }
  }
  return device->state == kReadPending;
}

}  // namespace

void LinkDeviceCloser::operator()(LinkDevice* device) const {
  if (device->port != INVALID_HANDLE_VALUE) {
    CancelIoEx(device->port, nullptr);
    DWORD ignored = 0;
    if (device->state == kReadPending)
      GetOverlappedResult(device->port, &device->waitRead, &ignored, TRUE);
    CloseHandle(device->port);
  }
  for (OVERLAPPED* ov : {&device->waitRead, &device->readNow, &device->write})
    if (ov->hEvent != nullptr) CloseHandle(ov->hEvent);
  if (device->timerRaised) timeEndPeriod(1);
  delete device;
}

bool link_pty_supported() {
  return false;
}

bool link_watch_stop(std::string* error) {
  g_stopEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (g_stopEvent == nullptr || !SetConsoleCtrlHandler(on_console_event, TRUE)) {
    *error = "cannot watch Ctrl-C (error " + std::to_string(GetLastError()) + ")";
    return false;
  }
  return true;
}

LinkDevicePtr device_open_pty(std::string*, std::string* error) {
  *error = "this system has no pseudo-terminals";
  return nullptr;
}

LinkDevicePtr device_open_port(const std::string& name, long rate, std::string* path,
                               std::string* error) {
  LinkDevicePtr device(new LinkDevice);
  *path = com_device(name);
  const std::string settings = std::to_string(rate) + ",8,N,1";
  // The port layer's words for what went wrong.
  SerialPort failed;
  device->port = CreateFileA(path->c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                             FILE_FLAG_OVERLAPPED, nullptr);
  if (device->port == INVALID_HANDLE_VALUE) {
    failed.failure = SERIAL_FAIL_DEVICE;
  } else if (!configure(device->port, rate)) {
    failed.failure = SERIAL_FAIL_REFUSED;
  }
  if (failed.failure != SERIAL_FAIL_NONE) {
    failed.osError = static_cast<int32_t>(GetLastError());
    *error = "cannot open " + name + ": " + serial_open_failure_text(&failed, settings.c_str());
    return nullptr;
  }
  for (const OVERLAPPED* ov : {&device->waitRead, &device->readNow, &device->write}) {
    if (ov->hEvent == nullptr) {
      *error = "cannot open " + name + ": no event (error " + std::to_string(GetLastError()) + ")";
      return nullptr;
    }
  }
  // Waits and sleeps to the millisecond, not to the default 15.6 ms tick.
  device->timerRaised = timeBeginPeriod(1) == TIMERR_NOERROR;
  PurgeComm(device->port, PURGE_RXCLEAR | PURGE_TXCLEAR);
  return device;
}

bool link_publish(const Link*, const std::string& linkPath, std::string* error) {
  *error = "cannot make link " + linkPath + ": this system has no pseudo-terminals";
  return false;
}

void link_unpublish(const Link*, const std::string&) {}

int device_wait(LinkDevice* device, int timeoutMs, bool watchInput) {
  if (watchInput && !arm(device)) return kDeviceInput;  // a byte, or a failure, is there
  HANDLE handles[2];
  DWORD count = 0;
  if (g_stopEvent != nullptr) handles[count++] = g_stopEvent;
  if (watchInput) handles[count++] = device->waitRead.hEvent;
  const DWORD ms = timeoutMs < 0 ? INFINITE : static_cast<DWORD>(timeoutMs);
  if (count == 0) {
    Sleep(ms);
    return kDeviceQuiet;
  }
  const DWORD woke = WaitForMultipleObjects(count, handles, FALSE, ms);
  if (woke >= WAIT_OBJECT_0 + count) return kDeviceQuiet;
  // The stop event stays set: every later wait ends at once too.
  if (handles[woke - WAIT_OBJECT_0] == g_stopEvent) return kDeviceStop;
  collect(device);
  return kDeviceInput;
}

long device_read(LinkDevice* device, uint8_t* data, size_t count) {
  collect(device);
  if (device->state == kReadFailed) {
    device->state = kReadIdle;
    return kDeviceGone;
  }
  // Nothing may be read past a pending read: it is owed the next byte.
  if (device->state != kReadHeld || count == 0) return 0;
  data[0] = device->waitByte;
  device->state = kReadIdle;
  const DWORD more = std::min<DWORD>(queued(device->port, true), static_cast<DWORD>(count - 1));
  if (more == 0) return 1;
  DWORD got = 0;
  const BOOL done = ReadFile(device->port, data + 1, more, &got, &device->readNow);
  if (!done) got = finish(device->port, &device->readNow, done, kReadNowMs);
  return 1 + static_cast<long>(got);
}

size_t device_write(LinkDevice* device, const uint8_t* data, size_t count) {
  DWORD written = 0;
  const BOOL done =
      WriteFile(device->port, data, static_cast<DWORD>(count), &written, &device->write);
  // The port's write time-out bounds the wait.
  if (!done) written = finish(device->port, &device->write, done, INFINITE);
  return written;
}

bool device_input_waiting(LinkDevice* device) {
  collect(device);
  return device->state == kReadHeld || queued(device->port, true) > 0;
}

bool device_output_unread(LinkDevice* device) {
  return queued(device->port, false) > 0;
}
