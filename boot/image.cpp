#include "boot/image.h"

#include <cstddef>
#include <new>

std::vector<uint8_t> image_buffer(int32_t flashSize) {
  if (flashSize < 0) return {};
  const size_t bytes = static_cast<size_t>(flashSize) + kBlockBytes;
  try {
    return std::vector<uint8_t>(bytes, kErasedByte);
  } catch (const std::bad_alloc&) {
    return {};
  }
}
