#include "platform/image/file_record.h"

namespace quillon::platform::image {

namespace {
constexpr std::size_t kStride = 512;
}

bool apply_fixups(std::span<std::byte> block) {
  Bytes b = block;
  auto usa_offset = u16_at(b, 4), usa_count = u16_at(b, 6);
  if (!usa_offset || !usa_count || *usa_count < 2 || *usa_offset % 2 != 0) return false;
  std::size_t strides = *usa_count - 1u;
  if (strides * kStride > block.size() || !in_bounds(block.size(), *usa_offset, 2u * *usa_count)) return false;
  // The array must lie in the first stride, before its protected last bytes.
  if (*usa_offset + 2u * *usa_count > kStride - 2) return false;
  std::uint16_t usn = *u16_at(b, *usa_offset);
  for (std::size_t i = 1; i <= strides; ++i) {
    std::size_t end = i * kStride - 2;
    if (load_le<std::uint16_t>(block.data() + end) != usn) return false;
  }
  for (std::size_t i = 1; i <= strides; ++i) {
    std::size_t end = i * kStride - 2;
    block[end] = block[*usa_offset + 2 * i];
    block[end + 1] = block[*usa_offset + 2 * i + 1];
  }
  return true;
}

std::optional<RecordHeader> parse_record_header(Bytes r) {
  if (r.size() < 48 || !has_tag(r, 0, "FILE")) return std::nullopt;
  RecordHeader h;
  h.sequence = *u16_at(r, 0x10);
  h.link_count = *u16_at(r, 0x12);
  h.first_attribute = *u16_at(r, 0x14);
  h.flags = *u16_at(r, 0x16);
  h.bytes_in_use = *u32_at(r, 0x18);
  h.base_reference = *u64_at(r, 0x20);
  if (h.bytes_in_use > r.size() || h.first_attribute < 0x18 || h.first_attribute % 8 != 0 ||
      h.first_attribute >= h.bytes_in_use)
    return std::nullopt;
  return h;
}

std::optional<std::u16string> utf16_at(Bytes b, std::uint64_t offset, std::uint64_t count) {
  if (count > (UINT64_MAX / 2) || !in_bounds(b.size(), offset, count * 2)) return std::nullopt;
  std::u16string s(static_cast<std::size_t>(count), u'\0');
  for (std::size_t i = 0; i < s.size(); ++i) s[i] = static_cast<char16_t>(load_le<std::uint16_t>(b.data() + offset + 2 * i));
  return s;
}

namespace {

std::optional<Attribute> parse_one(Bytes a, std::uint64_t total_clusters) {
  Attribute at;
  at.type = *u32_at(a, 0);
  auto non_resident = *u8_at(a, 8);
  auto name_len = *u8_at(a, 9);
  auto name_off = *u16_at(a, 10);
  at.flags = *u16_at(a, 12);
  at.id = *u16_at(a, 14);
  if (name_len) {
    auto n = utf16_at(a, name_off, name_len);
    if (!n) return std::nullopt;
    at.name = std::move(*n);
  }
  if (non_resident == 0) {
    auto len = u32_at(a, 0x10);
    auto off = u16_at(a, 0x14);
    if (!len || !off) return std::nullopt;
    auto v = sub(a, *off, *len);
    if (!v) return std::nullopt;
    at.value.assign(v->begin(), v->end());
    return at;
  }
  if (a.size() < 0x40) return std::nullopt;
  at.resident = false;
  at.lowest_vcn = *u64_at(a, 0x10);
  at.highest_vcn = *u64_at(a, 0x18);
  auto runs_off = *u16_at(a, 0x20);
  at.compression_unit = *u16_at(a, 0x22);
  at.allocated_size = *u64_at(a, 0x28);
  at.data_size = *u64_at(a, 0x30);
  at.initialized_size = *u64_at(a, 0x38);
  if (runs_off >= a.size() || at.highest_vcn + 1 < at.lowest_vcn) return std::nullopt;
  auto runs = decode_runs(a.subspan(runs_off), at.lowest_vcn, total_clusters);
  if (!runs) return std::nullopt;
  at.runs = std::move(*runs);
  return at;
}

}  // namespace

std::vector<Attribute> parse_attributes(Bytes r, const RecordHeader& h, std::uint64_t total_clusters) {
  std::vector<Attribute> out;
  std::uint64_t pos = h.first_attribute;
  const std::uint64_t end = h.bytes_in_use;
  while (in_bounds(end, pos, 8)) {
    std::uint32_t type = *u32_at(r, pos);
    if (type == 0xFFFFFFFF) break;
    std::uint32_t len = *u32_at(r, pos + 4);
    if (len < 0x18 || len % 8 != 0 || !in_bounds(end, pos, len)) break;
    if (auto a = parse_one(r.subspan(pos, len), total_clusters)) out.push_back(std::move(*a));
    pos += len;
  }
  return out;
}

std::optional<FileName> parse_file_name(Bytes v) {
  if (v.size() < 0x42) return std::nullopt;
  FileName f;
  f.parent = *u64_at(v, 0);
  f.data_size = *u64_at(v, 0x30);
  f.attributes = *u32_at(v, 0x38);
  f.reparse_tag = *u32_at(v, 0x3C);
  auto len = *u8_at(v, 0x40);
  f.name_space = *u8_at(v, 0x41);
  if (len == 0) return std::nullopt;
  auto n = utf16_at(v, 0x42, len);
  if (!n) return std::nullopt;
  f.name = std::move(*n);
  return f;
}

}  // namespace quillon::platform::image
