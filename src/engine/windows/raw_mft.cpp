// MFT geometry and FILE record fetching: raw reads through the volume
// device, mapped through the $MFT's own run list, and the file system's
// record query.
#include "engine/windows/raw_mft.h"

#include "common/ntfs_layout.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "platform/control_layout.h"

namespace quillon {

namespace {

constexpr std::uint64_t kNoBitmapBound = 4'194'304;
constexpr std::uint64_t kMaxAttributeList = 4ull << 20;   // far above what NTFS writes
constexpr std::uint64_t kMaxBitmapBytes = 512ull << 20;   // one bit for each of 2^32 records
constexpr std::size_t kMaxExtensionRecords = 4096;

bool mul(std::uint64_t a, std::uint64_t b, std::uint64_t& out) { return !__builtin_mul_overflow(a, b, &out); }
bool add(std::uint64_t a, std::uint64_t b, std::uint64_t& out) { return !__builtin_add_overflow(a, b, &out); }

// One stretch of the $MFT stream as it lies on the volume: `length` bytes
// at `volume_offset`, or a stretch no run maps when that is absent.
struct Piece {
  std::optional<std::uint64_t> volume_offset;
  std::uint64_t length;
};

// How a walk over a stretch of the $MFT stream ended.
enum class Walk { whole, stopped, unusable };

// Cuts [pos, pos + length) of the $MFT stream into pieces, one per extent,
// and hands them to `visit` in order while it returns true. Unusable on
// overflow, a cluster size of 0 or a run that cannot be placed.
template <class Visit>
Walk walk_stream(const MftGeometry& g, std::uint64_t pos, std::uint64_t length, Visit&& visit) {
  const std::uint64_t C = g.bytes_per_cluster;
  if (C == 0) return Walk::unusable;
  std::uint64_t end;
  if (!add(pos, length, end)) return Walk::unusable;
  if (g.runs.empty()) {
    std::uint64_t base, at;
    if (!mul(C, g.mft_start_lcn, base) || !add(base, pos, at)) return Walk::unusable;
    std::uint64_t last;
    if (length > 0 && !add(at, length - 1, last)) return Walk::unusable;
    return visit(Piece{at, length}) ? Walk::whole : Walk::stopped;
  }
  std::uint64_t cur = pos;
  while (cur < end) {
    const std::uint64_t vcn = cur / C;
    // The first run that ends after `vcn`.
    auto it = std::upper_bound(g.runs.begin(), g.runs.end(), vcn, [](std::uint64_t v, const DataRun& r) {
      return v < static_cast<std::uint64_t>(r.vcn) + static_cast<std::uint64_t>(r.length);
    });
    if (it == g.runs.end()) return visit(Piece{std::nullopt, end - cur}) ? Walk::whole : Walk::stopped;
    std::uint64_t run_start, run_len, run_end;
    if (it->vcn < 0 || it->length <= 0 || it->lcn < 0 || !mul(static_cast<std::uint64_t>(it->vcn), C, run_start) ||
        !mul(static_cast<std::uint64_t>(it->length), C, run_len) || !add(run_start, run_len, run_end))
      return Walk::unusable;
    if (cur < run_start) {
      const std::uint64_t n = std::min(run_start, end) - cur;
      if (!visit(Piece{std::nullopt, n})) return Walk::stopped;
      cur += n;
      continue;
    }
    std::uint64_t base, at;
    if (!mul(static_cast<std::uint64_t>(it->lcn), C, base) || !add(base, cur - run_start, at)) return Walk::unusable;
    const std::uint64_t n = std::min(run_end, end) - cur;
    if (!visit(Piece{at, n})) return Walk::stopped;
    cur += n;
  }
  return Walk::whole;
}

// Whether [pos, pos + length) of the stream can be read: the runs place it,
// every byte of it unless `allow_unmapped`. Asked before any buffer is made
// or byte read, so that a record past the $MFT's end costs no allocation.
bool stream_readable(const MftGeometry& g, std::uint64_t pos, std::uint64_t length, bool allow_unmapped) {
  return walk_stream(g, pos, length, [&](const Piece& p) { return allow_unmapped || p.volume_offset.has_value(); }) ==
         Walk::whole;
}

// Reads [pos, pos + out.size()) of the $MFT stream into `out`. Bytes no run
// maps are cleared when `allow_unmapped`, or fail the read; `mapped` tells
// whether any byte came from the volume. `give_up`, when given, is asked
// before each extent's read.
bool read_stream(const MftGeometry& g, VolumeReader& reader, std::uint64_t pos, std::span<std::byte> out,
                 bool allow_unmapped, bool& mapped, const std::function<bool()>* give_up = nullptr) {
  mapped = false;
  if (!stream_readable(g, pos, out.size(), allow_unmapped)) return false;
  std::size_t at = 0;
  return walk_stream(g, pos, out.size(), [&](const Piece& p) {
           auto dst = out.subspan(at, static_cast<std::size_t>(p.length));
           at += dst.size();
           if (!p.volume_offset) {
             std::fill(dst.begin(), dst.end(), std::byte{0});
             return true;
           }
           if (give_up && (*give_up)()) return false;
           if (!read_exact_into(reader, *p.volume_offset, dst)) return false;
           mapped = true;
           return true;
         }) == Walk::whole;
}

// The record numbers that $ATTRIBUTE_LIST of record 0 names for the
// attribute types the reader needs ($DATA, $BITMAP), record 0 excluded.
std::vector<std::uint64_t> extension_records(const MftGeometry& g, VolumeReader& reader, Bytes record0) {
  std::vector<std::uint64_t> out;
  std::optional<std::vector<std::byte>> list = resident_attribute_value(record0, kAttrAttributeList);
  if (!list) {
    auto nr = nonresident_runs(record0, kAttrAttributeList);
    if (!nr || nr->data_size > kMaxAttributeList) return out;
    list = read_runs(g.bytes_per_cluster, reader, nr->runs, nr->data_size);
    if (!list) return out;
  }
  Bytes b(*list);
  std::uint64_t off = 0;
  namespace ale = ntfs::attribute_list_entry;
  while (in_bounds(b.size(), off, ale::kMinLength) && out.size() < kMaxExtensionRecords) {
    const std::uint32_t type = load_le<std::uint32_t>(b.data() + off + ale::kType);
    const std::uint16_t len = load_le<std::uint16_t>(b.data() + off + ale::kLength);
    if (len < ale::kMinLength || !in_bounds(b.size(), off, len)) break;
    const std::uint64_t rec = load_le<std::uint64_t>(b.data() + off + ale::kReference) & kRecordMask;
    if ((type == kAttrData || type == kAttrBitmap) && rec != 0 &&
        std::find(out.begin(), out.end(), rec) == out.end())
      out.push_back(rec);
    off += len;
  }
  return out;
}

// Record 0 and the extension records that belong to it (their base
// reference, at 0x20, names record 0).
std::vector<MftRecord> mft_records(const MftGeometry& g, VolumeReader& reader, MftRecord record0) {
  std::vector<MftRecord> out;
  auto ext = extension_records(g, reader, record0);
  out.push_back(std::move(record0));
  for (std::uint64_t n : ext) {
    auto r = read_record_raw(g, reader, n);
    if (!r || !is_file_record(*r) || !record_in_use(*r)) continue;
    auto base = u64_at(*r, ntfs::record::kBaseReference);
    if (!base || (*base & kRecordMask) != 0) continue;
    out.push_back(std::move(*r));
  }
  return out;
}

// The $MFT's run list from its unnamed $DATA pieces, joined by starting VCN.
// Empty when the pieces do not begin at VCN 0 on MftStartLcn.
std::vector<DataRun> mft_runs(const std::vector<MftRecord>& records, std::uint64_t C, std::uint64_t start_lcn) {
  std::vector<std::pair<std::int64_t, std::vector<DataRun>>> pieces;
  for (const auto& rec : records) {
    for (const auto& a : attributes(rec)) {
      namespace at = ntfs::attribute;
      if (a.type != kAttrData || !a.non_resident || rec[a.offset + at::kNameLength] != std::byte{0}) continue;
      constexpr std::uint64_t kNeeded = at::kDataSize + 8;
      if (!in_bounds(rec.size(), a.offset, kNeeded) || a.length < kNeeded) continue;
      const std::int64_t lowest = load_le<std::int64_t>(rec.data() + a.offset + at::kLowestVcn);
      if (lowest < 0) continue;
      const std::uint64_t mp = a.offset + load_le<std::uint16_t>(rec.data() + a.offset + at::kMappingPairsOffset);
      const std::uint64_t end = a.offset + a.length;
      if (mp >= rec.size() || mp > end) continue;
      auto runs = decode_runs(Bytes(rec).subspan(mp, end - mp), lowest, true);
      if (!runs.empty()) pieces.emplace_back(lowest, std::move(runs));
    }
  }
  std::stable_sort(pieces.begin(), pieces.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  std::vector<DataRun> out;
  std::uint64_t next_vcn = 0;
  const std::uint64_t max_clusters = std::numeric_limits<std::uint64_t>::max() / (C ? C : 1);
  for (const auto& [lowest, runs] : pieces) {
    for (const auto& r : runs) {
      const std::uint64_t v = static_cast<std::uint64_t>(r.vcn);
      const std::uint64_t len = static_cast<std::uint64_t>(r.length);
      // Runs must not overlap what is already mapped, and their byte
      // positions (VCN and LCN) must be representable.
      if (v < next_vcn || r.lcn < 0 || len > max_clusters || v > max_clusters - len ||
          static_cast<std::uint64_t>(r.lcn) > max_clusters - len)
        continue;
      out.push_back(r);
      next_vcn = v + len;
    }
  }
  if (out.empty() || out.front().vcn != 0 || static_cast<std::uint64_t>(out.front().lcn) != start_lcn) return {};
  return out;
}

}  // namespace

Result<NtfsVolumeData> query_volume_data(VolumeReader& reader) {
  NtfsVolumeData vd;
  auto n = reader.control(platform::FSCTL_GET_NTFS_VOLUME_DATA, {}, vd.raw);
  if (!n) return fail(n.error());
  if (*n < 72) return fail(Error::generic("short reply to the volume data query", ErrorKind::invalid_input));
  return vd;
}

MftGeometry mft_geometry(const NtfsVolumeData& volume) {
  MftGeometry g;
  g.bytes_per_cluster = volume.bytes_per_cluster();
  g.mft_start_lcn = volume.mft_start_lcn();
  g.record_size = volume.record_size();
  return g;
}

MftGeometry load_mft_geometry(VolumeReader& reader, const NtfsVolumeData& volume) {
  MftGeometry g = mft_geometry(volume);
  auto record0 = read_record_raw(g, reader, 0);
  // A damaged record 0 on disk: the file system's own copy (it keeps one in
  // $MFTMirr and in memory).
  if (!record0 || !is_file_record(*record0)) record0 = read_record_fsctl(reader, 0, g.record_size);
  if (!record0 || !is_file_record(*record0)) return g;
  // Extension records are read through the runs of record 0 itself; they
  // lie in the first extents in practice.
  MftGeometry first = g;
  first.runs = mft_runs({*record0}, g.bytes_per_cluster, g.mft_start_lcn);
  g.runs = mft_runs(mft_records(first, reader, std::move(*record0)), g.bytes_per_cluster, g.mft_start_lcn);
  return g;
}

std::optional<std::uint64_t> record_offset(const MftGeometry& g, std::uint64_t record) {
  std::uint64_t pos;
  if (!mul(record, g.record_size, pos)) return std::nullopt;
  std::optional<std::uint64_t> first;
  if (walk_stream(g, pos, 1, [&](const Piece& p) {
        first = p.volume_offset;
        return false;
      }) == Walk::unusable)
    return std::nullopt;
  return first;
}

std::uint64_t raw_record_end(const MftGeometry& g) {
  constexpr std::uint64_t kNone = std::numeric_limits<std::uint64_t>::max();
  if (g.runs.empty() || g.record_size == 0) return kNone;
  const DataRun& last = g.runs.back();
  std::uint64_t clusters, bytes;
  if (last.vcn < 0 || last.length <= 0 || !add(static_cast<std::uint64_t>(last.vcn), static_cast<std::uint64_t>(last.length), clusters) ||
      !mul(clusters, g.bytes_per_cluster, bytes))
    return kNone;
  return bytes / g.record_size;
}

std::optional<MftRecord> read_record_raw(const MftGeometry& g, VolumeReader& reader, std::uint64_t record) {
  std::uint64_t pos;
  if (!mul(record, g.record_size, pos) || !stream_readable(g, pos, g.record_size, false)) return std::nullopt;
  MftRecord rec(g.record_size);
  bool mapped;
  if (!read_stream(g, reader, pos, rec, false, mapped)) return std::nullopt;
  if (!has_record_signature(rec) || ntfs::misplaced_record(rec, record)) return std::nullopt;
  apply_record_fixups(rec);
  return rec;
}

std::optional<std::span<std::byte>> read_record_page(const MftGeometry& g, VolumeReader& reader, std::uint64_t first,
                                                    std::uint64_t count, std::span<std::byte> buffer) {
  return read_record_page(g, reader, first, count, buffer, {});
}

std::optional<std::span<std::byte>> read_record_page(const MftGeometry& g, VolumeReader& reader, std::uint64_t first,
                                                    std::uint64_t count, std::span<std::byte> buffer,
                                                    const std::function<bool()>& give_up) {
  std::uint64_t pos, total;
  if (count == 0 || !mul(first, g.record_size, pos) || !mul(count, g.record_size, total) || total > buffer.size())
    return std::nullopt;
  // A page that starts past the $MFT's runs holds none of its records: it is
  // not read at all (the full-MFT scan meets many such pages when the bound
  // exceeds the $MFT).
  if (!record_offset(g, first)) return std::nullopt;
  // Only the front the page fills is handed on: bytes past it are a previous
  // page's, and stretches no run maps are cleared by read_stream.
  auto page = buffer.first(static_cast<std::size_t>(total));
  bool mapped;
  if (!read_stream(g, reader, pos, page, true, mapped, give_up ? &give_up : nullptr) || !mapped) return std::nullopt;
  return page;
}

std::optional<std::vector<std::byte>> read_record_block(const MftGeometry& g, VolumeReader& reader,
                                                        std::uint64_t first, std::uint64_t count) {
  std::uint64_t total;
  if (count == 0 || !mul(count, g.record_size, total)) return std::nullopt;
  if (total > std::numeric_limits<std::size_t>::max() || !record_offset(g, first)) return std::nullopt;
  std::vector<std::byte> buf(static_cast<std::size_t>(total));
  if (!read_record_block_into(g, reader, first, count, buf)) return std::nullopt;
  return buf;
}

std::optional<std::span<std::byte>> read_record_block_into(const MftGeometry& g, VolumeReader& reader,
                                                           std::uint64_t first, std::uint64_t count,
                                                           std::span<std::byte> buffer) {
  auto page = read_record_page(g, reader, first, count, buffer);
  if (!page) return std::nullopt;
  for (std::uint64_t i = 0; i < count; ++i) {
    auto record = page->subspan(static_cast<std::size_t>(i * g.record_size), g.record_size);
    // A record holding another's number (the $MFT's runs map it wrongly)
    // is no record here: its signature is cleared, as if unread.
    if (ntfs::misplaced_record(record, first + i)) std::fill_n(record.begin(), 4, std::byte{0});
    apply_record_fixups(record);
  }
  return page;
}

void apply_record_fixups(std::span<std::byte> record) {
  if (!has_record_signature(record)) return;
  auto flags = u16_at(record, ntfs::record::kFlags);
  if (!is_file_record(record) || !flags || !(*flags & kRecordInUse)) {
    ntfs::apply_update_sequence(record, ntfs::TornStride::keep_as_read);
    return;
  }
  namespace ms = ntfs::multi_sector;
  auto count = u16_at(record, ms::kUsaCount);
  auto offset = u16_at(record, ms::kUsaOffset);
  const std::uint64_t strides = record.size() / ms::kStride;
  if (record.size() % ms::kStride == 0 && count && *count == strides + 1 && offset) {
    if (ntfs::apply_update_sequence(record, ntfs::TornStride::refuse_block)) return;
    // Fixed up already (every stride ends in its saved bytes): left alone.
    bool fixed = in_bounds(record.size(), *offset, 2 * std::uint64_t{*count});
    for (std::uint64_t i = 1; fixed && i <= strides; ++i)
      fixed = std::equal(record.begin() + i * ms::kStride - 2, record.begin() + i * ms::kStride,
                         record.begin() + *offset + 2 * i);
    if (fixed) return;
  }
  std::memcpy(record.data(), "BAAD", 4);
}

namespace {

// What the file system's record query answered.
enum class RecordAnswer { record, other_record, nothing };

RecordAnswer query_record(VolumeReader& reader, std::uint64_t frn, std::uint32_t record_size, MftRecord& out_record) {
  namespace fr = platform::layout::file_record;
  std::array<std::byte, fr::kInputSize> in;
  store_le(in.data(), frn);
  std::vector<std::byte> out(static_cast<std::size_t>(std::max<std::uint32_t>(record_size, 1024)) + 64);
  auto n = reader.control(platform::FSCTL_GET_NTFS_FILE_RECORD, in, out);
  if (!n || *n < fr::kFileRecordBuffer || *n > out.size()) return RecordAnswer::nothing;
  // For a record not in use the file system answers with the nearest record
  // below it that is: an answer for another record number says the record
  // asked for is free, and its bytes are a neighbour's.
  const std::uint64_t answered = load_le<std::uint64_t>(out.data() + fr::kFileReferenceNumber);
  if ((answered & kRecordMask) != (frn & kRecordMask)) return RecordAnswer::other_record;
  const std::uint64_t len = load_le<std::uint32_t>(out.data() + fr::kFileRecordLength);
  if (len == 0 || *n < len + fr::kFileRecordBuffer) return RecordAnswer::nothing;
  out_record.assign(out.begin() + fr::kFileRecordBuffer,
                    out.begin() + static_cast<std::ptrdiff_t>(fr::kFileRecordBuffer + len));
  return RecordAnswer::record;
}

// fetch_record_by_frn; `freed` is set when the file system said the record
// is not in use (it answered for a lower one).
std::optional<MftRecord> fetch_by_frn(VolumeReader& reader, std::uint64_t frn, std::uint32_t record_size,
                                      bool& freed) {
  freed = false;
  MftRecord r;
  switch (query_record(reader, frn, record_size, r)) {
    case RecordAnswer::record:
      return r;
    case RecordAnswer::other_record:
      freed = true;
      return std::nullopt;
    case RecordAnswer::nothing:
      break;
  }
  const std::uint64_t rec = frn & kRecordMask;
  if (rec == 0) return std::nullopt;
  MftRecord bare;
  switch (query_record(reader, rec, record_size, bare)) {
    case RecordAnswer::record:
      break;
    case RecordAnswer::other_record:
      freed = true;
      return std::nullopt;
    case RecordAnswer::nothing:
      return std::nullopt;
  }
  if (auto seq = record_sequence(bare); seq && *seq != 0) {
    const std::uint64_t full = rec | (static_cast<std::uint64_t>(*seq) << 48);
    if (full != frn && query_record(reader, full, record_size, r) == RecordAnswer::record) return r;
  }
  return bare;
}

}  // namespace

std::optional<MftRecord> read_record_fsctl(VolumeReader& reader, std::uint64_t frn, std::uint32_t record_size) {
  MftRecord r;
  if (query_record(reader, frn, record_size, r) != RecordAnswer::record) return std::nullopt;
  return r;
}

std::optional<MftRecord> fetch_record_by_frn(VolumeReader& reader, std::uint64_t frn, std::uint32_t record_size) {
  bool freed;
  return fetch_by_frn(reader, frn, record_size, freed);
}

std::optional<MftBitmap> read_mft_bitmap(VolumeReader& reader, const MftGeometry& g) {
  auto record0 = fetch_record_by_frn(reader, 0, g.record_size);
  if (!record0) record0 = read_record_raw(g, reader, 0);
  if (!record0 || !is_file_record(*record0)) return std::nullopt;
  if (auto v = resident_attribute_value(*record0, kAttrBitmap)) return v;
  // Non-resident (the usual case): in record 0 or in an extension record.
  for (const auto& rec : mft_records(g, reader, std::move(*record0))) {
    auto nr = nonresident_runs(rec, kAttrBitmap);
    if (!nr) continue;
    if (nr->data_size > kMaxBitmapBytes || nr->runs.empty()) return std::nullopt;
    // The runs must cover the data size.
    const auto& last = nr->runs.back();
    std::uint64_t covered;
    if (!mul(static_cast<std::uint64_t>(last.vcn) + static_cast<std::uint64_t>(last.length), g.bytes_per_cluster,
             covered) ||
        covered < nr->data_size)
      return std::nullopt;
    return read_runs(g.bytes_per_cluster, reader, nr->runs, nr->data_size);
  }
  return std::nullopt;
}

std::optional<bool> bitmap_in_use(const MftBitmap& bitmap, std::uint64_t record) {
  const std::uint64_t i = record >> 3;
  if (i >= bitmap.size()) return std::nullopt;
  return ((std::to_integer<unsigned>(bitmap[i]) >> (record & 7)) & 1) != 0;
}

bool bitmap_says_free(const MftBitmap& bitmap, std::uint64_t record) {
  auto used = bitmap_in_use(bitmap, record);
  return used && !*used;
}

std::uint64_t record_scan_bound(const MftBitmap* bitmap) {
  if (!bitmap) return kNoBitmapBound;
  const std::uint64_t len = bitmap->size();
  if (len >= (1ull << 61)) return std::numeric_limits<std::uint64_t>::max();
  if (len < 0x20000) return kNoBitmapBound;
  return 8 * len;
}

MftContext load_mft_context(VolumeReader& reader, const NtfsVolumeData& volume) {
  MftContext ctx;
  ctx.volume = volume;
  ctx.geometry = load_mft_geometry(reader, volume);
  if (auto b = read_mft_bitmap(reader, ctx.geometry)) ctx.bitmap = std::make_shared<const MftBitmap>(std::move(*b));
  return ctx;
}

Result<MftContext> load_mft_context(VolumeReader& reader) {
  auto vd = query_volume_data(reader);
  if (!vd) return fail(vd.error());
  return load_mft_context(reader, *vd);
}

std::optional<MftRecord> fetch_record(const MftGeometry& g, const MftBitmap* bitmap, VolumeReader& reader,
                                      std::uint64_t frn) {
  const std::uint64_t rec = frn & kRecordMask;
  if (bitmap && bitmap_says_free(*bitmap, rec))
    if (auto r = read_record_raw(g, reader, rec)) return r;
  bool freed;
  if (auto r = fetch_by_frn(reader, frn, g.record_size, freed)) return r;
  // Freed after the bitmap was read: only a raw read still sees it.
  if (freed) return read_record_raw(g, reader, rec);
  return std::nullopt;
}

std::optional<MftRecord> fetch_record(const MftContext& ctx, VolumeReader& reader, std::uint64_t frn) {
  return fetch_record(ctx.geometry, ctx.bitmap.get(), reader, frn);
}

}  // namespace quillon
