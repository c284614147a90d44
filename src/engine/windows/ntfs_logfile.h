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
#include "common/ntfs_layout.h"
#include "datasource/windows/volume.h"
#include "engine/model.h"
#include "engine/windows/raw_mft.h"

namespace quillon {

inline constexpr std::uint64_t kLogFileRecord = 2;
inline constexpr std::uint64_t kLogTailSize = 0x800000;  // 8 MiB
inline constexpr std::uint64_t kLogPageSize = 4096;
inline constexpr std::uint64_t kLogPageHeader = ntfs::log_record_page::kDataOffset;
inline constexpr std::uint16_t kLogOperationBound = 38;
inline constexpr std::uint16_t kLogMinDataOffset = ntfs::log_client::kHeaderSize;
inline constexpr std::uint64_t kSmallestRealRecord = 12;

// Log operations the scan turns into candidates.
inline constexpr std::uint16_t kOpDeallocateFileRecordSegment = 3;
inline constexpr std::uint16_t kOpDeleteAttribute = 6;
inline constexpr std::uint16_t kOpAddIndexEntryRoot = 12;
inline constexpr std::uint16_t kOpDeleteIndexEntryRoot = 13;
inline constexpr std::uint16_t kOpAddIndexEntryAllocation = 14;
inline constexpr std::uint16_t kOpDeleteIndexEntryAllocation = 15;

struct LogCandidate {
  bool has_parent = false;
  std::uint64_t parent = 0;           // 48-bit
  std::optional<std::string> name;    // lossy UTF-8
  std::uint64_t frn = 0;              // 48-bit record number, 0 when absent
  // The sequence number of the file reference a deleted index entry held.
  // Set only for names taken from an index entry (a rename leaves one too).
  std::optional<std::uint16_t> sequence;
  // The deleted entry was followed by an added entry for the same file
  // reference (and the record was not freed): a rename or a move.
  bool renamed = false;
  // The parent reference's sequence number (0 when unknown), and whether
  // the name was a folder's (its $FILE_NAME's directory attribute).
  std::uint16_t parent_sequence = 0;
  bool directory = false;
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

// One restart page ("RSTR", fixups applied to a copy): the log page size,
// and from its restart area the current LSN and the sequence-number bits.
// Nothing when the page or its values are absurd.
std::optional<LogRestart> parse_restart_page(Bytes page);

// The valid one of the two restart pages with the larger CurrentLsn.
std::optional<LogRestart> newest_restart(Bytes log_head);

// Byte offset of `lsn` in the log: (lsn << bits) >> (bits - 3). Nothing for
// bit counts that make the formula meaningless (below 3 or above 63).
std::optional<std::uint64_t> lsn_to_offset(std::uint64_t lsn, std::uint32_t seq_number_bits);

// Reads `length` bytes at byte `offset` of the $LogFile stream; nothing on
// any failure.
using LogRangeReader = std::function<std::optional<std::vector<std::byte>>(std::uint64_t offset, std::uint64_t length)>;

// Record pages chosen from a log, whole, oldest last-LSN first.
struct LogPart {
  std::vector<std::byte> bytes;
  std::vector<std::uint64_t> pages;   // the log page each page of `bytes` holds
  std::vector<std::uint8_t> runs_on;  // 1 where a page directly follows the one before it in the log
};

// The newest record pages of a log of `log_size` bytes, chosen by what they
// hold: the whole log is read in large chunks; pages that are not RCRD/CHKD
// or were never written (last-LSN 0, all ones, or beyond the log) are
// skipped; the pages before the first page whose last-LSN maps to itself
// are the tail copies, and a copy stands in for the page it copies only when
// it is newer; the newest 8 MiB by last-LSN are kept, in LSN order. The
// sequence-number bits come from the restart area, or from the log size
// when it cannot be read. Unreadable chunks are skipped. With `deadline`,
// tested before each chunk and page, an expired budget ends the read with
// what was kept so far. Nothing when no record page was found, and without
// reading further when the log was reset (its restart pages and its last
// page all ones).
std::optional<LogPart> read_newest_log_part(std::uint64_t log_size, const LogRangeReader& read,
                                            const TimeBudget* deadline = nullptr);

// `length` bytes at byte `offset` of a stream laid out by `runs`; clusters no
// run maps read as zeros. Nothing on a read failure or an overflow.
std::optional<std::vector<std::byte>> read_stream_range(std::uint64_t bytes_per_cluster, VolumeReader& reader,
                                                        const std::vector<DataRun>& runs, std::uint64_t offset,
                                                        std::uint64_t length);

// Record 2 of the volume, then the newest part of its $DATA stream, through a
// reader and MFT context the caller holds. Errors: "无法读取 $LogFile MFT
// 记录", "无法读取 $LogFile 数据流".
Result<LogPart> read_logfile_tail(VolumeReader& reader, const MftContext& ctx, const TimeBudget* deadline = nullptr);

// ---------------------------------------------------------------------------
// The scan
// ---------------------------------------------------------------------------

// Undoes the multi-sector fixups of every "RCRD"/"CHKD" page (4096-byte
// pages from the start of `log`). A page whose update sequence array is out
// of bounds stays as read. Returns the number of pages fixed.
std::size_t apply_log_page_fixups(std::span<std::byte> log);

// Candidates of a log part (fixups applied by the caller). The page pass
// joins the data areas (the pages without their 64-byte header) of RCRD/CHKD
// pages that follow each other in the log, so that a record running on into
// the next page is read whole; `runs_on` says which pages of `log` follow
// the one before them (empty: all do, as in a stretch of the file). The
// whole pass scans `log` as it is, taking nothing whose bytes touch a page
// header. Candidates are merged by record and sequence number; a deleted
// index entry followed by an added entry for the same file reference, with
// no deallocation of the record, is marked `renamed`. Keep rule: with
// `names_by_frn`, the journal knows the record or the parent is in scope;
// without, the parent is in scope. With `deadline`, tested before each page
// (every 4 KiB of the areas scanned), an expired budget ends the scan with
// what was found so far.
LogScanResult scan_logfile(Bytes log, std::uint64_t bytes_per_cluster, std::uint32_t record_size,
                           const std::unordered_set<std::uint64_t>& scope_set, const NamesByFrn* names_by_frn,
                           std::span<const std::uint8_t> runs_on = {}, const TimeBudget* deadline = nullptr);

}  // namespace quillon
