// The raw MFT reader: geometry, FILE record fetching (raw through the volume
// device, or through the file system's record query), and the parsing of
// FILE records shared by every search.
//
// The declarations here are the reader's contract; the types below are used
// by the scans, the journal search and the late phases.
#pragma once

#include <array>
#include <memory>
#include <utility>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <unordered_set>
#include <vector>

#include "common/bytes.h"
#include "common/error.h"
#include "common/ntfs_decode.h"
#include "common/ntfs_layout.h"
#include "datasource/windows/volume.h"
#include "platform/control_layout.h"

namespace quillon {

using MftRecord = std::vector<std::byte>;
using FrnSet = std::unordered_set<std::uint64_t>;

// NTFS_VOLUME_DATA_BUFFER (96 bytes), kept whole.
struct NtfsVolumeData {
  std::array<std::byte, platform::layout::volume_data::kSize> raw{};

  std::uint64_t volume_serial() const { return u64(platform::layout::volume_data::kVolumeSerialNumber); }
  std::uint64_t total_clusters() const { return u64(platform::layout::volume_data::kTotalClusters); }
  std::uint64_t free_clusters() const { return u64(platform::layout::volume_data::kFreeClusters); }
  std::uint32_t bytes_per_sector() const { return u32(platform::layout::volume_data::kBytesPerSector); }
  std::uint32_t bytes_per_cluster() const { return u32(platform::layout::volume_data::kBytesPerCluster); }
  std::uint32_t bytes_per_file_record_segment() const {
    return u32(platform::layout::volume_data::kBytesPerFileRecordSegment);
  }
  std::uint64_t mft_valid_data_length() const { return u64(platform::layout::volume_data::kMftValidDataLength); }
  std::uint64_t mft_start_lcn() const { return u64(platform::layout::volume_data::kMftStartLcn); }
  // FILE record size as every search uses it: never below 1024.
  std::uint32_t record_size() const {
    auto s = bytes_per_file_record_segment();
    return s > 1024 ? s : 1024;
  }

