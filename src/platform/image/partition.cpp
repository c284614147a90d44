#include "platform/image/partition.h"

#include <algorithm>
#include <array>
#include <set>
#include <vector>

#include "common/bytes.h"
#include "platform/image/boot_sector.h"

namespace quillon::platform::image {

namespace {

constexpr std::uint64_t kSector = 512;
constexpr int kMaxLogical = 128;   // logical partitions followed in one extended chain
constexpr std::uint32_t kMaxGptEntries = 1024;

using Sector = std::array<std::byte, kSector>;

bool read_sector(const ReadAt& read, std::uint64_t offset, Sector& s) { return read(offset, s); }

// True when the last 512- or 4096-byte sector before `end` (not below
// `start`) carries the NTFS signature: the backup boot sector.
bool ntfs_backup_before(const ReadAt& read, std::uint64_t start, std::uint64_t end) {
  for (std::uint64_t size : {kSector, std::uint64_t{4096}}) {
    Sector s;
    if (end >= start + 2 * size && read_sector(read, end - size, s) && has_ntfs_signature(s)) return true;
  }
  return false;
}

// An extent, clipped to the image, when its first sector holds an NTFS boot
// sector, or its last one the backup.
std::optional<VolumeExtent> ntfs_at(const ReadAt& read, std::uint64_t image_size, std::uint64_t start_lba,
                                    std::uint64_t sectors) {
  if (start_lba == 0 || start_lba > image_size / kSector) return std::nullopt;
  std::uint64_t offset = start_lba * kSector;
  std::uint64_t length = sectors <= (image_size - offset) / kSector ? sectors * kSector : image_size - offset;
  Sector s;
  if (!read_sector(read, offset, s)) return std::nullopt;
  if (!has_ntfs_signature(s) && !ntfs_backup_before(read, offset, offset + length)) return std::nullopt;
  return VolumeExtent{offset, length};
}

bool is_extended(std::uint8_t type) { return type == 0x05 || type == 0x0F || type == 0x85; }

std::optional<VolumeExtent> from_gpt(const ReadAt& read, std::uint64_t image_size) {
  Sector h;
  if (!read_sector(read, kSector, h) || !has_tag(h, 0, "EFI PART")) return std::nullopt;
  std::uint64_t entries_lba = *u64_at(h, 0x48);
  std::uint32_t count = *u32_at(h, 0x50);
  std::uint32_t entry_size = *u32_at(h, 0x54);
  if (entry_size < 128 || entry_size > 4096 || entry_size % 8 != 0 || count == 0) return std::nullopt;
  if (count > kMaxGptEntries) count = kMaxGptEntries;
  if (entries_lba == 0 || entries_lba > image_size / kSector) return std::nullopt;
  std::vector<std::byte> table(static_cast<std::size_t>(entry_size) * count);
  std::uint64_t table_offset = entries_lba * kSector;
  if (!in_bounds(image_size, table_offset, table.size()))
    table.resize(static_cast<std::size_t>((image_size - table_offset) / entry_size * entry_size));
  if (table.empty() || !read(table_offset, table)) return std::nullopt;
  for (std::size_t i = 0; i + entry_size <= table.size(); i += entry_size) {
    Bytes e = Bytes(table).subspan(i, entry_size);
    bool used = false;
    for (std::size_t k = 0; k < 16; ++k) used |= e[k] != std::byte{0};
    if (!used) continue;
    std::uint64_t first = *u64_at(e, 32), last = *u64_at(e, 40);
    if (last < first) continue;
    if (auto v = ntfs_at(read, image_size, first, last - first + 1)) return v;
  }
  return std::nullopt;
}

std::optional<VolumeExtent> from_extended(const ReadAt& read, std::uint64_t image_size, std::uint64_t ext_lba) {
  std::set<std::uint64_t> seen;
  std::uint64_t ebr = ext_lba;
  for (int n = 0; n < kMaxLogical && seen.insert(ebr).second; ++n) {
    Sector s;
    if (ebr > image_size / kSector || !read_sector(read, ebr * kSector, s) || *u16_at(s, 510) != 0xAA55)
      return std::nullopt;
    Bytes first = Bytes(s).subspan(0x1BE, 16), next = Bytes(s).subspan(0x1CE, 16);
    std::uint8_t type = *u8_at(first, 4);
    std::uint32_t rel = *u32_at(first, 8), count = *u32_at(first, 12);
    if (type != 0 && count != 0)
      if (auto v = ntfs_at(read, image_size, ebr + rel, count)) return v;
    std::uint32_t next_rel = *u32_at(next, 8);
    if (!is_extended(*u8_at(next, 4)) || next_rel == 0) return std::nullopt;
    ebr = ext_lba + next_rel;
  }
  return std::nullopt;
}

}  // namespace

namespace {

std::optional<VolumeExtent> locate_by_first_sectors(const ReadAt& read, std::uint64_t image_size) {
  Sector s;
  if (!read_sector(read, 0, s)) return std::nullopt;
  if (has_ntfs_signature(s)) return VolumeExtent{0, image_size};
  if (*u16_at(s, 510) != 0xAA55) return std::nullopt;
  struct Entry {
    std::uint8_t type;
    std::uint32_t start, count;
  };
  std::array<Entry, 4> entries{};
  bool protective = false;
  for (int i = 0; i < 4; ++i) {
    Bytes e = Bytes(s).subspan(0x1BE + 16 * i, 16);
    entries[i] = {*u8_at(e, 4), *u32_at(e, 8), *u32_at(e, 12)};
    protective |= entries[i].type == 0xEE;
  }
  if (protective) return from_gpt(read, image_size);
  for (const auto& e : entries) {
    if (e.type == 0 || e.count == 0 || is_extended(e.type)) continue;
    if (auto v = ntfs_at(read, image_size, e.start, e.count)) return v;
  }
  for (const auto& e : entries)
    if (is_extended(e.type) && e.start != 0)
      if (auto v = from_extended(read, image_size, e.start)) return v;
  return std::nullopt;
}

}  // namespace

std::optional<VolumeExtent> locate_ntfs_volume(const ReadAt& read, std::uint64_t image_size) {
  if (auto v = locate_by_first_sectors(read, image_size)) return v;
  // A bare volume whose first sector is damaged past recognition: its
  // backup boot sector ends the image.
  if (ntfs_backup_before(read, 0, image_size)) return VolumeExtent{0, image_size};
  return std::nullopt;
}

namespace {

void add_partition(std::vector<PartitionInfo>& out, const ReadAt& read, std::uint64_t image_size, unsigned number,
                   std::uint64_t start_lba, std::uint64_t sectors) {
  if (start_lba == 0 || start_lba > image_size / kSector || sectors > UINT64_MAX / kSector) return;
  PartitionInfo p{number, start_lba * kSector, sectors * kSector, false};
  p.ntfs = ntfs_at(read, image_size, start_lba, sectors).has_value();
  out.push_back(p);
}

void list_gpt(std::vector<PartitionInfo>& out, const ReadAt& read, std::uint64_t image_size) {
  Sector h;
  if (!read_sector(read, kSector, h) || !has_tag(h, 0, "EFI PART")) return;
  std::uint64_t entries_lba = *u64_at(h, 0x48);
  std::uint32_t count = std::min(*u32_at(h, 0x50), kMaxGptEntries);
  std::uint32_t entry_size = *u32_at(h, 0x54);
  if (entry_size < 128 || entry_size > 4096 || entry_size % 8 != 0 || count == 0) return;
  if (entries_lba == 0 || entries_lba > image_size / kSector) return;
  std::vector<std::byte> table(static_cast<std::size_t>(entry_size) * count);
  std::uint64_t table_offset = entries_lba * kSector;
  if (!in_bounds(image_size, table_offset, table.size()))
    table.resize(static_cast<std::size_t>((image_size - table_offset) / entry_size * entry_size));
  if (table.empty() || !read(table_offset, table)) return;
  for (std::size_t i = 0; i + entry_size <= table.size(); i += entry_size) {
    Bytes e = Bytes(table).subspan(i, entry_size);
    bool used = false;
    for (std::size_t k = 0; k < 16; ++k) used |= e[k] != std::byte{0};
    std::uint64_t first = *u64_at(e, 32), last = *u64_at(e, 40);
    if (!used || last < first) continue;
    add_partition(out, read, image_size, static_cast<unsigned>(i / entry_size + 1), first, last - first + 1);
  }
}

void list_extended(std::vector<PartitionInfo>& out, const ReadAt& read, std::uint64_t image_size,
                   std::uint64_t ext_lba, unsigned& number) {
  std::set<std::uint64_t> seen;
  std::uint64_t ebr = ext_lba;
  for (int n = 0; n < kMaxLogical && seen.insert(ebr).second; ++n) {
    Sector s;
    if (ebr > image_size / kSector || !read_sector(read, ebr * kSector, s) || *u16_at(s, 510) != 0xAA55) return;
    Bytes first = Bytes(s).subspan(0x1BE, 16), next = Bytes(s).subspan(0x1CE, 16);
    if (*u8_at(first, 4) != 0 && *u32_at(first, 12) != 0)
      add_partition(out, read, image_size, number++, ebr + *u32_at(first, 8), *u32_at(first, 12));
    std::uint32_t next_rel = *u32_at(next, 8);
    if (!is_extended(*u8_at(next, 4)) || next_rel == 0) return;
    ebr = ext_lba + next_rel;
  }
}

}  // namespace

std::vector<PartitionInfo> list_partitions(const ReadAt& read, std::uint64_t image_size) {
  std::vector<PartitionInfo> out;
  Sector s;
  if (!read_sector(read, 0, s) || has_ntfs_signature(s) || *u16_at(s, 510) != 0xAA55) return out;
  bool protective = false;
  for (int i = 0; i < 4; ++i) protective |= *u8_at(s, 0x1BE + 16 * i + 4) == 0xEE;
  if (protective) {
    list_gpt(out, read, image_size);
    return out;
  }
  unsigned logical = 5;
  for (unsigned i = 0; i < 4; ++i) {
    Bytes e = Bytes(s).subspan(0x1BE + 16 * i, 16);
    std::uint8_t type = *u8_at(e, 4);
    std::uint32_t start = *u32_at(e, 8), count = *u32_at(e, 12);
    if (type == 0 || count == 0) continue;
    if (is_extended(type)) {
      if (start != 0) list_extended(out, read, image_size, start, logical);
      continue;
    }
    add_partition(out, read, image_size, i + 1, start, count);
  }
  std::stable_sort(out.begin(), out.end(),
                   [](const PartitionInfo& a, const PartitionInfo& b) { return a.number < b.number; });
  return out;
}

std::string describe_partitions(const std::vector<PartitionInfo>& partitions) {
  if (partitions.empty()) return "no MBR or GPT partition table found";
  std::string out = "partitions found:";
  for (std::size_t i = 0; i < partitions.size(); ++i) {
    const auto& p = partitions[i];
    out += i ? ", " : " ";
    out += std::to_string(p.number) + " at byte " + std::to_string(p.offset) + " (sector " +
           std::to_string(p.offset / kSector) + ", " + std::to_string(p.length) + " bytes" +
           (p.ntfs ? ", NTFS)" : ")");
  }
  return out;
}

}  // namespace quillon::platform::image
