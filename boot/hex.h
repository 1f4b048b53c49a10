// Intel HEX loader: turns a HEX file into the flat image of the flash window.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string_view>
#include <vector>

// Results of hex_to_image.
constexpr int HEX_OK = 0;
// A record with a wrong checksum, or the file ended before an end record.
constexpr int HEX_BAD_RECORD = 20;
// No data record landed inside the flash window: nothing to program.
constexpr int HEX_NO_DATA = 24;

// Converts the HEX text into `image`, where byte k holds flash address
// flashStart + k. `image` must hold flashSize bytes: only the window
// [flashStart, flashStart + flashSize) is stored (records starting outside it
// are skipped, the bytes of a record at or above its top dropped). Bytes that
// no record sets are left as they are. *actualSize is the offset of the
// highest stored byte plus 1 (0 when nothing was stored), never more than
// flashSize. A record with a wrong checksum (type 4 included, and the count-0
// record that ends the data) or input that ends before the end record gives
// HEX_BAD_RECORD. Returns a HEX_ result.
int hex_to_image_text(std::string_view text, uint32_t flashStart, uint32_t flashSize,
                      uint8_t* image, int* actualSize);
// As hex_to_image_text, reading the open file from its current position, in
// pieces, up to the end record (or the record that fails). A read error gives
// HEX_BAD_RECORD. Does not close the file.
int hex_to_image(FILE* file, uint32_t flashStart, uint32_t flashSize, uint8_t* image,
                 int* actualSize);
// As hex_to_image, with pieces of pieceBytes (at least 64) instead of the
// usual 256 KiB, so that tests and the fuzzer reach records cut at a piece
// boundary.
int hex_to_image_pieces(FILE* file, uint32_t flashStart, uint32_t flashSize, uint8_t* image,
                        int* actualSize, size_t pieceBytes);

// Further results of hex_file_to_image.
constexpr int HEX_FILE_UNREADABLE = 1;  // the file can't be opened or isn't a regular file
constexpr int HEX_NO_MEMORY = 10;       // no image buffer for flashSize bytes

// The HEX file at path converted as the download converts it: into a fresh
// image buffer (image_buffer: erased 0xFF, room for the last block), filled
// by hex_to_image. *image receives the buffer, *actualSize the image size.
// Returns a HEX_ result.
int hex_file_to_image(const char* path, uint32_t flashStart, int32_t flashSize,
                      std::vector<uint8_t>* image, int* actualSize);

// Where hex_read_record reads: the characters from `next` up to `end`.
struct HexCursor {
  const char* next;
  const char* end;
};

// hex_read_record results besides a record's own type byte.
constexpr int HEX_RECORD_END = -2;         // count 0: end of data
constexpr int HEX_RECORD_BAD = -1;         // wrong checksum, or input ended
constexpr int HEX_RECORD_UPPER = 4;        // type 4 with a good checksum
constexpr int HEX_RECORD_BAD_UPPER = 255;  // type 4 with a wrong checksum

// Reads the next record, skipping everything before its ':'. A count of 0
// gives HEX_RECORD_END when the rest of the record (address, type, checksum)
// is there and its checksum is right, else HEX_RECORD_BAD.
// Type 4: *address = its two-byte payload (the count is not consulted).
// Other types: returns the type byte with *address = the address field,
// data[0 .. *count) = the data bytes. HEX_RECORD_BAD for a wrong checksum
// (type 4 gives HEX_RECORD_BAD_UPPER instead) or when the input ends before
// the ':' or inside the record. `data` holds 255 bytes.
int hex_read_record(HexCursor* cursor, uint32_t* address, uint8_t* data, uint8_t* count);

// Length of an open file in bytes, leaving it positioned at its start; -1
// when the file can't be measured.
long file_length(FILE* file);

// Parses up to 8 hexadecimal digits (no 0x prefix). 1 when parsed or empty
// (value unchanged when empty), 2 when longer than 8 characters, 4 at a
// character that is not a hexadecimal digit.
int parse_hex(const char* text, uint32_t* value);
