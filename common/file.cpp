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

std::string reason(int code) {
  return code != 0 ? std::strerror(code) : "write failed";
}

// Lets the writer fill an open stream and closes it; 0 or an errno value.
int write_and_close(FILE* file, const FileWriter& write) {
  errno = 0;
  const bool written = write(file) && std::ferror(file) == 0;
  int code = written ? 0 : (errno != 0 ? errno : EIO);
  errno = 0;
  if (std::fclose(file) != 0 && code == 0) code = errno != 0 ? errno : EIO;
  return code;
}

bool write_in_place(const fs::path& target, const FileWriter& write, std::string* error) {
  FILE* file = std::fopen(target.string().c_str(), "wb");
  if (file == nullptr) {
    *error = "cannot open " + target.string() + ": " + reason(errno);
    return false;
  }
  const int code = write_and_close(file, write);
  if (code == 0) return true;
  *error = "cannot write " + target.string() + ": " + reason(code);
  return false;
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

}  // namespace

bool write_file_replacing(const std::string& path, const void* data, size_t size,
                          std::string* error) {
  return write_file_replacing_with(
      path,
      [data, size](FILE* file) { return size == 0 || std::fwrite(data, 1, size, file) == size; },
      error);
}

bool write_file_replacing_with(const std::string& path, const FileWriter& write,
                               std::string* error) {
  const fs::path target = final_target(path);
  std::error_code code;
  const fs::file_status status = fs::status(target, code);
  if (fs::exists(status) && !fs::is_regular_file(status))
    return write_in_place(target, write, error);

  const fs::path temporary = temporary_beside(target);
  FILE* file = std::fopen(temporary.string().c_str(), "wb");
  if (file == nullptr) {
    *error = "cannot create " + temporary.string() + ": " + reason(errno);
    return false;
  }
  int written = write_and_close(file, write);
  if (written == 0 && fs::exists(status))
    fs::permissions(temporary, status.permissions(), code);  // keep the old file's mode
  if (written == 0) {
    fs::rename(temporary, target, code);
    if (!code) return true;
    *error = "cannot replace " + target.string() + ": " + code.message();
  } else {
    *error = "cannot write " + target.string() + ": " + reason(written);
  }
  fs::remove(temporary, code);  // ours: created above
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
  if (!file) reason = std::strerror(errno != 0 ? errno : EIO);
  return file;
}
