// The Win32 backend of the platform seam. (Filled in by the Windows build.)
#ifdef _WIN32
// Project headers come before <windows.h>: its ERROR_* macros would
// otherwise clash with the named codes of common/error.h. Below the include,
// use the Windows macros themselves.
#include "platform/platform.h"

#include <windows.h>

namespace quillon::platform {

void write_native_output(std::string_view utf8) {
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD written = 0;
  WriteFile(out, utf8.data(), static_cast<DWORD>(utf8.size()), &written, nullptr);
}

namespace {
class Win32Platform final : public Platform {
 public:
  Result<std::unique_ptr<VolumeDevice>> open_volume(std::string_view) override {
    return fail(Error::os(ERROR_NOT_SUPPORTED, "The request is not supported."));
  }
  Result<std::unique_ptr<FileHandle>> open_path(std::string_view) override {
    return fail(Error::os(ERROR_NOT_SUPPORTED, "The request is not supported."));
  }
  Result<std::vector<DirectoryEntry>> list_directory(std::string_view) override {
    return fail(Error::os(ERROR_NOT_SUPPORTED, "The request is not supported."));
  }
  Result<Metadata> metadata(std::string_view) override { return fail(Error::os(ERROR_NOT_SUPPORTED, "The request is not supported.")); }
  Result<std::string> full_path_name(std::string_view) override {
    return fail(Error::os(ERROR_NOT_SUPPORTED, "The request is not supported."));
  }
  void write_output(std::string_view utf8) override { write_native_output(utf8); }
};
}  // namespace

std::unique_ptr<Platform> make_native_platform() { return std::make_unique<Win32Platform>(); }

}  // namespace quillon::platform
#endif
