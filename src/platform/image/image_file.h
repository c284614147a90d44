// The image file itself: opened read-only, read at byte positions. Portable
// C++ only (this file is also part of the Windows build).
#pragma once

#include <cstdint>
#include <fstream>
#include <memory>
#include <span>
#include <string>

#include "common/error.h"

namespace quillon::platform::image {

class ImageFile {
 public:
  // Opens `path` for reading. A missing, unreadable, empty or directory path
  // gives one error that names the file and says what is wrong.
  static Result<ImageFile> open(const std::string& path);

  // Reads exactly out.size() bytes at `offset`; false when the file is too
  // short or the read fails.
  bool read(std::uint64_t offset, std::span<std::byte> out);

  std::uint64_t size() const { return size_; }
  const std::string& path() const { return path_; }
  // A second, independent handle on the same file (one per thread).
  Result<ImageFile> reopen() const { return open(path_); }

 private:
  ImageFile(std::string path, std::unique_ptr<std::ifstream> in, std::uint64_t size)
      : path_(std::move(path)), in_(std::move(in)), size_(size) {}

  std::string path_;
  std::unique_ptr<std::ifstream> in_;
  std::uint64_t size_ = 0;
};

}  // namespace quillon::platform::image
