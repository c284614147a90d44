// A read-only NTFS reader over one volume of an image.
//
// NtfsVolume is what is learnt once when the image is opened (geometry, the
// $MFT's runs and bitmap, the $UpCase table) and never changes afterwards, so
// any number of threads may share it. NtfsReader pairs it with a file handle
// of its own and does the reading; one reader per thread.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "common/error.h"
#include "platform/image/boot_sector.h"
#include "platform/image/file_record.h"
#include "platform/image/image_file.h"
#include "platform/image/partition.h"

namespace quillon::platform::image {

inline constexpr std::uint64_t kRecordNumberMask = 0xFFFFFFFFFFFFULL;
inline constexpr std::uint64_t kRootRecord = 5;
inline constexpr std::uint64_t kUpCaseRecord = 10;
inline constexpr std::uint64_t kExtendRecord = 11;
inline constexpr std::uint64_t kFirstUserRecord = 16;

// One file: its base record's header and the attributes of the base record
// and of its extension records, the pieces of each non-resident attribute
// joined in VCN order.
struct FileRecord {
  std::uint64_t number = 0;
  RecordHeader header;
  std::vector<Attribute> attributes;

  std::uint64_t reference() const { return number | (std::uint64_t{header.sequence} << 48); }
  const Attribute* find(std::uint32_t type, std::u16string_view name = u"") const;
  std::vector<FileName> names() const;
  // $STANDARD_INFORMATION file attributes and USN (0 when absent or short).
  std::uint32_t si_attributes() const;
  std::uint64_t si_usn() const;
  // The reparse tag, when the file has a reparse point.
  std::optional<std::uint32_t> reparse_tag() const;
  // FindFirstFileExW's attribute bits for this file.
  std::uint32_t win32_attributes() const;
};

// One entry of a directory index.
struct IndexEntry {
  std::uint64_t reference = 0;  // the file the entry names (record | sequence << 48)
  FileName key;
};

// One entry of an index node: the entry (none for the end entry or an
// unreadable key), the VCN of the node below it, when it has one, and
// whether it is the node's end entry.
struct IndexNodeEntry {
  std::optional<IndexEntry> entry;
  std::optional<std::uint64_t> child;
  bool last = false;
};
// The entries of the index node whose header (first entry offset, length)
// sits at byte `header` of `node` ($INDEX_ROOT's value at 0x10, an INDX
// block with its fixups applied at 0x18). Stops at the first entry that
// does not fit.
std::vector<IndexNodeEntry> parse_index_node(Bytes node, std::uint64_t header);

class NtfsVolume;

// A directory's whole index: its entries in index order, and their
// positions in collation order for lookups by name.
struct DirectoryListing {
  std::vector<IndexEntry> entries;
  std::vector<std::uint32_t> by_name;  // equal names in index order

  DirectoryListing(std::vector<IndexEntry> all, const NtfsVolume& volume);
  // The first entry in index order whose name equals `name` case-insensitively.
  const IndexEntry* find(std::u16string_view name, const NtfsVolume& volume) const;
};

class NtfsVolume {
 public:
  // Reads and checks the volume at `extent` of `file`. Any failure is one
  // error whose text says what is wrong with the image.
  static Result<std::shared_ptr<const NtfsVolume>> open(ImageFile& file, VolumeExtent extent);

  const BootSector& boot() const { return boot_; }
  std::uint64_t offset() const { return extent_.offset; }
  // Bytes readable through the volume device.
  std::uint64_t device_length() const { return extent_.length; }

  const std::vector<Run>& mft_runs() const { return mft_runs_; }
  std::uint64_t mft_valid_length() const { return mft_valid_length_; }
  std::uint64_t mft_records() const { return mft_records_; }
  // $MFT:$BITMAP: whether record `n` is in use.
  bool record_in_use(std::uint64_t n) const;
  std::uint64_t bitmap_records() const { return mft_bitmap_.size() * 8; }
  // What was read from NTFS's spare copies instead of the damaged original
  // (the backup boot sector, $MFTMirr), one line each; empty when nothing.
  const std::vector<std::string>& notes() const { return notes_; }
  // NTFS version from $Volume (major, minor), 0.0 when unreadable.
  std::uint8_t major_version() const { return major_version_; }
  std::uint8_t minor_version() const { return minor_version_; }

  char16_t upcase(char16_t c) const { return upcase_.empty() ? c : upcase_[c]; }
  // Collation of file names as directory indexes sort them: compared unit
  // by unit after $UpCase, then by length. (An index breaks ties between
  // names equal so, e.g. "ABC.TXT" and "abc.txt", by their units as
  // stored; lookups are case-insensitive and need only this order.)
  int compare_names(std::u16string_view a, std::u16string_view b) const;
  bool names_equal(std::u16string_view a, std::u16string_view b) const { return compare_names(a, b) == 0; }


 private:
  NtfsVolume() = default;
  static Result<std::shared_ptr<const NtfsVolume>> open_with(ImageFile& file, VolumeExtent extent,
                                                             const BootSector& boot, std::vector<std::string> notes);

