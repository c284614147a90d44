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
std::optional<char> drive_letter_of(std::string_view path);
std::string volume_device_path(char letter);
Result<VolumeReader> open_volume(char letter);
// `length` bytes at `offset`, or nothing on any failure (callers skip).
std::optional<std::vector<std::byte>> read_exact_at(VolumeReader& reader, std::uint64_t offset, std::size_t length);
// The same into a caller's buffer; false on any failure.
bool read_exact_into(VolumeReader& reader, std::uint64_t offset, std::span<std::byte> out);
Result<FolderId> folder_frn(std::string_view path);
// The root folder of the drive `letter`, open: the handle through which file
// references are opened by id. Null when it cannot be opened.
std::shared_ptr<platform::FileHandle> open_volume_root(char letter);

}  // namespace quillon
