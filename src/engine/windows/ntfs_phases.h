// The scan phases that read single records: the directory index phase, the
// vicinity of the probed folder's record, the local band and the records the
// journal named. They share one PhaseContext, one record cache and the
// accepted items of the scan.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "datasource/windows/volume.h"
#include "engine/model.h"
#include "engine/progress.h"
#include "engine/scan_options.h"
#include "engine/windows/mft_audit.h"
#include "engine/windows/raw_mft.h"
#include "engine/windows/ntfs_deleted.h"
#include "engine/windows/ntfs_deleted_eval.h"
#include "engine/windows/scope.h"
#include "engine/windows/usn_hints.h"

namespace quillon {

// Raw FILE records fetched during one scan, kept for the scan's whole life so
// that a later phase parses a record again without reading it again.
struct RecordCache {
  std::unordered_map<std::uint64_t, MftRecord> records;
  std::uint32_t reads = 0;  // records fetched because they were not cached
  std::uint32_t hits = 0;   // parses of a cached record that gave candidates
};

// What every phase reads (and the audit and cache, which they write).
struct PhaseContext {
  const MftContext& mft;
  TimeBudget budget;
  const UsnHints* hints;  // absent when the journal search gave none
  const ScopeContext& scope;
  VolumeReader& reader;
  const ScanOptions& options;
  MftAudit& audit;
  RecordCache& cache;
  const ScanContext& scan;  // the evaluation context built from the above
  char letter = 'E';
  std::uint8_t found_by = kFoundByRecord;  // what the running phase marks its items with

  // In time while the elapsed time is below the limit.
  bool in_time() const { return !budget.expired(); }
};


std::optional<std::vector<DeletedItem>> read_candidates(PhaseContext& ctx, std::uint64_t frn,
                                                        const RecordHint* hint, bool verify_live);
void scan_window(PhaseContext& ctx, std::uint64_t centre, std::uint64_t inner, std::uint64_t outer,
                 std::unordered_set<std::uint64_t>& visited, AcceptedItems& accepted);

void run_index_phase(PhaseContext& ctx, AcceptedItems& accepted, const Progress& progress);
void run_root_vicinity(PhaseContext& ctx, AcceptedItems& accepted, const Progress& progress);
void run_local_band(PhaseContext& ctx, AcceptedItems& accepted, const Progress& progress);
void run_usn_hints(PhaseContext& ctx, AcceptedItems& accepted, const Progress& progress);

}  // namespace quillon
