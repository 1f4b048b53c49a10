#include "tests/support/memory_board.h"

#include <algorithm>
#include <thread>

namespace {

constexpr uint8_t kEntryByte = 0x5C;
constexpr uint8_t kAck = 0x06;
constexpr int kLetters = 40;
constexpr auto kLetterPeriod = std::chrono::milliseconds(50);
constexpr size_t kBlockBytes = 2000;

MemoryBoard* board_of(SerialPort* port) {
  return static_cast<MemoryBoard*>(port->user);
}

int board_open(SerialPort* port, const char*) {
  MemoryBoard* board = board_of(port);
  if (board->openError != 0) return board->openError;
  ++board->opens;
  board->isOpen = true;
  port->handle = 1;
  return 0;
}

int no_error(SerialPort*) {
  return 0;
}

void board_close(SerialPort* port) {
  ++board_of(port)->closes;
  board_of(port)->isOpen = false;
}

int board_write(SerialPort* port, const uint8_t* data, int count) {
  for (int i = 0; i < count; ++i) board_of(port)->take(data[i]);
  return 0;
}

int board_read(SerialPort* port, uint8_t* data, int count) {
  return count > 0 ? board_of(port)->read_byte(data) : 0;
}

void no_line(SerialPort*, bool) {}

int no_cts(SerialPort*, bool) {
  return 1;
}

int no_modem_lines(SerialPort*) {
  return -1;
}

int board_wait_input(SerialPort* port, int ms) {
  return board_of(port)->wait_input(ms);
}

void no_break(SerialPort*) {}

bool always_present(SerialPort*, const char*) {
  return true;
}

constexpr SerialBackend kBackend = {
    board_open, no_error, no_error,       board_close,      board_write, board_read, no_line,
    no_line,    no_cts,   no_modem_lines, board_wait_input, no_break,    no_line,    always_present,
};

}  // namespace

const SerialBackend* MemoryBoard::backend() {
  return &kBackend;
}

void MemoryBoard::take(uint8_t byte) {
  const Clock::time_point now = Clock::now();
  switch (phase_) {
    case WaitEntry:
      if (byte != kEntryByte) return;
      phase_ = Answering;
      entered_ = now;
      lettersSent_ = 0;
      return;
    case Answering:
      if (byte != 'v') return;
      phase_ = Size;
      if (subVersion >= 0) replies_.push_back({now, static_cast<uint8_t>(subVersion)});
      return;
    case Size:
      if (++sizeBytes_ < 4) return;
      phase_ = Blocks;
      replies_.push_back({now, kAck});  // the erase is done
      return;
    case Blocks:
      blockBytes.push_back(byte);
      if (blockBytes.size() % kBlockBytes != 0) return;
      ++blocks;
      if (blocks <= ackBlocks)
        replies_.push_back({now + std::chrono::milliseconds(ackDelayMs), kAck});
      if (onBlock) onBlock(*this);
      return;
  }
}

bool MemoryBoard::next_byte_at(Clock::time_point* at) const {
  if (!replies_.empty()) {
    *at = replies_.front().at;
    return true;
  }
  if (phase_ != Answering || lettersSent_ >= kLetters) return false;
  *at = entered_ + kLetterPeriod * (lettersSent_ + 1);
  return true;
}

int MemoryBoard::read_byte(uint8_t* byte) {
  // A read returns within 2 ms with what has arrived, as the real ports do.
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(2);
  Clock::time_point at;
  if (!next_byte_at(&at) || at > deadline) {
    std::this_thread::sleep_until(deadline);
    return 0;
  }
  std::this_thread::sleep_until(at);
  if (!replies_.empty()) {
    *byte = replies_.front().byte;
    replies_.pop_front();
  } else {
    *byte = static_cast<uint8_t>(letter);
    ++lettersSent_;
  }
  return 1;
}

int MemoryBoard::wait_input(int ms) {
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(std::max(ms, 0));
  Clock::time_point at;
  if (next_byte_at(&at) && at <= deadline) {
    std::this_thread::sleep_until(at);
    return 1;
  }
  std::this_thread::sleep_until(deadline);
  return 0;
}
