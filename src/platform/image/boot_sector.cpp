#include "platform/image/boot_sector.h"

namespace quillon::platform::image {

namespace {

bool power_of_two(std::uint64_t v) { return v != 0 && (v & (v - 1)) == 0; }

// Clusters-per-record and clusters-per-index-block are signed bytes: a
// positive value counts clusters, a negative one gives 2^-value bytes.
std::optional<std::uint64_t> unit_size(std::uint8_t raw, std::uint32_t cluster) {
  auto v = static_cast<std::int8_t>(raw);
  if (v > 0) return static_cast<std::uint64_t>(v) * cluster;
  if (v < 0 && v >= -31) return std::uint64_t{1} << (-v);
  return std::nullopt;
}

std::optional<BootSector> reject(std::string* why, const char* text) {
  if (why) *why = text;
  return std::nullopt;
}

}  // namespace

bool has_ntfs_signature(Bytes sector) { return has_tag(sector, 3, "NTFS    "); }

std::optional<BootSector> parse_boot_sector(Bytes s, std::string* why) {
  if (s.size() < 512) return reject(why, "the boot sector is cut short");
  if (!has_ntfs_signature(s)) return reject(why, "no NTFS boot sector (the OEM id is not \"NTFS\")");
  if (*u16_at(s, 0x1FE) != 0xAA55) return reject(why, "the boot sector lacks its 55 AA end marker");
  BootSector b;
  b.bytes_per_sector = *u16_at(s, 0x0B);
  if (!power_of_two(b.bytes_per_sector) || b.bytes_per_sector < 256 || b.bytes_per_sector > 4096)
    return reject(why, "the boot sector gives an impossible sector size");
  const unsigned spc = *u8_at(s, 0x0D);
  // Values above 0x80 encode 2^(256 - value) sectors (large clusters); the
  // exponent is checked before it is used as a shift.
  if (spc > 0x80 && 256 - spc > 12) return reject(why, "the boot sector gives an impossible cluster size");
  const std::uint64_t sectors = spc <= 0x80 ? spc : (std::uint64_t{1} << (256 - spc));
  if (!power_of_two(sectors)) return reject(why, "the boot sector gives an impossible cluster size");
  std::uint64_t cluster = sectors * b.bytes_per_sector;
  if (cluster > (std::uint64_t{1} << 21)) return reject(why, "the boot sector gives an impossible cluster size");
  b.sectors_per_cluster = static_cast<std::uint32_t>(sectors);
  b.bytes_per_cluster = static_cast<std::uint32_t>(cluster);
  b.total_sectors = *u64_at(s, 0x28);
  if (b.total_sectors == 0 || b.total_sectors > (std::uint64_t{1} << 52))
    return reject(why, "the boot sector gives an impossible volume size");
  b.total_clusters = b.total_sectors / sectors;
  b.mft_lcn = *u64_at(s, 0x30);
  b.mft_mirror_lcn = *u64_at(s, 0x38);
  if (b.mft_lcn == 0 || b.mft_lcn >= b.total_clusters || b.mft_mirror_lcn >= b.total_clusters)
    return reject(why, "the boot sector places the $MFT outside the volume");
  auto record = unit_size(*u8_at(s, 0x40), b.bytes_per_cluster);
  if (!record || !power_of_two(*record) || *record < 512 || *record > 65536)
    return reject(why, "the boot sector gives an impossible FILE record size");
  b.record_size = static_cast<std::uint32_t>(*record);
  auto index = unit_size(*u8_at(s, 0x44), b.bytes_per_cluster);
  if (!index || !power_of_two(*index) || *index < 512 || *index > 65536)
    return reject(why, "the boot sector gives an impossible index block size");
  b.index_block_size = static_cast<std::uint32_t>(*index);
  b.serial = *u64_at(s, 0x48);
  return b;
}

}  // namespace quillon::platform::image
