// The Win32 backend of the platform seam. (Filled in by the Windows build.)
#ifdef _WIN32
#include <windows.h>

#include "platform/platform.h"

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
    return fail(win32::error(win32::ERROR_NOT_SUPPORTED));
  }
  Result<std::unique_ptr<FileHandle>> open_path(std::string_view) override {
    return fail(win32::error(win32::ERROR_NOT_SUPPORTED));
  }
  Result<std::vector<DirectoryEntry>> list_directory(std::string_view) override {
    return fail(win32::error(win32::ERROR_NOT_SUPPORTED));
  }
  Result<Metadata> metadata(std::string_view) override { return fail(win32::error(win32::ERROR_NOT_SUPPORTED)); }
  Result<std::string> full_path_name(std::string_view) override {
    return fail(win32::error(win32::ERROR_NOT_SUPPORTED));
  }
  void write_output(std::string_view utf8) override { write_native_output(utf8); }
};
}  // namespace

std::unique_ptr<Platform> make_native_platform() { return std::make_unique<Win32Platform>(); }

}  // namespace quillon::platform
#endif
