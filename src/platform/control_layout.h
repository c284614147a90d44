// Byte offsets and sizes of the control-code buffers as winioctl.h lays them
// out (little-endian, natural alignment). The engine builds its inputs and
// reads the answers through these; the image backend fills its answers
// through them; the tests check both against them.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quillon::platform::layout {

// NTFS_VOLUME_DATA_BUFFER: the answer of FSCTL_GET_NTFS_VOLUME_DATA.
namespace volume_data {
inline constexpr std::size_t kVolumeSerialNumber = 0;
inline constexpr std::size_t kNumberSectors = 8;
inline constexpr std::size_t kTotalClusters = 16;
inline constexpr std::size_t kFreeClusters = 24;
inline constexpr std::size_t kTotalReserved = 32;
inline constexpr std::size_t kBytesPerSector = 40;
inline constexpr std::size_t kBytesPerCluster = 44;
inline constexpr std::size_t kBytesPerFileRecordSegment = 48;
inline constexpr std::size_t kClustersPerFileRecordSegment = 52;
inline constexpr std::size_t kMftValidDataLength = 56;
inline constexpr std::size_t kMftStartLcn = 64;
inline constexpr std::size_t kMft2StartLcn = 72;
inline constexpr std::size_t kMftZoneStart = 80;
inline constexpr std::size_t kMftZoneEnd = 88;
inline constexpr std::size_t kSize = 96;
}  // namespace volume_data

// NTFS_EXTENDED_VOLUME_DATA: follows the 96 bytes above when the caller's
// buffer has room for it. Offsets are from its own start.
namespace extended_volume_data {
inline constexpr std::size_t kByteCount = 0;
inline constexpr std::size_t kMajorVersion = 4;
inline constexpr std::size_t kMinorVersion = 6;
inline constexpr std::size_t kBytesPerPhysicalSector = 8;
inline constexpr std::size_t kLfsMajorVersion = 12;
inline constexpr std::size_t kLfsMinorVersion = 14;
inline constexpr std::size_t kMaxDeviceTrimExtentCount = 16;
inline constexpr std::size_t kMaxDeviceTrimByteCount = 20;
inline constexpr std::size_t kMaxVolumeTrimExtentCount = 24;
inline constexpr std::size_t kMaxVolumeTrimByteCount = 28;
inline constexpr std::size_t kSize = 32;
}  // namespace extended_volume_data

// NTFS_FILE_RECORD_INPUT_BUFFER / NTFS_FILE_RECORD_OUTPUT_BUFFER.
namespace file_record {
inline constexpr std::size_t kInputSize = 8;           // FileReferenceNumber
inline constexpr std::size_t kFileReferenceNumber = 0;  // of the record returned
inline constexpr std::size_t kFileRecordLength = 8;
inline constexpr std::size_t kFileRecordBuffer = 12;
}  // namespace file_record

// USN_JOURNAL_DATA_V0 (56 bytes) / V1 (64 bytes).
namespace journal_data {
inline constexpr std::size_t kUsnJournalId = 0;
inline constexpr std::size_t kFirstUsn = 8;
inline constexpr std::size_t kNextUsn = 16;
inline constexpr std::size_t kLowestValidUsn = 24;
inline constexpr std::size_t kMaxUsn = 32;
inline constexpr std::size_t kMaximumSize = 40;
inline constexpr std::size_t kAllocationDelta = 48;
inline constexpr std::size_t kMinSupportedMajorVersion = 56;
inline constexpr std::size_t kMaxSupportedMajorVersion = 58;
inline constexpr std::size_t kSizeV0 = 56;
inline constexpr std::size_t kSizeV1 = 64;
}  // namespace journal_data

