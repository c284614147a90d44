#include "engine/windows/scope.h"

#include <deque>
#include <vector>

#include "common/text.h"
#include "datasource/windows/volume.h"
#include "engine/windows/ntfs_deleted.h"
#include "platform/platform.h"

namespace quillon {

namespace {

// Deleted folders kept waiting for a parent that may still join; past this
// many, further ones are not kept (their parents lie outside the tree on any
// volume where that many folders were deleted elsewhere).
constexpr std::size_t kMaxWaitingDirs = 1 << 20;

bool sequence_matches(const DirEntry& folder, std::uint16_t reference) {
  if (reference == 0 || folder.sequence == 0) return true;
  if (!folder.deleted) return reference == folder.sequence;
  // A deleted folder keeps the sequence it lived with; its freed record
  // holds that one or (NTFS increments it on freeing) the next.
  return reference == folder.sequence || reference == static_cast<std::uint16_t>(folder.sequence + 1);
}

}  // namespace

bool ScopeContext::in_tree(std::uint64_t record) const {
  return parent_match_frns.contains(record & kRecordMask) || parent_match_frns.contains(record);
}

ParentLink ScopeContext::link(std::uint64_t parent_record, std::uint16_t parent_sequence) const {
  const std::uint64_t p = parent_record & kRecordMask;
  if (!in_tree(parent_record)) return ParentLink::outside;
  auto it = dir_map.find(p);
  if (it == dir_map.end()) return ParentLink::live;  // the folder's own id in another form
  if (sequence_matches(it->second, parent_sequence))
    return it->second.deleted ? ParentLink::deleted : ParentLink::live;
  if (auto former = former_dirs.find(p); former != former_dirs.end() && sequence_matches(former->second, parent_sequence))
    return ParentLink::deleted;
  return ParentLink::reused;
}

void ScopeContext::add_live_dir(std::uint64_t record, DirEntry entry) {
  entry.deleted = false;
  dir_frns.insert(record);
  parent_match_frns.insert(record);
  dir_map[record] = std::move(entry);
}

std::vector<std::uint64_t> ScopeContext::add_deleted_dir(std::uint64_t record, DirEntry entry) {
  std::vector<std::uint64_t> joined;
  record &= kRecordMask;
  entry.deleted = true;
  std::deque<std::pair<std::uint64_t, DirEntry>> todo{{record, std::move(entry)}};
  while (!todo.empty()) {
    auto [r, e] = std::move(todo.front());
    todo.pop_front();
    if (r == (root_frn & kRecordMask) || r == 0) continue;
    const ParentLink up = link(e.parent, e.parent_sequence);
    if (up == ParentLink::reused) continue;  // its parent is not the tree's folder of that record
    if (up == ParentLink::outside) {
      if (waiting_dirs.size() < kMaxWaitingDirs) waiting_dirs.emplace(e.parent & kRecordMask, std::pair{r, std::move(e)});
      continue;
    }
    if (auto have = dir_map.find(r); have != dir_map.end()) {
      // A live folder of the tree that holds another sequence took the
      // record since: the deleted one is kept beside it, for its children.
      if (!have->second.deleted && !sequence_matches(have->second, e.sequence) && !former_dirs.contains(r))
        former_dirs.emplace(r, std::move(e));
      continue;
    }
    dir_frns.insert(r);
    parent_match_frns.insert(r);
    deleted_dirs.insert(r);
    dir_map.emplace(r, std::move(e));
    joined.push_back(r);
    auto range = waiting_dirs.equal_range(r);
    for (auto it = range.first; it != range.second; ++it) todo.push_back(std::move(it->second));
    waiting_dirs.erase(range.first, range.second);
  }
  return joined;
}

std::optional<std::string> ScopeContext::path_of(std::string_view name, std::uint64_t parent,
                                                 std::uint16_t parent_sequence, LostNames lost) const {
  const std::uint64_t root = root_frn & kRecordMask;
  const std::uint64_t first = parent & kRecordMask;
  std::uint64_t cur = first;
  std::uint16_t seq = parent_sequence;
  std::vector<std::string_view> components{name};
  bool reused = false;
  // A chain longer than the tree has folders holds a loop.
  for (std::size_t hops = 0; hops <= dir_map.size() + former_dirs.size() + 1; ++hops) {
    const DirEntry* at = nullptr;
    if (auto it = dir_map.find(cur); it != dir_map.end() && sequence_matches(it->second, seq))
      at = &it->second;
    else if (auto f = former_dirs.find(cur); f != former_dirs.end() && sequence_matches(f->second, seq))
      at = &f->second;
    if (cur == root && (at || !dir_map.contains(root))) return join_reversed(root_path, components);
    if (!at) {
      // Only a folder record of the tree that another folder took since
      // breaks a chain into $RecovLost; an unknown folder just breaks it.
      reused = dir_map.contains(cur);
      break;
    }
    components.push_back(at->name);
    seq = at->parent_sequence;
    cur = at->parent & kRecordMask;
  }
  if (lost == LostNames::dropped || !reused || !in_tree(first)) return std::nullopt;
  std::string base(root_path);
  if (base.empty() || (base.back() != '\\' && base.back() != '/')) base.push_back('\\');
  return join_path(join_path(join_path(base, kRecovLost), hex_lower_padded(first, 16)), name);
}

std::optional<std::string> ScopeContext::dir_path(std::uint64_t record) const {
  record &= kRecordMask;
  if (record == (root_frn & kRecordMask)) return root_path;
  auto it = dir_map.find(record);
  if (it == dir_map.end()) return std::nullopt;
  return path_of(it->second.name, it->second.parent, it->second.parent_sequence, LostNames::dropped);
}

std::string item_key(std::uint64_t frn, std::string_view path) {
  std::string key = std::to_string(frn);
  key.push_back('|');
  key.append(path);
  return key;
}

bool ScopeContext::still_present(std::string_view path) const {
  return !system || system->metadata(path).has_value();
}

}  // namespace quillon
