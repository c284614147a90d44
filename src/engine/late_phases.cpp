#include "engine/late_phases.h"

#include <algorithm>
#include <chrono>
#include <limits>
#include <thread>

#include "engine/windows/ntfs_deleted.h"
#include "engine/windows/ntfs_deleted_tree.h"
#include "engine/windows/ntfs_paged_early.h"
#include "platform/platform.h"

namespace quillon {
namespace {

std::uint32_t growth(std::size_t before, std::size_t after) {
  const std::size_t n = after - before;
  return n > std::numeric_limits<std::uint32_t>::max() ? std::numeric_limits<std::uint32_t>::max()
                                                       : static_cast<std::uint32_t>(n);
}

// A rename or a move: the record named by the deleted index entry is in use
// with the entry's sequence number, and one of its current names exists.
bool lives_on(const ScanSession& s, const LogCandidate& c) {
  if (!c.sequence || c.frn == 0) return false;
  const ScopeContext& scope = s.scope;
  auto record = read_record_raw(s.mft.geometry, s.reader, c.frn);
  if (!record || !is_file_record(*record) || !record_in_use(*record)) return false;
  if (record_sequence(*record) != c.sequence) return false;
  for (const auto& [parent, name] : file_names(*record)) {
    FileNameEntry entry{name, parent, 0, 0};
    auto item = item_from_record(entry, c.frn, scope.root_path, scope.root_frn, scope.dir_map, false, scope.root_form);
    if (item && scope.still_present(item->path)) return true;
  }
  return false;
}

}  // namespace

void process_log_candidate(ScanSession& s, const LogCandidate& c, LogScanStats& stats) {
  if (c.frn == 0 || c.renamed) return;
  if (lives_on(s, c)) return;
  const ScopeContext& scope = s.scope;
  RecordHint hint{c.name, c.parent, c.has_parent};
  auto found = evaluate_record_at(s.reader, c.frn, s.eval, {.verify_live = true}, &hint);
  if (found && !found->empty()) {
    for (auto& item : *found) item.sources |= kFoundByLogFile;
    s.accepted.accept(scope, s.audit, std::move(*found));
    return;
  }
  if (!c.has_parent || !c.name) return;
  if (c.directory) {
    // A deleted folder the log still names joins the tree and is an item.
    const std::uint16_t lived = c.sequence.value_or(0);
    for (std::uint64_t r :
         s.scope.add_deleted_dir(c.frn, DirEntry{*c.name, c.parent, c.parent_sequence, lived, true, 0, kFoundByLogFile}))
      if (auto folder = folder_item(s.scope, r)) {
        std::string key = dedup_key(*folder);
        s.accepted.add(std::move(*folder), std::move(key));
      }
    return;
  }
  FileNameEntry entry{*c.name, c.parent, 0, 0, c.parent_sequence};
  auto item = item_in_tree(scope, entry, c.frn, scope.strict_parent ? LostNames::dropped : LostNames::under_recov_lost);
  if (!item) return;
  item->sources |= kFoundByLogFile;
  if (!(scope.strict_parent ? strict_parent_check(scope, *item) : loose_check(scope, *item))) return;
  std::string key = merge_key(*item);
  if (!s.accepted.add(std::move(*item), std::move(key))) return;
  if (stats.log_only_items != std::numeric_limits<std::uint32_t>::max()) ++stats.log_only_items;
}

std::uint64_t retry_deferred_records(ScanSession& s, const std::unordered_set<std::uint64_t>& exclusion,
                                     Duration limit) {
  const ScopeContext& scope = s.scope;
  AcceptedItems& accepted = s.accepted;
  // The journal's records not accepted yet; without any, the band around
  // the folder, walked in place (a list of its 16,385 records would be
  // fresh memory to fill, for nothing). Records past the $MFT's last extent
  // cannot be read and are not tried (a journal list of only those tries
  // nothing: the band does not stand in for it).
  const std::uint64_t readable = raw_record_end(s.mft.geometry);
  std::vector<std::uint64_t> list;
  bool listed = false;
  if (s.hints)
    for (const auto& [frn, names] : s.hints->names_by_frn)
      if (!exclusion.contains(frn) && !accepted.frns.contains(frn)) {
        listed = true;
        if ((frn & kRecordMask) < readable) list.push_back(frn);
      }
  const std::uint64_t root = scope.root_frn;
  const std::uint64_t lo = root > kRetryBand ? root - kRetryBand : 0;
  const std::uint64_t hi = std::min(root > std::numeric_limits<std::uint64_t>::max() - kRetryBand
                                        ? std::numeric_limits<std::uint64_t>::max()
                                        : root + kRetryBand,
                                    readable > 0 ? readable - 1 : 0);
  const std::uint64_t count = listed ? list.size() : lo < readable ? hi - lo + 1 : 0;  // at most 16,385
  auto record_at = [&](std::uint64_t i) { return listed ? list[i] : lo + i; };
  // The limit holds for every read, not only between attempts: one attempt
  // over the fallback band is 16,385 reads, and a pause never runs past it.
  const TimeBudget budget(limit);
  std::uint64_t added = 0;
  // Nothing reaches an image file late: there one attempt, without pauses,
  // and a record an earlier phase read is parsed again from its cached bytes.
  const bool can_change = s.reader.can_change();
  const int attempts = can_change ? kRetryAttempts : 1;
  const EvalFlags flags{.include_in_use = !scope.strict_parent};
  for (int attempt = 0; attempt < attempts; ++attempt) {
    if (budget.expired()) break;
    if (attempt > 0) {
      const auto pause = std::chrono::milliseconds(kRetryPauseMs);
      const Duration left = budget.remaining();
      const auto left_ns = std::chrono::seconds(left.seconds) + std::chrono::nanoseconds(left.nanos);
      std::this_thread::sleep_for(std::min<std::chrono::nanoseconds>(pause, left_ns));
      if (budget.expired()) break;
    }
    for (std::uint64_t i = 0; i < count; ++i) {
      const std::uint64_t record = record_at(i);
      if (accepted.frns.contains(record)) continue;
      // Bytes an earlier phase passed over as in use with no name under the
      // tree yield nothing again while none of their names' parents has
      // joined it.
      if (!can_change && !flags.include_in_use && s.cache.known_outside_tree(record, s.eval.parents()))
        continue;
      // The clock is read before each record read or judged; the two look-ups
      // above take less time than reading it.
      if (budget.expired()) break;
      std::optional<std::vector<DeletedItem>> found;
      if (auto cached = s.cache.records.find(record);
          !can_change && cached != s.cache.records.end() && !cached->second.empty())
        found = evaluate_record(cached->second, record, s.eval, flags);
      else
        found = evaluate_record_at(s.reader, record, s.eval, flags);
      if (!found || found->empty()) continue;
      for (auto& item : *found) item.sources |= kFoundByRetry;
      if (accepted.accept(scope, s.audit, std::move(*found)) > 0) ++added;
    }
  }
  return added;
}

std::size_t run_logfile_phase(ScanSession& s) {
  if (!s.options.logfile_phase) return 0;
  const TimeBudget& deadline = s.deadline;
  s.progress.step("阶段4 $LogFile 事务（刚删）");
  EarlyLogRead* early = s.early ? s.early->log.get() : nullptr;
  auto log = early ? early->take() : read_logfile_tail(s.reader, s.mft, &deadline);
  if (!log) return 0;
  const std::size_t before = s.accepted.items.size();
  apply_log_page_fixups(log->bytes);
  const NamesByFrn* names = s.hints ? &s.hints->names_by_frn : nullptr;
  auto scan = scan_logfile(log->bytes, s.mft.geometry.bytes_per_cluster,
                           std::max<std::uint32_t>(s.mft.record_size(), 1024), s.scope.parent_match_frns, names,
                           log->runs_on, &deadline);
  *log = LogPart{};
  for (const auto& c : scan.candidates) {
    if (deadline.expired()) break;
    process_log_candidate(s, c, scan.stats);
  }
  return growth(before, s.accepted.items.size());
}

std::size_t run_retry_phase(ScanSession& s) {
  const Duration left = s.deadline.remaining();
  if (!s.options.retry_phase || !(left.seconds > 0 || left.nanos > 200'000'000)) return 0;
  s.progress.step("阶段5 延迟 MFT 重试（缓存落盘）");
  const std::size_t before = s.accepted.items.size();
  retry_deferred_records(s, s.late_exclusion ? *s.late_exclusion : s.accepted.frns, s.deadline.remaining());
  return growth(before, s.accepted.items.size());
}

std::uint32_t count_pending(const ScanSession& s) {
  std::uint32_t pending = 0;
  if (!s.hints) return pending;
  std::unordered_set<std::uint64_t> listed;
  for (const auto& item : s.accepted.items) listed.insert(item.frn);
  for (const auto& [frn, names] : s.hints->names_by_frn)
    if (!s.accepted.frns.contains(frn) && !listed.contains(frn) && pending != std::numeric_limits<std::uint32_t>::max())
      ++pending;
  return pending;
}

}  // namespace quillon
