#include "engine/phased_scan.h"

#include "datasource/windows/volume.h"
#include "engine/late_phases.h"
#include "engine/windows/ntfs_deleted.h"
#include "engine/windows/ntfs_paged_scan.h"
#include "engine/windows/ntfs_phases.h"
#include "engine/windows/raw_mft.h"
#include "engine/windows/ntfs_deleted_eval.h"
#include "engine/windows/probe_volume.h"
#include "engine/windows/scope_build.h"

namespace quillon {

namespace {

std::uint32_t to32(std::size_t v) { return static_cast<std::uint32_t>(v); }

// The evaluation context of the single-record phases (with the journal
// hints) or of the paged scan (without them).
ScanContext make_scan_context(const ScopeContext& scope, const UsnHints* hints, const MftContext& mft,
                              const ScanOptions& options, std::shared_ptr<platform::FileHandle> live) {
  ScanContext c = scan_context_for(scope);
  // Borrowed, not owned: the hints outlive the scan.
  if (hints) c.hints = std::shared_ptr<const UsnHints>(std::shared_ptr<void>(), hints);
  c.geometry = mft.geometry;
  c.include_in_use = options.include_in_use;
  c.follow_parent_chain = options.follow_parent_chain;
  c.live = std::move(live);
  return c;
}

void run_paged_phase(PhaseContext& ctx, AcceptedItems& accepted, const Progress& progress) {
  if (!ctx.options.paged_scan || ctx.budget.expired()) return;
  progress.step("Phase 3 $MFT paged (dir_frns parent directories only)");

  // The workers read one shared, read-only evaluation context: the scope's
  // parent set and map, the records already accepted (skipped) and the
  // bitmap, without journal hints.
  ScanContext paged = make_scan_context(ctx.scope, nullptr, ctx.mft, ctx.options, ctx.scan.live);
  paged.skip = std::make_shared<const FrnSet>(accepted.frns);

  PagedScanRequest req;
  req.letter = ctx.letter;
  req.geometry = ctx.mft.geometry;
  req.bound = record_scan_bound(ctx.mft.bitmap_ptr());
  req.page_size = ctx.options.page_size;
  req.workers = ctx.options.worker_threads;
  req.target = ctx.scope.root_frn & kRecordMask;
  req.deadline = ctx.budget;
  const std::uint32_t record_size = ctx.mft.record_size();
  auto result = parallel_mft_scan(req, [&paged, record_size](std::span<std::byte> page, std::uint64_t first) {
    return scan_record_buffer(page, first, record_size, paged);
  });
  ctx.audit.scan = result.audit;

  for (auto& item : result.items) item.sources |= kFoundByRecord;
  ctx.audit.paged = to32(accepted.accept(ctx.scope, ctx.audit, std::move(result.items)));
}

}  // namespace

ScanResult run_phased_scan(ScopeContext scope, char letter, Duration limit, const UsnHints* hints,
                           const ScanOptions& options, const Progress& progress) {
  ProbeVolume volume = open_probe_volume(letter);
  return run_phased_scan(std::move(scope), volume, limit, hints, options, progress);
}

ScanResult run_phased_scan(ScopeContext scope, ProbeVolume& volume, Duration limit, const UsnHints* hints,
                           const ScanOptions& options, const Progress& progress) {
  TimeBudget budget(limit);
  if (!volume.reader) return fail(volume.reader.error());
  if (!volume.mft) return fail(volume.mft.error());
  const char letter = volume.letter;
  VolumeReader* reader = &*volume.reader;
  const MftContext& mft = *volume.mft;

  MftAudit audit;
  audit.folder = scope.root_path;
  audit.directory_count = scope.dir_frns.size();
  audit.mft_record_estimate = record_scan_bound(mft.bitmap_ptr());

  AcceptedItems accepted;
  RecordCache cache;
  ScanContext scan = make_scan_context(scope, hints, mft, options, volume.live);
  PhaseContext ctx{mft, budget, hints, scope, *reader, options, audit, cache, scan, letter, kFoundByIndex};

  progress.step("Strict directory FRN: " + std::to_string(scope.dir_frns.size()) +
                " folders, parent FRN matches parent_match_frns");
  run_index_phase(ctx, accepted, progress);
  ctx.found_by = kFoundByRecord;
  run_root_vicinity(ctx, accepted, progress);
  run_local_band(ctx, accepted, progress);
  run_usn_hints(ctx, accepted, progress);
  run_paged_phase(ctx, accepted, progress);

  if (options.logfile_phase || options.retry_phase) {
    LatePhaseInputs late;
    late.letter = letter;
    late.scope = &scope;
    late.hints = hints;
    late.ctx = &scan;
    late.reader = reader;
    late.mft = &mft;
    late.record_size = mft.record_size();
    late.frn_snapshot = accepted.frns;
    late.accepted = &accepted;
    late.audit = &audit;
    late.remaining = budget.remaining();
    late.deadline = &budget;
    late.logfile_phase = options.logfile_phase;
    late.retry_phase = options.retry_phase;
    late.progress = &progress;
    LatePhaseCounts counts = run_late_phases(late);
    if (options.logfile_phase) audit.logfile = counts.logfile;
    if (options.retry_phase) audit.retry = counts.retry;
    audit.pending = counts.pending;
  }

  audit.cache_read = cache.reads;
  audit.cache_hits = cache.hits;
  Duration elapsed = budget.elapsed();
  audit.elapsed_ms = elapsed.seconds * 1000 + elapsed.nanos / 1'000'000;
  if (audit.note.empty()) audit.note = "Completed";
  return ScanOutcome{std::move(accepted.items), std::move(audit)};
}

ScanResult run_phased_scan_unscoped(std::string_view folder, ProbeVolume& volume, Duration limit,
                                    const UsnHints* hints, const ScanOptions& options, const Progress& progress) {
  if (!volume.reader) return fail(volume.reader.error());
  if (!volume.mft) return fail(volume.mft.error());
  progress.step("Building directory FRN mapping table...");
  auto scope = collect_scope(folder, *volume.mft, *volume.reader);
  if (!scope) return fail(scope.error());
  return run_phased_scan(std::move(*scope), volume, limit, hints, options, progress);
}

}  // namespace quillon
