// Where the NTFS volume lies inside an image: the image itself when it starts
// with an NTFS boot sector, else the first NTFS partition of its MBR
// (primary, then logical partitions of extended ones) or GPT table, else the
// image itself when its last sector is an NTFS backup boot sector. A
// partition counts as NTFS by its first sector or, when that is damaged, by
// the backup boot sector in its last.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>

namespace quillon::platform::image {

struct VolumeExtent {
  std::uint64_t offset = 0;
  std::uint64_t length = 0;  // bytes the partition table gives (or up to the end of the image)
};

// Reads `out.size()` bytes at a byte offset of the image; false on failure.
using ReadAt = std::function<bool(std::uint64_t, std::span<std::byte>)>;

std::optional<VolumeExtent> locate_ntfs_volume(const ReadAt& read, std::uint64_t image_size);

}  // namespace quillon::platform::image
