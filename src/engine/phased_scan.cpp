#include "engine/phased_scan.h"

#include "datasource/windows/volume.h"
#include "engine/late_phases.h"
#include "engine/windows/ntfs_deleted.h"
#include "engine/windows/ntfs_paged_scan.h"
#include "engine/windows/ntfs_phases.h"
#include "engine/windows/raw_mft.h"
#include "engine/windows/ntfs_deleted_eval.h"
#include "engine/windows/ntfs_deleted_tree.h"
#include "engine/windows/probe_volume.h"
#include "engine/windows/scan_session.h"

namespace quillon {

namespace {

std::uint32_t to32(std::size_t v) { return static_cast<std::uint32_t>(v); }

void run_paged_phase(ScanSession& s) {
  if (!s.options.paged_scan || !s.in_time()) return;
  s.progress.step("Phase 3 $MFT paged (dir_frns parent directories only)");

  // The workers read one shared, read-only evaluation context: the scope's
  // parent set and map, the records already accepted (skipped) and the
  // bitmap, without journal hints.
  ScanContext paged = s.eval;
  paged.hints.reset();
  paged.skip = std::make_shared<const FrnSet>(s.accepted.frns);

  PagedScanRequest req;
  req.system = s.access.system;
  req.letter = s.access.letter;
  req.geometry = s.mft.geometry;
  req.bound = record_scan_bound(s.mft.bitmap_ptr());
  req.page_size = s.options.page_size;
  req.workers = s.options.worker_threads;
  req.target = s.scope.root_frn & kRecordMask;
  req.deadline = s.deadline;
  const std::uint32_t record_size = s.mft.record_size();
  auto result = parallel_mft_scan(req, [&paged, record_size](std::span<std::byte> page, std::uint64_t first) {
    return scan_record_buffer(page, first, record_size, paged);
  });
  s.audit.scan = result.audit;

  s.found_by = kFoundByRecord;
  s.audit.paged = to32(s.accept(std::move(result.items)));

  // The freed folders the scan read join the tree; the freed records it set
  // aside for want of their parent are placed now that the tree is whole.
  if (!grow_tree(s.scope, std::move(result.freed_dirs), kFoundByRecord).empty())
    s.audit.expand = to32(s.audit.expand + place_orphans(s, std::move(result.orphans)));
}

}  // namespace

ScanResult run_phased_scan(ScanSession& s) {
  MftAudit& audit = s.audit;
  audit.folder = s.scope.root_path;
  audit.directory_count = s.scope.dir_frns.size();
  audit.mft_record_estimate = record_scan_bound(s.mft.bitmap_ptr());

  s.progress.step("Strict directory FRN: " + std::to_string(s.scope.dir_frns.size()) +
                  " folders, parent FRN matches parent_match_frns");
  s.found_by = kFoundByIndex;
  run_index_phase(s);
  s.found_by = kFoundByRecord;
  run_root_vicinity(s);
  run_local_band(s);
  run_usn_hints(s);
  s.audit.expand = to32(s.audit.expand + grow_from_cache(s));
  run_paged_phase(s);
  s.audit.deleted_dir = to32(s.scope.deleted_dirs.size() + (s.scope.root_deleted ? 1 : 0));
  list_deleted_folders(s);

  if (s.options.logfile_phase || s.options.retry_phase) {
    LatePhaseCounts counts = run_late_phases(s);
    if (s.options.logfile_phase) audit.logfile = counts.logfile;
    if (s.options.retry_phase) audit.retry = counts.retry;
    audit.pending = counts.pending;
  }

  audit.cache_read = s.cache.reads;
  audit.cache_hits = s.cache.hits;
  Duration elapsed = s.deadline.elapsed();
  audit.elapsed_ms = elapsed.seconds * 1000 + elapsed.nanos / 1'000'000;
  if (audit.note.empty()) audit.note = "Completed";
  return ScanOutcome{std::move(s.accepted.items), std::move(audit)};
}

}  // namespace quillon
