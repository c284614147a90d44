#ifdef _WIN32
#include "platform/win32/win32_support.h"

#include <span>

#include "common/text.h"
#include "platform/win32/wide_text.h"

namespace quillon::platform::win32_backend {

std::string system_text(DWORD code) {
  wchar_t* buffer = nullptr;
  DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                           nullptr, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  if (n == 0 || buffer == nullptr) {
    if (buffer) LocalFree(buffer);
    // No text in the system's tables: the English text we know, or a
    // generic one.
    return quillon::win32::system_message(code);
  }
  std::u16string trimmed = trim_system_message(std::u16string_view(reinterpret_cast<const char16_t*>(buffer), n));
  LocalFree(buffer);
  return utf16_to_utf8_lossy(trimmed);
}

Error os_error(DWORD code) { return Error::os(code, system_text(code)); }

Error last_error() { return os_error(GetLastError()); }

namespace {
std::wstring to_wstring(const std::u16string& s) { return std::wstring(s.begin(), s.end()); }
}  // namespace

Result<std::wstring> wide_path(std::string_view path) {
  auto w = widen_path(path);
  if (!w) return fail(os_error(ERROR_INVALID_NAME));
  return to_wstring(*w);
}

Result<std::wstring> wide_text(std::string_view text) {
  auto w = widen_text(text);
  if (!w) return fail(os_error(ERROR_INVALID_NAME));
  return to_wstring(*w);
}

std::string narrow(const wchar_t* text, std::size_t length) {
  return utf16_to_wtf8(std::span<const char16_t>(reinterpret_cast<const char16_t*>(text), length));
}

}  // namespace quillon::platform::win32_backend
#endif
