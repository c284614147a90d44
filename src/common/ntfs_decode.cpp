#include "common/ntfs_decode.h"

#include <algorithm>
#include <array>
#include <vector>

#include "common/ntfs_layout.h"

namespace quillon::ntfs {

bool misplaced_record(Bytes record, std::uint64_t number) {
  if (!has_tag(record, 0, "FILE") && !has_tag(record, 0, "BAAD")) return false;
  auto usa_offset = u16_at(record, multi_sector::kUsaOffset);
  auto own = u32_at(record, record::kRecordNumber);
  if (!usa_offset || *usa_offset < record::kNumberedUsaOffset || !own) return false;
  return *own != static_cast<std::uint32_t>(number);
}

bool apply_update_sequence(std::span<std::byte> block, TornStride torn) {
  namespace ms = multi_sector;
  const Bytes b = block;
  const std::uint64_t size = block.size();
  auto usa_offset = u16_at(b, ms::kUsaOffset), usa_count = u16_at(b, ms::kUsaCount);
  if (!usa_offset || !usa_count || (*usa_offset & 1) != 0) return false;
  const std::uint64_t count = *usa_count, offset = *usa_offset;
  const bool strict = torn == TornStride::refuse_block;
  if (count < (strict ? 2u : 1u)) return false;
  if (!in_bounds(size, offset, 2 * count) || (count - 1) * ms::kStride > size) return false;
  if (strict && offset + 2 * count > ms::kStride - 2) return false;
  const std::byte usn0 = block[offset], usn1 = block[offset + 1];
  auto holds_usn = [&](std::uint64_t i) {
    const std::uint64_t end = i * ms::kStride - 2;
    return block[end] == usn0 && block[end + 1] == usn1;
  };
  if (strict)
    for (std::uint64_t i = 1; i < count; ++i)
      if (!holds_usn(i)) return false;
  auto restore = [&](Bytes saved) {
    for (std::uint64_t i = 1; i < count; ++i) {
      if (!holds_usn(i)) continue;  // torn: left as read
      const std::uint64_t end = i * ms::kStride - 2;
      block[end] = saved[2 * i];
      block[end + 1] = saved[2 * i + 1];
    }
  };
  // The saved bytes are read where they are, unless the array reaches a
  // stride's end that the loop rewrites (possible in a lenient block): then
  // from a copy, on the stack for any array a record or an index block holds.
  const std::uint64_t first_end = (offset + 2 + ms::kStride - 1) / ms::kStride;  // the first stride ending at or after it
  if (first_end >= count || first_end * ms::kStride - 2 >= offset + 2 * count) {
    restore(b.subspan(static_cast<std::size_t>(offset), static_cast<std::size_t>(2 * count)));
    return true;
  }
  std::array<std::byte, 256> small{};
  std::vector<std::byte> large;
  std::span<std::byte> saved = small;
  if (2 * count > small.size()) {
    large.resize(2 * count);
    saved = large;
  }
  std::copy_n(block.begin() + offset, 2 * count, saved.begin());
  restore(saved);
  return true;
}

std::vector<AttributeRef> walk_attributes(Bytes record, AttributeBound bound) {
  std::vector<AttributeRef> out;
  for_each_attribute(record, bound, [&](const AttributeRef& a) {
    out.push_back(a);
    return true;
  });
  return out;
}

std::optional<FileNameValue> read_file_name(Bytes value) {
  namespace fn = file_name;
  if (value.size() < fn::kFixedSize) return std::nullopt;
  const std::byte* p = value.data();
  FileNameValue f;
  f.name_space = std::to_integer<std::uint8_t>(p[fn::kNamespace]);
  auto name = sub(value, fn::kName, 2 * std::uint64_t{std::to_integer<std::uint8_t>(p[fn::kNameLength])});
  if (!name) return std::nullopt;
  f.name = *name;
  f.parent = load_le<std::uint64_t>(p + fn::kParent);
  f.created = load_le<std::uint64_t>(p + fn::kCreated);
  f.modified = load_le<std::uint64_t>(p + fn::kModified);
  f.allocated_size = load_le<std::uint64_t>(p + fn::kAllocatedSize);
  f.data_size = load_le<std::uint64_t>(p + fn::kDataSize);
  f.file_attributes = load_le<std::uint32_t>(p + fn::kFileAttributes);
  f.reparse_tag = load_le<std::uint32_t>(p + fn::kReparseTag);
  return f;
}

PairRead read_mapping_pair(Bytes pairs, std::uint64_t pos, MappingPair& out) {
  auto head = u8_at(pairs, pos);
  if (!head) return PairRead::missing;
  if (*head == 0) return PairRead::end;
  const unsigned len_size = *head & 0x0F, off_size = *head >> 4;
  if (len_size > 8 || off_size > 8 || !in_bounds(pairs.size(), pos + 1, len_size + off_size))
    return PairRead::malformed;
  out = MappingPair{};
  for (unsigned i = 0; i < len_size; ++i)
    out.length |= static_cast<std::uint64_t>(std::to_integer<std::uint8_t>(pairs[pos + 1 + i])) << (8 * i);
  std::uint64_t raw = 0;
  for (unsigned i = 0; i < off_size; ++i)
    raw |= static_cast<std::uint64_t>(std::to_integer<std::uint8_t>(pairs[pos + 1 + len_size + i])) << (8 * i);
  if (off_size > 0 && off_size < 8 && ((raw >> (8 * off_size - 1)) & 1)) raw |= ~std::uint64_t{0} << (8 * off_size);
  out.delta = static_cast<std::int64_t>(raw);
  out.has_offset = off_size > 0;
  out.size = 1 + len_size + off_size;
  return PairRead::pair;
}

}  // namespace quillon::ntfs
