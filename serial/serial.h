// The one communications port. Every protocol reaches the wire through these
// operations; a small platform backend (POSIX or Win32, or an in-memory fake
// in tests) sits underneath.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

struct SerialPort;
struct SerialTrace;

// Platform layer under the port operations. Each function gets the port
// record; the backend keeps its device in `handle` (and may use `user`).
struct SerialBackend {
  // Opens the device exclusively. On success stores it in port->handle and
  // returns 0; otherwise returns the OS error code.
  int (*open)(SerialPort* port, const char* device);
  // Applies port->baud, dataBits, parity and stopBits; DTR and RTS off, no
  // CTS or RTS flow control. 0 or the OS error code.
  int (*configure)(SerialPort* port);
  // Installs the read time-out: a read returns after at most 2 ms with what
  // has arrived; and the write bound: a write that the device takes nothing
  // of for port->writeStallMs gives up. 0 or the OS error code.
  int (*set_timeouts)(SerialPort* port);
  // Releases the device. The caller then invalidates the handle.
  void (*close)(SerialPort* port);
  // Writes count bytes and returns when they have left. 0 or OS error code.
  // A device that takes nothing for port->writeStallMs ends the write with
  // port->failure SERIAL_FAIL_WRITE_STALLED and sets port->writeStalled;
  // while that is set, a write that the device takes nothing of ends at
  // once. A stop request (common/stop.h) ends a write that waits for the
  // device.
  int (*write)(SerialPort* port, const uint8_t* data, int count);
  // Reads up to count bytes, returning within about 2 ms with what arrived:
  // the number of bytes, 0 on silence or failure.
  int (*read)(SerialPort* port, uint8_t* data, int count);
  // DTR asserted (on) or deasserted. Refusals are ignored by the caller.
  void (*set_dtr)(SerialPort* port, bool on);
  // RTS handshake flow control on, or RTS deasserted without flow control.
  void (*set_rts_handshake)(SerialPort* port, bool on);
  // CTS output flow control. 0 if the state can't be read, else nonzero on
  // success and 0 when the change was refused.
  int (*set_cts_flow)(SerialPort* port, bool on);
  // Modem status bits 0x10 CTS, 0x20 DSR, 0x40 RING, 0x80 RLSD (DCD);
  // -1 when the device can't report them (it has no modem lines).
  int (*modem_status)(SerialPort* port);
  // Waits up to ms milliseconds, returning early (1) as soon as input is
  // waiting to be read; 0 after the whole wait. Reads nothing. A backend
  // that can't watch its input simply waits the whole time.
  int (*wait_input)(SerialPort* port, int ms);
  // Sends a break (the line held at space for a quarter second or so).
  void (*send_break)(SerialPort* port);
  // The RTS line asserted (on) or deasserted, without RTS flow control.
  void (*set_rts)(SerialPort* port, bool on);
  // True while a device of this name exists (whether or not it would open).
  bool (*present)(SerialPort* port, const char* device);
};

// The read, write and input-wait functions of a backend set port->lost when
// the device went away under them (a hang-up, or an I/O error of a device
// that is gone, as when a USB serial adapter is unplugged).

constexpr intptr_t kInvalidHandle = -1;

// Every read returns within this many milliseconds with what has arrived.
constexpr int kSerialReadTimeoutMs = 2;
// A write gives up once the device has taken nothing for this long (a board
// that holds the line with flow control, or one that crashed).
constexpr int kSerialWriteStallMs = 10000;

// Modem status bits returned by serial_modem_status.
constexpr int MS_CTS = 0x10;
constexpr int MS_DSR = 0x20;
constexpr int MS_RING = 0x40;
constexpr int MS_RLSD = 0x80;

// Parity codes, in the Win32 numbering.
constexpr int kParityNone = 0;
constexpr int kParityOdd = 1;
constexpr int kParityEven = 2;

// Longest settings string accepted ("115200,8,N,1" and the like).
constexpr size_t kMaxSettingsLength = 51;
// Longest baud text that fits with the ",8,N,1" that stoker and the toolkit
// put behind it.
constexpr size_t kMaxBaudLength = kMaxSettingsLength - (sizeof(",8,N,1") - 1);

