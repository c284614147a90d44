// FILE records and their attributes: the update sequence fixups (shared
// with INDX blocks), the record header and the attribute walk.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "common/bytes.h"
#include "common/ntfs_decode.h"
#include "common/ntfs_layout.h"
#include "platform/image/runlist.h"

namespace quillon::platform::image {

using ntfs::kAttrAttributeList;
using ntfs::kAttrBitmap;
using ntfs::kAttrData;
using ntfs::kAttrFileName;
using ntfs::kAttrIndexAllocation;
using ntfs::kAttrIndexRoot;
using ntfs::kAttrReparsePoint;
using ntfs::kAttrStandardInformation;
using ntfs::kAttrVolumeInformation;
using ntfs::kRecordDirectory;
using ntfs::kRecordInUse;

// A multi-sector block ("FILE" or "INDX") read here has its update sequence
// applied by ntfs::apply_update_sequence with TornStride::refuse_block: a
// torn stride refuses the block.

struct RecordHeader {
  std::uint16_t sequence = 0;
  std::uint16_t link_count = 0;
  std::uint16_t first_attribute = 0;
  std::uint16_t flags = 0;
  std::uint32_t bytes_in_use = 0;
  std::uint64_t base_reference = 0;  // 0 for a base record
  bool in_use() const { return flags & kRecordInUse; }
  bool directory() const { return flags & kRecordDirectory; }
};

// The header of a FILE record (fixups already applied); nothing when the
// signature is not "FILE" or the offsets do not fit the record.
std::optional<RecordHeader> parse_record_header(Bytes record);

struct Attribute {
  std::uint32_t type = 0;
  std::u16string name;
  std::uint16_t flags = 0;
  std::uint16_t id = 0;
  bool resident = true;
  std::vector<std::byte> value;  // resident value
  // Non-resident:
  std::uint64_t lowest_vcn = 0;
  std::uint64_t highest_vcn = 0;
  std::uint64_t allocated_size = 0;
  std::uint64_t data_size = 0;
  std::uint64_t initialized_size = 0;
  std::uint16_t compression_unit = 0;
  std::vector<Run> runs;

  std::uint64_t size() const { return resident ? value.size() : data_size; }
  bool compressed() const { return flags & 0x0001; }
};

// Every well-formed attribute of a record whose header parse_record_header
// accepted, in record order: the walk (ntfs::AttributeBound::bytes_in_use)
// stops at the end marker or at the first header that does not fit the
// bytes in use; an attribute whose contents are malformed is left out.
std::vector<Attribute> parse_attributes(Bytes record, std::uint64_t total_clusters);

// $FILE_NAME values, as attributes and as directory index keys.
struct FileName {
  std::uint64_t parent = 0;
  std::uint64_t data_size = 0;
  std::uint32_t attributes = 0;
  std::uint32_t reparse_tag = 0;  // shares its field with the EA size
  std::uint8_t name_space = 0;    // 0 POSIX, 1 Win32, 2 DOS, 3 Win32 and DOS
  std::u16string name;
  bool dos_only() const { return name_space == ntfs::file_name::kNamespaceDos; }
};
// ntfs::read_file_name, the name copied out; nothing for an empty name.
std::optional<FileName> parse_file_name(Bytes value);

// Reads `count` UTF-16LE code units at `offset`.
std::optional<std::u16string> utf16_at(Bytes b, std::uint64_t offset, std::uint64_t count);

}  // namespace quillon::platform::image
