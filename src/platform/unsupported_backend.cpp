// The native backend on systems other than Windows: there is no volume
// device to open, so every call says that a volume image is needed.
#ifndef _WIN32

#include <cstdio>

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

std::unique_ptr<Platform> make_native_platform() { return std::make_unique<UnsupportedPlatform>(); }

}  // namespace quillon::platform

#endif
