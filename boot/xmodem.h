// XMODEM-1K download for the generation-1 boot loader: an erase-size
// character, then 1024-byte packets with a CRC-16, each answered with ACK or
// NAK, closed by two EOT bytes.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "boot/download.h"

// Bytes of data in one packet.
constexpr int kXmodemPacketBytes = 1024;
// Resends of one packet the sender allows before it gives up.
constexpr int kXmodemMaxResends = 10;
// The receiver's request to start in CRC mode.
constexpr uint8_t XMODEM_CRC_REQUEST = 'C';

// CRC-16/XMODEM table: entry i is i << 8 after eight steps of the
// most-significant-bit-first shift register with polynomial 0x1021.
constexpr std::array<uint16_t, 256> make_crc16_table() {
  std::array<uint16_t, 256> table{};
  for (int i = 0; i < 256; ++i) {
    uint16_t crc = static_cast<uint16_t>(i << 8);
    for (int bit = 0; bit < 8; ++bit) {
      const bool top = (crc & 0x8000) != 0;
      crc = static_cast<uint16_t>(crc << 1);
      if (top) crc ^= 0x1021;
    }
    table[i] = crc;
  }
  return table;
}
inline constexpr std::array<uint16_t, 256> crc16_table = make_crc16_table();

// Feeds one data byte into the running CRC (initial value 0) and returns the
// new CRC.
constexpr uint16_t crc16_update(uint16_t crc, uint8_t byte) {
  return static_cast<uint16_t>((crc << 8) ^ crc16_table[((crc >> 8) ^ byte) & 0xFF]);
}

// The erase-size character for the job: 'd' when eraseAll is set, else 'a',
// 'b', 'c' or 'd' by imageSize (up to 32768, 98304, 229376, above).
char erase_size_char(const DownloadJob* job);

// Tells the loader how much flash to erase, waits 1000 ms for the erase, then
// runs xmodem_download. Takes the image buffer and releases it on return.
int gen1_download(DownloadJob* job, std::vector<uint8_t> image, ProgressFn progress);
// The same over a buffer that it only reads.
int gen1_download(DownloadJob* job, ImageView image, ProgressFn progress);

// Sends the first imageSize bytes of `image` as 1024-byte packets after two
// start requests from the receiver, then two EOT bytes. The last packet
// carries the buffer bytes that follow the image, so `image` must hold
// imageSize rounded up to 1024 bytes. Releases the buffer on return.
// Result 0, 4 (progress aborted), 6 (no start request), 12 (buffer shorter
// than the packets), 21 (no reply), 22 (reply neither ACK nor NAK), 23 (too
// many NAKs) or 26 (cancelled).
int xmodem_download(DownloadJob* job, std::vector<uint8_t> image, ProgressFn progress);
// The same over a buffer that it only reads.
int xmodem_download(DownloadJob* job, ImageView image, ProgressFn progress);

// Drains the input and waits up to 1000 reads for the receiver's 'C'.
// 0 on 'C'; 26 on CAN (answered with ACK and three CAN); 6 otherwise.
int xmodem_start(DownloadJob* job);

// Sends one packet: STX, number, 255 - number, the 1024 bytes at `data`, the
// CRC high byte then low byte.
void xmodem_send_packet(DownloadJob* job, const uint8_t* data, uint8_t number);
