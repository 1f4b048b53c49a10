// The download driver: reset and handshake with the boot loader, image
// preparation and sizing, dispatch to the loader's protocol.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/common.h"
#include "serial/serial.h"

// One transfer's job. The front end fills path, port, eraseAll, flashStart,
// flashSize, verbose and eraseDelay; the driver sets blockSize, imageSize and
// blockCount. The toolkit transfers use send and toFile.
struct DownloadJob {
  const char* path = nullptr;
  SerialPort* port = nullptr;
  const char* send = nullptr;
  uint32_t eraseAll = 0;
  int32_t flashStart = 0;
  int32_t flashSize = 0;
  int32_t blockSize = 0;
  int32_t imageSize = 0;
  uint32_t blockCount = 0;
  int32_t toFile = 0;
  uint32_t verbose = 0;
  int32_t eraseDelay = 0;
};

// Result codes of the download.
enum DownloadResult : int {
  RESULT_OK = 0,
  RESULT_FILE_UNREADABLE = 1,
  RESULT_NO_ERASE_REPLY = 2,
  RESULT_ABORTED = 4,
  RESULT_PORT_CLOSED = 5,
  RESULT_NOT_DETECTED = 6,
  RESULT_NO_SUB_VERSION = 7,
  RESULT_ERASE_REFUSED = 8,
  RESULT_NO_ACK = 9,
  RESULT_NO_MEMORY = 10,
  RESULT_HEX_ERROR = 11,
  RESULT_IMAGE_TOO_LARGE = 12,
  RESULT_XMODEM_NO_REPLY = 21,
  RESULT_XMODEM_BAD_REPLY = 22,
  RESULT_XMODEM_TOO_MANY_NAKS = 23,
  RESULT_XMODEM_CANCELLED = 26,
};

// One line of explanation for a result code, for messages beside the code.
const char* result_text(int code);

// Bytes of one block of the block download; the image buffer has this much
// room after the flash window, so the last block never reads past it.
constexpr int kBlockBytes = 2000;
// Largest data record of an Intel HEX file. A HEX record that starts at the
// top of the flash window is stored whole, so the buffer has this much room
// beyond flashSize + kBlockBytes as well.
constexpr int kHexMaxRecordBytes = 255;
// What an erased flash holds: the value of image bytes that no record sets.
constexpr uint8_t kErasedByte = 0xFF;

// The image buffer for a flash of flashSize bytes: the flash window, one HEX
// record beyond it and a whole block after that, all erased (0xFF) so that
// gaps and the tail of the last block are defined. Empty when it can't be
// allocated.
std::vector<uint8_t> image_buffer(int32_t flashSize);

// Downloads the job's image to a generation 2 or 3 boot loader. A silent
// target is reported and refused with RESULT_NOT_DETECTED.
int download(DownloadJob* job, ProgressFn progress);
// As download, but a silent (generation 1) loader gets the XMODEM-1K path.
int download_any_generation(DownloadJob* job, ProgressFn progress);

// Resets the target through DTR, sends the entry byte and returns the
// loader's generation: 2 ('D'), 3 ('E') or 1 (no answer).
int boot_start(DownloadJob* job);

// Reply waits. Each try is one serial_get (up to 2 ms).
// Any byte within 200 tries (1 ms pause after an empty one).
bool get_reply(DownloadJob* job, uint8_t* byte);
// 1 when `value` arrives within 200 tries (5 ms pause after any other try).
int waitfor(DownloadJob* job, uint8_t value);
// The first received non-NUL byte that occurs in `set`, within 200 tries
// (5 ms pause after any other try); 0 when none came.
int waitforS(DownloadJob* job, const char* set);

// Upper-cased text after the last '.' of the path, "" when there is none.
std::string file_extension(std::string_view path);
// True when the path names an Intel HEX file: "HEX" occurs in its extension.
bool is_hex_path(std::string_view path);

// Sizing: blockCount is the smallest n from 1 up with size / n <= 65000.
void size_image(DownloadJob* job, int32_t size);
