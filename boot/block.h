// Block download for generation 2 and 3 boot loaders.
#pragma once

#include <cstdint>
#include <vector>

#include "boot/download.h"

// Asks for the loader's sub-version; 0 when none was obtained.
int get_sub_version(DownloadJob* job);

// Sends the image (the first imageSize bytes of `image`, which holds at least
// imageSize + kBlockBytes bytes) in 2000-byte blocks. Takes the buffer and
// releases it on return. Result 0, 2, 4, 7, 8 or 9.
int block_download(DownloadJob* job, std::vector<uint8_t> image, ProgressFn progress);
// The same over a buffer that it only reads.
int block_download(DownloadJob* job, ImageView image, ProgressFn progress);
