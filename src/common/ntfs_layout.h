// Byte offsets of the NTFS on-disk structures the program reads, as the
// volume lays them out (little-endian). The engine's reader, the image
// backend's reader and the tests' record builder all take their offsets from
// here; each reader keeps its own rules on what it accepts.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quillon::ntfs {

// Attribute type codes.
inline constexpr std::uint32_t kAttrStandardInformation = 0x10;
inline constexpr std::uint32_t kAttrAttributeList = 0x20;
inline constexpr std::uint32_t kAttrFileName = 0x30;
inline constexpr std::uint32_t kAttrVolumeInformation = 0x70;
inline constexpr std::uint32_t kAttrData = 0x80;
inline constexpr std::uint32_t kAttrIndexRoot = 0x90;
inline constexpr std::uint32_t kAttrIndexAllocation = 0xA0;
inline constexpr std::uint32_t kAttrBitmap = 0xB0;
inline constexpr std::uint32_t kAttrReparsePoint = 0xC0;
inline constexpr std::uint32_t kAttrEnd = 0xFFFFFFFF;

// FILE record flags.
inline constexpr std::uint16_t kRecordInUse = 0x0001;
inline constexpr std::uint16_t kRecordDirectory = 0x0002;

// Multi-sector header shared by FILE records, INDX blocks and $LogFile pages.
namespace multi_sector {
inline constexpr std::size_t kSignature = 0x00;
inline constexpr std::size_t kUsaOffset = 0x04;
inline constexpr std::size_t kUsaCount = 0x06;
inline constexpr std::size_t kStride = 512;  // bytes each update-sequence entry protects
}  // namespace multi_sector

// FILE record header.
namespace record {
inline constexpr std::size_t kLsn = 0x08;
inline constexpr std::size_t kSequence = 0x10;
inline constexpr std::size_t kLinkCount = 0x12;
inline constexpr std::size_t kFirstAttribute = 0x14;
inline constexpr std::size_t kFlags = 0x16;
inline constexpr std::size_t kBytesInUse = 0x18;
inline constexpr std::size_t kBytesAllocated = 0x1C;
inline constexpr std::size_t kBaseReference = 0x20;
inline constexpr std::size_t kHeaderSize = 24;  // enough for the fields up to kFlags
// The record's own number (its low 32 bits), in the header of NTFS 3.1,
// whose update sequence array starts at kNumberedUsaOffset or later.
inline constexpr std::size_t kRecordNumber = 0x2C;
inline constexpr std::size_t kNumberedUsaOffset = 0x30;
}  // namespace record

// Attribute header (common part, then the resident or non-resident part).
namespace attribute {
inline constexpr std::size_t kType = 0x00;
inline constexpr std::size_t kLength = 0x04;
inline constexpr std::size_t kNonResident = 0x08;
inline constexpr std::size_t kNameLength = 0x09;
inline constexpr std::size_t kNameOffset = 0x0A;
inline constexpr std::size_t kFlags = 0x0C;
inline constexpr std::size_t kId = 0x0E;
inline constexpr std::size_t kMinLength = 24;
// Resident.
inline constexpr std::size_t kValueLength = 0x10;
inline constexpr std::size_t kValueOffset = 0x14;
// Non-resident.
inline constexpr std::size_t kLowestVcn = 0x10;
inline constexpr std::size_t kHighestVcn = 0x18;
inline constexpr std::size_t kMappingPairsOffset = 0x20;
inline constexpr std::size_t kAllocatedSize = 0x28;
inline constexpr std::size_t kDataSize = 0x30;
inline constexpr std::size_t kInitializedSize = 0x38;
inline constexpr std::size_t kNonResidentHeader = 0x40;
}  // namespace attribute

// $STANDARD_INFORMATION value: the file's four times first.
namespace standard_information {
inline constexpr std::size_t kCreated = 0x00;
inline constexpr std::size_t kModified = 0x08;
inline constexpr std::size_t kMftChanged = 0x10;
inline constexpr std::size_t kAccessed = 0x18;
inline constexpr std::size_t kTimesSize = 0x20;
}  // namespace standard_information

// The volume's own files, by record number.
inline constexpr std::uint64_t kVolumeBitmapRecord = 6;  // $Bitmap: one bit per cluster, set when in use

// $FILE_NAME value (also the key of a directory index entry).
namespace file_name {
inline constexpr std::size_t kParent = 0x00;
inline constexpr std::size_t kCreated = 0x08;
inline constexpr std::size_t kModified = 0x10;
inline constexpr std::size_t kMftChanged = 0x18;
inline constexpr std::size_t kAccessed = 0x20;
inline constexpr std::size_t kAllocatedSize = 0x28;
inline constexpr std::size_t kDataSize = 0x30;
inline constexpr std::size_t kFileAttributes = 0x38;
inline constexpr std::size_t kReparseTag = 0x3C;
inline constexpr std::size_t kNameLength = 0x40;  // in UTF-16 units
inline constexpr std::size_t kNamespace = 0x41;
inline constexpr std::size_t kName = 0x42;
inline constexpr std::size_t kFixedSize = kName;
inline constexpr std::uint8_t kNamespaceDos = 2;
}  // namespace file_name