// READ_USN_JOURNAL_DATA_V0 (40 bytes) / V1 (48 bytes).
namespace read_journal {
inline constexpr std::size_t kStartUsn = 0;
inline constexpr std::size_t kReasonMask = 8;
inline constexpr std::size_t kReturnOnlyOnClose = 12;
inline constexpr std::size_t kTimeout = 16;
inline constexpr std::size_t kBytesToWaitFor = 24;
inline constexpr std::size_t kUsnJournalId = 32;
inline constexpr std::size_t kMinMajorVersion = 40;
inline constexpr std::size_t kMaxMajorVersion = 42;
inline constexpr std::size_t kSizeV0 = 40;
inline constexpr std::size_t kSizeV1 = 48;
}  // namespace read_journal

// MFT_ENUM_DATA_V0 (24 bytes) / V1 (32 bytes).
namespace enum_data {
inline constexpr std::size_t kStartFileReferenceNumber = 0;
inline constexpr std::size_t kLowUsn = 8;
inline constexpr std::size_t kHighUsn = 16;
inline constexpr std::size_t kMinMajorVersion = 24;
inline constexpr std::size_t kMaxMajorVersion = 26;
inline constexpr std::size_t kSizeV0 = 24;
inline constexpr std::size_t kSizeV1 = 32;
}  // namespace enum_data

// USN_RECORD_V2 (the record ENUM returns on NTFS).
namespace usn_record_v2 {
inline constexpr std::size_t kRecordLength = 0;
inline constexpr std::size_t kMajorVersion = 4;
inline constexpr std::size_t kMinorVersion = 6;
inline constexpr std::size_t kFileReferenceNumber = 8;
inline constexpr std::size_t kParentFileReferenceNumber = 16;
inline constexpr std::size_t kUsn = 24;
inline constexpr std::size_t kTimeStamp = 32;
inline constexpr std::size_t kReason = 40;
inline constexpr std::size_t kSourceInfo = 44;
inline constexpr std::size_t kSecurityId = 48;
inline constexpr std::size_t kFileAttributes = 52;
inline constexpr std::size_t kFileNameLength = 56;
inline constexpr std::size_t kFileNameOffset = 58;
inline constexpr std::size_t kFileName = 60;
}  // namespace usn_record_v2

// USN_RECORD_V3: 128-bit file ids (their low 64 bits first).
namespace usn_record_v3 {
inline constexpr std::size_t kRecordLength = 0;
inline constexpr std::size_t kMajorVersion = 4;
inline constexpr std::size_t kMinorVersion = 6;
inline constexpr std::size_t kFileReferenceNumber = 8;
inline constexpr std::size_t kParentFileReferenceNumber = 24;
inline constexpr std::size_t kUsn = 40;
inline constexpr std::size_t kTimeStamp = 48;
inline constexpr std::size_t kReason = 56;
inline constexpr std::size_t kSourceInfo = 60;
inline constexpr std::size_t kSecurityId = 64;
inline constexpr std::size_t kFileAttributes = 68;
inline constexpr std::size_t kFileNameLength = 72;
inline constexpr std::size_t kFileNameOffset = 74;
inline constexpr std::size_t kFileName = 76;
}  // namespace usn_record_v3

// USN_RECORD_V4: range tracking, no name; USN_RECORD_EXTENTs follow.
namespace usn_record_v4 {
inline constexpr std::size_t kRecordLength = 0;
inline constexpr std::size_t kMajorVersion = 4;
inline constexpr std::size_t kMinorVersion = 6;
inline constexpr std::size_t kFileReferenceNumber = 8;
inline constexpr std::size_t kParentFileReferenceNumber = 24;
inline constexpr std::size_t kUsn = 40;
inline constexpr std::size_t kReason = 48;
inline constexpr std::size_t kSourceInfo = 52;
inline constexpr std::size_t kRemainingExtents = 56;
inline constexpr std::size_t kNumberOfExtents = 60;
inline constexpr std::size_t kExtentSize = 62;
inline constexpr std::size_t kExtents = 64;
}  // namespace usn_record_v4

}  // namespace quillon::platform::layout
