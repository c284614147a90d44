// Shared pieces of the Win32 backend: owning handles, errors from the last
// failed call, and wide paths. Include it after the project's own headers:
// <windows.h> defines the Windows constants as macros, which would clash
// with the named constants of platform.h and error.h if those came later.
#pragma once
#ifdef _WIN32

#include <memory>
#include <string>
#include <string_view>

#include "common/error.h"
#include "platform/platform.h"

#ifndef _WIN32_WINNT
#define _WIN32_WINNT 0x0A00
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

namespace quillon::platform::win32_backend {

// Closes a kernel handle when it goes out of scope.
class UniqueHandle {
 public:
  UniqueHandle() = default;
  explicit UniqueHandle(HANDLE h) : h_(h) {}
  ~UniqueHandle() { reset(); }
  UniqueHandle(UniqueHandle&& o) noexcept : h_(o.release()) {}
  UniqueHandle& operator=(UniqueHandle&& o) noexcept {
    if (this != &o) {
      reset();
      h_ = o.release();
    }
    return *this;
  }
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;

  HANDLE get() const { return h_; }
  bool valid() const { return h_ != nullptr && h_ != INVALID_HANDLE_VALUE; }
  HANDLE release() {
    HANDLE h = h_;
    h_ = INVALID_HANDLE_VALUE;
    return h;
  }
  void reset() {
    if (valid()) CloseHandle(h_);
    h_ = INVALID_HANDLE_VALUE;
  }

 private:
  HANDLE h_ = INVALID_HANDLE_VALUE;
};

// Ends a FindFirstFileExW search when it goes out of scope.
class UniqueFind {
 public:
  explicit UniqueFind(HANDLE h) : h_(h) {}
  ~UniqueFind() {
    if (valid()) FindClose(h_);
  }
  UniqueFind(const UniqueFind&) = delete;
  UniqueFind& operator=(const UniqueFind&) = delete;
  HANDLE get() const { return h_; }
  bool valid() const { return h_ != INVALID_HANDLE_VALUE; }

 private:
  HANDLE h_;
};

// The system's text for `code` (FormatMessageW, trailing line break removed).
std::string system_text(DWORD code);
// Error::os(code, system_text(code)).
Error os_error(DWORD code);
// os_error(GetLastError()).
Error last_error();

// A WTF-8 path as the W functions take it (see widen_path); fails with
// ERROR_INVALID_NAME for a path holding a NUL character.
Result<std::wstring> wide_path(std::string_view path);
// The same without the long-path prefix, for calls that return a path.
Result<std::wstring> wide_text(std::string_view text);
std::string narrow(const wchar_t* text, std::size_t length);

// DeviceIoControl, synchronous, on `device`, a handle opened from
// `device_path` ("\\.\E:"): the one call of the backend that issues it
// (win32_control.cpp). The path rides along so that a stand-in linked in its
// place can tell which volume is asked.
extern "C" BOOL quillon_volume_control(HANDLE device, const wchar_t* device_path, DWORD code, void* in,
                                       DWORD in_size, void* out, DWORD out_size, DWORD* returned);
// OpenFileById of an NTFS file reference relative to `relative_to`, a
// handle opened from `relative_path` (on the volume asked about), with no
// access and share mode 7: the backend's one call of it, likewise.
extern "C" HANDLE quillon_open_by_id(HANDLE relative_to, const wchar_t* relative_path, ULONGLONG file_reference);

// The objects behind the seam.
Result<std::unique_ptr<VolumeDevice>> open_volume_device(std::string_view device_path);
Result<std::unique_ptr<FileHandle>> open_file_handle(std::string_view path);

}  // namespace quillon::platform::win32_backend

#endif
