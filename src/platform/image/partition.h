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
#include <string>
#include <vector>

namespace quillon::platform::image {

struct VolumeExtent {
  std::uint64_t offset = 0;
  std::uint64_t length = 0;  // bytes the partition table gives (or up to the end of the image)
};

// Reads `out.size()` bytes at a byte offset of the image; false on failure.
using ReadAt = std::function<bool(std::uint64_t, std::span<std::byte>)>;

std::optional<VolumeExtent> locate_ntfs_volume(const ReadAt& read, std::uint64_t image_size);

// One partition of a disk image's table.
struct PartitionInfo {
  // Numbered as Linux numbers them: MBR slots 1 to 4, logical partitions from
  // 5 on; GPT entries from 1 in table order.
  unsigned number = 0;
  std::uint64_t offset = 0;  // bytes from the start of the image
  std::uint64_t length = 0;  // bytes the table gives
  bool ntfs = false;         // its first sector, or its last, holds an NTFS boot sector
};

// Every partition of the image's MBR (with its extended chains) or GPT; empty
// when the image has no partition table.
std::vector<PartitionInfo> list_partitions(const ReadAt& read, std::uint64_t image_size);

// "partitions found: 1 at byte 1048576 (sector 2048, NTFS), 2 at ..." or
// "no MBR or GPT partition table found".
std::string describe_partitions(const std::vector<PartitionInfo>& partitions);

}  // namespace quillon::platform::image
