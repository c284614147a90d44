// The name steps between a parsed FILE record and its items: reducing the
// record's names, the fallback name search by parent, and the two item
// builders for records no longer in use and records still in use.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/model.h"
#include "engine/windows/raw_mft.h"
#include "engine/windows/scope.h"
#include "engine/windows/usn_hints.h"

namespace quillon {

// Drops the names the noise filter drops; when the journal named this record
// (and the filter is strict), keeps only the names the journal saw for it.
std::vector<FileNameEntry> finish_names(std::vector<FileNameEntry> names, std::uint64_t frn, const UsnHints* hints,
                                        bool noise_flag);

// Every (parent, name) of a record whose name passes the noise filter and
// whose parent (48-bit or as recorded) is in `parents`; size and time 0.
std::vector<FileNameEntry> names_by_parent(std::span<const std::pair<std::uint64_t, std::string>> names,
                                           const FrnSet& parents, bool noise_flag);

// One item per name whose path can be placed in the tree (see item_in_tree).
std::vector<DeletedItem> build_deleted_items(std::span<const FileNameEntry> names, std::uint64_t frn,
                                             const ScopeContext& scope, LostNames lost);

// For a record still in use: one item per name whose parent is in `parents`
// and whose file is gone from the live file system. A name whose path cannot
// be rebuilt counts as present. The size recorded in the $FILE_NAME does not
// decide anything here: Windows keeps the size current in the parent's
// index, not in the file's own record, so a live file usually shows 0.
// Only names under a live folder of the tree count: a record in use names
// its current parents.
std::vector<DeletedItem> build_in_use_items(std::span<const FileNameEntry> names, std::uint64_t frn,
                                            const ScopeContext& scope);

}  // namespace quillon
