// The platform seam: every operating-system call the program makes, in
// Windows terms. Above this header the code is portable C++; each backend
// (Win32, NTFS image, in-memory for tests) implements it in a file of its own.
//
// Paths are WTF-8 text. Errors are Win32 error codes with their system text
// (Error::os), so that the engine cannot tell one backend from another.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/error.h"

namespace quillon::platform {

// File attribute bits as FindFirstFileExW reports them.
inline constexpr std::uint32_t FILE_ATTRIBUTE_READONLY = 0x1;
inline constexpr std::uint32_t FILE_ATTRIBUTE_HIDDEN = 0x2;
inline constexpr std::uint32_t FILE_ATTRIBUTE_SYSTEM = 0x4;
inline constexpr std::uint32_t FILE_ATTRIBUTE_DIRECTORY = 0x10;
inline constexpr std::uint32_t FILE_ATTRIBUTE_ARCHIVE = 0x20;
inline constexpr std::uint32_t FILE_ATTRIBUTE_NORMAL = 0x80;
inline constexpr std::uint32_t FILE_ATTRIBUTE_REPARSE_POINT = 0x400;

// Reparse tags.
inline constexpr std::uint32_t IO_REPARSE_TAG_MOUNT_POINT = 0xA0000003;
inline constexpr std::uint32_t IO_REPARSE_TAG_SYMLINK = 0xA000000C;
inline constexpr std::uint32_t REPARSE_TAG_NAME_SURROGATE = 0x20000000;

// File system control codes the program issues.
inline constexpr std::uint32_t FSCTL_GET_NTFS_VOLUME_DATA = 0x00090064;
inline constexpr std::uint32_t FSCTL_GET_NTFS_FILE_RECORD = 0x00090068;
inline constexpr std::uint32_t FSCTL_QUERY_USN_JOURNAL = 0x000900F4;
inline constexpr std::uint32_t FSCTL_READ_USN_JOURNAL = 0x000900BB;
inline constexpr std::uint32_t FSCTL_ENUM_USN_DATA = 0x000900B3;

// An open, read-only handle on a volume device ("\\.\E:"). One thread at a
// time; every worker opens its own.
class VolumeDevice {
 public:
  virtual ~VolumeDevice() = default;
  // Reads exactly out.size() bytes at byte `offset`. Reading past the end of
  // the volume fails with ERROR_HANDLE_EOF (38), as Windows does.
  virtual Result<void> read_exact_at(std::uint64_t offset, std::span<std::byte> out) = 0;
  // DeviceIoControl: `in` is the input buffer, `out` the output buffer; on
  // success the number of bytes written to `out`.
  virtual Result<std::size_t> control(std::uint32_t code, std::span<const std::byte> in,
                                      std::span<std::byte> out) = 0;
  // Whether what the device reads can change while the program runs: a live
  // volume or a block device can (a freed record may reach the disk late);
  // an image file opened read-only cannot.
  virtual bool can_change() const { return true; }
};

// FILE_ID_INFO as GetFileInformationByHandleEx(FileIdInfo) fills it.
struct FileIdInfo {
  std::uint64_t volume_serial = 0;
  std::array<std::byte, 16> file_id{};
  // Bytes 8..15 of the 24-byte buffer: the low 8 bytes of the id.
  std::uint64_t low64() const;
};

// An open file or directory (CreateFileW with FILE_FLAG_BACKUP_SEMANTICS,
// FILE_READ_ATTRIBUTES access, share mode 7; SeBackupPrivilege enabled when
// the process holds it).
class FileHandle {
 public:
  virtual ~FileHandle() = default;
  virtual Result<FileIdInfo> file_id_info() = 0;
  // GetFinalPathNameByHandleW: the canonical path, "\\?\E:\dir" form.
  virtual Result<std::string> final_path_name() = 0;
  // Whether the 64-bit file reference (record number and sequence) names a
  // file that lives on this handle's volume (OpenFileById relative to it).
  // A reference whose sequence is 0 is never taken as alive. Access denied
  // is passed on as the error ERROR_ACCESS_DENIED: a file deleted while
  // another handle still holds it open (delete pending) answers so, as does
  // a live file closed to us.
  virtual Result<bool> reference_alive(std::uint64_t file_reference) = 0;
};

struct DirectoryEntry {
  std::string name;
  std::uint32_t attributes = 0;
  std::uint32_t reparse_tag = 0;  // meaningful when FILE_ATTRIBUTE_REPARSE_POINT is set
};

struct Metadata {
  bool is_directory = false;  // of the target, links followed
  bool is_link = false;       // the path itself is a symbolic link or junction
};

class Platform {
 public:
  virtual ~Platform() = default;

  virtual Result<std::unique_ptr<VolumeDevice>> open_volume(std::string_view device_path) = 0;
  virtual Result<std::unique_ptr<FileHandle>> open_path(std::string_view path) = 0;
  // FindFirstFileExW / FindNextFileW over `path`\*.
  virtual Result<std::vector<DirectoryEntry>> list_directory(std::string_view path) = 0;
  // Metadata with links followed; fails when the path does not exist.
  virtual Result<Metadata> metadata(std::string_view path) = 0;
  // GetFullPathNameW.
  virtual Result<std::string> full_path_name(std::string_view path) = 0;
  // Standard output: UTF-8 text, written through the console's Unicode
  // interface when standard output is a console.
  virtual void write_output(std::string_view utf8) = 0;
};

// The platform of this process. Until something is installed it is the
// native backend (Win32 on Windows; elsewhere one whose every call says a
// volume image is needed).
Platform& current();
// Replaces the process's platform; returns the previous one.
std::unique_ptr<Platform> install(std::unique_ptr<Platform> platform);

// Installs a platform for one scope (tests) and restores the previous one.
class ScopedPlatform {
 public:
  explicit ScopedPlatform(std::unique_ptr<Platform> platform) : previous_(install(std::move(platform))) {}
  ~ScopedPlatform() { install(std::move(previous_)); }
  ScopedPlatform(const ScopedPlatform&) = delete;
  ScopedPlatform& operator=(const ScopedPlatform&) = delete;

 private:
  std::unique_ptr<Platform> previous_;
};

// Native backend for this operating system.
std::unique_ptr<Platform> make_native_platform();

// Canonical path of an existing file or directory: full path name, open,
// final path name (the "\\?\" prefix kept).
Result<std::string> canonical_path(Platform& platform, std::string_view path);

// Files of the machine the program runs on (never of an examined image):
// whether `path` names anything, and a new file made with `bytes` that never
// replaces an existing one (CreateFileW with CREATE_NEW; O_CREAT|O_EXCL).
bool native_file_exists(std::string_view path);
Result<void> write_new_native_file(std::string_view path, std::string_view bytes);

// Writes text to the process's standard output through the platform.
void print(std::string_view utf8);

// The native way of writing standard output (console or redirected), for
// backends that stand in for the file system but not for the console.
void write_native_output(std::string_view utf8);

}  // namespace quillon::platform
