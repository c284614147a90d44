// The Win32 backend of the platform seam: the live volume and file system
// of this machine, and its console.
#ifdef _WIN32
#include <mutex>
#include <vector>

#include "common/text.h"
#include "platform/win32/wide_text.h"
#include "platform/win32/win32_support.h"

namespace quillon::platform {

namespace {

using win32_backend::last_error;
using win32_backend::narrow;
using win32_backend::os_error;
using win32_backend::UniqueFind;
using win32_backend::UniqueHandle;

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr DWORD kNameSurrogate = 0x20000000;

// Whether `path` itself (not what it points to) is a symbolic link or a
// junction: a reparse point whose tag has the name-surrogate bit.
bool is_name_surrogate(const std::wstring& path) {
  DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) return false;
  UniqueHandle link(CreateFileW(path.c_str(), 0, kShareAll, nullptr, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!link.valid()) return false;
  FILE_ATTRIBUTE_TAG_INFO tag{};
  if (!GetFileInformationByHandleEx(link.get(), FileAttributeTagInfo, &tag, sizeof tag)) return false;
  return (tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) && (tag.ReparseTag & kNameSurrogate);
}

class Win32Platform final : public Platform {
 public:
  Result<std::unique_ptr<VolumeDevice>> open_volume(std::string_view device_path) override {
    return win32_backend::open_volume_device(device_path);
  }

  Result<std::unique_ptr<FileHandle>> open_path(std::string_view path) override {
    return win32_backend::open_file_handle(path);
  }

  Result<std::vector<DirectoryEntry>> list_directory(std::string_view path) override {
    auto wide = win32_backend::wide_path(path);
    if (!wide) return fail(wide.error());
    std::u16string dir(wide->begin(), wide->end());
    std::u16string pattern16 = win32_backend::search_pattern(std::move(dir));
    std::wstring pattern(pattern16.begin(), pattern16.end());
    WIN32_FIND_DATAW data{};
    UniqueFind find(FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &data, FindExSearchNameMatch, nullptr,
                                     FIND_FIRST_EX_LARGE_FETCH));
    std::vector<DirectoryEntry> entries;
    if (!find.valid()) {
      DWORD code = GetLastError();
      // The root of an empty volume has no entries at all, not even "."
      if (code == ERROR_FILE_NOT_FOUND) {
        DWORD attributes = GetFileAttributesW(wide->c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) return entries;
      }
      return fail(os_error(code));
    }
    for (;;) {
      DirectoryEntry e;
      e.name = narrow(data.cFileName, wcsnlen(data.cFileName, MAX_PATH));
      e.attributes = data.dwFileAttributes;
      e.reparse_tag = (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) ? data.dwReserved0 : 0;
      entries.push_back(std::move(e));
      if (!FindNextFileW(find.get(), &data)) {
        DWORD code = GetLastError();
        if (code == ERROR_NO_MORE_FILES) return entries;
        return fail(os_error(code));
      }
    }
  }

  Result<Metadata> metadata(std::string_view path) override {
    auto wide = win32_backend::wide_path(path);
    if (!wide) return fail(wide.error());
    // Opening follows links to their target; the attributes of the path
    // (GetFileAttributesExW) would describe the link itself.
    UniqueHandle target(CreateFileW(wide->c_str(), 0, kShareAll, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS,
                                    nullptr));
    if (!target.valid()) return fail(last_error());
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(target.get(), &info)) return fail(last_error());
    Metadata m;
    m.is_directory = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    m.is_link = is_name_surrogate(*wide);
    return m;
  }

  Result<std::string> full_path_name(std::string_view path) override {
    auto wide = win32_backend::wide_text(path);
    if (!wide) return fail(wide.error());
    std::vector<wchar_t> buffer(MAX_PATH + 1);
    for (;;) {
      DWORD n = GetFullPathNameW(wide->c_str(), static_cast<DWORD>(buffer.size()), buffer.data(), nullptr);
      if (n == 0) return fail(last_error());
      if (n >= buffer.size()) {  // n is the size needed, NUL included
        buffer.resize(static_cast<std::size_t>(n) + 1);
        continue;
      }
      return narrow(buffer.data(), n);
    }
  }

  void write_output(std::string_view utf8) override { write_native_output(utf8); }
};

}  // namespace

bool native_file_exists(std::string_view path) {
  auto wide = win32_backend::wide_path(path);
  if (!wide) return false;
  return GetFileAttributesW(wide->c_str()) != INVALID_FILE_ATTRIBUTES;
}

Result<void> write_new_native_file(std::string_view path, std::string_view bytes) {
  auto wide = win32_backend::wide_path(path);
  if (!wide) return fail(wide.error());
  UniqueHandle file(CreateFileW(wide->c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.valid()) return fail(last_error());
  while (!bytes.empty()) {
    DWORD want = bytes.size() > (1u << 30) ? (1u << 30) : static_cast<DWORD>(bytes.size());
    DWORD written = 0;
    if (!WriteFile(file.get(), bytes.data(), want, &written, nullptr) || written == 0) return fail(last_error());
    bytes.remove_prefix(written);
  }
  return {};
}

void write_native_output(std::string_view utf8) {
  // Whole calls stay together when several threads print.
  static std::mutex mutex;
  std::lock_guard lock(mutex);
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  if (out == nullptr || out == INVALID_HANDLE_VALUE) return;
  DWORD mode = 0;
  if (GetConsoleMode(out, &mode)) {
    std::u16string text = wtf8_to_utf16(utf8);
    for (auto piece : win32_backend::console_pieces(text, 8192)) {
      while (!piece.empty()) {
        DWORD written = 0;
        if (!WriteConsoleW(out, piece.data(), static_cast<DWORD>(piece.size()), &written, nullptr) || written == 0)
          return;
        piece.remove_prefix(written < piece.size() ? written : piece.size());
      }
    }
    return;
  }
  // Redirected: the UTF-8 bytes as they are, no line-break translation.
  while (!utf8.empty()) {
    DWORD want = utf8.size() > (1u << 30) ? (1u << 30) : static_cast<DWORD>(utf8.size());
    DWORD written = 0;
    if (!WriteFile(out, utf8.data(), want, &written, nullptr) || written == 0) return;
    utf8.remove_prefix(written);
  }
}

std::unique_ptr<Platform> make_native_platform() { return std::make_unique<Win32Platform>(); }

}  // namespace quillon::platform
#endif
