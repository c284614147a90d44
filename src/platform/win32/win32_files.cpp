// Files and directories on the live file system: an open handle with its
// file id and final path, and the liveness of a file reference on its volume.
#ifdef _WIN32
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "platform/win32/win32_support.h"

namespace quillon::platform::win32_backend {

namespace {

constexpr std::uint64_t kSequenceShift = 48;

class Win32File final : public FileHandle {
 public:
  Win32File(UniqueHandle handle, std::wstring path) : handle_(std::move(handle)), path_(std::move(path)) {}

  Result<FileIdInfo> file_id_info() override {
    FILE_ID_INFO raw{};
    if (!GetFileInformationByHandleEx(handle_.get(), ::FileIdInfo, &raw, sizeof raw)) return fail(last_error());
    static_assert(sizeof raw.FileId.Identifier == 16);
    platform::FileIdInfo info;
    info.volume_serial = raw.VolumeSerialNumber;
    std::memcpy(info.file_id.data(), raw.FileId.Identifier, info.file_id.size());
    return info;
  }

  Result<std::string> final_path_name() override {
    std::vector<wchar_t> buffer(MAX_PATH + 1);
    for (;;) {
      DWORD n = GetFinalPathNameByHandleW(handle_.get(), buffer.data(), static_cast<DWORD>(buffer.size()),
                                          FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
      if (n == 0) return fail(last_error());
      // Too small: n is the size needed, the terminating NUL included.
      if (n >= buffer.size()) {
        buffer.resize(static_cast<std::size_t>(n) + 1);
        continue;
      }
      return narrow(buffer.data(), n);
    }
  }

  Result<bool> reference_alive(std::uint64_t file_reference) override {
    // A bare record number says nothing about which file holds the record.
    if ((file_reference >> kSequenceShift) == 0) return false;
    UniqueHandle file(quillon_open_by_id(handle_.get(), path_.c_str(), file_reference));
    if (file.valid()) return true;
    DWORD code = GetLastError();
    switch (code) {
      // NTFS answers a freed record, or one that holds another file now
      // (its sequence number moved on), with an invalid parameter.
      case ERROR_INVALID_PARAMETER:
      case ERROR_FILE_NOT_FOUND:
      case ERROR_PATH_NOT_FOUND:
        return false;
      // The file is there; it is only closed to us.
      case ERROR_SHARING_VIOLATION:
        return true;
      // Either closed to us, or deleted while another handle keeps it open
      // (a delete-pending file answers so): the caller tells the two apart.
      case ERROR_ACCESS_DENIED:
        return fail(os_error(code));
      default:
        return fail(os_error(code));
    }
  }

 private:
  UniqueHandle handle_;
  std::wstring path_;
};

// A function of advapi32.dll, looked up at run time so that the executable
// keeps importing KERNEL32 alone.
template <typename Fn>
Fn advapi32(const char* name) {
  static HMODULE module = LoadLibraryExW(L"advapi32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (!module) return nullptr;
  FARPROC proc = GetProcAddress(module, name);
  return proc ? reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(proc)) : nullptr;
}

// Turns on SeBackupPrivilege when the process token holds it (an elevated
// administrator's does), once per process: with backup semantics the
// privilege lets a folder whose ACL shuts the administrator out be opened
// all the same. A token without it is left as it is.
void enable_backup_privilege() {
  static std::once_flag once;
  std::call_once(once, [] {
    using OpenToken = BOOL(WINAPI*)(HANDLE, DWORD, PHANDLE);
    using LookupPrivilege = BOOL(WINAPI*)(LPCWSTR, LPCWSTR, PLUID);
    using AdjustPrivileges = BOOL(WINAPI*)(HANDLE, BOOL, PTOKEN_PRIVILEGES, DWORD, PTOKEN_PRIVILEGES, PDWORD);
    auto open_token = advapi32<OpenToken>("OpenProcessToken");
    auto lookup = advapi32<LookupPrivilege>("LookupPrivilegeValueW");
    auto adjust = advapi32<AdjustPrivileges>("AdjustTokenPrivileges");
    if (!open_token || !lookup || !adjust) return;
    HANDLE raw = nullptr;
    if (!open_token(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &raw)) return;
    UniqueHandle token(raw);
    TOKEN_PRIVILEGES tp{};
    if (!lookup(nullptr, L"SeBackupPrivilege", &tp.Privileges[0].Luid)) return;
    tp.PrivilegeCount = 1;
    tp.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    // Succeeds with ERROR_NOT_ALL_ASSIGNED when the token lacks the
    // privilege; nothing changes then.
    adjust(token.get(), FALSE, &tp, 0, nullptr, nullptr);
  });
}

}  // namespace

Result<std::unique_ptr<FileHandle>> open_file_handle(std::string_view path) {
  auto wide = wide_path(path);
  if (!wide) return fail(wide.error());
  enable_backup_privilege();
  // The file id and the final path need nothing more than the attributes.
  HANDLE h = CreateFileW(wide->c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return fail(last_error());
  return std::unique_ptr<FileHandle>(std::make_unique<Win32File>(UniqueHandle(h), std::move(*wide)));
}

}  // namespace quillon::platform::win32_backend
#endif
