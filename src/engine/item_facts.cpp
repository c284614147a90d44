#include "engine/item_facts.h"

#include <algorithm>
#include <bit>
#include <limits>
#include <string>

#include "common/ntfs_layout.h"
#include "engine/windows/usn_journal.h"

namespace quillon {

namespace {

namespace at = ntfs::attribute;

constexpr std::uint64_t kNoSequence = 0;

// NTFS moves a record's sequence number on when it frees the record,
// skipping 0.
std::uint16_t next_sequence(std::uint16_t s) { return s == 0xFFFF ? 1 : static_cast<std::uint16_t>(s + 1); }
std::optional<std::uint16_t> sequence_before_free(std::uint16_t s) {
  if (s == 0) return std::nullopt;
  return s == 1 ? std::uint16_t{0xFFFF} : static_cast<std::uint16_t>(s - 1);
}

std::string_view last_component(std::string_view path) {
  auto parts = path_components(path);
  return parts.empty() ? std::string_view{} : parts.back();
}

// The sequence the journal gave this name under this parent: the latest
// record that ended it (its deletion, or a rename away from it).
std::optional<std::uint16_t> journal_sequence(const std::vector<JournalDeletion>* list, std::uint64_t record,
                                              std::uint64_t parent, std::string_view name) {
  if (!list) return std::nullopt;
  std::optional<std::uint16_t> found;
  for (const auto& d : *list)
    if ((d.reference & kRecordMask) == record && d.parent == parent && d.name == name)
      found = static_cast<std::uint16_t>(d.reference >> 48);
  return found;
}

// The journal's FILE_DELETE record of the file reference record|sequence,
// whatever name the file had by then.
const JournalDeletion* journal_deletion(const std::vector<JournalDeletion>* list, std::uint64_t record,
                                        std::uint16_t sequence) {
  if (!list) return nullptr;
  const std::uint64_t reference = (std::uint64_t{sequence} << 48) | record;
  const JournalDeletion* found = nullptr;
  for (const auto& d : *list)
    if (d.reference == reference && (d.reason & kUsnReasonFileDelete)) found = &d;
  return found;
}

// Bytes [offset, offset + out.size()) of the stream laid out by `runs`;
// false when a part no run maps is asked for or a read fails.
bool read_stream_range(VolumeReader& reader, std::uint64_t C, const std::vector<DataRun>& runs,
                       std::uint64_t offset, std::span<std::byte> out) {
  std::uint64_t done = 0;
  while (done < out.size()) {
    const std::uint64_t pos = offset + done;
    const DataRun* hit = nullptr;
    for (const auto& r : runs) {
      if (r.vcn < 0 || r.lcn < 0 || r.length <= 0) continue;
      const auto v = static_cast<std::uint64_t>(r.vcn), n = static_cast<std::uint64_t>(r.length);
      if (pos / C >= v && pos / C - v < n) {
        hit = &r;
        break;
      }
    }
    if (!hit) return false;
    const std::uint64_t run_start = static_cast<std::uint64_t>(hit->vcn) * C;
    const std::uint64_t run_bytes = static_cast<std::uint64_t>(hit->length) * C;
    const std::uint64_t into = pos - run_start;
    const std::uint64_t n = std::min<std::uint64_t>(out.size() - done, run_bytes - into);
    std::uint64_t at_byte;
    if (__builtin_mul_overflow(static_cast<std::uint64_t>(hit->lcn), C, &at_byte) ||
        __builtin_add_overflow(at_byte, into, &at_byte))
      return false;
    if (!read_exact_into(reader, at_byte, out.subspan(static_cast<std::size_t>(done), static_cast<std::size_t>(n))))
      return false;
    done += n;
  }
  return true;
}

// The mapped clusters of `runs` and how many of them are free; nothing when
// the bitmap cannot tell.
std::optional<std::uint8_t> runs_free_percent(const std::vector<DataRun>& runs, ClusterBitmap& bitmap) {
  std::uint64_t total = 0, free = 0;
  for (const auto& r : runs) {
    if (r.lcn < 0 || r.length <= 0) return std::nullopt;
    auto f = bitmap.free_clusters(static_cast<std::uint64_t>(r.lcn), static_cast<std::uint64_t>(r.length));
    if (!f) return std::nullopt;
    total += static_cast<std::uint64_t>(r.length);
    free += *f;
  }
  return free_percent(free, total);
}

}  // namespace

std::optional<UnnamedData> unnamed_data(Bytes record, std::uint64_t C) {
  for (const auto& a : attributes(record)) {
    if (a.type != kAttrData) continue;
    auto name_length = u8_at(record, a.offset + at::kNameLength);
    if (!name_length || *name_length != 0) continue;
    UnnamedData d;
    if (!a.non_resident) {
      auto value = resident_value(record, a);
      if (!value) return std::nullopt;
      d.resident = true;
      d.size = value->size();
      return d;
    }
    Bytes attr = attribute_bytes(record, a);
    auto lowest = i64_at(attr, at::kLowestVcn);
    auto highest = i64_at(attr, at::kHighestVcn);
    auto pairs_at = u16_at(attr, at::kMappingPairsOffset);
    auto allocated = u64_at(attr, at::kAllocatedSize);
    auto size = u64_at(attr, at::kDataSize);
    if (!lowest || !highest || !pairs_at || !allocated || !size || *pairs_at > attr.size()) return std::nullopt;
    // The first piece of the stream; later pieces live in extension records.
    if (*lowest != 0) return std::nullopt;
    d.size = *size;
    d.runs = decode_runs(attr.subspan(*pairs_at), 0, /*drop_sparse=*/true);
    std::uint64_t covered = 0;
    // Unsigned, so that a highest VCN of -1 (no clusters) covers nothing
    // and one of INT64_MAX does not overflow.
    d.runs_complete = C != 0 && *highest >= -1 &&
                      !__builtin_mul_overflow(static_cast<std::uint64_t>(*highest) + 1, C, &covered) &&
                      covered >= *allocated;
    return d;
  }
  return std::nullopt;
}

std::optional<RecordTimes> standard_times(Bytes record) {
  namespace si = ntfs::standard_information;
  auto value = resident_attribute_value(record, ntfs::kAttrStandardInformation);
  if (!value || value->size() < si::kTimesSize) return std::nullopt;
  Bytes v(*value);
  RecordTimes t;
  t.created = load_le<std::uint64_t>(v.data() + si::kCreated);
  t.modified = load_le<std::uint64_t>(v.data() + si::kModified);
  t.record_changed = load_le<std::uint64_t>(v.data() + si::kMftChanged);
  t.accessed = load_le<std::uint64_t>(v.data() + si::kAccessed);
  return t;
}

std::optional<ClusterBitmap> ClusterBitmap::open(VolumeReader& reader, const MftContext& mft) {
  const std::uint64_t C = mft.geometry.bytes_per_cluster;
  if (C == 0) return std::nullopt;
  auto record = read_record_raw(mft.geometry, reader, ntfs::kVolumeBitmapRecord);
  if (!record || !is_file_record(*record)) return std::nullopt;
  auto data = unnamed_data(*record, C);
  if (!data || data->resident || !data->runs_complete) return std::nullopt;
  // The bitmap covers the volume's clusters (rounded up to whole bytes) and
  // no more than its stream holds.
  const std::uint64_t wanted = (mft.volume.total_clusters() + 7) / 8;
  return ClusterBitmap(reader, C, std::move(data->runs), std::min(wanted, data->size));
}

const std::vector<std::byte>* ClusterBitmap::block(std::uint64_t index) {
  auto [it, added] = blocks_.try_emplace(index);
  if (added) {
    const std::uint64_t start = index * kBlockBytes;
    if (start < size_) {
      std::vector<std::byte> bytes(static_cast<std::size_t>(std::min(kBlockBytes, size_ - start)));
      if (read_stream_range(reader_, bytes_per_cluster_, runs_, start, bytes)) it->second = std::move(bytes);
    }
  }
  return it->second ? &*it->second : nullptr;
}

std::optional<std::uint64_t> ClusterBitmap::free_clusters(std::uint64_t lcn, std::uint64_t count) {
  std::uint64_t end;
  if (__builtin_add_overflow(lcn, count, &end) || end > size_ * 8) return std::nullopt;
  std::uint64_t free = 0;
  for (std::uint64_t c = lcn; c < end;) {
    const std::uint64_t byte = c / 8;
    const auto* b = block(byte / kBlockBytes);
    if (!b) return std::nullopt;
    const auto bits = std::to_integer<unsigned>((*b)[static_cast<std::size_t>(byte % kBlockBytes)]);
    if (c % 8 == 0 && end - c >= 8) {  // a whole byte at once
      free += 8 - static_cast<std::uint64_t>(std::popcount(bits));
      c += 8;
      continue;
    }
    if (!((bits >> (c % 8)) & 1u)) ++free;
    ++c;
  }
  return free;
}

std::uint8_t free_percent(std::uint64_t free, std::uint64_t total) {
  if (total == 0 || free >= total) return 100;
  if (free == 0) return 0;
  // Rounded, but never to 100 with a cluster taken, nor to 0 with one free.
  const long double share = 100.0L * static_cast<long double>(free) / static_cast<long double>(total);
  auto pct = static_cast<unsigned>(share + 0.5L);
  return static_cast<std::uint8_t>(std::clamp(pct, 1u, 99u));
}

namespace {

// What an item's record says now: free or not, its sequence, whether it
// still names the item under its parent.
struct RecordNow {
  std::optional<Bytes> rec;
  bool in_use = false;
  bool names_it = false;
  std::optional<std::uint16_t> sequence;
};

RecordNow record_now(const FactSources& src, std::uint64_t parent, std::string_view name) {
  RecordNow now;
  now.rec = src.record;
  if (now.rec && !is_file_record(*now.rec)) now.rec.reset();
  if (!now.rec) return now;
  now.in_use = record_in_use(*now.rec);
  now.sequence = record_sequence(*now.rec);
  for (const auto& [p, n] : file_names(*now.rec))
    if (p == parent && n == name) now.names_it = true;
  return now;
}

// The facts of an intact record: its times, and for a file its data's size
// and how much of its clusters is still free.
void fill_intact(DeletedItem& item, Bytes rec, const FactSources& src) {
  item.record_state = RecordState::intact;
  if (record_is_directory(rec)) item.kind = ItemKind::folder;
  item.record_times = standard_times(rec);
  if (item.kind == ItemKind::folder) return;
  auto data = unnamed_data(rec, src.bytes_per_cluster);
  if (!data) return;
  item.data_size = data->size;
  if (data->resident) {
    item.clusters_free_pct = 100;
  } else if (data->runs_complete && src.bitmap) {
    item.clusters_free_pct = runs_free_percent(data->runs, *src.bitmap);
  }
}

}  // namespace

void fill_facts(DeletedItem& item, const FactSources& src) {
  const std::uint64_t record = item.frn & kRecordMask;
  const std::uint64_t parent = item.parent_frn & kRecordMask;
  const std::string_view name = last_component(item.path);

  if (item.folder) item.kind = ItemKind::folder;  // a deleted folder of the tree
  std::optional<std::uint16_t> sequence = item.sequence;
  if (!sequence && (item.frn >> 48) != kNoSequence) sequence = static_cast<std::uint16_t>(item.frn >> 48);
  const RecordNow now = record_now(src, parent, name);
  // The sequence it lived under: the source's, else the journal's for this
  // name, else that of a freed record that still names it.
  if (!sequence) sequence = journal_sequence(src.deletions, record, parent, name);
  const bool independent_sequence = sequence.has_value();  // not read off the record itself
  if (!sequence && now.rec && !now.in_use && now.names_it && now.sequence)
    sequence = sequence_before_free(*now.sequence);
  item.sequence = sequence;
  if (sequence)
    if (const JournalDeletion* d = journal_deletion(src.deletions, record, *sequence)) {
      item.deleted_time = d->time;
      if (d->attributes & kUsnAttributeDirectory) item.kind = ItemKind::folder;
    }

  if (!now.rec) {
    item.record_state = RecordState::unknown;
    return;
  }
  if (now.in_use) {
    // In use under the item's own sequence and name: the file itself, not
    // another one (a delete still pending); nothing to say of its reuse.
    const bool same_file = now.names_it && now.sequence && (!sequence || *now.sequence == *sequence);
    item.record_state = same_file ? RecordState::unknown : RecordState::reused;
    return;
  }
  // A freed record under the sequence after the item's holds this very
  // file, though under a later name when it was renamed before its
  // deletion; without a sequence of its own, only its name says so.
  const bool sequence_fits = now.sequence && (!sequence || *now.sequence == next_sequence(*sequence));
  if (!sequence_fits || !(now.names_it || independent_sequence)) {
    item.record_state = RecordState::reused;
    return;
  }
  fill_intact(item, *now.rec, src);
}

namespace {

// The items' own records are read in blocks: records less than
// kBlockRecords apart share one request (they lie near one another, around
// the folder's record), each record read once, and only one block is held
// at a time, however many items a deleted tree gives.
constexpr std::uint64_t kBlockRecords = 64;

// Calls `visit(index, record)` for every item, in record order; the record
// is empty when it could not be read.
template <typename Visit>
void for_each_item_record(const std::vector<DeletedItem>& items, const MftGeometry& g, VolumeReader& reader,
                          Visit visit) {
  std::vector<std::size_t> order(items.size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
  auto record_of = [&](std::size_t i) { return items[i].frn & kRecordMask; };
  std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return record_of(a) < record_of(b); });
  for (std::size_t i = 0; i < order.size();) {
    std::size_t j = i + 1;
    while (j < order.size() && record_of(order[j]) - record_of(order[i]) < kBlockRecords) ++j;
    const std::uint64_t first = record_of(order[i]), count = record_of(order[j - 1]) - first + 1;
    auto block = read_record_block(g, reader, first, count);
    for (std::size_t k = i; k < j; ++k) {
      const std::uint64_t number = record_of(order[k]);
      std::optional<MftRecord> single;
      Bytes record;
      if (block) {
        record = Bytes(*block).subspan(static_cast<std::size_t>((number - first) * g.record_size), g.record_size);
      } else if ((single = read_record_raw(g, reader, number))) {
        record = *single;  // a block no run maps whole: record by record
      }
      if (!record.empty() && !has_record_signature(record)) record = {};
      visit(order[k], record);
    }
    i = j;
  }
}

}  // namespace

void fill_item_facts(std::vector<DeletedItem>& items, ProbeVolume& volume, const UsnHints& hints) {
  VolumeReader* reader = volume.reader ? &*volume.reader : nullptr;
  const MftContext* mft = volume.mft ? &*volume.mft : nullptr;
  std::optional<ClusterBitmap> bitmap = reader && mft ? ClusterBitmap::open(*reader, *mft) : std::nullopt;
  auto fill = [&](std::size_t index, Bytes record) {
    DeletedItem& item = items[index];
    FactSources src;
    if (!record.empty()) src.record = record;
    if (auto it = hints.deletions_by_frn.find(item.frn & kRecordMask); it != hints.deletions_by_frn.end())
      src.deletions = &it->second;
    src.bytes_per_cluster = mft ? mft->geometry.bytes_per_cluster : 0;
    src.bitmap = bitmap ? &*bitmap : nullptr;
    fill_facts(item, src);
  };
  if (reader && mft) {
    for_each_item_record(items, mft->geometry, *reader, fill);
  } else {
    for (std::size_t i = 0; i < items.size(); ++i) fill(i, {});
  }
}

}  // namespace quillon
