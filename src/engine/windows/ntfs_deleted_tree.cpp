#include "engine/windows/ntfs_deleted_tree.h"

#include <algorithm>

#include "engine/windows/ntfs_deleted.h"
#include "engine/windows/ntfs_deleted_eval.h"
#include "engine/windows/ntfs_phases.h"

namespace quillon {

std::vector<std::uint64_t> grow_tree(ScopeContext& scope, std::vector<FreedDir> dirs, std::uint8_t found_by) {
  std::vector<std::uint64_t> joined;
  for (auto& d : dirs) {
    d.entry.found_by = found_by;
    if (d.time != 0) d.entry.time = d.time;
    auto now = scope.add_deleted_dir(d.record, std::move(d.entry));
    joined.insert(joined.end(), now.begin(), now.end());
  }
  return joined;
}

std::size_t place_orphans(ScanSession& s, std::vector<Orphan> orphans) {
  std::vector<std::uint64_t> records;
  for (const auto& o : orphans)
    if (s.scope.in_tree(o.parent) && !s.accepted.frns.contains(o.record)) records.push_back(o.record);
  orphans = {};
  std::sort(records.begin(), records.end());
  records.erase(std::unique(records.begin(), records.end()), records.end());
  // Read in blocks into one reused buffer and evaluated there: a deleted
  // tree may hold many thousands of records, and none of them is kept.
  constexpr std::uint64_t kBlock = 64;
  const MftGeometry& g = s.mft.geometry;
  std::vector<std::byte> buffer(static_cast<std::size_t>(kBlock) * g.record_size);
  std::size_t grown = 0;
  for (std::size_t i = 0; i < records.size() && s.in_time();) {
    const std::uint64_t first = records[i];
    auto block = read_record_block_into(g, s.reader, first, kBlock, buffer);
    for (; i < records.size() && records[i] - first < kBlock; ++i) {
      const std::uint64_t r = records[i];
      std::optional<MftRecord> single;
      Bytes record;
      if (block && (r - first + 1) * g.record_size <= block->size()) {
        record = Bytes(*block).subspan(static_cast<std::size_t>((r - first) * g.record_size), g.record_size);
      } else if ((single = read_record_raw(g, s.reader, r))) {
        record = *single;
      } else {
        continue;
      }
      auto items = evaluate_record(record, r, s.eval, s.eval.flags(false));
      if (!items.empty()) grown += s.accept(std::move(items));
    }
  }
  return grown;
}

std::size_t grow_from_cache(ScanSession& s) {
  std::vector<FreedDir> dirs;
  std::vector<Orphan> orphans;
  for (const auto& [number, record] : s.cache.records) {
    if (record.empty()) continue;  // in use: neither a freed folder nor a freed file
    if (auto dir = freed_dir_of(record, number))
      dirs.push_back(std::move(*dir));
    else
      collect_orphans(record, number, s.scope, orphans);
  }
  std::sort(dirs.begin(), dirs.end(), [](const FreedDir& a, const FreedDir& b) { return a.record < b.record; });
  if (grow_tree(s.scope, std::move(dirs), kFoundByRecord).empty()) return 0;
  return place_orphans(s, std::move(orphans));
}

std::optional<DeletedItem> folder_item(const ScopeContext& scope, std::uint64_t record) {
  const bool root = record == (scope.root_frn & kRecordMask);
  auto it = scope.dir_map.find(record);
  if (it == scope.dir_map.end() || !it->second.deleted) return std::nullopt;
  auto path = scope.dir_path(record);
  if (!path) return std::nullopt;
  const DirEntry& e = it->second;
  DeletedItem item;
  item.frn = record;
  item.parent_frn = e.parent;
  item.parent_sequence = root ? 0 : e.parent_sequence;
  item.path = std::move(*path);
  if (e.time != 0) item.time = e.time;
  item.folder = true;
  item.sources = e.found_by;
  return item;
}

std::size_t list_deleted_folders(ScanSession& s) {
  std::vector<std::uint64_t> dirs(s.scope.deleted_dirs.begin(), s.scope.deleted_dirs.end());
  std::sort(dirs.begin(), dirs.end());
  std::vector<DeletedItem> batch;
  std::size_t grown = 0;
  if (s.scope.root_deleted)
    if (auto root = folder_item(s.scope, s.scope.root_frn & kRecordMask)) {
      std::string key = dedup_key(*root);
      grown += s.accepted.add(std::move(*root), std::move(key)) ? 1 : 0;
    }
  for (std::uint64_t r : dirs)
    if (auto item = folder_item(s.scope, r)) batch.push_back(std::move(*item));
  return grown + s.accepted.accept(s.scope, s.audit, std::move(batch));
}

}  // namespace quillon
