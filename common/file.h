// An open C stream that closes itself.
#pragma once

#include <cstdio>
#include <memory>

struct FileCloser {
  void operator()(FILE* file) const { std::fclose(file); }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;
