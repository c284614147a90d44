// The record scan of $LogFile bytes: plausible log record headers, the
// delete operations among them, the candidate map and the keep rule.
#include <algorithm>
#include <limits>
#include <map>

#include "common/text.h"
#include "engine/windows/ntfs_logfile.h"

namespace quillon {
namespace {

void bump(std::uint32_t& counter) {
  if (counter != std::numeric_limits<std::uint32_t>::max()) ++counter;
}

struct ScanState {
  std::uint64_t bytes_per_cluster = 0;
  std::uint32_t record_size = 1024;
  const std::unordered_set<std::uint64_t>& scope;
  std::map<std::uint64_t, LogCandidate> map;
  LogScanStats stats;
};

std::uint64_t real_record(std::uint64_t reference) {
  const std::uint64_t r = reference & kRecordMask;
  return r < kSmallestRealRecord ? 0 : r;
}

void submit(ScanState& s, LogCandidate c) {
  if (c.frn == 0 && !c.name) return;
  std::uint64_t key = 0;
  if (c.frn != 0)
    key = c.frn;
  else if (c.has_parent && c.parent != 0)
    key = c.parent;
  else
    return;
  auto [it, inserted] = s.map.try_emplace(key, c);
  if (inserted) return;
  LogCandidate& e = it->second;
  if (c.frn != 0) e.frn = c.frn;
  if (!e.has_parent && c.has_parent) {
    e.has_parent = true;
    e.parent = c.parent;
  }
  if (!e.name && c.name) e.name = c.name;
  if (!e.sequence && c.sequence) e.sequence = c.sequence;
}

// Operation 3: the freed record's number from TargetVcn and
// ClusterBlockOffset. The header (32 bytes at `h`) is known to be in bounds.
void deallocation(ScanState& s, Bytes h) {
  bump(s.stats.deallocations);
  if (s.bytes_per_cluster == 0) return;
  const auto cbo = *u16_at(h, 20);
  const auto block = *u16_at(h, 22);
  const auto vcn = *i64_at(h, 24);
  if (vcn < 0) return;
  std::uint64_t offset = 0;
  if (__builtin_mul_overflow(static_cast<std::uint64_t>(vcn), s.bytes_per_cluster, &offset) ||
      __builtin_add_overflow(offset, static_cast<std::uint64_t>(cbo) * 512, &offset))
    return;
  const std::uint64_t divisor = block != 0 ? static_cast<std::uint64_t>(block) * 512
                                           : std::max<std::uint64_t>(s.record_size, 1024);
  LogCandidate c;
  c.frn = real_record(offset / divisor);
  submit(s, std::move(c));
}

// Redo data of operations 6 and 13 read as a $FILE_NAME-style record:
// parent at +0, record reference at +8, name length +64, namespace +65,
// name from +66.
void file_name_redo(ScanState& s, Bytes data) {
  bump(s.stats.name_deletes);
  if (data.size() <= 65) return;
  const auto len = *u8_at(data, 64);
  const auto ns = *u8_at(data, 65);
  if (ns == 2 || data.size() < 66 + 2ull * len) return;
  std::string name = utf16le_to_utf8_lossy(data.subspan(66, 2ull * len));
  const std::uint64_t parent = *u64_at(data, 0) & kRecordMask;
  if (name.empty() || !s.scope.contains(parent)) return;
  LogCandidate c;
  c.has_parent = true;
  c.parent = parent;
  c.name = std::move(name);
  c.frn = real_record(*u64_at(data, 8));
  submit(s, std::move(c));
}

// Undo data of operations 13 and 15 as Windows writes them: the deleted
// index entry. File reference at +0, key length at +10, and the $FILE_NAME
// key from +16 (parent +16, name length +80, namespace +81, name from +82).
void index_entry_undo(ScanState& s, Bytes data) {
  bump(s.stats.name_deletes);
  if (data.size() < 16) return;
  const std::uint64_t reference = *u64_at(data, 0);
  const std::uint64_t key_length = *u16_at(data, 10);
  if (key_length <= 65 || 16 + key_length > data.size()) return;
  const auto len = *u8_at(data, 80);
  const auto ns = *u8_at(data, 81);
  if (66 + 2ull * len > key_length || ns == 2) return;
  std::string name = utf16le_to_utf8_lossy(data.subspan(82, 2ull * len));
  const std::uint64_t parent = *u64_at(data, 16) & kRecordMask;
  if (name.empty() || !s.scope.contains(parent)) return;
  LogCandidate c;
  c.has_parent = true;
  c.parent = parent;
  c.name = std::move(name);
  c.frn = real_record(reference);
  if (c.frn != 0) c.sequence = static_cast<std::uint16_t>(reference >> 48);
  submit(s, std::move(c));
}

void record_scan(ScanState& s, Bytes area) {
  const std::uint64_t L = area.size();
  if (L < 32) return;
  std::uint64_t i = 0;
  while (i + 32 <= L) {
    const Bytes h = area.subspan(i, 32);
    const auto redo_op = *u16_at(h, 0);
    const auto undo_op = *u16_at(h, 2);
    const std::uint64_t redo_off = *u16_at(h, 4);
    const std::uint64_t redo_len = *u16_at(h, 6);
    const std::uint64_t undo_off = *u16_at(h, 8);
    const std::uint64_t undo_len = *u16_at(h, 10);
    const bool redo_ok = (redo_op < kLogOperationBound || undo_op < kLogOperationBound) &&
                         redo_off >= kLogMinDataOffset && redo_len != 0 && in_bounds(L, i + redo_off, redo_len);
    // Windows logs its delete transactions with an empty redo part; what
    // was removed is in the undo part.
    const bool undo_ok = !redo_ok && redo_len == 0 &&
                         (redo_op == kOpDeallocateFileRecordSegment || redo_op == kOpDeleteIndexEntryRoot ||
                          redo_op == kOpDeleteIndexEntryAllocation) &&
                         undo_op < kLogOperationBound && undo_off >= kLogMinDataOffset && undo_len != 0 &&
                         in_bounds(L, i + undo_off, undo_len);
    if (!redo_ok && !undo_ok) {
      ++i;
      continue;
    }
    bump(s.stats.records);
    if (redo_op == kOpDeallocateFileRecordSegment) {
      deallocation(s, h);
    } else if (redo_ok && (redo_op == kOpDeleteAttribute || redo_op == kOpDeleteIndexEntryRoot)) {
      file_name_redo(s, area.subspan(i + redo_off, redo_len));
    } else if (undo_ok) {
      index_entry_undo(s, area.subspan(i + undo_off, undo_len));
    }
    i += 8;
  }
}

bool is_record_page(Bytes page) { return has_tag(page, 0, "RCRD") || has_tag(page, 0, "CHKD"); }

}  // namespace

std::size_t apply_log_page_fixups(std::span<std::byte> log) {
  std::size_t fixed = 0;
  for (std::size_t at = 0; at < log.size(); at += kLogPageSize) {
    auto page = log.subspan(at, std::min<std::size_t>(kLogPageSize, log.size() - at));
    if (is_record_page(page) && apply_fixups(page)) ++fixed;
  }
  return fixed;
}

LogScanResult scan_logfile(Bytes log, std::uint64_t bytes_per_cluster, std::uint32_t record_size,
                           const std::unordered_set<std::uint64_t>& scope_set, const NamesByFrn* names_by_frn) {
  ScanState s{bytes_per_cluster, record_size, scope_set, {}, {}};
  for (std::size_t at = 0; at < log.size(); at += kLogPageSize) {
    const Bytes page = log.subspan(at, std::min<std::size_t>(kLogPageSize, log.size() - at));
    if (page.size() < 4 || !is_record_page(page)) continue;
    record_scan(s, page.size() > kLogPageHeader ? page.subspan(kLogPageHeader) : Bytes{});
  }
  record_scan(s, log);

  LogScanResult result;
  result.stats = s.stats;
  for (auto& [key, c] : s.map) {
    const bool parent_in_scope = c.has_parent && scope_set.contains(c.parent);
    if (names_by_frn && names_by_frn->contains(c.frn)) {
      bump(result.stats.hint_kept);
    } else if (!parent_in_scope) {
      continue;
    }
    result.candidates.push_back(std::move(c));
  }
  return result;
}

}  // namespace quillon
