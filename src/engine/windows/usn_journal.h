// The NTFS change journal through the file system's control codes: the
// journal's identity and USN range, the READ loop over a USN window, the
// ENUM loop over a band of record numbers, and the parsing of the raw
// USN_RECORD_V2/V3/V4 records those loops return.
//
// What the records mean is the caller's business: the loops hand every
// output buffer to a buffer processor and never look inside themselves.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "common/bytes.h"
#include "common/error.h"
#include "datasource/windows/volume.h"
#include "platform/control_layout.h"

namespace quillon {

inline constexpr std::size_t kUsnOutputBufferSize = 0x40000;    // one READ/ENUM output buffer
inline constexpr std::int64_t kUsnRecentWindow = 8'000'000;      // USN bytes read back from NextUsn
inline constexpr std::uint64_t kUsnEnumBandBelow = 4096;         // records below the folder's
inline constexpr std::uint64_t kUsnEnumBandAbove = 32768;        // records above the folder's
inline constexpr std::size_t kUsnMinRecordLength = platform::layout::usn_record_v2::kFileName;  // V2 header
inline constexpr std::size_t kUsnV3HeaderLength = platform::layout::usn_record_v3::kFileName;

// HRESULTs the loops react to.
inline constexpr std::uint32_t kHresultInvalidParameter = 0x80070057;
inline constexpr std::uint32_t kHresultHandleEof = 0x80070026;

// A Win32 error code as an HRESULT: 0x80070000 | (code & 0xFFFF). Errors
// without an OS code map to E_FAIL.
std::uint32_t hresult_of(const Error& error);

// USN_JOURNAL_DATA_V1.
struct UsnJournalInfo {
  std::uint64_t journal_id = 0;
  std::int64_t first_usn = 0;
  std::int64_t next_usn = 0;
  std::int64_t lowest_valid_usn = 0;
  std::int64_t max_usn = 0;
  std::uint64_t maximum_size = 0;
  std::uint64_t allocation_delta = 0;
  std::uint16_t min_supported_major = 0;
  std::uint16_t max_supported_major = 0;
};

// One parsed journal record.
struct UsnEntry {
  std::string name;                 // empty for V4 records
  std::uint64_t frn = 0;            // record number (low 48 bits)
  std::uint64_t parent = 0;         // parent record number (low 48 bits)
  std::uint32_t reason = 0;
  std::uint32_t record_length = 0;
  std::uint64_t file_reference = 0; // the full 64-bit reference, sequence included
  std::uint64_t parent_reference = 0;  // the parent's, sequence included
  std::uint32_t attributes = 0;     // FileAttributes; 0 for V4 records, which have none
  std::uint64_t timestamp = 0;      // the record's TimeStamp (FILETIME); 0 for V4 records
};

inline constexpr std::uint32_t kUsnAttributeDirectory = 0x10;

// The start of the recent window: max(FirstUsn, NextUsn - 8,000,000).
std::int64_t recent_window_start(const UsnJournalInfo& info);

// Receives the record area of one output buffer (the bytes after the
// 8-byte continuation value) and returns how many items it added.
using UsnBufferProcessor = std::function<std::uint64_t(Bytes records)>;

// FSCTL_QUERY_USN_JOURNAL. Failure: "QUERY_USN_JOURNAL: {}".
Result<UsnJournalInfo> query_journal(VolumeReader& volume);

// The READ loop from `start` up to the NextUsn of `info`, with the version
// downgrade and one restart: from FirstUsn when the start is refused as an
// invalid parameter, from the journal's current first record when it was
// trimmed past the position (ERROR_JOURNAL_ENTRY_DELETED). Returns the items
// the processor added, or "READ_USN_JOURNAL: {}".
Result<std::uint64_t> read_journal(VolumeReader& volume, const UsnJournalInfo& info, std::int64_t start,
                                   const UsnBufferProcessor& process);

// HighUsn of an enumeration when the journal could not be queried: no file
// is left out for its USN.
inline constexpr std::int64_t kUsnEnumNoHighLimit = INT64_MAX;

// The ENUM loop over the band around `folder_record` (or the whole volume),
// for files whose last USN is at most `high_usn` (the journal's NextUsn when
// it was queried). MaxMajorVersion 4, lowered to 3 and then 2 when refused
// as an invalid parameter. Failure: "ENUM_USN_DATA: {}".
Result<void> enumerate_records(VolumeReader& volume, std::uint64_t folder_record, bool whole_volume,
                               std::int64_t high_usn, const UsnBufferProcessor& process);

// Splits a record area into records; bad records are skipped in 8-byte
// steps, never ending the walk early. A record header (version 2 to 4, a
// length of at least a V2 header inside the area) is stepped over by its
// RecordLength, but never past the end of its own fields (name, extents):
// a damaged length cannot hide the records after it.
void walk_records(Bytes area, const std::function<void(const UsnEntry&)>& visit);

// One record at `offset`, or nothing when it is malformed or of a version
// other than 2, 3 or 4.
std::optional<UsnEntry> parse_record(Bytes area, std::size_t offset);

}  // namespace quillon
