// The NTFS backend's parts that other sources of a volume share: the live
// view (paths, listings, file ids) and the volume handles, over any
// NtfsVolume. An image file fills them from the image alone; a collection
// of copied metadata files (platform/collection) puts a volume together
// from the copies and answers some parts in its own way.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string_view>

#include "platform/image/ntfs_volume.h"
#include "platform/platform.h"

namespace quillon::platform::image {

// Where the live view finds the entries of a directory.
class DirectorySource {
 public:
  virtual ~DirectorySource() = default;
  // The entry of `dir` named `name` (compared case-insensitively).
  virtual std::optional<IndexEntry> find(NtfsReader& reader, const FileRecord& dir, std::u16string_view name) = 0;
  // Every entry of `dir`, in index order.
  virtual std::shared_ptr<const DirectoryListing> listing(NtfsReader& reader, const FileRecord& dir) = 0;
};

// DeviceIoControl on a volume handle.
using ControlAnswer =
    std::function<Result<std::size_t>(NtfsReader& reader, std::uint32_t code, Bytes in, std::span<std::byte> out)>;

struct BackendParts {
  std::shared_ptr<const NtfsVolume> volume;
  ImageFile file;  // read by the live view; each volume handle reopens it
  char letter = 'E';
  bool can_change = false;  // see VolumeDevice::can_change
  std::unique_ptr<DirectorySource> directories;  // none: the volume's own $I30 indexes
  ControlAnswer control;                         // none: answer_control
};

std::unique_ptr<Platform> make_ntfs_platform(BackendParts parts);

}  // namespace quillon::platform::image
