#include "platform/image/image_file.h"

#include <filesystem>
#include <limits>

#include "common/bytes.h"

namespace quillon::platform::image {

Result<ImageFile> ImageFile::open(const std::string& path) {
  namespace fs = std::filesystem;
  std::error_code ec;
  const fs::path p(std::u8string(path.begin(), path.end()));
  auto st = fs::status(p, ec);
  if (ec || !fs::exists(st))
    return fail(Error::generic("cannot open image " + path + ": no such file", ErrorKind::not_found));
  if (fs::is_directory(st))
    return fail(Error::generic("cannot open image " + path + ": it is a directory, not an image file",
                               ErrorKind::invalid_input));
  auto in = std::make_unique<std::ifstream>(p, std::ios::binary | std::ios::in);
  if (!in->is_open())
    return fail(Error::generic("cannot open image " + path + ": the file cannot be read (no read permission?)",
                               ErrorKind::permission_denied));
  // Block devices and other special files report no size through the file
  // system; their end is found by seeking.
  std::uint64_t size = 0;
  auto end = in->rdbuf()->pubseekoff(0, std::ios::end, std::ios::in);
  if (end != std::streampos(std::streamoff(-1))) size = static_cast<std::uint64_t>(std::streamoff(end));
  in->rdbuf()->pubseekpos(0, std::ios::in);
  if (size == 0)
    return fail(Error::generic("cannot use image " + path + ": the file is empty", ErrorKind::invalid_input));
  return ImageFile(path, std::move(in), size);
}

bool ImageFile::read(std::uint64_t offset, std::span<std::byte> out) {
  if (!in_bounds(size_, offset, out.size())) return false;
  if (out.empty()) return true;
  if (offset > static_cast<std::uint64_t>(std::numeric_limits<std::streamoff>::max())) return false;
  auto* buf = in_->rdbuf();
  auto pos = buf->pubseekpos(static_cast<std::streamoff>(offset), std::ios::in);
  if (pos == std::streampos(std::streamoff(-1))) return false;
  std::size_t done = 0;
  while (done < out.size()) {
    auto n = buf->sgetn(reinterpret_cast<char*>(out.data() + done), static_cast<std::streamsize>(out.size() - done));
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace quillon::platform::image
