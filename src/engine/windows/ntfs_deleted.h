// How an MFT candidate becomes a DeletedItem: the path rebuilt from the
// parent chain, the scope checks that decide whether it lies in the probed
// folder tree, and the duplicate key shared by every phase of one scan.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "engine/model.h"
#include "engine/windows/mft_audit.h"
#include "engine/windows/raw_mft.h"
#include "engine/windows/scope.h"

namespace quillon {

// The folder under the root that holds records whose parent chain is lost.
inline constexpr std::string_view kRecovLost = "$RecovLost";
// At most this many directory-map lookups per rebuilt path.
inline constexpr int kMaxPathDepth = 64;

// Joins two paths as Windows does: one backslash between them unless `left`
// already ends with a separator (or is empty).
std::string join_path(std::string_view left, std::string_view right);

// `components` gathered from a name up towards the root, joined under
// `root_path` root side first.
std::string join_reversed(std::string_view root_path, const std::vector<std::string_view>& components);

// The final name of a path after Windows path parsing: drive and UNC prefixes
// and the root are not names, "." is skipped, and a path ending in ".." has
// none.
std::optional<std::string_view> last_component(std::string_view path);

// Full path of `name` whose parent is `parent`, following the directory map
// up to the root. With `allow_partial`, a chain that breaks after at least one
// ancestor is placed directly under the root. A cycle or a chain deeper than
// kMaxPathDepth gives nothing.
std::optional<std::string> rebuild_path(std::string_view name, std::uint64_t parent, std::string_view root_path,
                                        std::uint64_t root_frn, const DirMap& dir_map, bool allow_partial);

// A record name becomes an item; with `allow_lost`, one whose chain cannot be
// followed lands under <root>\$RecovLost\<parent as 16 hex digits>\.
// Nothing when the path falls outside the root (`root_form`, the root's
// resolved comparison form, when the caller holds it).
std::optional<DeletedItem> item_from_record(const FileNameEntry& record, std::uint64_t frn, std::string_view root_path,
                                            std::uint64_t root_frn, const DirMap& dir_map, bool allow_lost,
                                            std::string_view root_form = {});

// The item of a record name placed in the folder tree: its parent link
// decides (a live or deleted folder of the tree: the full path; a folder
// record reused since: under <root>\$RecovLost\<parent>\). With
// `LostNames::under_recov_lost`, also a name whose chain leaves the tree.
// Nothing when the path falls outside the root.
std::optional<DeletedItem> item_in_tree(const ScopeContext& scope, const FileNameEntry& name, std::uint64_t frn,
                                        LostNames lost);

// Containment in the scope's root, through its resolved form when it has one.
bool scope_contains(const ScopeContext& scope, std::string_view path);

// FNV-1a 64 over the 8 little-endian bytes of the 48-bit parent, then the
// UTF-8 of the path's last component (left out when absent or not UTF-8).
std::uint64_t name_hash(const DeletedItem& item);
// "{frn}|{path}|{name_hash as 16 lowercase hex digits}".
std::string dedup_key(const DeletedItem& item);

// The parent is in scope and the candidate's path is exactly the one its
// parent chain gives.
bool strict_parent_check(const ScopeContext& scope, const DeletedItem& candidate);
// Inside the root, no longer on the live file system, and either strictly
// placed or under a scope (or deleted) directory.
bool loose_check(const ScopeContext& scope, const DeletedItem& candidate);

// Noise filter, scope check and duplicate test for a batch; accepted items
// are appended to `out`, their keys to `keys` and their FRNs to `frns`.
// Every filtered candidate adds one to audit.filtered_cross_dir.
void accept_candidates(const ScopeContext& scope, MftAudit& audit, std::vector<DeletedItem>& out,
                       std::unordered_set<std::string>& keys, std::unordered_set<std::uint64_t>& frns,
                       std::vector<DeletedItem> batch);

// What one scan has accepted: the items in acceptance order, the keys that
// make a later duplicate a no-op, and the FRNs behind them. Every phase adds
// through it.
struct AcceptedItems {
  std::vector<DeletedItem> items;
  std::unordered_set<std::string> keys;
  std::unordered_set<std::uint64_t> frns;

  // accept_candidates on these lists; returns how many items were added.
  std::size_t accept(const ScopeContext& scope, MftAudit& audit, std::vector<DeletedItem> batch);
  // Adds `item` under `key` unless the key is already taken.
  bool add(DeletedItem item, std::string key);
};

}  // namespace quillon
