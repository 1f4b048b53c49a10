#include "common/file.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>

namespace fs = std::filesystem;

namespace {

// The file a chain of symbolic links ends at (the path itself when it is no
// link); the path itself when a link can't be read.
fs::path final_target(const fs::path& path) {
  fs::path current = path;
  for (int hops = 0; hops < 40; ++hops) {
    std::error_code error;
    if (!fs::is_symlink(fs::symlink_status(current, error))) return current;
    const fs::path next = fs::read_symlink(current, error);
    if (error) return current;
    current = next.is_absolute() ? next : current.parent_path() / next;
  }
  return current;
}

// The system's text of an errno value (std::strerror may share one buffer
// between threads: a trace is finished on the thread that wrote it).
std::string reason(int code) {
  return code != 0 ? std::generic_category().message(code) : "write failed";
}

// A name beside target that does not exist yet.
fs::path temporary_beside(const fs::path& target) {
  for (int i = 0;; ++i) {
    fs::path candidate = target;
    candidate += ".part" + std::to_string(i);
    std::error_code error;
    if (!fs::exists(fs::symlink_status(candidate, error))) return candidate;
  }
}

// Flushes and closes the stream; 0 or an errno value.
int close_stream(FilePtr file) {
  errno = 0;
  int code = std::ferror(file.get()) != 0 ? (errno != 0 ? errno : EIO) : 0;
  errno = 0;
  if (std::fclose(file.release()) != 0 && code == 0) code = errno != 0 ? errno : EIO;
  return code;
}

}  // namespace

bool output_create(const std::string& path, OutputFile* out, std::string* error) {
  *out = OutputFile{};
  out->target = final_target(path);
  std::error_code code;
  const fs::file_status status = fs::status(out->target, code);
  out->inPlace = fs::exists(status) && !fs::is_regular_file(status);
  out->keepMode = fs::exists(status) && !out->inPlace;
  out->mode = status.permissions();
  out->written = out->inPlace ? out->target : temporary_beside(out->target);
  out->file.reset(std::fopen(out->written.string().c_str(), "wb"));
  if (out->file) return true;
  *error = std::string(out->inPlace ? "cannot open " : "cannot create ") + out->written.string() +
           ": " + reason(errno);
  return false;
}

bool output_commit(OutputFile* out, bool complete, std::string* error) {
  error->clear();
  const int closed = out->file ? close_stream(std::move(out->file)) : 0;
  if (closed != 0) *error = "cannot write " + out->target.string() + ": " + reason(closed);
  if (out->inPlace) return complete && closed == 0;
  std::error_code code;
  if (complete && closed == 0) {
    if (out->keepMode) fs::permissions(out->written, out->mode, code);
    fs::rename(out->written, out->target, code);
    if (!code) return true;
    *error = "cannot replace " + out->target.string() + ": " + code.message();
  }
  fs::remove(out->written, code);  // ours: created by output_create
  return false;
}

bool write_file_replacing(const std::string& path, const void* data, size_t size,
                          std::string* error) {
  return write_file_replacing_with(
      path,
      [data, size](FILE* file) { return size == 0 || std::fwrite(data, 1, size, file) == size; },
      error);
}

bool write_file_replacing_with(const std::string& path, const FileWriter& write,
                               std::string* error) {
  OutputFile out;
  if (!output_create(path, &out, error)) return false;
  errno = 0;
  const bool written = write(out.file.get()) && std::ferror(out.file.get()) == 0;
  const int code = written ? 0 : (errno != 0 ? errno : EIO);
  if (output_commit(&out, written, error)) return true;
  if (error->empty()) *error = "cannot write " + out.target.string() + ": " + reason(code);
  return false;
}

bool stream_length(FILE* file, int64_t* length) {
  if (std::fseek(file, 0, SEEK_END) != 0) return false;
  const long end = std::ftell(file);
  // Back to the start even when the position can't be told.
  if (std::fseek(file, 0, SEEK_SET) != 0 || end < 0) return false;
  *length = end;
  return true;
}

void read_rest(FILE* file, std::vector<uint8_t>* bytes) {
  uint8_t piece[64 * 1024];
  for (size_t got; (got = std::fread(piece, 1, sizeof piece, file)) > 0;)
    bytes->insert(bytes->end(), piece, piece + got);
}

FilePtr open_regular_file(const char* path, std::string* why) {
  std::string ignored;
  std::string& reason = why != nullptr ? *why : ignored;
  std::error_code error;
  const fs::file_status status = fs::status(path, error);
  if (error) {
    reason = error.message();
    return nullptr;
  }
  if (!fs::is_regular_file(status)) {
    reason = "not a regular file";
    return nullptr;
  }
  FilePtr file(std::fopen(path, "rb"));
  if (!file) reason = std::generic_category().message(errno != 0 ? errno : EIO);
  return file;
}
