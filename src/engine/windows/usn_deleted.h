// Deleted items of one folder tree from the change journal: three journal
// passes (a recent READ window, an ENUM band around the folder's record,
// the READ window again), each record judged against the folder's scope,
// the per-FRN name and parent hints for the MFT phases, and the MFT lookup
// of the FRNs that only nameless V4 records mentioned. Also the one-line
// summary the probe prints and the stand-alone debug query.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "common/bytes.h"
#include "common/error.h"
#include "engine/model.h"
#include "engine/windows/probe_volume.h"
#include "engine/windows/scope.h"
#include "engine/windows/usn_hints.h"
#include "engine/windows/usn_journal.h"
#include "platform/platform.h"

namespace quillon {

inline constexpr std::uint64_t kUsnProximity = 0x2000;     // records "near" the folder's
inline constexpr std::size_t kUsnHintCap = 64;             // record numbers in names_by_frn
inline constexpr std::size_t kUsnHintCapWholeVolume = 8192;

// What the caller gives the search; borrowed for the whole search. A view of
// the folder tree, not a copy: the folder, its record and id, its folders
// and their map are the tree's.
struct UsnScope {
  // The tree the search judges names against: the probe's own, or the
  // folder alone (folder_alone) when it has none. Needed.
  const ScopeContext* folder = nullptr;
  // The same tree when the journal's deleted folders may join it: names are
  // then placed through it (sequence numbers included). Null in a plain
  // search.
  ScopeContext* tree = nullptr;
  bool whole_volume = false;
  ProbeVolume* volume = nullptr;  // the probe's volume (needed)

  const std::string& root() const { return folder->root_path; }
  const std::string& root_form() const { return folder->root_form; }
  std::uint64_t folder_id() const { return folder->root_file_id; }
  std::uint64_t folder_record() const { return folder->root_frn; }
  const std::unordered_set<std::uint64_t>& dir_frns() const { return folder->dir_frns; }
  const DirMap& dir_map() const { return folder->dir_map; }
};

// Delete records whose parent is not (yet) a folder of the tree, kept for a
// second look once the journal's deleted folders have joined it.
inline constexpr std::size_t kMaxDeferredDeletes = std::size_t{1} << 18;

struct UsnSearchResult : JournalSummary {
  std::vector<DeletedItem> items;
  UsnHints hints;
};

struct UsnDebugReport {
  std::uint64_t dir_record = 0;
  std::uint64_t dir_ref = 0;
  std::int64_t first_usn = 0;
  std::int64_t next_usn = 0;
  std::uint64_t unpaired_v4 = 0;
  std::uint32_t parsed = 0;
  std::uint32_t delete_reason = 0;
  std::uint32_t parent_match = 0;
  std::uint32_t under_root = 0;
  std::uint32_t accepted = 0;
  std::uint32_t v4_matched = 0;
};

// The working state one buffer processor writes into.
struct UsnContext {
  const UsnScope& scope;
  std::vector<DeletedItem>& items;
  std::unordered_set<std::string>& seen_keys;
  UsnHints& hints;
  std::unordered_set<std::uint64_t>& pending_v4;
  // A handle on the volume (the probed folder, or the volume's root when the
  // folder does not open), to ask whether a file reference still names a
  // live file. Without it every candidate counts as gone.
  platform::FileHandle* live_handle = nullptr;
  // Where delete records under folders not (yet) in the tree are kept; null:
  // they are dismissed.
  std::vector<UsnEntry>* deferred = nullptr;
};

// Whether a file whose liveness query failed with `error` still counts as
// alive. Access denied counts as alive unless `deleted_evidence` (the
// record's own state says deleted, or the journal named a delete): a
// delete-pending file answers access denied. So does a record found corrupt
// (ERROR_FILE_CORRUPT). Any other failure: not alive.
bool liveness_when_refused(const Error& error, bool deleted_evidence);

// Delete, either rename half, or a close that carries any other reason.
bool is_delete_like(std::uint32_t reason);
// p is the folder: its record number, its full FRN, or that FRN masked.
bool is_folder_parent(const UsnScope& scope, std::uint64_t parent);

bool has_document_extension(std::string_view name);

// Judges every record of one output buffer; returns the items it added.
std::uint64_t process_usn_buffer(Bytes records, UsnContext& ctx);
// At most one item appended for `entry`; true when one was.
bool accept_usn_entry(const UsnEntry& entry, UsnContext& ctx);

// The folder alone as a tree, for a search without the probe's: the folder
// its only folder, `root_form` its resolved comparison form.
ScopeContext folder_alone(platform::Platform& system, std::string_view root, std::string root_form,
                          const FolderId& id);

Result<UsnSearchResult> find_deleted_via_usn(const UsnScope& scope);

Result<UsnDebugReport> usn_debug_query(platform::Platform& system, std::string_view path);

}  // namespace quillon