 private:
  std::uint64_t u64(std::size_t at) const { return load_le<std::uint64_t>(raw.data() + at); }
  std::uint32_t u32(std::size_t at) const { return load_le<std::uint32_t>(raw.data() + at); }
};

// One decoded data run (mapping pair).
struct DataRun {
  std::int64_t vcn = 0;
  std::int64_t lcn = 0;
  std::int64_t length = 0;
  bool operator==(const DataRun&) const = default;
};

// One $FILE_NAME of a record.
struct FileNameEntry {
  std::string name;             // WTF-8/UTF-8 (unpaired surrogates as U+FFFD)
  std::uint64_t parent = 0;     // parent record number (48 bits)
  std::uint64_t size = 0;       // allocated size from the $FILE_NAME
  std::uint64_t time = 0;       // last modification FILETIME, 0 when none
  std::uint16_t parent_sequence = 0;  // the parent reference's sequence number; 0 when unknown
  bool operator==(const FileNameEntry&) const = default;
};

// One entry of a directory's index root.
struct IndexEntryRef {
  std::optional<std::string> name;
  std::uint64_t frn = 0;     // full, with sequence
  std::uint64_t record = 0;  // frn & 0xFFFFFFFFFFFF
  bool operator==(const IndexEntryRef&) const = default;
};


// ---------------------------------------------------------------------------
// FILE record header and attribute walk
// ---------------------------------------------------------------------------

using ntfs::kAttrAttributeList;
using ntfs::kAttrBitmap;
using ntfs::kAttrData;
using ntfs::kAttrEnd;
using ntfs::kAttrFileName;
using ntfs::kAttrIndexRoot;

using ntfs::kRecordDirectory;
using ntfs::kRecordInUse;

// "FILE" or "BAAD" in the first four bytes: what a raw read accepts.
bool has_record_signature(Bytes record);
// "FILE" in the first four bytes.
bool is_file_record(Bytes record);
// The flags at 0x16 of a "FILE" record of at least 24 bytes; nothing for a
// shorter record or a "BAAD" one, nor for a record in use whose header does
// not hold together (first attribute, bytes in use, sequence number 0, a
// base-record reference): whether such a record is in use cannot be told,
// and a damaged header is no evidence of a deletion.
std::optional<std::uint16_t> record_flags(Bytes record);
// In use unless the record is a "FILE" record of at least 24 bytes whose flag
// 0x0001 is clear (a short or "BAAD" record counts as in use).
bool record_in_use(Bytes record);
// has_record_signature and not record_in_use, in one look at the header
// (the paged scan asks it of every record of the $MFT): a "FILE" record of
// at least 24 bytes whose flag 0x0001 is clear.
inline bool freed_file_record(Bytes record) {
  return record.size() >= ntfs::record::kHeaderSize && has_tag(record, 0, "FILE") &&
         (load_le<std::uint16_t>(record.data() + ntfs::record::kFlags) & kRecordInUse) == 0;
}
// Flag 0x0002 of a "FILE" record of at least 24 bytes.
bool record_is_directory(Bytes record);
// The sequence number at 0x10 (records of at least 24 bytes).
std::optional<std::uint16_t> record_sequence(Bytes record);

// The attribute walk of a record read raw (ntfs::walk_attributes up to the
// record's end): from the first-attribute offset (0x14), while offset + 24
// is inside the record, it stops at type 0xFFFFFFFF, at a length below 24,
// or at an attribute running past the record's end.
using ntfs::AttributeRef;
std::vector<AttributeRef> attributes(Bytes record);
// The attribute's own bytes [offset, offset + length).
Bytes attribute_bytes(Bytes record, const AttributeRef& a);
// Resident value of one attribute (value offset +20, length +16), when it
// lies wholly inside the attribute.
std::optional<Bytes> resident_value(Bytes record, const AttributeRef& a);

// ---------------------------------------------------------------------------
// FILE record parsing. Pure functions over the bytes of one record; malformed
// or truncated structures end a walk or skip an entry, never more.
// ---------------------------------------------------------------------------

// The value of the first resident attribute of `type` whose value lies wholly
// inside the record. Records below 48 bytes have none.
std::optional<std::vector<std::byte>> resident_attribute_value(Bytes record, std::uint32_t type);

// One FILE record parsed once: its header fields, every resident
// $FILE_NAME outside the DOS namespace (in attribute order, empty names
// included) and whether its first resident $DATA is empty. Names need a
// record of 48 bytes.
struct RecordView {
  std::optional<std::uint16_t> flags;     // as record_flags
  std::optional<std::uint16_t> sequence;  // as record_sequence
  std::vector<FileNameEntry> names;
  bool resident_data_empty = false;       // no resident $DATA: not empty

