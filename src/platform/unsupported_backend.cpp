// The native backend on systems other than Windows: there is no volume
// device to open, so every call says that a volume image is needed.
#ifndef _WIN32

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/platform.h"

namespace quillon::platform {
namespace {

Error needs_image() {
  return Error::generic(
      "no Windows volume access on this system; examine a volume image with --image=FILE",
      ErrorKind::unsupported);
}

class UnsupportedPlatform final : public Platform {
 public:
  Result<std::unique_ptr<VolumeDevice>> open_volume(std::string_view) override { return fail(needs_image()); }
  Result<std::unique_ptr<FileHandle>> open_path(std::string_view) override { return fail(needs_image()); }
  Result<std::vector<DirectoryEntry>> list_directory(std::string_view) override { return fail(needs_image()); }
  Result<Metadata> metadata(std::string_view) override { return fail(needs_image()); }
  Result<std::string> full_path_name(std::string_view) override { return fail(needs_image()); }
  void write_output(std::string_view utf8) override { write_native_output(utf8); }
};

}  // namespace

void write_native_output(std::string_view utf8) {
  std::fwrite(utf8.data(), 1, utf8.size(), stdout);
  std::fflush(stdout);
}

bool native_file_exists(std::string_view path) {
  struct stat st {};
  return ::lstat(std::string(path).c_str(), &st) == 0;
}

Result<void> write_new_native_file(std::string_view path, std::string_view bytes) {
  const int fd = ::open(std::string(path).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) return fail(Error::generic(std::strerror(errno)));
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      const int e = errno;
      ::close(fd);
      return fail(Error::generic(std::strerror(e)));
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  if (::close(fd) != 0) return fail(Error::generic(std::strerror(errno)));
  return {};
}

std::unique_ptr<Platform> make_native_platform() { return std::make_unique<UnsupportedPlatform>(); }

}  // namespace quillon::platform

#endif
