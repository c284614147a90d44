// Deleted folder trees: a folder removed with Shift+Delete leaves its
// parent's index at once, so its contents are found only through the
// folder's own freed record. The freed directory records the scans read
// join the tree (each under a parent already in it, to any depth), the
// freed records that named a parent outside the tree are read again once
// that parent has joined, and every deleted folder of the tree is an item.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/windows/scan_session.h"
#include "engine/windows/scope.h"

namespace quillon {

// Offers each folder to the tree, marked as found by `found_by`; returns the
// records that joined.
std::vector<std::uint64_t> grow_tree(ScopeContext& scope, std::vector<FreedDir> dirs, std::uint8_t found_by);

// Reads again the orphans whose parents are now folders of the tree and
// accepts what they yield; returns how much the list grew.
std::size_t place_orphans(ScanSession& s, std::vector<Orphan> orphans);

// The same for the records the phases before the paged scan read (they sit
// in the session's record cache): its freed folders join the tree, and its
// freed files under them are placed; returns how much the list grew.
std::size_t grow_from_cache(ScanSession& s);

// Every deleted folder of the tree as an item (the probed folder itself when
// it is deleted), in record order; returns how much the list grew.
std::size_t list_deleted_folders(ScanSession& s);

// The deleted folder item of one folder of the tree; nothing when the
// folder cannot be placed.
std::optional<DeletedItem> folder_item(const ScopeContext& scope, std::uint64_t record);

}  // namespace quillon