  // As file_names and file_names_under below.
  std::vector<std::pair<std::uint64_t, std::string>> own_names() const;
  std::vector<FileNameEntry> names_under(const FrnSet& dirs) const;
};
RecordView view_record(Bytes record);

// (parent record number, name) of every resident $FILE_NAME outside the DOS
// namespace, in attribute order; empty names are left out. Needs 48 bytes.
std::vector<std::pair<std::uint64_t, std::string>> file_names(Bytes record);

// The $FILE_NAMEs whose parent record number is in `dirs` (empty names
// included, exact duplicates listed once). Needs 48 bytes.
std::vector<FileNameEntry> file_names_under(Bytes record, const FrnSet& dirs);
// Whether file_names_under would list any, without decoding the names.
bool names_parent_in(Bytes record, const FrnSet& dirs);
// The parent (record number) of every name names_parent_in would test, in
// attribute order, appended to `out`.
void append_name_parents(Bytes record, std::vector<std::uint64_t>& out);

// Entries of the record's resident $INDEX_ROOT attributes. Names are taken
// only for keys whose parent is in `dirs`. Record numbers 0, 5 and
// `own_record` are never listed; unless `all` is set, only those in
// own_record - 64 .. own_record + 8192 are. Needs 22 bytes.
std::vector<IndexEntryRef> index_root_entries(Bytes record, const FrnSet& dirs, std::uint64_t own_record,
                                              bool all);

// Decodes a mapping-pairs list: runs of length 0 are dropped, a run without
// an offset field (sparse) keeps the previous starting cluster. Stops at a 0
// header byte or at a run that would run past `pairs`. `first_vcn` is the
// VCN of the first run (the lowest VCN of an extension attribute). With
// `drop_sparse`, sparse runs are left out instead (their VCNs stay unmapped).
std::vector<DataRun> decode_runs(Bytes pairs, std::int64_t first_vcn = 0, bool drop_sparse = false);

struct StreamRuns {
  std::uint64_t data_size = 0;
  std::vector<DataRun> runs;
};
// The runs of the non-resident $DATA with the largest data size (a later one
// winning a tie), whatever its name. Needs 22 bytes.
std::optional<StreamRuns> data_runs(Bytes record);
// The runs of the first non-resident attribute of `type` (and of the unnamed
// one when `unnamed_only`), with its data size. Used for the $MFT's own
// $BITMAP and for non-resident attribute lists.
std::optional<StreamRuns> nonresident_runs(Bytes record, std::uint32_t type, bool unnamed_only = true);

// The last min(data size, max_bytes) bytes of the stream `data_runs` picks,
// read cluster by cluster through `reader`. Nothing on any read failure.
std::optional<std::vector<std::byte>> read_stream_tail(std::uint64_t bytes_per_cluster, VolumeReader& reader,
                                                       Bytes record, std::uint64_t max_bytes);

// The first `length` bytes of a stream laid out by `runs` (clusters of
// `bytes_per_cluster`), read through `reader`. Clusters no run maps (sparse
// or beyond the runs) read as zeros. Nothing on a read failure.
std::optional<std::vector<std::byte>> read_runs(std::uint64_t bytes_per_cluster, VolumeReader& reader,
                                                const std::vector<DataRun>& runs, std::uint64_t length);

// Update sequences: ntfs::apply_update_sequence (common/ntfs_decode.h); a raw
// read keeps a torn stride as read.

// ---------------------------------------------------------------------------
// MFT geometry and FILE record fetching
// ---------------------------------------------------------------------------

// FSCTL_GET_NTFS_VOLUME_DATA on the reader's handle.
Result<NtfsVolumeData> query_volume_data(VolumeReader& reader);

// Where the MFT's records are. `runs` is the $MFT's own run list (VCNs in
// clusters, sorted, sparse runs left out); empty means one extent from
// mft_start_lcn (the volume data alone, or record 0 unreadable).
struct MftGeometry {
  std::uint64_t bytes_per_cluster = 0;
  std::uint64_t mft_start_lcn = 0;
  std::uint32_t record_size = 1024;  // never below 1024
  std::vector<DataRun> runs;
};

// The geometry of the volume data alone: one extent from MftStartLcn.
MftGeometry mft_geometry(const NtfsVolumeData& volume);
// The geometry with the $MFT's run list read from record 0 (raw at
// MftStartLcn, with its $ATTRIBUTE_LIST extensions joined by starting VCN).
// Falls back to one extent when record 0 or its runs cannot be read.
MftGeometry load_mft_geometry(VolumeReader& reader, const NtfsVolumeData& volume);

// Byte offset of record `record` on the volume, mapped through the run list;
// nothing on overflow, a cluster size of 0, or a record no run maps.
std::optional<std::uint64_t> record_offset(const MftGeometry& g, std::uint64_t record);
// The first record number from which on no record can be read raw: every
// one lies wholly or partly past the last extent of the run list. The
// largest number when there is no run list (one extent without end).
std::uint64_t raw_record_end(const MftGeometry& g);

// One record read raw, fixups applied when sound; only "FILE"/"BAAD" records
// that hold their own number (ntfs::misplaced_record).
std::optional<MftRecord> read_record_raw(const MftGeometry& g, VolumeReader& reader, std::uint64_t record);
// `count` consecutive records read raw (one read per extent the block
// crosses), each "FILE"/"BAAD" record's fixups applied. Records that no run
// maps read as zeros, and so do the signatures of records holding another
// record's number; a block with no mapped record yields nothing.
std::optional<std::vector<std::byte>> read_record_block(const MftGeometry& g, VolumeReader& reader,
                                                        std::uint64_t first, std::uint64_t count);
// The same into the front of a reused `buffer`: the filled front, exactly
// `count` records long; nothing as read_record_page says.
std::optional<std::span<std::byte>> read_record_block_into(const MftGeometry& g, VolumeReader& reader,
                                                           std::uint64_t first, std::uint64_t count,
                                                           std::span<std::byte> buffer);
// The same into the front of `buffer`, which is reused from page to page and
// never cleared, with no fixups applied and no record's number checked
// (apply_record_fixups and ntfs::misplaced_record, for the records a caller
// looks into): the filled front, exactly `count`
// records long, stretches no run maps cleared. Nothing, with the buffer's
// bytes undefined, for a buffer too small, a block starting past the $MFT's
// runs (no read is made), a block with no mapped record or a failed read.
std::optional<std::span<std::byte>> read_record_page(const MftGeometry& g, VolumeReader& reader, std::uint64_t first,
                                                    std::uint64_t count, std::span<std::byte> buffer);
// The same, given up (nothing) once `give_up` says so, asked before each
// of the reads it makes (one per run the block crosses).
std::optional<std::span<std::byte>> read_record_page(const MftGeometry& g, VolumeReader& reader, std::uint64_t first,
                                                    std::uint64_t count, std::span<std::byte> buffer,
                                                    const std::function<bool()>& give_up);
// The fixups of one raw "FILE"/"BAAD" record, in place. A record in use
// whose update sequence does not hold (the array out of place, a count
// other than one per 512-byte stride plus one, a torn stride) is marked
// "BAAD", as the file system marks a block that fails the check: its state
// is unknown, it counts as in use and is never evaluated. A free record keeps
// a torn stride as read (what the rest of it says of a deletion stands).
// A record already fixed up stays as it is. Other bytes are left alone.
void apply_record_fixups(std::span<std::byte> record);

// FSCTL_GET_NTFS_FILE_RECORD for `frn`, unchanged. The file system answers
// a record that is not in use with the nearest in-use record below it; such
// an answer (another record number) yields nothing.
std::optional<MftRecord> read_record_fsctl(VolumeReader& reader, std::uint64_t frn, std::uint32_t record_size);
// The file system road with the retries by bare record number and by the
// sequence number found; nothing once the file system says the record is
// not in use.
std::optional<MftRecord> fetch_record_by_frn(VolumeReader& reader, std::uint64_t frn, std::uint32_t record_size);

// One bit per MFT record, set when the record is in use.
using MftBitmap = std::vector<std::byte>;

// The $MFT's $BITMAP value, resident or not (a non-resident one read through
// its runs, bounded by its data size and by the records the $MFT holds).
// Record 0 comes from the file system query, or raw when that fails.
std::optional<MftBitmap> read_mft_bitmap(VolumeReader& reader, const MftGeometry& g);

// True when the record's bit is inside the bitmap and clear.
bool bitmap_says_free(const MftBitmap& bitmap, std::uint64_t record);
// Bit set: in use. Nothing when the bit lies beyond the bitmap.
std::optional<bool> bitmap_in_use(const MftBitmap& bitmap, std::uint64_t record);

// Number of records a full scan covers: 4,194,304 without a bitmap or with
// one below 131,072 bytes, else 8 x its length (saturating).
std::uint64_t record_scan_bound(const MftBitmap* bitmap);

// What one scope build, one phased scan or one debug query holds for its
// whole life: read once, passed by const reference, shared read-only between
// threads (each thread keeps its own VolumeReader). Reading the bitmap per
// lookup would cost hundreds of kilobytes per record on a large volume.
struct MftContext {
  NtfsVolumeData volume;
  MftGeometry geometry;                         // with the $MFT run list
  std::shared_ptr<const MftBitmap> bitmap;      // null when it cannot be read
  std::uint32_t record_size() const { return geometry.record_size; }
  const MftBitmap* bitmap_ptr() const { return bitmap.get(); }
};
// query_volume_data, load_mft_geometry and read_mft_bitmap, once.
Result<MftContext> load_mft_context(VolumeReader& reader);
// The same from volume data the caller already holds.
MftContext load_mft_context(VolumeReader& reader, const NtfsVolumeData& volume);

// The lookup of one FRN the searches use: a record the bitmap shows free is
// read raw (the file system query would return a neighbour below it);
// otherwise, or when that read yields nothing, the file system road; when
// the file system says the record is not in use after all (freed since the
// bitmap was read), the raw read.
std::optional<MftRecord> fetch_record(const MftContext& ctx, VolumeReader& reader, std::uint64_t frn);
std::optional<MftRecord> fetch_record(const MftGeometry& g, const MftBitmap* bitmap, VolumeReader& reader,
                                      std::uint64_t frn);

}  // namespace quillon
