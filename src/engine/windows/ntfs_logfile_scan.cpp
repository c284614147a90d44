// The record scan of $LogFile bytes: plausible log record headers, the
// delete operations among them, the candidate map and the keep rule.
#include <algorithm>
#include <deque>
#include <limits>
#include <map>

#include "common/text.h"
#include "engine/windows/ntfs_logfile.h"

namespace quillon {
namespace {

namespace lc = ntfs::log_client;
namespace ie = ntfs::index_entry;

void bump(std::uint32_t& counter) {
  if (counter != std::numeric_limits<std::uint32_t>::max()) ++counter;
}

bool is_record_page(Bytes page) { return has_tag(page, 0, "RCRD") || has_tag(page, 0, "CHKD"); }

// One deleted file as the log tells it, keyed by record and sequence number.
struct Entry {
  LogCandidate c;
  int removed_pass = -1;  // the pass that last saw its index entry deleted
  bool deallocated = false;
};

struct ScanState {
  std::uint64_t bytes_per_cluster = 0;
  std::uint32_t record_size = 1024;
  const std::unordered_set<std::uint64_t>& scope;
  // By record number (names whose record is unknown: by parent, above the
  // 48-bit range), one entry per sequence number in the order first seen.
  std::map<std::uint64_t, std::deque<Entry>> map;  // deque: entries keep their address
  LogScanStats stats;
  int pass = 0;
  Entry* last = nullptr;  // the entry touched last, for a deallocation without a sequence
  // The whole pass: bytes touching the header of a record page are not read
  // (a record running on into the next page is read by the page pass).
  Bytes whole;
};

constexpr std::uint64_t kByParent = std::uint64_t{1} << 48;

std::uint64_t real_record(std::uint64_t reference) {
  const std::uint64_t r = reference & kRecordMask;
  return r < kSmallestRealRecord ? 0 : r;
}

// The entry of (`key`, `sequence`): the same sequence; one without a
// sequence takes it; without a sequence, the entry of that record touched
// last. Nothing (with `create` false) when there is none.
Entry* find_entry(ScanState& s, std::uint64_t key, std::optional<std::uint16_t> sequence, bool create) {
  auto& list = s.map[key];
  Entry* found = nullptr;
  for (auto& e : list)
    if (e.c.sequence == sequence) found = &e;
  if (!found && sequence) {
    for (auto& e : list)
      if (!e.c.sequence) {
        e.c.sequence = sequence;
        found = &e;
        break;
      }
  }
  if (!found && !sequence && s.last)
    for (auto& e : list)
      if (&e == s.last) found = &e;
  if (!found && !sequence && !list.empty()) found = &list.back();
  if (!found && create) {
    list.emplace_back();
    found = &list.back();
    found->c.sequence = sequence;
  }
  if (found) s.last = found;
  return found;
}

// A deleted name: a later deletion of the same file names it as it was then.
bool submit_name(ScanState& s, LogCandidate c) {
  if (c.frn == 0 && (!c.has_parent || c.parent == 0)) return false;
  const std::uint64_t key = c.frn != 0 ? c.frn : (kByParent | c.parent);
  s.last = nullptr;
  Entry* e = find_entry(s, key, c.sequence, true);
  e->c.frn = c.frn;
  e->c.has_parent = true;
  e->c.parent = c.parent;
  e->c.name = std::move(c.name);
  e->removed_pass = s.pass;
  return true;
}

bool submit_deallocation(ScanState& s, std::uint64_t frn, std::optional<std::uint16_t> sequence) {
  if (frn == 0) return false;
  if (s.last && s.last->c.frn != frn) s.last = nullptr;
  Entry* e = find_entry(s, frn, sequence, true);
  e->c.frn = frn;
  e->deallocated = true;
  e->c.renamed = false;
  return true;
}

// An added index entry: after the same file's entry was deleted in this
// pass, the file was renamed or moved, unless its record was freed.
void added_entry(ScanState& s, Bytes data) {
  if (data.size() < 8) return;
  const std::uint64_t reference = *u64_at(data, 0);
  const std::uint64_t frn = real_record(reference);
  if (frn == 0 || !s.map.contains(frn)) return;
  for (auto& e : s.map[frn])
    if (e.c.sequence == static_cast<std::uint16_t>(reference >> 48) && e.removed_pass == s.pass && !e.deallocated)
      e.c.renamed = true;
}

// Operation 3: the freed record's number from TargetVcn and
// ClusterBlockOffset. The client header at `h` is known to be in bounds;
// `undo`, when it holds the freed FILE record, gives its sequence number.
bool deallocation(ScanState& s, Bytes h, Bytes undo) {
  bump(s.stats.deallocations);
  if (s.bytes_per_cluster == 0) return false;
  const auto cbo = *u16_at(h, lc::kClusterBlockOffset);
  const auto block = *u16_at(h, lc::kTargetBlockSize);
  const auto vcn = *i64_at(h, lc::kTargetVcn);
  if (vcn < 0) return false;
  std::uint64_t offset = 0;
  if (__builtin_mul_overflow(static_cast<std::uint64_t>(vcn), s.bytes_per_cluster, &offset) ||
      __builtin_add_overflow(offset, static_cast<std::uint64_t>(cbo) * 512, &offset))
    return false;
  const std::uint64_t divisor = block != 0 ? static_cast<std::uint64_t>(block) * 512
                                           : std::max<std::uint64_t>(s.record_size, 1024);
  std::optional<std::uint16_t> sequence;
  if (has_tag(undo, 0, "FILE")) sequence = u16_at(undo, ntfs::record::kSequence);
  return submit_deallocation(s, real_record(offset / divisor), sequence);
}

// The candidate a deleted $FILE_NAME gives (its record number left for the
// caller): a name outside the DOS namespace, not empty, under a folder in
// scope.
// $FILE_NAME's attribute bit of a directory (FILE_ATTRIBUTE_DUP_FILE_NAME_INDEX_PRESENT).
constexpr std::uint32_t kFileNameAttributeDirectory = 0x10000000;

std::optional<LogCandidate> deleted_name(const ScanState& s, const std::optional<ntfs::FileNameValue>& value) {
  if (!value || value->dos_only()) return std::nullopt;
  std::string name = utf16le_to_utf8_lossy(value->name);
  const std::uint64_t parent = value->parent & kRecordMask;
  if (name.empty() || !s.scope.contains(parent)) return std::nullopt;
  LogCandidate c;
  c.has_parent = true;
  c.parent = parent;
  c.parent_sequence = static_cast<std::uint16_t>(value->parent >> 48);
  c.directory = (value->file_attributes & kFileNameAttributeDirectory) != 0;
  c.name = std::move(name);
  return c;
}

// Redo data of operations 6 and 13 read as a $FILE_NAME-style record, the
// record reference in the creation time's place.
bool file_name_redo(ScanState& s, Bytes data) {
  bump(s.stats.name_deletes);
  auto value = ntfs::read_file_name(data);
  auto c = deleted_name(s, value);
  if (!c) return false;
  c->frn = real_record(value->created);
  return submit_name(s, std::move(*c));
}

// Undo data of operations 13 and 15 as Windows writes them: the deleted
// index entry, its key a $FILE_NAME.
bool index_entry_undo(ScanState& s, Bytes data) {
  bump(s.stats.name_deletes);
  if (data.size() < ie::kHeaderSize) return false;
  const std::uint64_t reference = *u64_at(data, ie::kFileReference);
  auto key = sub(data, ie::kKey, *u16_at(data, ie::kKeyLength));
  auto c = deleted_name(s, key ? ntfs::read_file_name(*key) : std::nullopt);
  if (!c) return false;
  c->frn = real_record(reference);
  if (c->frn != 0) c->sequence = static_cast<std::uint16_t>(reference >> 48);
  return submit_name(s, std::move(*c));
}

// In the whole pass: whether bytes [begin, end) of the buffer touch the
// header of a record page.
bool touches_page_header(const ScanState& s, std::uint64_t begin, std::uint64_t end) {
  if (s.whole.empty()) return false;
  for (std::uint64_t page = begin / kLogPageSize * kLogPageSize; page < end; page += kLogPageSize)
    if (begin < page + kLogPageHeader && is_record_page(s.whole.subspan(page))) return true;
  return false;
}

// Returns false when the deadline ended the scan.
bool record_scan(ScanState& s, Bytes area, std::uint64_t base, const TimeBudget* deadline) {
  const std::uint64_t L = area.size();
  constexpr std::uint64_t H = lc::kHeaderSize;
  if (L < H) return true;
  std::uint64_t i = 0;
  std::uint64_t next_check = 0;
  while (i + H <= L) {
    if (deadline && i >= next_check) {
      if (deadline->expired()) return false;
      next_check = i + kLogPageSize;
    }
    const Bytes h = area.subspan(i, H);
    const auto redo_op = *u16_at(h, lc::kRedoOperation);
    const auto undo_op = *u16_at(h, lc::kUndoOperation);
    const std::uint64_t redo_off = *u16_at(h, lc::kRedoOffset);
    const std::uint64_t redo_len = *u16_at(h, lc::kRedoLength);
    const std::uint64_t undo_off = *u16_at(h, lc::kUndoOffset);
    const std::uint64_t undo_len = *u16_at(h, lc::kUndoLength);
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
    const Bytes redo = redo_ok ? area.subspan(i + redo_off, redo_len) : Bytes{};
    const Bytes undo = in_bounds(L, i + undo_off, undo_len) && undo_off >= kLogMinDataOffset
                           ? area.subspan(i + undo_off, undo_len)
                           : Bytes{};
    std::uint64_t end = i + H;
    if (!redo.empty()) end = std::max(end, i + redo_off + redo_len);
    if (!undo.empty()) end = std::max(end, i + undo_off + undo_len);
    bool found = false;
    if (touches_page_header(s, base + i, base + end)) {
      // Read whole by the page pass, or not at all.
    } else if (redo_op == kOpDeallocateFileRecordSegment) {
      found = deallocation(s, h, undo);
    } else if (redo_ok && (redo_op == kOpDeleteAttribute || redo_op == kOpDeleteIndexEntryRoot)) {
      found = file_name_redo(s, redo);
    } else if (redo_ok && (redo_op == kOpAddIndexEntryRoot || redo_op == kOpAddIndexEntryAllocation)) {
      added_entry(s, redo);
    } else if (undo_ok) {
      found = index_entry_undo(s, undo);
    }
    // A plausible header that gave nothing may be a pattern just before a
    // real one (the end of the log record header looks like one): go on at
    // the next byte.
    i += found ? 8 : 1;
  }
  return true;
}

}  // namespace

std::size_t apply_log_page_fixups(std::span<std::byte> log) {
  std::size_t fixed = 0;
  for (std::size_t at = 0; at < log.size(); at += kLogPageSize) {
    auto page = log.subspan(at, std::min<std::size_t>(kLogPageSize, log.size() - at));
    if (is_record_page(page) && ntfs::apply_update_sequence(page, ntfs::TornStride::keep_as_read)) ++fixed;
  }
  return fixed;
}

LogScanResult scan_logfile(Bytes log, std::uint64_t bytes_per_cluster, std::uint32_t record_size,
                           const std::unordered_set<std::uint64_t>& scope_set, const NamesByFrn* names_by_frn,
                           std::span<const std::uint8_t> runs_on, const TimeBudget* deadline) {
  ScanState s{bytes_per_cluster, record_size, scope_set, {}, {}, 0, nullptr, {}};
  // Page pass: the data areas of record pages that follow each other in the
  // log, joined.
  bool going = true;
  std::vector<std::byte> joined;
  auto flush = [&] {
    if (going) going = record_scan(s, joined, 0, deadline);
    joined.clear();
  };
  const std::size_t count = (log.size() + kLogPageSize - 1) / kLogPageSize;
  for (std::size_t k = 0; k < count && going; ++k) {
    const Bytes page = log.subspan(k * kLogPageSize, std::min<std::size_t>(kLogPageSize, log.size() - k * kLogPageSize));
    if (!is_record_page(page)) {
      flush();
      continue;
    }
    const bool follows = runs_on.empty() || (k < runs_on.size() && runs_on[k] != 0);
    if (!follows) flush();
    if (page.size() > kLogPageHeader) joined.insert(joined.end(), page.begin() + kLogPageHeader, page.end());
  }
  flush();
  // Whole pass: the buffer as it is.
  if (going) {
    s.pass = 1;
    s.last = nullptr;
    s.whole = log;
    record_scan(s, log, 0, deadline);
  }

  LogScanResult result;
  result.stats = s.stats;
  for (auto& [key, list] : s.map) {
    for (auto& e : list) {
      LogCandidate& c = e.c;
      if (c.frn == 0 && !c.name) continue;
      const bool parent_in_scope = c.has_parent && scope_set.contains(c.parent);
      if (names_by_frn && names_by_frn->contains(c.frn)) {
        bump(result.stats.hint_kept);
      } else if (!parent_in_scope) {
        continue;
      }
      result.candidates.push_back(std::move(c));
    }
  }
  return result;
}

}  // namespace quillon
