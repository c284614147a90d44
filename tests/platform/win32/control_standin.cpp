// Stand-ins for the Win32 backend's one DeviceIoControl call and its one
// OpenFileById call, linked into a test build of quillon.exe
// (quillon_control_standin.exe, with the linker's --wrap): the NTFS control
// codes asked of \\.\E:, and the NTFS file references asked of drive E:, are
// answered from the image file that QUILLON_CONTROL_IMAGE names, by the image
// backend's own answering code; every other call, and every other volume,
// goes to the real one. Wine answers those codes with error 50, and its file
// ids are the mount's inode numbers, not NTFS references; with these
// stand-ins the backend's whole control-code path (buffer sizes, retries,
// end of data, version fallbacks) runs under Wine, beside the real
// CreateFileW, reads, FileIdInfo, listings, final path names and console.
#ifdef _WIN32
#include <memory>
#include <mutex>
#include <span>
#include <string>

#include "platform/image/image_platform.h"
#include "platform/win32/win32_support.h"

namespace {

using quillon::platform::FSCTL_ENUM_USN_DATA;
using quillon::platform::FSCTL_GET_NTFS_FILE_RECORD;
using quillon::platform::FSCTL_GET_NTFS_VOLUME_DATA;
using quillon::platform::FSCTL_QUERY_USN_JOURNAL;
using quillon::platform::FSCTL_READ_USN_JOURNAL;

bool answered_from_image(DWORD code) {
  switch (code) {
    case FSCTL_GET_NTFS_VOLUME_DATA:
    case FSCTL_GET_NTFS_FILE_RECORD:
    case FSCTL_QUERY_USN_JOURNAL:
    case FSCTL_READ_USN_JOURNAL:
    case FSCTL_ENUM_USN_DATA:
      return true;
    default:
      return false;
  }
}

bool is_drive_e(const wchar_t* path) {
  const std::wstring p = path ? path : L"";
  return p.size() == 6 && p.compare(0, 4, L"\\\\.\\") == 0 && (p[4] == L'E' || p[4] == L'e') && p[5] == L':';
}

// A path on drive E: (E:\..., or \\?\E:\...).
bool on_drive_e(const wchar_t* path) {
  std::wstring p = path ? path : L"";
  if (p.compare(0, 4, L"\\\\?\\") == 0) p.erase(0, 4);
  return p.size() >= 2 && (p[0] == L'E' || p[0] == L'e') && p[1] == L':';
}

// The image's volume device, opened once; calls come from every worker
// thread and the image backend's reader serves one at a time.
struct ImageVolume {
  std::mutex mutex;
  std::unique_ptr<quillon::platform::Platform> platform;
  std::unique_ptr<quillon::platform::VolumeDevice> device;
  std::unique_ptr<quillon::platform::FileHandle> root;  // E:\ of the image, for references
  DWORD failure = 0;  // why it could not be opened
};

ImageVolume& image_volume() {
  static ImageVolume v;
  static std::once_flag once;
  std::call_once(once, [] {
    std::wstring file(32768, L'\0');
    DWORD n = GetEnvironmentVariableW(L"QUILLON_CONTROL_IMAGE", file.data(), static_cast<DWORD>(file.size()));
    if (n == 0 || n >= file.size()) {
      v.failure = ERROR_FILE_NOT_FOUND;
      return;
    }
    quillon::platform::ImageOptions options;
    options.file = quillon::platform::win32_backend::narrow(file.data(), n);
    auto platform = quillon::platform::open_image_platform(options);
    if (!platform) {
      v.failure = ERROR_FILE_NOT_FOUND;
      return;
    }
    auto device = (*platform)->open_volume("\\\\.\\E:");
    if (!device) {
      v.failure = device.error().os_code() ? device.error().os_code() : ERROR_FILE_NOT_FOUND;
      return;
    }
    auto root = (*platform)->open_path("E:\\");
    if (!root) {
      v.failure = root.error().os_code() ? root.error().os_code() : ERROR_FILE_NOT_FOUND;
      return;
    }
    v.platform = std::move(*platform);
    v.device = std::move(*device);
    v.root = std::move(*root);
  });
  return v;
}

}  // namespace

extern "C" BOOL __real_quillon_volume_control(HANDLE device, const wchar_t* device_path, DWORD code, void* in,
                                              DWORD in_size, void* out, DWORD out_size, DWORD* returned);

extern "C" BOOL __wrap_quillon_volume_control(HANDLE device, const wchar_t* device_path, DWORD code, void* in,
                                              DWORD in_size, void* out, DWORD out_size, DWORD* returned) {
  if (!answered_from_image(code) || !is_drive_e(device_path))
    return __real_quillon_volume_control(device, device_path, code, in, in_size, out, out_size, returned);
  ImageVolume& v = image_volume();
  if (!v.device) {
    SetLastError(v.failure);
    return FALSE;
  }
  std::lock_guard lock(v.mutex);
  auto n = v.device->control(code, std::span<const std::byte>(static_cast<const std::byte*>(in), in ? in_size : 0),
                             std::span<std::byte>(static_cast<std::byte*>(out), out ? out_size : 0));
  if (!n) {
    SetLastError(n.error().os_code() ? n.error().os_code() : ERROR_GEN_FAILURE);
    return FALSE;
  }
  if (returned) *returned = static_cast<DWORD>(*n);
  return TRUE;
}

extern "C" HANDLE __real_quillon_open_by_id(HANDLE relative_to, const wchar_t* relative_path,
                                           ULONGLONG file_reference);

// Alive: a handle of our own (the caller only closes it). Not alive: the
// invalid parameter NTFS answers for a freed or reused reference. A failure
// of the image's answer (a record it cannot read) is passed on.
extern "C" HANDLE __wrap_quillon_open_by_id(HANDLE relative_to, const wchar_t* relative_path,
                                           ULONGLONG file_reference) {
  if (!on_drive_e(relative_path)) return __real_quillon_open_by_id(relative_to, relative_path, file_reference);
  ImageVolume& v = image_volume();
  if (!v.root) {
    SetLastError(v.failure);
    return INVALID_HANDLE_VALUE;
  }
  std::lock_guard lock(v.mutex);
  auto alive = v.root->reference_alive(file_reference);
  if (!alive) {
    SetLastError(alive.error().os_code() ? alive.error().os_code() : ERROR_GEN_FAILURE);
    return INVALID_HANDLE_VALUE;
  }
  if (!*alive) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  HANDLE own = INVALID_HANDLE_VALUE;
  if (!DuplicateHandle(GetCurrentProcess(), relative_to, GetCurrentProcess(), &own, 0, FALSE, DUPLICATE_SAME_ACCESS))
    return INVALID_HANDLE_VALUE;
  return own;
}
#endif