// Why the last serial_open, serial_configure or serial_write failed, kept
// apart from the OS error code.
enum SerialFailure : int32_t {
  SERIAL_FAIL_NONE = 0,
  SERIAL_FAIL_SETTINGS = 1,       // the settings string is malformed (result 1)
  SERIAL_FAIL_DEVICE = 2,         // the device can't be opened (OS error)
  SERIAL_FAIL_REFUSED = 3,        // the device refused the settings (OS error)
  SERIAL_FAIL_WRITE_STALLED = 4,  // a write gave up: nothing taken for writeStallMs
  SERIAL_FAIL_WRITE = 5,          // a write failed otherwise (OS error)
};

// What came of the request for low latency made when a port opens (USB
// serial adapters otherwise hold received bytes for their latency timer).
enum SerialLowLatency : int8_t {
  SERIAL_LOW_LATENCY_UNAVAILABLE = 0,  // the platform has no such request
  SERIAL_LOW_LATENCY_SET = 1,          // set now; the old flags return on close
  SERIAL_LOW_LATENCY_ALREADY = 2,      // the device had it on already
  SERIAL_LOW_LATENCY_REFUSED = 3,      // the device refused (lowLatencyError)
};

struct SerialPort {
  intptr_t handle = kInvalidHandle;  // fd or HANDLE; invalid while closed
  int32_t charDelay = 0;             // ms before every byte of serial_put
  uint8_t isOpen = 0;
  int32_t baud = 0;
  int32_t portNumber = 0;
  int32_t stopBits = 0;
  int32_t dataBits = 0;
  int32_t parity = kParityNone;
  // nullptr selects the platform backend.
  const SerialBackend* backend = nullptr;
  // Backend-private state (the fake port's, for instance).
  void* user = nullptr;
  // Output written but not yet known to have left (POSIX backend): the next
  // read or input wait first waits until it has.
  uint8_t outputPending = 0;
  // Kind and OS error code of the last failed open, configure or write.
  SerialFailure failure = SERIAL_FAIL_NONE;
  int32_t osError = 0;
  // How long a write may wait for a device that takes nothing.
  int32_t writeStallMs = kSerialWriteStallMs;
  // Set when a write gave up, cleared when the device takes a byte again:
  // the next writes then wait no longer (the device has had its time), so
  // callers that send on after a failed write are not held up again and
  // again.
  uint8_t writeStalled = 0;
  // The device went away while open (set by the backend); cleared by the
  // next open.
  uint8_t lost = 0;
  // The wire trace (serial/trace.h), not owned: every operation is recorded
  // there while it is set. nullptr: no trace, and nothing is spent on one.
  SerialTrace* trace = nullptr;
  // The low-latency request of the last open, its OS error when refused, and
  // the device's own flags to put back on close (POSIX backend).
  SerialLowLatency lowLatency = SERIAL_LOW_LATENCY_UNAVAILABLE;
  int32_t lowLatencyError = 0;
  int32_t savedDeviceFlags = 0;
};

// The backend of the build platform.
const SerialBackend* serial_platform_backend();

// Device path of port number n: "//./COMn" on Windows, /dev/ttyS(n-1) on
// POSIX.
std::string serial_device_name(int n);

