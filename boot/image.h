// The image buffer of the download: the flash window and room for the last
// block after it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// Bytes of one block of the block download; the image buffer has this much
// room after the flash window, so the last block never reads past it.
constexpr int kBlockBytes = 2000;
// What an erased flash holds: the value of image bytes that no record sets.
constexpr uint8_t kErasedByte = 0xFF;

// The image buffer for a flash of flashSize bytes: the flash window and a
// whole block after it, all erased (0xFF) so that gaps and the tail of the
// last block are defined. Empty when it can't be allocated (or flashSize is
// negative).
std::vector<uint8_t> image_buffer(int32_t flashSize);

// Bytes of an image buffer that a protocol reads and never changes: one
// buffer may serve several downloads at once.
struct ImageView {
  const uint8_t* data = nullptr;
  size_t size = 0;
};

inline ImageView image_view(const std::vector<uint8_t>& buffer) {
  return {buffer.data(), buffer.size()};
}
