#include "engine/windows/ntfs_deleted_names.h"

#include "datasource/windows/volume.h"
#include "engine/windows/ntfs_deleted.h"
#include "engine/windows/recycle.h"
#include "platform/platform.h"

namespace quillon {

namespace {

bool in_set(const FrnSet& set, std::uint64_t parent) {
  return set.contains(parent & kRecordMask) || set.contains(parent);
}

}  // namespace

std::vector<FileNameEntry> finish_names(std::vector<FileNameEntry> names, std::uint64_t frn, const UsnHints* hints,
                                        bool noise_flag) {
  std::erase_if(names, [&](const FileNameEntry& e) { return !noise_filter(e.name, noise_flag); });
  if (hints && !noise_flag && !hints->names_by_frn.empty()) {
    if (auto it = hints->names_by_frn.find(frn); it != hints->names_by_frn.end()) {
      const auto& known = it->second;
      std::erase_if(names, [&](const FileNameEntry& e) { return !known.contains(e.name); });
    }
  }
  return names;
}

std::vector<FileNameEntry> names_by_parent(std::span<const std::pair<std::uint64_t, std::string>> names,
                                           const FrnSet& parents, bool noise_flag) {
  std::vector<FileNameEntry> out;
  for (const auto& [parent, name] : names) {
    if (!noise_filter(name, noise_flag) || !in_set(parents, parent)) continue;
    out.push_back(FileNameEntry{name, parent, 0, 0});
  }
  return out;
}

std::vector<DeletedItem> build_deleted_items(std::span<const FileNameEntry> names, std::uint64_t frn,
                                             const ScopeContext& scope, LostNames lost) {
  std::vector<DeletedItem> out;
  for (const auto& entry : names)
    if (auto item = item_in_tree(scope, entry, frn, lost)) out.push_back(std::move(*item));
  return out;
}

std::vector<DeletedItem> build_in_use_items(std::span<const FileNameEntry> names, std::uint64_t frn,
                                            const ScopeContext& scope) {
  std::vector<DeletedItem> out;
  for (const auto& entry : names) {
    if (scope.link(entry.parent, entry.parent_sequence) != ParentLink::live) continue;
    auto item = item_in_tree(scope, entry, frn, LostNames::dropped);
    if (!item) continue;                                     // cannot be placed: counts as present
    if (scope.still_present(item->path)) continue;  // still there
    out.push_back(std::move(*item));
  }
  return out;
}

}  // namespace quillon
