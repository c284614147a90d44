// $LogFile: the newest part of the log read raw, and its recent delete
// transactions turned into candidates (a freed FILE record's number, or a
// deleted name with its parent directory).
//
// The scan is tolerant by design: it slides over the bytes looking for
// plausible log record headers instead of following the LSN chain, so a
// torn or half-overwritten page costs only the records it held.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "common/bytes.h"
#include "common/error.h"
#include "datasource/windows/volume.h"
#include "engine/windows/raw_mft.h"

namespace quillon {

inline constexpr std::uint64_t kLogFileRecord = 2;
inline constexpr std::uint64_t kLogTailSize = 0x800000;  // 8 MiB
inline constexpr std::uint64_t kLogPageSize = 4096;
inline constexpr std::uint64_t kLogPageHeader = 64;
inline constexpr std::uint16_t kLogOperationBound = 38;
inline constexpr std::uint16_t kLogMinDataOffset = 32;
inline constexpr std::uint64_t kSmallestRealRecord = 12;

// Log operations the scan turns into candidates.
inline constexpr std::uint16_t kOpDeallocateFileRecordSegment = 3;
inline constexpr std::uint16_t kOpDeleteAttribute = 6;
inline constexpr std::uint16_t kOpDeleteIndexEntryRoot = 13;
inline constexpr std::uint16_t kOpDeleteIndexEntryAllocation = 15;

struct LogCandidate {
  bool has_parent = false;
  std::uint64_t parent = 0;           // 48-bit
  std::optional<std::string> name;    // lossy UTF-8
  std::uint64_t frn = 0;              // 48-bit record number, 0 when absent
  // The sequence number of the file reference a deleted index entry held.
  // Set only for names taken from an index entry (a rename leaves one too).
  std::optional<std::uint16_t> sequence;
  bool operator==(const LogCandidate&) const = default;
};

struct LogScanStats {
  std::uint32_t records = 0;        // plausible headers seen (saturating)
  std::uint32_t deallocations = 0;  // operation 3 headers (saturating)
  std::uint32_t name_deletes = 0;   // operation 6, 13 and 15 headers (saturating)
  std::uint32_t hint_kept = 0;      // kept because the journal knows the record
  std::uint32_t log_only_items = 0; // items built from the log alone
};

struct LogScanResult {
  std::vector<LogCandidate> candidates;
  LogScanStats stats;
};

using NamesByFrn = std::unordered_map<std::uint64_t, std::set<std::string>>;

// ---------------------------------------------------------------------------
// Restart area and the position of the newest records
// ---------------------------------------------------------------------------

struct LogRestart {
  std::uint32_t log_page_size = 0;
  std::uint16_t major_version = 0;
  std::uint16_t minor_version = 0;
  std::uint64_t current_lsn = 0;
  std::uint32_t seq_number_bits = 0;
};

// One restart page ("RSTR", fixups applied to a copy): the log page size at
// +0x14, the restart area at the offset in +0x18 with CurrentLsn at +0 and
// SeqNumberBits at +0x10. Nothing when the page or its values are absurd.
std::optional<LogRestart> parse_restart_page(Bytes page);

// The valid one of the two restart pages with the larger CurrentLsn.
std::optional<LogRestart> newest_restart(Bytes log_head);

// Byte offset of `lsn` in the log: (lsn << bits) >> (bits - 3). Nothing for
// bit counts that make the formula meaningless (below 3 or above 63).
std::optional<std::uint64_t> lsn_to_offset(std::uint64_t lsn, std::uint32_t seq_number_bits);

// The page index at which record pages begin: after the two restart pages
// and the tail copies of the newest page (2 in version 1.x logs, 32 in
// version 2.x and later).
std::uint64_t first_record_page(const LogRestart& restart);

// Reads `length` bytes at byte `offset` of the $LogFile stream; nothing on
// any failure.
using LogRangeReader = std::function<std::optional<std::vector<std::byte>>(std::uint64_t offset, std::uint64_t length)>;

// The newest part of a log of `log_size` bytes. A log of at most 8 MiB is
// read whole. Otherwise the 8 MiB of record pages that end with the page
// holding CurrentLsn (wrapping around the record area), extended forward
// while the pages' last-LSN fields keep rising; when the restart area cannot
// be read or is implausible, the last 8 MiB of the stream.
std::optional<std::vector<std::byte>> read_newest_log_part(std::uint64_t log_size, const LogRangeReader& read);

// `length` bytes at byte `offset` of a stream laid out by `runs`; clusters no
// run maps read as zeros. Nothing on a read failure or an overflow.
std::optional<std::vector<std::byte>> read_stream_range(std::uint64_t bytes_per_cluster, VolumeReader& reader,
                                                        const std::vector<DataRun>& runs, std::uint64_t offset,
                                                        std::uint64_t length);

// Record 2 of the drive's volume, then the newest part of its $DATA stream.
// Errors: the open or geometry error, "无法读取 $LogFile MFT 记录",
// "无法读取 $LogFile 数据流".
Result<std::vector<std::byte>> read_logfile_tail(char letter);

// ---------------------------------------------------------------------------
// The scan
// ---------------------------------------------------------------------------

// Undoes the multi-sector fixups of every "RCRD"/"CHKD" page (4096-byte
// pages from the start of `log`). A page whose update sequence array is out
// of bounds stays as read. Returns the number of pages fixed.
std::size_t apply_log_page_fixups(std::span<std::byte> log);

// Candidates of a log part (fixups applied by the caller): the page pass over
// RCRD/CHKD pages without their 64-byte header, the whole pass, the merge by
// key and the keep rule (with `names_by_frn`: the journal knows the record,
// or the parent is in scope; without: the parent is in scope).
LogScanResult scan_logfile(Bytes log, std::uint64_t bytes_per_cluster, std::uint32_t record_size,
                           const std::unordered_set<std::uint64_t>& scope_set, const NamesByFrn* names_by_frn);

}  // namespace quillon
