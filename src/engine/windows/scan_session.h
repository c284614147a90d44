// One probe's MFT searches share one session. What they read is set when the
// session is made and never changes: the scope, the open volume and its MFT
// context, the options, the journal's hints, the one deadline and the
// evaluation context built from them. What they write lives here too: the
// accepted items, the audit and the record cache, touched on the probing
// thread only. The paged scan's workers get the evaluation context and a
// request of plain values, never the session.
#pragma once

#include <cstdint>
#include <memory>
#include <memory_resource>
#include <optional>
#include <span>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "common/large_buffer.h"
#include "datasource/windows/volume.h"
#include "engine/model.h"
#include "engine/progress.h"
#include "engine/scan_options.h"
#include "engine/windows/mft_audit.h"
#include "engine/windows/ntfs_deleted.h"
#include "engine/windows/ntfs_deleted_eval.h"
#include "engine/windows/probe_volume.h"
#include "engine/windows/raw_mft.h"
#include "engine/windows/scope.h"
#include "engine/windows/usn_hints.h"
#include "platform/platform.h"

namespace quillon {

struct EarlyReads;

// Raw FILE records fetched during one scan, kept for the scan's whole life so
// that a later phase parses a record again without reading it again.
struct RecordCache {
  // Views into `store`, where the records' bytes stay until the scan ends.
  // Empty for a record of a volume that cannot change (an image) that was
  // passed over as in use with no name under the tree: its bytes are not
  // kept, and are read again should a later evaluation need them. Its
  // entries (one for each of the 16,385 records of the band) come from
  // `entries` and are never freed one by one.
  std::pmr::monotonic_buffer_resource entries;
  std::pmr::unordered_map<std::uint64_t, Bytes> records{&entries};
  ByteArena store;
  std::uint32_t reads = 0;  // records fetched because they were not cached
  std::uint32_t hits = 0;   // parses of a cached record that gave candidates
  // Consecutive records read in one request by a walk in record order, into
  // `block`, and handed out as the walk reaches them (the ones kept are
  // copied into the store); empty over a window whose block could not be
  // read (its records are then read one by one).
  std::uint64_t ahead_first = 0;
  std::uint64_t ahead_count = 0;
  Bytes ahead;
  std::vector<std::byte> block;
  MftRecord single;  // a record read alone
  // Records an evaluation passed over, unhinted, as in use with no name
  // under the tree, each with the parent of every name it holds (one
  // kNoParent for a record without any), by record: asked again unhinted,
  // such a record yields nothing while none of those parents has joined
  // the tree. Ascending while the walks that fill it go in record order.
  static constexpr std::uint64_t kNoParent = ~std::uint64_t{0};
  std::vector<std::pair<std::uint64_t, std::uint64_t>> outside_tree;
  std::size_t outside_sorted = 0;  // outside_tree's length when last sorted
  std::size_t outside_cursor = 0;  // where the last search ended
  void note_outside_tree(std::uint64_t record, std::span<const std::uint64_t> name_parents);
  // Whether `record` was passed over so and none of its names' parents is
  // in `parents` (the list sorted first when it has grown since it last was).
  bool known_outside_tree(std::uint64_t record, const FrnSet& parents);
  PassedOver passed;  // what read_candidates hands each evaluation, reused
};

struct ScanSession {
  // `hints` may be null (the journal search gave none); without `access`'s
  // system the paged scan reads nothing, without its handle no record's
  // reference is opened by id.
  ScanSession(ScopeContext& scope, VolumeReader& reader, const MftContext& mft, const ScanOptions& options,
              const TimeBudget& deadline, const UsnHints* hints = nullptr, const Progress& progress = standard_progress(),
              VolumeAccess access = {});

  ScopeContext& scope;  // grows as deleted folders are found; the evaluation reads it
  VolumeReader& reader;
  const MftContext& mft;
  const ScanOptions& options;
  const UsnHints* hints;
  const Progress& progress;
  const VolumeAccess access;  // the paged scan's workers open this volume again
  const TimeBudget deadline;
  ScanContext eval;         // scope sets, geometry, hints and flags for the evaluation

  AcceptedItems accepted;
  MftAudit audit;
  RecordCache cache;
  std::uint8_t found_by = kFoundByRecord;  // what the running phase marks its items with
  EarlyReads* early = nullptr;  // what the probe read ahead for the paged phase and phase 4; may be null

  // Handed from one phase to a later one.
  std::unordered_set<std::uint64_t> index_visited;  // records the index phase read
  std::vector<FreedDir> paged_freed_dirs;           // freed folders the paged scan read
  std::vector<Orphan> paged_orphans;                // freed records it set aside for want of their parent
  std::optional<FrnSet> late_exclusion;             // the records accepted when the late phases began

  // The same with a deadline that starts now.
  ScanSession(ScopeContext& scope, VolumeReader& reader, const MftContext& mft, const ScanOptions& options,
              Duration limit, const UsnHints* hints = nullptr, const Progress& progress = standard_progress(),
              VolumeAccess access = {})
      : ScanSession(scope, reader, mft, options, TimeBudget(limit), hints, progress, std::move(access)) {}

  bool in_time() const { return !deadline.expired(); }
  // Accepts `batch` marked with `found_by`; returns how much the list grew.
  std::size_t accept(std::vector<DeletedItem> batch);
};

}  // namespace quillon
