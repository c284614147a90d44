#include "engine/phased_scan.h"

#include "datasource/windows/volume.h"
#include "engine/late_phases.h"
#include "engine/windows/ntfs_deleted.h"
#include "engine/windows/ntfs_paged_early.h"
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

std::size_t run_paged_phase(ScanSession& s) {
  if (!s.options.paged_scan || !s.in_time()) return 0;
  s.progress.step("Phase 3 $MFT paged (dir_frns parent directories only)");

  // The workers read one shared, read-only evaluation context: the scope's
  // parent set and map, the records already accepted (skipped) and the
  // bitmap, without journal hints.
  ScanContext paged = s.eval;
  paged.hints.reset();
  paged.skip = std::make_shared<const FrnSet>(s.accepted.frns);

  const PagedScanRequest req = paged_scan_request(s.mft, s.options, s.scope.root_frn, s.deadline, s.access);
  const std::uint32_t record_size = s.mft.record_size();
  // Pages the probe read ahead are judged now, as a scan started now would.
  EarlyPagedScan* early = s.early ? s.early->pages.get() : nullptr;
  auto result = early && early->serves(paged, req)
                    ? early->finish(paged, s.reader)
                    : parallel_mft_scan(req, [&paged, record_size](std::span<std::byte> page, std::uint64_t first) {
                        return scan_record_buffer(page, first, record_size, paged);
                      });
  s.audit.scan = result.audit;
  s.paged_freed_dirs = std::move(result.freed_dirs);
  s.paged_orphans = std::move(result.orphans);
  return s.accept(std::move(result.items));
}

// The freed folders the paged scan read join the tree; the freed records it
// set aside for want of their parent are placed now that the tree is whole.
std::size_t place_paged_orphans(ScanSession& s) {
  if (grow_tree(s.scope, std::move(s.paged_freed_dirs), kFoundByRecord).empty()) return 0;
  return place_orphans(s, std::move(s.paged_orphans));
}

// Every deleted folder of the tree as an item; the audit counts the folders,
// not the list's growth.
std::size_t list_deleted_folders_phase(ScanSession& s) {
  s.audit.deleted_dir = to32(s.scope.deleted_dirs.size() + (s.scope.root_deleted ? 1 : 0));
  list_deleted_folders(s);
  return 0;
}

constexpr MftPhase kPhases[] = {
    {"index", run_index_phase, &MftAudit::index, kFoundByIndex, PhaseStage::early},
    {"expansion", run_expansion, &MftAudit::expand, kFoundByIndex, PhaseStage::early},
    {"root vicinity", run_root_vicinity, &MftAudit::local_band, kFoundByRecord, PhaseStage::early},
    {"local band", run_local_band, &MftAudit::local_band, kFoundByRecord, PhaseStage::early},
    {"journal hints", run_usn_hints, &MftAudit::usn, kFoundByRecord, PhaseStage::early},
    {"cached folders", grow_from_cache, &MftAudit::expand, kFoundByRecord, PhaseStage::early},
    {"paged", run_paged_phase, &MftAudit::paged, kFoundByRecord, PhaseStage::early},
    {"paged orphans", place_paged_orphans, &MftAudit::expand, kFoundByRecord, PhaseStage::early},
    {"deleted folders", list_deleted_folders_phase, nullptr, kFoundByRecord, PhaseStage::early},
    {"LogFile", run_logfile_phase, &MftAudit::logfile, kFoundByLogFile, PhaseStage::late},
    {"retry", run_retry_phase, &MftAudit::retry, kFoundByRetry, PhaseStage::late},
};

void run_phase(ScanSession& s, const MftPhase& phase, MftAudit& counts) {
  s.found_by = phase.found_by;
  const std::size_t grown = phase.run(s);
  if (phase.counter) counts.*phase.counter = to32(counts.*phase.counter + grown);
}

}  // namespace

std::span<const MftPhase> mft_phases() { return kPhases; }

MftAudit run_late_phases(ScanSession& s) {
  MftAudit counts;
  if (s.deadline.remaining().is_zero()) return counts;
  s.late_exclusion = s.accepted.frns;
  for (const MftPhase& phase : mft_phases())
    if (phase.stage == PhaseStage::late) run_phase(s, phase, counts);
  counts.pending = count_pending(s);
  return counts;
}

ScanResult run_phased_scan(ScanSession& s) {
  MftAudit& audit = s.audit;
  audit.folder = s.scope.root_path;
  audit.directory_count = s.scope.dir_frns.size();
  audit.mft_record_estimate = record_scan_bound(s.mft.bitmap_ptr());

  s.progress.step("Strict directory FRN: " + std::to_string(s.scope.dir_frns.size()) +
                  " folders, parent FRN matches parent_match_frns");
  for (const MftPhase& phase : mft_phases())
    if (phase.stage == PhaseStage::early) run_phase(s, phase, audit);

  if (s.options.logfile_phase || s.options.retry_phase) {
    const MftAudit late = run_late_phases(s);
    if (s.options.logfile_phase) audit.logfile = late.logfile;
    if (s.options.retry_phase) audit.retry = late.retry;
    audit.pending = late.pending;
  }

  audit.cache_read = s.cache.reads;
  audit.cache_hits = s.cache.hits;
  Duration elapsed = s.deadline.elapsed();
  audit.elapsed_ms = elapsed.seconds * 1000 + elapsed.nanos / 1'000'000;
  if (audit.note.empty()) audit.note = "Completed";
  return ScanOutcome{std::move(s.accepted.items), std::move(audit)};
}

}  // namespace quillon
