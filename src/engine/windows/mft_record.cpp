// FILE record parsing: the header, the attribute walk, resident values,
// $FILE_NAME, resident $INDEX_ROOT entries, data runs, update sequences.
#include <algorithm>
#include <cstring>
#include <limits>

#include "common/ntfs_layout.h"
#include "common/text.h"
#include "engine/windows/raw_mft.h"

namespace quillon {

namespace {

namespace ie = ntfs::index_entry;
namespace at = ntfs::attribute;

// The $FILE_NAME value starting at `v` inside `record`, when its fixed part
// and name lie inside the record and it is not a DOS-only name.
std::optional<ntfs::FileNameValue> file_name_at(Bytes record, std::uint64_t v) {
  if (v > record.size()) return std::nullopt;
  auto f = ntfs::read_file_name(record.subspan(v));
  if (!f || f->dos_only()) return std::nullopt;
  return f;
}

// Start of a resident attribute's value (attribute offset + value offset).
std::uint64_t value_start(Bytes record, const AttributeRef& a) {
  return a.offset + load_le<std::uint16_t>(record.data() + a.offset + at::kValueOffset);
}

std::optional<std::int64_t> add_checked(std::int64_t a, std::int64_t b) {
  std::int64_t r;
  if (__builtin_add_overflow(a, b, &r)) return std::nullopt;
  return r;
}

}  // namespace

bool has_record_signature(Bytes record) { return has_tag(record, 0, "FILE") || has_tag(record, 0, "BAAD"); }

bool is_file_record(Bytes record) { return has_tag(record, 0, "FILE"); }

namespace {

// Whether the header of a record whose in-use flag is set holds together as
// the file system writes one: the first attribute quad-aligned after the
// header, the bytes in use running from it to no further than the record's
// end, a sequence number (a record in use never has 0), and no base-record
// reference (an extension record is part of its base record's file, not a
// file of its own). Fields past a short record's end are not asked for.
bool in_use_header_sound(Bytes record) {
  namespace rh = ntfs::record;
  const std::uint64_t first = load_le<std::uint16_t>(record.data() + rh::kFirstAttribute);
  if (first < rh::kHeaderSize || first % 8 != 0) return false;
  if (load_le<std::uint16_t>(record.data() + rh::kSequence) == 0) return false;
  if (auto in_use = u32_at(record, rh::kBytesInUse); in_use && (*in_use > record.size() || *in_use <= first))
    return false;
  if (auto base = u64_at(record, rh::kBaseReference); base && *base != 0) return false;
  return true;
}

}  // namespace

std::optional<std::uint16_t> record_flags(Bytes record) {
  if (record.size() < ntfs::record::kHeaderSize || !is_file_record(record)) return std::nullopt;
  const auto flags = load_le<std::uint16_t>(record.data() + ntfs::record::kFlags);
  if ((flags & kRecordInUse) && !in_use_header_sound(record)) return std::nullopt;
  return flags;
}

bool record_in_use(Bytes record) {
  // As !record_flags || in-use flag: a set flag counts whether or not the
  // header holds together, so the header is not judged (the paged scan asks
  // this of every record).
  if (record.size() < ntfs::record::kHeaderSize || !is_file_record(record)) return true;
  return (load_le<std::uint16_t>(record.data() + ntfs::record::kFlags) & kRecordInUse) != 0;
}

bool record_is_directory(Bytes record) {
  auto f = record_flags(record);
  return f && (*f & kRecordDirectory) != 0;
}

std::optional<std::uint16_t> record_sequence(Bytes record) {
  if (record.size() < ntfs::record::kHeaderSize) return std::nullopt;
  return load_le<std::uint16_t>(record.data() + ntfs::record::kSequence);
}

std::vector<AttributeRef> attributes(Bytes record) {
  return ntfs::walk_attributes(record, ntfs::AttributeBound::record_end);
}

Bytes attribute_bytes(Bytes record, const AttributeRef& a) { return record.subspan(a.offset, a.length); }

std::optional<Bytes> resident_value(Bytes record, const AttributeRef& a) {
  if (a.non_resident) return std::nullopt;
  std::uint64_t len = load_le<std::uint32_t>(record.data() + a.offset + at::kValueLength);
  return sub(record, value_start(record, a), len);
}

std::optional<std::vector<std::byte>> resident_attribute_value(Bytes record, std::uint32_t type) {
  if (record.size() < 48) return std::nullopt;
  for (const auto& a : attributes(record)) {
    if (a.type != type || a.non_resident) continue;
    if (auto v = resident_value(record, a)) return std::vector<std::byte>(v->begin(), v->end());
  }
  return std::nullopt;
}

RecordView view_record(Bytes record) {
  RecordView v;
  v.flags = record_flags(record);
  v.sequence = record_sequence(record);
  if (record.size() < 48) return v;
  bool data_seen = false;
  for (const auto& a : attributes(record)) {
    if (a.non_resident) continue;
    if (a.type == kAttrData && !data_seen) {
      // The first resident $DATA decides.
      data_seen = true;
      auto length = u32_at(attribute_bytes(record, a), at::kValueLength);
      v.resident_data_empty = length && *length == 0;
    }
    if (a.type != kAttrFileName) continue;
    auto fn = file_name_at(record, value_start(record, a));
    if (!fn) continue;
    v.names.push_back({utf16le_to_utf8_lossy(fn->name), fn->parent & kRecordMask, fn->allocated_size, fn->modified,
                       static_cast<std::uint16_t>(fn->parent >> 48)});
  }
  return v;
}

std::vector<std::pair<std::uint64_t, std::string>> RecordView::own_names() const {
  std::vector<std::pair<std::uint64_t, std::string>> out;
  for (const auto& n : names)
    if (!n.name.empty()) out.emplace_back(n.parent, n.name);
  return out;
}

std::vector<FileNameEntry> RecordView::names_under(const FrnSet& dirs) const {
  std::vector<FileNameEntry> out;
  for (const auto& n : names) {
    if (!dirs.contains(n.parent)) continue;
    bool seen = std::any_of(out.begin(), out.end(), [&](const FileNameEntry& e) { return e.name == n.name; });
    if (!seen) out.push_back(n);
  }
  return out;
}

std::vector<std::pair<std::uint64_t, std::string>> file_names(Bytes record) { return view_record(record).own_names(); }

std::vector<FileNameEntry> file_names_under(Bytes record, const FrnSet& dirs) {
  return view_record(record).names_under(dirs);
}

namespace {

// The parent (record number) of each resident $FILE_NAME that decodes, in
// attribute order, until `visit` returns false. Asked of every record of a
// band, most of them outside the tree: walked without building the list of
// attributes.
template <class Visit>
void visit_name_parents(Bytes record, Visit&& visit) {
  if (record.size() < 48) return;
  ntfs::for_each_attribute(record, ntfs::AttributeBound::record_end, [&](const AttributeRef& a) {
    if (a.non_resident || a.type != kAttrFileName) return true;
    auto fn = file_name_at(record, value_start(record, a));
    return !fn || visit(fn->parent & kRecordMask);
  });
}

}  // namespace

bool names_parent_in(Bytes record, const FrnSet& dirs) {
  bool found = false;
  visit_name_parents(record, [&](std::uint64_t parent) { return !(found = dirs.contains(parent)); });
  return found;
}

void append_name_parents(Bytes record, std::vector<std::uint64_t>& out) {
  visit_name_parents(record, [&](std::uint64_t parent) {
    out.push_back(parent);
    return true;
  });
}

std::vector<IndexEntryRef> index_root_entries(Bytes record, const FrnSet& dirs, std::uint64_t own_record,
                                              bool all) {
  std::vector<IndexEntryRef> out;
  if (record.size() < 22) return out;
  const std::uint64_t lo = own_record < 64 ? 0 : own_record - 64;
  const std::uint64_t hi =
      own_record > std::numeric_limits<std::uint64_t>::max() - 8192 ? std::numeric_limits<std::uint64_t>::max()
                                                                     : own_record + 8192;
  for (const auto& a : attributes(record)) {
    if (a.type != kAttrIndexRoot || a.non_resident) continue;
    const std::uint64_t header = value_start(record, a) + ntfs::index_root::kHeader;
    auto first = u32_at(record, header);
    if (!first) continue;
    // Entries are read up to the end of their own attribute: bytes past it
    // belong to the next attribute and would read as entries of nothing.
    const std::uint64_t end = a.offset + a.length;
    std::uint64_t e = header + *first;
    while (in_bounds(end, e, ie::kHeaderSize)) {
      const std::byte* p = record.data() + e;
      const std::uint64_t frn = load_le<std::uint64_t>(p + ie::kFileReference);
      const std::uint64_t elen = load_le<std::uint16_t>(p + ie::kLength);
      const std::uint64_t klen = load_le<std::uint16_t>(p + ie::kKeyLength);
      const std::uint8_t flags = std::to_integer<std::uint8_t>(p[ie::kFlags]);
      if (elen < ie::kHeaderSize || !in_bounds(end, e, elen)) break;

      std::optional<std::string> name;
      if (in_bounds(end, e + ie::kKey, klen))
        if (auto key = ntfs::read_file_name(record.subspan(e + ie::kKey, klen));
            key && dirs.contains(key->parent & kRecordMask) && !key->dos_only())
          name = utf16le_to_utf8_lossy(key->name);
      const std::uint64_t rec = frn & kRecordMask;
      if (rec != 0 && rec != 5 && rec != own_record && (all || (rec >= lo && rec <= hi)))
        out.push_back({std::move(name), frn, rec});
      if (flags & 0x01) break;
      e += elen;
    }
  }
  return out;
}

std::vector<DataRun> decode_runs(Bytes pairs, std::int64_t first_vcn, bool drop_sparse) {
  std::vector<DataRun> out;
  std::uint64_t pos = 0;
  std::int64_t vcn = first_vcn < 0 ? 0 : first_vcn;
  std::int64_t lcn = 0;
  ntfs::MappingPair pair;
  // What is decoded up to a malformed pair or the end of the bytes is kept.
  while (ntfs::read_mapping_pair(pairs, pos, pair) == ntfs::PairRead::pair) {
    const std::uint64_t length = pair.length;
    const bool sparse = !pair.has_offset;
    pos += pair.size;
    if (!sparse) {
      auto next = add_checked(lcn, pair.delta);
      if (!next) break;
      lcn = *next;
    }
    if (length == 0) continue;
    if (length > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) break;
    auto end = add_checked(vcn, static_cast<std::int64_t>(length));
    if (!end) break;
    if (!(drop_sparse && sparse)) out.push_back({vcn, lcn, static_cast<std::int64_t>(length)});
    vcn = *end;
  }
  return out;
}

namespace {

// The non-resident header fields of one attribute, when its 56-byte header
// lies inside the record, with the mapping pairs [start, attribute end).
struct NonResident {
  std::uint64_t data_size;
  std::int64_t lowest_vcn;
  Bytes pairs;
};

std::optional<NonResident> non_resident_at(Bytes record, const AttributeRef& a) {
  constexpr std::uint64_t kNeeded = at::kDataSize + 8;  // up to the data size
  if (!a.non_resident || a.length < kNeeded || !in_bounds(record.size(), a.offset, kNeeded)) return std::nullopt;
  const std::byte* p = record.data() + a.offset;
  const std::uint64_t mp = a.offset + load_le<std::uint16_t>(p + at::kMappingPairsOffset);
  const std::uint64_t end = a.offset + a.length;
  if (mp >= record.size() || mp > end) return std::nullopt;
  return NonResident{load_le<std::uint64_t>(p + at::kDataSize), load_le<std::int64_t>(p + at::kLowestVcn),
                     record.subspan(mp, end - mp)};
}

}  // namespace

std::optional<StreamRuns> data_runs(Bytes record) {
  if (record.size() < 22) return std::nullopt;
  if (load_le<std::uint16_t>(record.data() + ntfs::record::kFirstAttribute) >= record.size()) return std::nullopt;
  std::optional<StreamRuns> best;
  for (const auto& a : attributes(record)) {
    if (a.type != kAttrData) continue;
    auto nr = non_resident_at(record, a);
    if (!nr) continue;
    auto runs = decode_runs(nr->pairs);
    if (runs.empty()) continue;
    if (!best || nr->data_size >= best->data_size) best = StreamRuns{nr->data_size, std::move(runs)};
  }
  return best;
}

std::optional<StreamRuns> nonresident_runs(Bytes record, std::uint32_t type, bool unnamed_only) {
  for (const auto& a : attributes(record)) {
    if (a.type != type) continue;
    if (unnamed_only && record[a.offset + at::kNameLength] != std::byte{0}) continue;
    auto nr = non_resident_at(record, a);
    if (!nr) continue;
    return StreamRuns{nr->data_size, decode_runs(nr->pairs, nr->lowest_vcn, true)};
  }
  return std::nullopt;
}

std::optional<std::vector<std::byte>> read_runs(std::uint64_t bytes_per_cluster, VolumeReader& reader,
                                                const std::vector<DataRun>& runs, std::uint64_t length) {
  if (bytes_per_cluster == 0 || length > std::numeric_limits<std::size_t>::max()) return std::nullopt;
  std::vector<std::byte> out(static_cast<std::size_t>(length));
  const std::uint64_t C = bytes_per_cluster;
  for (const auto& r : runs) {
    if (r.vcn < 0 || r.length <= 0 || r.lcn < 0) continue;
    std::uint64_t start, count, at;
    if (__builtin_mul_overflow(static_cast<std::uint64_t>(r.vcn), C, &start)) continue;
    if (__builtin_mul_overflow(static_cast<std::uint64_t>(r.length), C, &count)) count = ~std::uint64_t{0};
    if (start >= length) continue;
    const std::uint64_t n = std::min(count, length - start);
    if (__builtin_mul_overflow(static_cast<std::uint64_t>(r.lcn), C, &at)) return std::nullopt;
    if (!read_exact_into(reader, at, std::span<std::byte>(out).subspan(start, n))) return std::nullopt;
  }
  return out;
}

std::optional<std::vector<std::byte>> read_stream_tail(std::uint64_t bytes_per_cluster, VolumeReader& reader,
                                                       Bytes record, std::uint64_t max_bytes) {
  const std::uint64_t C = bytes_per_cluster;
  if (C == 0) return std::nullopt;
  auto stream = data_runs(record);
  if (!stream) return std::nullopt;
  const std::uint64_t G = std::min(stream->data_size, max_bytes);
  const std::uint64_t range_start = stream->data_size - G;
  const std::uint64_t range_end = stream->data_size;
  std::vector<std::byte> out;
  for (const auto& r : stream->runs) {
    if (out.size() >= G) break;
    std::uint64_t run_start, run_len, run_end;
    if (r.lcn < 0 || __builtin_mul_overflow(static_cast<std::uint64_t>(r.vcn), C, &run_start) ||
        __builtin_mul_overflow(static_cast<std::uint64_t>(r.length), C, &run_len) ||
        __builtin_add_overflow(run_start, run_len, &run_end))
      return std::nullopt;
    if (run_end <= range_start) continue;
    if (run_start >= range_end) break;
    const std::uint64_t begin = std::max(run_start, range_start);
    const std::uint64_t want = std::min(std::min(run_end, range_end) - begin, G - out.size());
    std::uint64_t at;
    if (__builtin_mul_overflow(static_cast<std::uint64_t>(r.lcn), C, &at) ||
        __builtin_add_overflow(at, begin - run_start, &at))
      return std::nullopt;
    const std::size_t old = out.size();
    out.resize(old + static_cast<std::size_t>(want));
    if (!read_exact_into(reader, at, std::span<std::byte>(out).subspan(old))) return std::nullopt;
  }
  if (out.empty()) return std::nullopt;
  return out;
}


}  // namespace quillon
