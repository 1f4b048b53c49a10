// A generation 2/3 boot loader behind an in-memory port, in real time, for
// tests of downloads that run at once on several threads. Unlike FakePort it
// installs no process-wide clock: each board is touched only by the thread
// of its own download (and by the test once that has ended).
//
// After the entry byte it sends its generation letter every 50 ms until
// 'v', then the sub-version; it answers the 4-byte size with ACK and ACKs
// each 2000-byte block, ackDelayMs after it.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <vector>

#include "serial/serial.h"

struct MemoryBoard {
  char letter = 'E';  // 'D' generation 2, 'E' generation 3
  int subVersion = 3;
  int ackBlocks = 1 << 30;  // blocks ACKed before it falls silent
  int ackDelayMs = 0;       // from a block to its ACK
  int openError = 0;        // the device refuses to open with this error
  // Called after each whole block it took (a test may request a stop).
  std::function<void(MemoryBoard&)> onBlock;

  // What it saw.
  std::vector<uint8_t> blockBytes;
  int blocks = 0;
  int opens = 0;
  int closes = 0;
  bool isOpen = false;

  // The backend behind every MemoryBoard; a port's user is its board.
  static const SerialBackend* backend();

  // Backend entry points.
  void take(uint8_t byte);
  int read_byte(uint8_t* byte);
  int wait_input(int ms);

 private:
  using Clock = std::chrono::steady_clock;
  enum Phase { WaitEntry, Answering, Size, Blocks } phase_ = WaitEntry;
  Clock::time_point entered_;
  int lettersSent_ = 0;
  int sizeBytes_ = 0;
  struct Reply {
    Clock::time_point at;
    uint8_t byte;
  };
  std::deque<Reply> replies_;

  // When the next byte is readable (now when one is); false when none is
  // coming.
  bool next_byte_at(Clock::time_point* at) const;
};
