// Files: an open C stream that closes itself, and writing an output file
// without ever destroying what the path named before.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
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

// An output written as it goes, that replaces what its path named only once
// it is complete, as write_file_replacing does: the bytes go to a temporary
// file beside the target (the end of a chain of symbolic links), renamed
// into place by output_commit; a device or a FIFO is written in place. A
// process that ends before the commit leaves the temporary with what was
// written so far, and the target as it was.
struct OutputFile {
  FilePtr file;                   // write through this until output_commit
  std::filesystem::path target;   // what the path finally names
  std::filesystem::path written;  // where the bytes go: a temporary, or target
  bool inPlace = false;           // a device or FIFO, written directly
  bool keepMode = false;          // target existed: the output takes its mode
  std::filesystem::perms mode = std::filesystem::perms::none;
};

// Creates the output for path. False with *error saying what failed;
// nothing is created then.
bool output_create(const std::string& path, OutputFile* out, std::string* error);

// Closes the output. When complete is true and every write reached the file,
// the temporary is renamed into place and the result is true. Otherwise the
// temporary is removed, the target left as it was, and the result is false
// with *error saying what failed (empty when complete was false and nothing
// else went wrong).
bool output_commit(OutputFile* out, bool complete, std::string* error);

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