  BootSector boot_;
  VolumeExtent extent_;
  std::vector<Run> mft_runs_;
  std::uint64_t mft_valid_length_ = 0;
  std::uint64_t mft_records_ = 0;
  std::vector<std::uint8_t> mft_bitmap_;
  std::vector<char16_t> upcase_;
  std::uint8_t major_version_ = 0, minor_version_ = 0;
  std::vector<std::string> notes_;
  mutable std::once_flag free_once_;
  mutable std::uint64_t free_clusters_ = 0;

  friend class NtfsReader;
};

class NtfsReader {
 public:
  NtfsReader(std::shared_ptr<const NtfsVolume> volume, ImageFile file)
      : vol_(std::move(volume)), file_(std::move(file)) {}

  const NtfsVolume& volume() const { return *vol_; }
  ImageFile& file() { return file_; }

  // Free clusters per $Bitmap, counted once per volume (thread-safe).
  std::uint64_t free_clusters();

  // Bytes at an offset of the volume: end_of_image past the volume's end,
  // else what the image file says.
  Result<void> read_volume(std::uint64_t offset, std::span<std::byte> out);

  // FILE record `n` with fixups applied. Records 0 to 3 that fail are read
  // from $MFTMirr. Failing: ERROR_INVALID_PARAMETER for a record outside
  // the $MFT, the read's own error when the image cannot be read there, and
  // ERROR_FILE_CORRUPT for bytes that are no sound "FILE" record.
  Result<std::vector<std::byte>> read_record(std::uint64_t n);
  // The same from the $MFT alone, and record `n` (0 to 3) from $MFTMirr.
  Result<std::vector<std::byte>> read_primary_record(std::uint64_t n);
  Result<std::vector<std::byte>> read_mirror_record(std::uint64_t n);
  // The file whose base record is `n` (extension records joined in).
  std::optional<FileRecord> load(std::uint64_t n);
  // `load` for a full reference: the record must be in use and carry that
  // sequence number.
  std::optional<FileRecord> load_reference(std::uint64_t reference);
  // Whether load_reference would find the file, without loading it (the
  // base record's header alone decides). Nothing when the $MFT's bitmap
  // says the record is in use but it cannot be read as a sound record (its
  // fixups or header fail, it is in use with sequence number 0, or it is an
  // extension record of the reference's own sequence number): whether it
  // holds the file cannot be told.
  std::optional<bool> reference_in_use(std::uint64_t reference);

  // Bytes of an attribute's value: resident or through its runs (sparse runs
  // and bytes past the initialized size read as zeros). False for ranges
  // outside the value and for compressed values.
  bool read_attribute(const Attribute& a, std::uint64_t offset, std::span<std::byte> out);
  std::optional<std::vector<std::byte>> attribute_value(const Attribute& a, std::uint64_t limit = 64u << 20);

  // The entries of directory `dir`'s $I30 index in index order. Bad blocks and
  // entries are skipped; a block reached twice is read once.
  std::vector<IndexEntry> list_index(const FileRecord& dir);
  // The same, read once per directory while listings are kept (see
  // keep_listings), with a lookup by name.
  std::shared_ptr<const DirectoryListing> listing(const FileRecord& dir);
  // The entry of `dir` whose name equals `name` case-insensitively: the
  // first in index order, as a walk of the whole listing finds it. Found by
  // descending the index's B-tree (one block per level); a name the descent
  // misses is looked up in the whole listing.
  std::optional<IndexEntry> find_in_index(const FileRecord& dir, std::u16string_view name);

  // Whether whole listings are kept for the reader's life (about 256K
  // entries at most; beyond that the older ones are dropped). Only for a
  // volume that cannot change while it is read: an image file, not a device.
  void keep_listings(bool keep);
  // INDX blocks read so far by listings and lookups.
  std::uint64_t index_blocks_read() const { return index_blocks_read_; }

 private:
  struct IndexContext;
  std::optional<IndexContext> index_context(const FileRecord& dir);
  std::optional<std::vector<std::byte>> read_index_block(const IndexContext& ctx, std::uint64_t vcn);
  std::optional<IndexEntry> descend(const FileRecord& dir, std::u16string_view name);

  std::shared_ptr<const NtfsVolume> vol_;
  ImageFile file_;
  bool keep_listings_ = false;
  std::unordered_map<std::uint64_t, std::shared_ptr<const DirectoryListing>> listings_;  // by reference
  std::size_t kept_entries_ = 0;
  std::uint64_t index_blocks_read_ = 0;
};

// Reads `out` at byte `offset` of a stream laid out by `runs` (clusters of
// `cluster` bytes) on the volume at `volume_offset`; sparse runs read as
// zeros. ERROR_FILE_CORRUPT when a byte is not covered by a run or lies past
// the volume, else the image file's own error.
Result<void> read_runs(ImageFile& file, std::uint64_t volume_offset, std::uint64_t volume_length,
                       std::uint64_t cluster, const std::vector<Run>& runs, std::uint64_t offset,
                       std::span<std::byte> out);

}  // namespace quillon::platform::image
