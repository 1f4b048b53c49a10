// Files: an open C stream that closes itself, and writing an output file
// without ever destroying what the path named before.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

struct FileCloser {
  void operator()(FILE* file) const { std::fclose(file); }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;

// Opens path for reading ("rb") when it names a regular file. Anything else
// (a directory, a FIFO, a device) is refused without being opened, so this
// never blocks. Null when refused or when the open fails; then *why (when
// given) says why: "not a regular file", or the system's reason.
FilePtr open_regular_file(const char* path, std::string* why = nullptr);

// Writes size bytes to path. A regular file (or a path that does not exist
// yet) is written through a temporary file beside it that is renamed into
// place, so a failed write leaves the old file as it was and nothing behind;
// a symbolic link is followed and its target replaced. Any other kind of
// file (a device, a FIFO) is written in place and never removed. True on
// success; otherwise false with *error saying what failed.
bool write_file_replacing(const std::string& path, const void* data, size_t size,
                          std::string* error);

// Writes what `write` puts into the stream it is given (false from it: the
// output is unusable), to path as write_file_replacing does: an existing
// regular file is replaced only once the whole output is written.
using FileWriter = std::function<bool(FILE* file)>;
bool write_file_replacing_with(const std::string& path, const FileWriter& write,
                               std::string* error);

// The length of a seekable stream, which is left at its start. False for a
// stream that can't seek (a pipe).
bool stream_length(FILE* file, int64_t* length);

// Appends what is left of the stream, to its end or a read error, to
// *bytes. May throw std::bad_alloc.
void read_rest(FILE* file, std::vector<uint8_t>* bytes);
