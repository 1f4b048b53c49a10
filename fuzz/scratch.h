// A private scratch directory for the fuzz targets that touch files: made
// once under the system's temporary directory, made the working directory
// (so the relative names an input holds stay inside it), and removed when
// the process exits. The corpus paths given to a target must be absolute.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <system_error>

inline const std::filesystem::path& fuzz_scratch_dir() {
  // Never destroyed: the exit handler below still needs it.
  static const std::filesystem::path* const dir = [] {
    namespace fs = std::filesystem;
    std::random_device random;
    auto* path =
        new fs::path(fs::temp_directory_path() /
                     ("stoker-fuzz-" + std::to_string(random()) + "-" + std::to_string(random())));
    fs::create_directories(*path);
    fs::current_path(*path);
    std::atexit([] {
      std::error_code error;
      const fs::path& here = fuzz_scratch_dir();
      fs::current_path(here.parent_path(), error);
      fs::remove_all(here, error);
    });
    return path;
  }();
  return *dir;
}

// Writes name (in the scratch directory) with the bytes given.
inline void fuzz_scratch_file(const std::string& name, const void* data, size_t size) {
  std::ofstream out(fuzz_scratch_dir() / name, std::ios::binary | std::ios::trunc);
  out.write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
}
