// The wire trace: every operation on a port, in order, with the time since
// the port was opened, written to a file as it happens. The port layer
// writes it when a trace is set on the port (SerialPort::trace); the
// simulated board writes the same lines for its side of the line.
//
//      0.000000 open  /dev/ttyUSB0 115200,8,N,1
//      0.500213 dtr   on
//      0.700452 tx    1  5c                                   |\|
//      1.201077 rx    1  45                                   |E|
//
// Bytes go twelve to a line, in hex and as text ('.' for what does not
// print); a longer run goes on in lines of its own, aligned below the first.
//
// The lines reach the file as they are made, through a buffer: lines of
// bytes within 10 ms (sooner once 64 KiB have gathered), every other line
// (open, close, line changes, time-outs) at once, so a crash or Ctrl-C
// leaves all but the last few milliseconds.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

struct SerialTrace;

// Ends a trace that was not finished (see serial_trace_finish).
struct SerialTraceCloser {
  void operator()(SerialTrace* trace) const;
};
using SerialTracePtr = std::unique_ptr<SerialTrace, SerialTraceCloser>;

// Bytes shown on one trace line.
constexpr int kTraceBytesPerLine = 12;

// Creates the trace file at path as every output is created (common/file.h:
// through a temporary beside it, renamed into place when the trace is
// finished; a device such as /dev/stderr is written in place). Null with
// *error set when it cannot be created.
SerialTracePtr serial_trace_create(const std::string& path, std::string* error);

// Writes what is left and puts the file in place. False with *error when a
// write failed (what the path named before is then left as it was).
bool serial_trace_finish(SerialTracePtr trace, std::string* error);

// Drops a trace that is not wanted after all (its run never began): the
// file is not created, and what the path named before stays as it was.
void serial_trace_discard(SerialTracePtr trace);

// Microseconds since the first open line (0 before it).
int64_t serial_trace_now_us(const SerialTrace* trace);

// "open  <device> <settings>". The first one starts the trace's clock.
void serial_trace_open(SerialTrace* trace, const char* device, const char* settings);
// "<kind> <count>  <hex>  |<text>|", wrapped after kTraceBytesPerLine bytes.
void serial_trace_bytes(SerialTrace* trace, const char* kind, const uint8_t* data, int count);
// The same, for bytes that went at timeUs (serial_trace_now_us): a write is
// written down after it, so that the bytes leave first.
void serial_trace_bytes_at(SerialTrace* trace, int64_t timeUs, const char* kind,
                           const uint8_t* data, int count);
// "<kind> <text>".
void serial_trace_text(SerialTrace* trace, const char* kind, const std::string& text);
// "wait  timed out after <ms> ms": a wait that began at sinceUs ended empty.
void serial_trace_timeout(SerialTrace* trace, int64_t sinceUs);
// The port found nothing to read: lines that have waited 10 ms go out now,
// so a program that then waits long has its trace in the file.
void serial_trace_quiet(SerialTrace* trace);
// Every line made so far goes to the file now.
void serial_trace_flush(SerialTrace* trace);

// The lines serial_trace_bytes writes, for tests and tools: time in
// microseconds, kind, bytes.
std::string serial_trace_format_bytes(int64_t timeUs, const char* kind, const uint8_t* data,
                                      int count);