// Opens port number n (see serial_device_name) with a settings string
// "baud,databits,parity,stopbits". Returns 0, 1 for a malformed settings
// string, or the OS error code of the step that failed. Waits 500 ms after a
// successful open so that nothing is sent before the line has settled.
int serial_open(SerialPort* port, int n, const char* settings);
// As serial_open, with the device named by its path.
int serial_open_device(SerialPort* port, const char* device, const char* settings);
// As serial_open_device, without the settling wait: for a port that was in
// use a moment ago and has come back (unplugged and plugged in again).
int serial_reopen_device(SerialPort* port, const char* device, const char* settings);
// True while a device of this name exists, as the record's backend sees it
// (whether or not it would open).
bool serial_device_present(SerialPort* port, const char* device);
// 1 when the open port's device went away (see SerialBackend), else 0.
int serial_lost(const SerialPort* port);
// Parses the settings string into the record and, when a device is open,
// applies it. 0 (also without a device), 1 when the string has fewer than
// four fields or is longer than kMaxSettingsLength, else the OS error code.
int serial_configure(SerialPort* port, const char* settings);
// Closes the device. Later operations on the record fail harmlessly.
void serial_close(SerialPort* port);
// 1 when the port is open; 0 when it is not, or port is null.
int serial_is_open(const SerialPort* port);
// One write of count bytes. 0, or the OS error code (also when not open);
// a failed write leaves its kind in port->failure (SERIAL_FAIL_WRITE_STALLED
// when the device took nothing for writeStallMs, else SERIAL_FAIL_WRITE). A
// stop request ends a write that waits for the device.
int serial_write(SerialPort* port, const void* data, int count);
// One byte, after waiting charDelay ms. As serial_write.
int serial_put(SerialPort* port, uint8_t byte);
// serial_put of each byte of a NUL-terminated text. Always 0.
int serial_put_string(SerialPort* port, const char* text);
// One read of up to count bytes within the read time-out; bytes received.
int serial_read(SerialPort* port, void* buffer, int count);
// 1 and the byte stored through out when one arrived, else 0 (out untouched).
int serial_get(SerialPort* port, uint8_t* out);
// Up to tries reads (1 ms pause after each empty one); 0 tries waits for
// ever. The byte received, or 0 when none came.
int serial_get_wait(SerialPort* port, int tries);
// Up to tries reads, as serial_get_wait, stopping early when a stop is
// requested: true with the byte stored through out, or false (out untouched).
bool serial_get_within(SerialPort* port, int tries, uint8_t* out);
// Waits up to ms milliseconds for input, without reading it: 1 as soon as
// input is waiting, 0 after the whole wait (also on a closed port).
int serial_wait_input(SerialPort* port, int ms);
// Discards input until a read comes back empty.
void serial_drain(SerialPort* port);
// Low 8 bits of the modem status (0 when the port can't report it).
int serial_modem_status(SerialPort* port);
// The modem status into *status; false (nothing stored) when the port is
// closed or has no modem lines to report (a pseudo-terminal).
bool serial_read_modem_status(SerialPort* port, int* status);
// A break on the line; nothing on a closed port.
void serial_send_break(SerialPort* port);
// The RTS line on or off (no flow control); nothing on a closed port.
void serial_set_rts(SerialPort* port, uint8_t on);
int serial_set_dtr(SerialPort* port, uint8_t on);
int serial_set_rts_handshake(SerialPort* port, uint8_t on);
int serial_set_cts_flow(SerialPort* port, uint8_t on);
int serial_set_char_delay(SerialPort* port, int ms);

// For the trace's record of a wait that ended without what it waited for:
// the wait's start (0 without a trace), then, when it timed out, one line
// saying how long it took.
int64_t serial_trace_wait_start(const SerialPort* port);
void serial_trace_wait_timed_out(SerialPort* port, int64_t start);

// What the device itself is, whatever name reached it: two names of one
// port (a link and its target, /dev/ttyUSB0 and its /dev/serial/by-id name;
// COM3, //./COM3 and //./com3 on Windows) give the same text, two ports
// different ones. A name that names nothing gives its own tidied form.
std::string serial_device_identity(const std::string& device);

// Error code returned by I/O on a record that is not open.
int serial_not_open_error();

// Opens the device exclusively, exactly as serial_open does, without
// configuring it, and closes it again at once. 0 when it opened (it exists
// and nobody, this process included, holds it), else the OS error code.
int serial_probe_device(const char* device);

// The OS handle a caller may wait on for input from the open port (a file
// descriptor on POSIX), or kInvalidHandle when the port is closed or its
// backend is not the platform's (a test fake).
intptr_t serial_wait_handle(const SerialPort* port);

// One line naming the likely cause of a failed serial_open and its remedy
// (no such device; busy, held by another program; permission denied).
// nullptr when the code has no particular advice.
const char* serial_open_hint(int error);

// What went wrong in the last failed serial_write of the record, as a few
// words for the user: "the port took no data for 10 s", or the OS error.
std::string serial_write_failure_text(const SerialPort* port);

// What went wrong in the last failed serial_open of the record, as one line
// for the user: the settings (malformed, or refused by the device) or the
// device (with serial_open_hint's advice, else the OS error code).
std::string serial_open_failure_text(const SerialPort* port, const char* settings);
