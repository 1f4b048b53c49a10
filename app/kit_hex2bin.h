// The hex2bin operation of stoker-kit: an Intel HEX file converted to the
// flat image that the download sends.
#pragma once

#include <cstdint>
#include <string>

// Parses a flash start address: hexadecimal digits, a leading 0x or 0X
// accepted, nothing else before or after, at most 32 bits. On failure returns
// false and sets *error to a message.
bool parse_flash_start(const std::string& text, uint32_t* value, std::string* error);

// Parses a flash size in KiB: decimal digits only, at least 1, and a byte count
// (KiB * 1024) that fits a 32-bit signed int. On failure returns false and
// sets *error to a message.
bool parse_flash_size_k(const std::string& text, int32_t* bytes, std::string* error);

// Converts the HEX file `input` as the download does (hex_file_to_image: an
// image buffer filled with the erased value 0xFF, then the conversion of the
// window) and writes the image's actualSize bytes to `output` through
// write_file_replacing. Returns the exit status: 0 with a summary line in
// *message, or 1 (input unreadable, output unwritable), 10 (no memory),
// HEX_BAD_RECORD or HEX_NO_DATA with an error message. A failure never
// changes or removes what `output` named before.
int hex2bin(const std::string& input, const std::string& output, uint32_t flashStart,
            int32_t flashSize, std::string* message);
