#include "platform/image/image_file.h"

#include <array>
#include <filesystem>
#include <fstream>
#include <limits>
#include <vector>

#include <cerrno>

#ifndef _WIN32
#include <fcntl.h>
#include <unistd.h>
#endif

#include "common/bytes.h"
#include "platform/image/containers.h"

namespace quillon::platform::image {

namespace {

namespace fs = std::filesystem;

fs::path native(const std::string& path) { return fs::path(std::u8string(path.begin(), path.end())); }

// One file, read exactly where and as much as asked, straight into the
// caller's buffer: no read-ahead (a buffered stream would read a buffer's
// worth for each record and copy the record out of it).
#ifdef _WIN32
// An unbuffered stream: a read is a seek and a read of the file.
class FileSource final : public ImageSource {
 public:
  explicit FileSource(std::unique_ptr<std::ifstream> in) : in_(std::move(in)) {}
  // A stream buffer does not tell a failed read from the end of the file:
  // a read that stops short is taken as the file's end (it was checked
  // against the size found at opening, so the file has shrunk since).
  Result<void> read(std::uint64_t offset, std::span<std::byte> out) override {
    if (out.empty()) return {};
    if (offset > static_cast<std::uint64_t>(std::numeric_limits<std::streamoff>::max()))
      return fail(read_failure(EINVAL));
    auto* buf = in_->rdbuf();
    auto pos = buf->pubseekpos(static_cast<std::streamoff>(offset), std::ios::in);
    if (pos == std::streampos(std::streamoff(-1))) return fail(read_failure(EINVAL));
    std::size_t done = 0;
    while (done < out.size()) {
      auto n = buf->sgetn(reinterpret_cast<char*>(out.data() + done), static_cast<std::streamsize>(out.size() - done));
      if (n <= 0) return fail(end_of_image());
      done += static_cast<std::size_t>(n);
    }
    return {};
  }

 private:
  std::unique_ptr<std::ifstream> in_;
};

Result<std::unique_ptr<FileSource>> open_file(const std::string& path, std::uint64_t& size) {
  auto in = std::make_unique<std::ifstream>();
  in->rdbuf()->pubsetbuf(nullptr, 0);  // before opening, or it is ignored
  in->open(native(path), std::ios::binary | std::ios::in);
  if (!in->is_open())
    return fail(Error::generic("cannot open image " + path + ": the file cannot be read (no read permission?)",
                               ErrorKind::permission_denied));
  // Block devices and other special files report no size through the file
  // system; their end is found by seeking.
  size = 0;
  auto end = in->rdbuf()->pubseekoff(0, std::ios::end, std::ios::in);
  if (end != std::streampos(std::streamoff(-1))) size = static_cast<std::uint64_t>(std::streamoff(end));
  in->rdbuf()->pubseekpos(0, std::ios::in);
  return std::make_unique<FileSource>(std::move(in));
}
#else
// Positioned reads (pread): one system call per read, no file position.
class FileSource final : public ImageSource {
 public:
  explicit FileSource(int fd) : fd_(fd) {}
  ~FileSource() override { ::close(fd_); }
  FileSource(const FileSource&) = delete;
  FileSource& operator=(const FileSource&) = delete;
  // A second descriptor of the same open file (the same file even if its
  // path has been replaced since): positioned reads share no position, but
  // they share the kernel's read-ahead, so workers taking the next pages
  // one after the other look to it like one reader going forward and are
  // read ahead of, which separate opens are not. Null when no descriptor is
  // left (the path is then opened again).
  std::unique_ptr<ImageSource> reopen() const override {
    const int again = ::fcntl(fd_, F_DUPFD_CLOEXEC, 0);
    if (again < 0) return nullptr;
    return std::make_unique<FileSource>(again);
  }
  Result<void> read(std::uint64_t offset, std::span<std::byte> out) override {
    std::size_t done = 0;
    while (done < out.size()) {
      const std::uint64_t at = offset + done;
      if (at < offset || at > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max()))
        return fail(read_failure(EINVAL));
      const ssize_t n = ::pread(fd_, out.data() + done, out.size() - done, static_cast<off_t>(at));
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return fail(read_failure(errno));
      if (n == 0) return fail(end_of_image());  // the file has shrunk since it was opened
      done += static_cast<std::size_t>(n);
    }
    return {};
  }

 private:
  int fd_;
};

Result<std::unique_ptr<FileSource>> open_file(const std::string& path, std::uint64_t& size) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0)
    return fail(Error::generic("cannot open image " + path + ": the file cannot be read (no read permission?)",
                               ErrorKind::permission_denied));
  auto file = std::make_unique<FileSource>(fd);
  // Block devices and other special files report no size through the file
  // system; their end is found by seeking.
  const off_t end = ::lseek(fd, 0, SEEK_END);
  size = end < 0 ? 0 : static_cast<std::uint64_t>(end);
  return file;
}
#endif

