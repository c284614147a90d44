// The backend's calls that only NTFS on Windows can answer, in a file of
// their own: its one DeviceIoControl call, and its one OpenFileById call
// (a file reference of NTFS, record and sequence). A test build links
// stand-ins in their place (the linker's --wrap) where the machine it runs
// on cannot answer them the NTFS way.
#ifdef _WIN32
#include "platform/win32/win32_support.h"

namespace quillon::platform::win32_backend {

extern "C" BOOL quillon_volume_control(HANDLE device, const wchar_t* device_path, DWORD code, void* in,
                                       DWORD in_size, void* out, DWORD out_size, DWORD* returned) {
  (void)device_path;
  return DeviceIoControl(device, code, in, in_size, out, out_size, returned, nullptr);
}

extern "C" HANDLE quillon_open_by_id(HANDLE relative_to, const wchar_t* relative_path, ULONGLONG file_reference) {
  (void)relative_path;
  FILE_ID_DESCRIPTOR id{};
  id.dwSize = sizeof id;
  id.Type = FileIdType;
  id.FileId.QuadPart = static_cast<LONGLONG>(file_reference);
  // No access asked for: only whether the reference opens matters.
  return OpenFileById(relative_to, &id, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                      FILE_FLAG_BACKUP_SEMANTICS);
}

}  // namespace quillon::platform::win32_backend
#endif
