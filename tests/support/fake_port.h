// An in-memory port on a virtual clock, for protocol tests. It records every
// byte the host writes and every line change with its time, and plays a
// scripted target: the test's on_write answers by queueing bytes that become
// readable at given times. While a FakePort exists, delay_ms advances its
// virtual clock instead of sleeping, so tests of long pauses run at once,
// and deadlines (common/deadline.h) read that clock.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "common/deadline.h"
#include "serial/serial.h"

struct FakeEvent {
  enum Kind { Write, Dtr, Rts, Cts, Close, Break, RtsLine } kind;
  int64_t timeUs;              // virtual time when it happened
  std::vector<uint8_t> bytes;  // Write: the bytes
  bool on = false;             // Dtr, Rts, Cts, RtsLine: the new state
};

class FakePort {
 public:
  FakePort();
  ~FakePort();
  FakePort(const FakePort&) = delete;
  FakePort& operator=(const FakePort&) = delete;

  // The port record wired to this fake; opened by open().
  SerialPort port;

  // Opens the record through serial_open_device (takes the 500 ms settle).
  int open(const char* settings = "115200,8,N,1");

  // Virtual time in microseconds / milliseconds since construction.
  int64_t now_us() const { return nowUs_; }
  double now_ms() const { return static_cast<double>(nowUs_) / 1000.0; }

  // The target sends these bytes, readable from now + delayMs on.
  void send(const std::vector<uint8_t>& bytes, double delayMs = 0);
  void send(const std::string& text, double delayMs = 0);
  // Drops queued bytes that have not arrived yet (the target stops sending).
  void cancel_future();
  // Bytes queued but not yet read by the host.
  size_t pending() const { return incoming_.size(); }

  // Called after each host write with the bytes written (time already
  // advanced by their wire time).
  std::function<void(FakePort&, const std::vector<uint8_t>&)> onWrite;
  // Called on each DTR change.
  std::function<void(FakePort&, bool)> onDtr;
  // Called at the start of each host read (a test may request a stop there).
  std::function<void(FakePort&)> onRead;
  // Called at the start of each try to open the device.
  std::function<void(FakePort&)> onOpen;

  // Everything that happened, in order.
  std::vector<FakeEvent> events;
  // All bytes written by the host, concatenated.
  std::vector<uint8_t> written() const;
  // Write events only.
  std::vector<FakeEvent> writes() const;
  // Number of reads the host made, and how many of them came back empty.
  int reads = 0;
  int emptyReads = 0;
  // Successful opens of the device, and the time of every try.
  int opens = 0;
  std::vector<int64_t> openTriesUs;

  // Failure injection for the backend calls. While openError is set the
  // device is also absent (serial_device_present).
  int openError = 0;
  int configureError = 0;
  int writeError = 0;
  // When set, a read hands out only bytes and never waits (a vanished port).
  bool deadLine = false;
  // When set, the device has gone away: reads and input waits find nothing
  // and writes fail (EIO), each marking the port lost, as the platform
  // backends do. A later open succeeds unless openError says otherwise.
  bool vanished = false;
  // Modem status bits reported by the backend; -1: the port has no modem
  // lines (a pseudo-terminal).
  int modemBits = 0;
  // Wire time per byte written, microseconds; -1 derives it from the baud
  // rate (10 bits per byte), 0 makes writes take no time.
  int64_t usPerByte = 0;

  // Line states as the backend last set them.
  bool dtr = false;
  bool rtsHandshake = false;
  bool rts = false;  // the RTS line (set_rts)
  bool ctsFlow = false;
  // Settings applied by the backend's configure.
  int configuredBaud = 0;

  // Advances the virtual clock (what delay_ms does while the fake exists).
  void advance_ms(int ms) { nowUs_ += static_cast<int64_t>(ms) * 1000; }

  // Backend entry points (used through the SerialBackend table).
  int backend_read(uint8_t* data, int count);
  int backend_write(const uint8_t* data, int count);
  int backend_wait_input(int ms);

 private:
  struct Pending {
    int64_t timeUs;
    uint8_t byte;
  };
  int64_t nowUs_ = 0;
  std::deque<Pending> incoming_;
  void (*previousHook_)(int) = nullptr;
  ClockHook previousClock_ = nullptr;
};
