// Volume access: the drive letter of a folder, the raw volume device, exact
// positioned reads and the folder's file id.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/error.h"
#include "platform/platform.h"

namespace quillon {

// An open, read-only handle on the volume device. Owned by one thread.
class VolumeReader {
 public:
  explicit VolumeReader(std::unique_ptr<platform::VolumeDevice> device) : device_(std::move(device)) {}

  platform::VolumeDevice& device() { return *device_; }
  // See VolumeDevice::can_change.
  bool can_change() const { return device_->can_change(); }
  // DeviceIoControl on the volume handle.
  Result<std::size_t> control(std::uint32_t code, std::span<const std::byte> in, std::span<std::byte> out) {
    return device_->control(code, in, out);
  }

 private:
  std::unique_ptr<platform::VolumeDevice> device_;
};

struct FolderId {
  std::uint64_t file_id = 0;  // full 64-bit FRN (with sequence)
  std::uint64_t record = 0;   // file_id & 0xFFFFFFFFFFFF
};

inline constexpr std::uint64_t kRecordMask = 0xFFFFFFFFFFFFULL;

std::optional<char> drive_letter_for_path(std::string_view path);
// Every call below reaches the system through `platform`.
std::optional<char> drive_letter_of(platform::Platform& platform, std::string_view path);
std::string volume_device_path(char letter);
Result<VolumeReader> open_volume(platform::Platform& platform, char letter);
// `length` bytes at `offset`, or nothing on any failure (callers skip).
std::optional<std::vector<std::byte>> read_exact_at(VolumeReader& reader, std::uint64_t offset, std::size_t length);
// The same into a caller's buffer; false on any failure.
bool read_exact_into(VolumeReader& reader, std::uint64_t offset, std::span<std::byte> out);
Result<FolderId> folder_frn(platform::Platform& platform, std::string_view path);
// The root folder of the drive `letter`, open: the handle through which file
// references are opened by id. Null when it cannot be opened.
std::shared_ptr<platform::FileHandle> open_volume_root(platform::Platform& platform, char letter);

// The folder as the file system resolves it, so that every spelling of one
// folder (E:2, E:\.\2, E:\2., E:/2, a junction, an 8.3 alias) gives the same
// text: the final path name of its full path name without the \\?\ prefix
// when that names the same drive; else the full path name when that names a
// drive (a folder that does not exist); else the text as given.
std::string canonical_folder(platform::Platform& platform, std::string_view path);
// The drive letter written in a folder's text, also after a verbatim
// "\\?\\" prefix; never looked up on the file system.
std::optional<char> typed_drive_letter(std::string_view path);

}  // namespace quillon