// Pieces of a split raw image, one after the other.
class SplitSource final : public ImageSource {
 public:
  struct Piece {
    std::uint64_t start = 0, size = 0;
    std::unique_ptr<FileSource> file;
  };
  explicit SplitSource(std::vector<Piece> pieces) : pieces_(std::move(pieces)) {}
  Result<void> read(std::uint64_t offset, std::span<std::byte> out) override {
    for (auto& p : pieces_) {
      if (out.empty()) return {};
      if (offset >= p.start + p.size) continue;
      if (offset < p.start) return fail(end_of_image());
      const std::uint64_t n = std::min<std::uint64_t>(out.size(), p.start + p.size - offset);
      if (auto r = p.file->read(offset - p.start, out.first(static_cast<std::size_t>(n))); !r) return r;
      out = out.subspan(static_cast<std::size_t>(n));
      offset += n;
    }
    if (!out.empty()) return fail(end_of_image());
    return {};
  }

 private:
  std::vector<Piece> pieces_;
};

bool ends_with_001(const std::string& path) {
  return path.size() > 4 && path.compare(path.size() - 4, 4, ".001") == 0;
}

}  // namespace

Result<ImageFile> ImageFile::open(const std::string& path) {
  std::error_code ec;
  auto st = fs::status(native(path), ec);
  if (ec || !fs::exists(st))
    return fail(Error::generic("cannot open image " + path + ": no such file", ErrorKind::not_found));
  if (fs::is_directory(st))
    return fail(Error::generic("cannot open image " + path + ": it is a directory, not an image file",
                               ErrorKind::invalid_input));
  std::uint64_t size = 0;
  auto source = open_file(path, size);
  if (!source) return fail(source.error());
  if (size == 0)
    return fail(Error::generic("cannot use image " + path + ": the file is empty", ErrorKind::invalid_input));
  std::unique_ptr<FileSource> file = std::move(*source);

  std::array<std::byte, 512> head{}, tail{};
  const std::size_t head_size = static_cast<std::size_t>(std::min<std::uint64_t>(size, head.size()));
  if (!file->read(0, std::span(head).first(head_size)).has_value())
    return fail(Error::generic("cannot open image " + path + ": its first bytes cannot be read", ErrorKind::other));
  const bool has_tail = size >= 1024 && file->read(size - tail.size(), tail).has_value();
  const Container kind = detect_container(std::span(head).first(head_size), has_tail ? Bytes(tail) : Bytes());
  switch (kind) {
    case Container::raw:
      break;
    case Container::fixed_vhd:
      // A fixed VHD is the disk's bytes followed by its 512-byte footer.
      return ImageFile(path, std::move(file), size - 512);
    default: {
      auto opened = open_container(kind, path);
      if (!opened) return fail(opened.error());
      return ImageFile(path, std::move(opened->source), opened->size);
    }
  }
  if (!ends_with_001(path)) return ImageFile(path, std::move(file), size);

  // NAME.001, NAME.002, ... for as long as the next piece exists.
  std::vector<SplitSource::Piece> pieces;
  std::uint64_t total = 0;
  pieces.push_back({0, size, std::move(file)});
  total = size;
  const std::string stem = path.substr(0, path.size() - 3);
  for (unsigned n = 2; n < 100000; ++n) {
    std::string number = std::to_string(n);
    if (number.size() < 3) number.insert(0, 3 - number.size(), '0');
    const std::string piece = stem + number;
    if (!fs::exists(native(piece), ec)) break;
    std::uint64_t piece_size = 0;
    auto s = open_file(piece, piece_size);
    if (!s) return fail(s.error());
    if (piece_size == 0) break;
    pieces.push_back({total, piece_size, std::move(*s)});
    total += piece_size;
  }
  if (pieces.size() == 1) return ImageFile(path, std::move(pieces[0].file), size);
  return ImageFile(path, std::make_unique<SplitSource>(std::move(pieces)), total);
}

Result<ImageFile> ImageFile::reopen() const {
  if (auto again = source_->reopen()) return ImageFile(path_, std::move(again), size_);
  return open(path_);
}

Result<void> ImageFile::read(std::uint64_t offset, std::span<std::byte> out) {
  if (!in_bounds(size_, offset, out.size())) return fail(end_of_image());
  if (out.empty()) return {};
  return source_->read(offset, out);
}

Error read_failure(int errno_value) {
  switch (errno_value) {
    case EIO:
      return win32::error(win32::ERROR_IO_DEVICE);
    case EACCES:
    case EPERM:
      return win32::error(win32::ERROR_ACCESS_DENIED);
    case EBADF:
      return win32::error(win32::ERROR_INVALID_HANDLE);
    case EINVAL:
#ifdef EOVERFLOW
    case EOVERFLOW:
#endif
      return win32::error(win32::ERROR_INVALID_PARAMETER);
    case ENOMEM:
      return win32::error(win32::ERROR_NOT_ENOUGH_MEMORY);
    case ENXIO:
    case ENODEV:
      return win32::error(win32::ERROR_NOT_READY);
    default:
      return win32::error(win32::ERROR_READ_FAULT);
  }
}

Error end_of_image() { return win32::error(win32::ERROR_HANDLE_EOF); }

Error container_read_failure(std::string_view library, std::string_view message) {
  return Error::os(win32::ERROR_READ_FAULT, std::string(library) + ": " + std::string(message));
}

}  // namespace quillon::platform::image
