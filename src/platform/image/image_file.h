// The image file itself: opened read-only, read at byte positions. Besides a
// raw image it reads split raw images (NAME.001, NAME.002, ...) and fixed VHD
// files natively, and EWF (E01) and dynamic VHD/VHDX images through libewf
// and libvhdi when the build has them. Formats it cannot read give one
// error that names the format and the way to mount it.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "common/error.h"

namespace quillon::platform::image {

// Where the bytes come from: one file, several pieces, or a container library.
class ImageSource {
 public:
  virtual ~ImageSource() = default;
  // Exactly out.size() bytes at `offset` (within the image's size), or why
  // not, as a Windows caller would be told (read_failure, end_of_image,
  // container_read_failure).
  virtual Result<void> read(std::uint64_t offset, std::span<std::byte> out) = 0;
  // A second, independent source over the same bytes; nothing where the
  // source cannot give one (ImageFile::reopen then opens the path again).
  virtual std::unique_ptr<ImageSource> reopen() const { return nullptr; }
};

// The errors of image reads, in Windows' terms: a failed read call's errno
// mapped to the Win32 code of the same condition (ERROR_READ_FAULT for one
// Windows has no word for), ...
Error read_failure(int errno_value);
// ... the image (or one of its pieces) ending before the bytes asked for
// (ERROR_HANDLE_EOF) ...
Error end_of_image();
// ... and a read a container library refused: ERROR_READ_FAULT with the
// library's own message.
Error container_read_failure(std::string_view library, std::string_view message);

class ImageFile {
 public:
  // Opens `path` for reading. A missing, unreadable, empty or directory path
  // gives one error that names the file and says what is wrong.
  static Result<ImageFile> open(const std::string& path);
  // An image whose bytes come from `source` (a volume put together from
  // other files); `name` stands for its path in messages. The source must
  // answer reopen().
  static ImageFile from_source(std::string name, std::unique_ptr<ImageSource> source, std::uint64_t size) {
    return ImageFile(std::move(name), std::move(source), size);
  }

  // Reads exactly out.size() bytes at `offset`: end_of_image past the
  // image's size, else what the source says.
  Result<void> read(std::uint64_t offset, std::span<std::byte> out);

  std::uint64_t size() const { return size_; }
  const std::string& path() const { return path_; }
  // A second, independent handle on the same file (one per thread).
  Result<ImageFile> reopen() const;

 private:
  ImageFile(std::string path, std::unique_ptr<ImageSource> source, std::uint64_t size)
      : path_(std::move(path)), source_(std::move(source)), size_(size) {}

  std::string path_;
  std::unique_ptr<ImageSource> source_;
  std::uint64_t size_ = 0;
};

}  // namespace quillon::platform::image
