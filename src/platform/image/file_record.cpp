#include "platform/image/file_record.h"

#include "common/ntfs_layout.h"

namespace quillon::platform::image {


std::optional<RecordHeader> parse_record_header(Bytes r) {
  if (r.size() < 48 || !has_tag(r, 0, "FILE")) return std::nullopt;
  RecordHeader h;
  namespace rh = ntfs::record;
  h.sequence = *u16_at(r, rh::kSequence);
  h.link_count = *u16_at(r, rh::kLinkCount);
  h.first_attribute = *u16_at(r, rh::kFirstAttribute);
  h.flags = *u16_at(r, rh::kFlags);
  h.bytes_in_use = *u32_at(r, rh::kBytesInUse);
  h.base_reference = *u64_at(r, rh::kBaseReference);
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
  namespace ah = ntfs::attribute;
  at.type = *u32_at(a, ah::kType);
  auto non_resident = *u8_at(a, ah::kNonResident);
  auto name_len = *u8_at(a, ah::kNameLength);
  auto name_off = *u16_at(a, ah::kNameOffset);
  at.flags = *u16_at(a, ah::kFlags);
  at.id = *u16_at(a, ah::kId);
  if (name_len) {
    auto n = utf16_at(a, name_off, name_len);
    if (!n) return std::nullopt;
    at.name = std::move(*n);
  }
  if (non_resident == 0) {
    auto len = u32_at(a, ah::kValueLength);
    auto off = u16_at(a, ah::kValueOffset);
    if (!len || !off) return std::nullopt;
    auto v = sub(a, *off, *len);
    if (!v) return std::nullopt;
    at.value.assign(v->begin(), v->end());
    return at;
  }
  if (a.size() < ah::kNonResidentHeader) return std::nullopt;
  at.resident = false;
  at.lowest_vcn = *u64_at(a, ah::kLowestVcn);
  at.highest_vcn = *u64_at(a, ah::kHighestVcn);
  auto runs_off = *u16_at(a, ah::kMappingPairsOffset);
  at.compression_unit = *u16_at(a, ah::kMappingPairsOffset + 2);
  at.allocated_size = *u64_at(a, ah::kAllocatedSize);
  at.data_size = *u64_at(a, ah::kDataSize);
  at.initialized_size = *u64_at(a, ah::kInitializedSize);
  if (runs_off >= a.size() || at.highest_vcn + 1 < at.lowest_vcn) return std::nullopt;
  auto runs = decode_runs(a.subspan(runs_off), at.lowest_vcn, total_clusters);
  if (!runs) return std::nullopt;
  at.runs = std::move(*runs);
  return at;
}

}  // namespace

std::vector<Attribute> parse_attributes(Bytes r, std::uint64_t total_clusters) {
  std::vector<Attribute> out;
  for (const auto& ref : ntfs::walk_attributes(r, ntfs::AttributeBound::bytes_in_use))
    if (auto a = parse_one(r.subspan(ref.offset, ref.length), total_clusters)) out.push_back(std::move(*a));
  return out;
}

std::optional<FileName> parse_file_name(Bytes v) {
  auto value = ntfs::read_file_name(v);
  if (!value || value->name.empty()) return std::nullopt;
  FileName f;
  f.parent = value->parent;
  f.data_size = value->data_size;
  f.attributes = value->file_attributes;
  f.reparse_tag = value->reparse_tag;
  f.name_space = value->name_space;
  f.name = *utf16_at(value->name, 0, value->name.size() / 2);
  return f;
}

}  // namespace quillon::platform::image
