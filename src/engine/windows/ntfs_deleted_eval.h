// Record evaluation: when a FILE record read raw yields DeletedItems. Every
// MFT search (the index and vicinity phases, the journal hints, the paged
// scan, the late phases) comes through here.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/bytes.h"
#include "datasource/windows/volume.h"
#include "engine/model.h"
#include "engine/windows/ntfs_paged_scan.h"
#include "engine/windows/raw_mft.h"
#include "engine/windows/scope.h"
#include "engine/windows/usn_hints.h"

namespace quillon {

// How a record is judged. `verify_live`: a record still in use counts as
// gone once a name's path is missing on the live file system.
// `include_in_use`: a record in use may yield names under any scope parent
// (not only those its scope lookup finds). `follow_parent_chain`: a name
// whose chain of parents breaks is placed under the lost-files folder.
struct EvalFlags {
  bool verify_live = false;
  bool include_in_use = false;
  bool follow_parent_chain = false;
};

// What the evaluation reads. Built once per scan and shared read-only (also
// by the paged scan's workers); the sets are held by shared ownership.
struct ScanContext {
  // The folder tree as the scan reads it: the probe's own tree, or a
  // snapshot of it for the paged scan's workers.
  std::shared_ptr<const ScopeContext> scope = std::make_shared<ScopeContext>();
  std::shared_ptr<const UsnHints> hints;  // absent in the paged scan
  MftGeometry geometry;
  std::shared_ptr<const FrnSet> skip;  // records already handled; may be null
  bool include_in_use = false;
  bool follow_parent_chain = false;
  // A handle on the volume (its root) through which a record's full
  // reference is opened by id; may be null (no liveness query). Shared by
  // the paged scan's workers: the query must be safe from any thread.
  std::shared_ptr<platform::FileHandle> live;

  std::uint32_t record_size() const { return geometry.record_size; }
  const FrnSet& parents() const { return scope->parent_match_frns; }
  EvalFlags flags(bool verify_live) const { return {verify_live, include_in_use, follow_parent_chain}; }
};

// A snapshot of a scope in a scan context (no hints, no geometry yet).
ScanContext scan_context_for(const ScopeContext& scope);
// A view of a scope the caller keeps alive for the context's whole life.
ScanContext scan_context_over(const ScopeContext& scope);

// The deleted folder a directory record not in use holds (its first name,
// its parent, the sequence it lived with); nothing for any other record.
std::optional<FreedDir> freed_dir_of(Bytes record, std::uint64_t record_number);
// The names of a freed file record whose parents are not folders of the tree.
void collect_orphans(Bytes record, std::uint64_t record_number, const ScopeContext& scope, std::vector<Orphan>& out);

// A name and parent the caller already knows for the record (an index entry,
// a journal record). The parent is used only when `use_parent` is set.
struct RecordHint {
  std::optional<std::string> name;
  std::uint64_t parent = 0;
  bool use_parent = false;
  // The sequence number of the file the name belonged to; 0 when unknown
  // (then the journal's, when it named the record, is used).
  std::uint16_t sequence = 0;
};

// The items one FILE record yields. Directories never yield any. A record
// still in use whose full reference (record and sequence) the file system
// opens by id names a live file: none of its own names is an item, whatever
// their paths' lookups say (a damaged index loses a name, not the file).
// Otherwise a record still in use must first look gone (a name's path
// missing, with `verify_live`) or empty (a name of size 0, or an empty
// resident $DATA); its items then keep only the names whose files are gone.
//
// `passed`, when given, says whether the record was passed over as a file
// in use that the journal does not name and no name of which stands under a
// folder of the tree (without a hint and without `include_in_use`), with the
// parents of its names as tested: the same bytes yield nothing again under
// those flags while none of those parents joins the tree.
struct PassedOver {
  bool outside_tree = false;
  std::vector<std::uint64_t> parents;  // as names_parent_in tests them
};
std::vector<DeletedItem> evaluate_record(Bytes record, std::uint64_t record_number, const ScanContext& ctx,
                                         EvalFlags flags, const RecordHint* hint = nullptr,
                                         PassedOver* passed = nullptr);

// Every record of one page buffer whose first record is `first_record`,
// as read: the fixups of the records evaluated are applied in place (those
// of records already fixed up stay as they are).
PageYield scan_record_buffer(std::span<std::byte> buffer, std::uint64_t first_record, std::uint32_t record_size,
                             const ScanContext& ctx);

// Reads one record raw and evaluates it; nothing when it cannot be read or
// yields no item.
std::optional<std::vector<DeletedItem>> evaluate_record_at(VolumeReader& reader, std::uint64_t record_number,
                                                           const ScanContext& ctx, EvalFlags flags,
                                                           const RecordHint* hint = nullptr);

// The records the journal named without a name: each read raw through the
// probe's reader and evaluated as a deleted record; items under the tree's
// root, one per FRN and path.
std::vector<DeletedItem> confirm_frns_in_mft(VolumeReader& reader, const MftGeometry& geometry,
                                             std::span<const std::uint64_t> records, const ScanContext& ctx);

}  // namespace quillon
