// The NTFS boot sector: the geometry of the volume. Every field the reader
// depends on is checked; a sector that fails any check is not NTFS to us.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "common/bytes.h"

namespace quillon::platform::image {

struct BootSector {
  std::uint32_t bytes_per_sector = 0;
  std::uint32_t sectors_per_cluster = 0;
  std::uint32_t bytes_per_cluster = 0;
  std::uint64_t total_sectors = 0;
  std::uint64_t total_clusters = 0;
  std::uint64_t mft_lcn = 0;
  std::uint64_t mft_mirror_lcn = 0;
  std::uint32_t record_size = 0;
  std::uint32_t index_block_size = 0;
  std::uint64_t serial = 0;

  std::uint64_t volume_bytes() const { return total_sectors * bytes_per_sector; }
  bool operator==(const BootSector&) const = default;
};

// Parses the first 512 bytes of a volume. On failure `why` (when given) says
// which check failed, for the error line.
std::optional<BootSector> parse_boot_sector(Bytes sector, std::string* why = nullptr);

// True when the 8-byte OEM id at offset 3 reads "NTFS    " (the quick test
// used to pick a partition).
bool has_ntfs_signature(Bytes sector);

}  // namespace quillon::platform::image