// INDEX_HEADER (inside $INDEX_ROOT after its 16 bytes, and in INDX blocks
// at 0x18) and the index entries it lists.
namespace index_root {
inline constexpr std::size_t kAttributeType = 0x00;
inline constexpr std::size_t kHeader = 0x10;  // INDEX_HEADER within the value
}  // namespace index_root
namespace index_header {
inline constexpr std::size_t kFirstEntry = 0x00;
inline constexpr std::size_t kBytesInUse = 0x04;
inline constexpr std::size_t kBytesAllocated = 0x08;
inline constexpr std::size_t kFlags = 0x0C;
inline constexpr std::size_t kSize = 0x10;
}  // namespace index_header
namespace indx {
inline constexpr std::size_t kVcn = 0x10;
inline constexpr std::size_t kHeader = 0x18;
}  // namespace indx
namespace index_entry {
inline constexpr std::size_t kFileReference = 0x00;
inline constexpr std::size_t kLength = 0x08;
inline constexpr std::size_t kKeyLength = 0x0A;
inline constexpr std::size_t kFlags = 0x0C;
inline constexpr std::size_t kKey = 0x10;
inline constexpr std::size_t kHeaderSize = kKey;
inline constexpr std::uint8_t kHasSubnode = 0x01;
inline constexpr std::uint8_t kLast = 0x02;
}  // namespace index_entry

// $ATTRIBUTE_LIST entry.
namespace attribute_list_entry {
inline constexpr std::size_t kType = 0x00;
inline constexpr std::size_t kLength = 0x04;
inline constexpr std::size_t kNameLength = 0x06;
inline constexpr std::size_t kNameOffset = 0x07;
inline constexpr std::size_t kLowestVcn = 0x08;
inline constexpr std::size_t kReference = 0x10;
inline constexpr std::size_t kId = 0x18;
inline constexpr std::size_t kMinLength = 0x1A;
}  // namespace attribute_list_entry

// $UsnJrnl:$Max, the journal's settings as stored on the volume.
namespace usn_max {
inline constexpr std::size_t kMaximumSize = 0x00;
inline constexpr std::size_t kAllocationDelta = 0x08;
inline constexpr std::size_t kUsnJournalId = 0x10;
inline constexpr std::size_t kLowestValidUsn = 0x18;
inline constexpr std::size_t kSize = 0x20;
}  // namespace usn_max

// $LogFile. The two restart pages ("RSTR") open the file; each holds a
// restart area at the offset it names. Record pages ("RCRD") follow, their
// log records starting after the page header.
namespace log_restart_page {
inline constexpr std::size_t kChkdskLsn = 0x08;
inline constexpr std::size_t kSystemPageSize = 0x10;
inline constexpr std::size_t kLogPageSize = 0x14;
inline constexpr std::size_t kRestartAreaOffset = 0x18;
inline constexpr std::size_t kMinorVersion = 0x1A;
inline constexpr std::size_t kMajorVersion = 0x1C;
}  // namespace log_restart_page
namespace log_restart_area {
inline constexpr std::size_t kCurrentLsn = 0x00;
inline constexpr std::size_t kLogClients = 0x08;
inline constexpr std::size_t kSeqNumberBits = 0x10;
inline constexpr std::size_t kRestartAreaLength = 0x14;
inline constexpr std::size_t kFileSize = 0x18;
}  // namespace log_restart_area
namespace log_record_page {
// The last LSN of a record that ends in the page; in the tail copies of a
// version 1.x log, the file offset of the page copied.
inline constexpr std::size_t kLastLsn = 0x08;
inline constexpr std::size_t kFlags = 0x10;
inline constexpr std::size_t kPageCount = 0x14;
inline constexpr std::size_t kPagePosition = 0x16;
inline constexpr std::size_t kNextRecordOffset = 0x18;
inline constexpr std::size_t kLastEndLsn = 0x20;
inline constexpr std::size_t kDataOffset = 0x40;  // the first record, after the update sequence array
}  // namespace log_record_page
// The log service's header of one log record; the client's data follows.
namespace log_record {
inline constexpr std::size_t kThisLsn = 0x00;
inline constexpr std::size_t kClientPreviousLsn = 0x08;
inline constexpr std::size_t kClientUndoNextLsn = 0x10;
inline constexpr std::size_t kClientDataLength = 0x18;
inline constexpr std::size_t kClientId = 0x1C;
inline constexpr std::size_t kRecordType = 0x20;
inline constexpr std::size_t kTransactionId = 0x24;
inline constexpr std::size_t kFlags = 0x28;
inline constexpr std::size_t kHeaderSize = 0x30;
}  // namespace log_record
// NTFS's own header at the start of a log record's client data: the redo
// and undo operations and where their data lies (offsets from this header),
// then the target of the operation. The LCN array follows.
namespace log_client {
inline constexpr std::size_t kRedoOperation = 0x00;
inline constexpr std::size_t kUndoOperation = 0x02;
inline constexpr std::size_t kRedoOffset = 0x04;
inline constexpr std::size_t kRedoLength = 0x06;
inline constexpr std::size_t kUndoOffset = 0x08;
inline constexpr std::size_t kUndoLength = 0x0A;
inline constexpr std::size_t kTargetAttribute = 0x0C;
inline constexpr std::size_t kLcnsToFollow = 0x0E;
inline constexpr std::size_t kRecordOffset = 0x10;
inline constexpr std::size_t kAttributeOffset = 0x12;
inline constexpr std::size_t kClusterBlockOffset = 0x14;
inline constexpr std::size_t kTargetBlockSize = 0x16;  // in 512-byte units
inline constexpr std::size_t kTargetVcn = 0x18;
inline constexpr std::size_t kHeaderSize = 0x20;
}  // namespace log_client

}  // namespace quillon::ntfs
