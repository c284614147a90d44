// The primitive decoders of NTFS structures that both readers of the volume
// need (the engine's raw MFT reader, its $LogFile scan and the image
// backend): the update sequence of a multi-sector block, the attribute walk
// of a FILE record, a $FILE_NAME value and one mapping pair of a run list.
// Each reader keeps its own policy on what it accepts; the policy is named
// in the call.
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "common/bytes.h"
#include "common/ntfs_layout.h"

namespace quillon::ntfs {

enum class TornStride {
  // A stride whose last two bytes do not hold the update sequence number (a
  // torn write) is left as read; the others get their saved bytes back. The
  // array needs one entry and must lie inside the block.
  keep_as_read,
  // Any torn stride refuses the whole block, which is then left unchanged.
  // The array needs two entries and must lie in the first stride, before
  // the bytes that stride protects.
  refuse_block,
};

// Applies the update sequence array of `block` (offset at 0x04, count at
// 0x06, 512-byte strides; the array's offset even and its strides inside the
// block). False, changing nothing, for an unsound array, or for a torn
// stride under refuse_block.
bool apply_update_sequence(std::span<std::byte> block, TornStride torn);

// Whether a "FILE" or "BAAD" record read where record `number` lies holds
// another record's number: a run list that maps the $MFT wrongly (a damaged
// length) puts records where others belong, and such a record is not the
// one asked for. True only where the header carries its number (NTFS 3.1:
// an update sequence array at 0x30 or later, inside the record).
bool misplaced_record(Bytes record, std::uint64_t number);

// Where an attribute walk ends, besides at the end marker (type 0xFFFFFFFF)
// and at an attribute shorter than its 24-byte common header.
enum class AttributeBound {
  // At the end of the bytes given, whatever the header's bytes in use say,
  // and an attribute of any length: for records read raw, whose header may
  // be stale or damaged.
  record_end,
  // At the header's bytes in use (0x18, never past the bytes given), every
  // attribute's length a multiple of 8: for records whose fixups and header
  // were checked.
  bytes_in_use,
};

// One attribute met by the walk.
struct AttributeRef {
  std::uint32_t type = 0;
  std::uint64_t offset = 0;  // from the record's start
  std::uint32_t length = 0;  // whole attribute, header included
  bool non_resident = false;
};

// The attributes of a FILE record in record order, from its first-attribute
// offset (0x14) on, up to the first that does not fit under `bound`, each
// handed to `visit` until it returns false.
template <class Visit>
void for_each_attribute(Bytes record, AttributeBound bound, Visit&& visit) {
  namespace at = attribute;
  if (record.size() < ntfs::record::kFirstAttribute + 2) return;
  const std::uint64_t first = load_le<std::uint16_t>(record.data() + ntfs::record::kFirstAttribute);
  std::uint64_t end = record.size();
  const bool aligned = bound == AttributeBound::bytes_in_use;
  if (aligned) {
    if (record.size() < ntfs::record::kBytesInUse + 4) return;
    end = std::min<std::uint64_t>(load_le<std::uint32_t>(record.data() + ntfs::record::kBytesInUse), end);
  }
  std::uint64_t off = first;
  while (in_bounds(end, off, at::kMinLength)) {
    const std::uint32_t type = load_le<std::uint32_t>(record.data() + off + at::kType);
    if (type == kAttrEnd) break;
    const std::uint32_t len = load_le<std::uint32_t>(record.data() + off + at::kLength);
    if (len < at::kMinLength || (aligned && len % 8 != 0) || !in_bounds(end, off, len)) break;
    if (!visit(AttributeRef{type, off, len, record[off + at::kNonResident] != std::byte{0}})) return;
    off += len;
  }
}

// The same, as a list.
std::vector<AttributeRef> walk_attributes(Bytes record, AttributeBound bound);

// A $FILE_NAME value: the value of a $FILE_NAME attribute, the key of a
// directory index entry, and the redo data of a name deleted in the log.
struct FileNameValue {
  std::uint64_t parent = 0;    // full reference, sequence number in the top 16 bits
  std::uint64_t created = 0;   // FILETIME (in the log's redo data: the file's reference)
  std::uint64_t modified = 0;  // FILETIME
  std::uint64_t allocated_size = 0;
  std::uint64_t data_size = 0;
  std::uint32_t file_attributes = 0;
  std::uint32_t reparse_tag = 0;  // shares its field with the EA size
  std::uint8_t name_space = 0;    // 0 POSIX, 1 Win32, 2 DOS, 3 Win32 and DOS
  Bytes name;                     // UTF-16LE, inside the bytes decoded
  bool dos_only() const { return name_space == file_name::kNamespaceDos; }
};

// The value at the start of `value`, when its 66-byte fixed part and its
// name both lie inside `value`.
std::optional<FileNameValue> read_file_name(Bytes value);

// One mapping pair of a run list.
struct MappingPair {
  std::uint64_t length = 0;  // clusters
  std::int64_t delta = 0;    // starting cluster relative to the previous run's
  bool has_offset = false;   // false: a sparse run
  std::uint64_t size = 0;    // bytes the pair takes, header included
};

enum class PairRead {
  pair,       // `out` holds the pair
  end,        // the terminating 0 header byte
  missing,    // no header byte at `pos`
  malformed,  // a field wider than 8 bytes, or fields running past the bytes
};

// Reads the pair at `pos` of `pairs` (the offset field sign-extended).
PairRead read_mapping_pair(Bytes pairs, std::uint64_t pos, MappingPair& out);

}  // namespace quillon::ntfs
