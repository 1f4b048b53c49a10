// A scripted generation 2/3 boot loader on a FakePort: answers the entry byte
// with its generation letter every 50 ms until 'v', then the sub-version,
// takes the 4-byte size, answers the erase and ACKs each 2000-byte block.
#pragma once

#include <cstdint>
#include <vector>

#include "tests/support/fake_port.h"

struct FakeLoader {
  char letter = 'E';               // 'D' generation 2, 'E' generation 3, 0 silent
  int subVersion = 3;              // -1: no answer to 'v'
  int eraseReply = 0x06;           // -1: no answer after the size
  int ackBlocks = 1 << 30;         // blocks to ACK before falling silent
  std::vector<uint8_t> beforeAck;  // noise sent before each ACK

  // What the loader saw.
  std::vector<uint8_t> sizeBytes;
  std::vector<uint8_t> blockBytes;
  int blocks = 0;

  void attach(FakePort& fake) {
    fake.onWrite = [this](FakePort& f, const std::vector<uint8_t>& bytes) {
      for (uint8_t b : bytes) take(f, b);
    };
  }

 private:
  enum Phase { WaitEntry, Answering, Size, Blocks } phase_ = WaitEntry;

  void take(FakePort& f, uint8_t b) {
    switch (phase_) {
      case WaitEntry:
        if (b != 0x5C) return;
        phase_ = Answering;
        // The letter every 50 ms for two seconds (the host sends 'v' well
        // before they run out; the leftovers show up before the sub-version).
        if (letter != 0)
          for (int i = 1; i <= 40; ++i) f.send(std::vector<uint8_t>{uint8_t(letter)}, 50.0 * i);
        return;
      case Answering:
        if (b != 'v') return;
        phase_ = Size;
        f.cancel_future();
        if (subVersion >= 0) f.send(std::vector<uint8_t>{uint8_t(subVersion)});
        return;
      case Size:
        sizeBytes.push_back(b);
        if (sizeBytes.size() < 4) return;
        phase_ = Blocks;
        if (eraseReply >= 0) f.send(std::vector<uint8_t>{uint8_t(eraseReply)});
        return;
      case Blocks:
        blockBytes.push_back(b);
        if (blockBytes.size() % 2000 != 0) return;
        ++blocks;
        if (blocks > ackBlocks) return;
        if (!beforeAck.empty()) f.send(beforeAck);
        f.send(std::vector<uint8_t>{0x06});
        return;
    }
  }
};
