// Writes N single bytes with serial_put, then makes one read: the one-way
// stream whose drains bench/drain_count.sh counts.
// Usage: drain_stream DEVICE N
#include <cstdio>
#include <cstdlib>

#include "serial/serial.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: drain_stream DEVICE N\n");
    return 2;
  }
  static SerialPort port;
  const int result = serial_open_device(&port, argv[1], "115200,8,N,1");
  if (result != 0) {
    std::fprintf(stderr, "drain_stream: cannot open %s (error %d)\n", argv[1], result);
    return 1;
  }
  const long n = std::strtol(argv[2], nullptr, 10);
  for (long i = 0; i < n; ++i) serial_put(&port, static_cast<uint8_t>(i));
  uint8_t byte = 0;
  serial_read(&port, &byte, 1);
  serial_close(&port);
  return 0;
}
