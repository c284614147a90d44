#include "engine/windows/ntfs_deleted.h"

#include <algorithm>

#include "common/text.h"
#include "datasource/windows/volume.h"
#include "engine/windows/recycle.h"
#include "platform/platform.h"

namespace quillon {

namespace {

bool is_sep(char c) { return c == '\\' || c == '/'; }


// The last component as UTF-8 text, when it exists and is valid UTF-8.
std::optional<std::string_view> utf8_name(std::string_view path) {
  auto name = last_component(path);
  if (!name || !is_valid_utf8(*name)) return std::nullopt;
  return name;
}

}  // namespace

std::string join_path(std::string_view left, std::string_view right) {
  std::string out(left);
  if (!out.empty() && !is_sep(out.back())) out.push_back('\\');
  out.append(right);
  return out;
}

std::string join_reversed(std::string_view root_path, const std::vector<std::string_view>& components) {
  std::string rel;
  for (auto it = components.rbegin(); it != components.rend(); ++it) {
    if (!rel.empty()) rel.push_back('\\');
    rel.append(*it);
  }
  return join_path(root_path, rel);
}

std::optional<std::string_view> last_component(std::string_view path) {
  auto comps = path_components(path);
  if (comps.empty()) return std::nullopt;
  std::string_view last = comps.back();
  if (last == "\\" || last == "..") return std::nullopt;
  if (comps.size() == 1 && last.data() == path.data()) {
    // A lone first component may be a drive or UNC prefix rather than a name.
    bool unc_or_verbatim = last.size() >= 2 && is_sep(last[0]) && is_sep(last[1]);
    bool drive = last.size() == 2 && last[1] == ':';
    if (unc_or_verbatim || drive) return std::nullopt;
  }
  return last;
}

std::optional<std::string> rebuild_path(std::string_view name, std::uint64_t parent, std::string_view root_path,
                                        std::uint64_t root_frn, const DirMap& dir_map, bool allow_partial) {
  const std::uint64_t root = root_frn & kRecordMask;
  std::uint64_t cur = parent & kRecordMask;
  if (cur == root) return join_path(root_path, name);

  std::vector<std::string_view> components{name};
  for (int depth = 0;; ++depth) {
    if (depth >= kMaxPathDepth) return std::nullopt;
    if (cur == root) return join_reversed(root_path, components);
    auto it = dir_map.find(cur);
    if (it == dir_map.end()) {
      if (allow_partial && components.size() >= 2) return join_reversed(root_path, components);
      return std::nullopt;
    }
    components.push_back(it->second.name);
    cur = it->second.parent;  // as recorded, not masked
  }
}

bool scope_contains(const ScopeContext& scope, std::string_view path) {
  return inside_root_form(path, scope.root_form.empty() ? comparison_form(scope.root_path) : scope.root_form);
}

std::optional<DeletedItem> item_from_record(const FileNameEntry& record, std::uint64_t frn, std::string_view root_path,
                                            std::uint64_t root_frn, const DirMap& dir_map, bool allow_lost,
                                            std::string_view root_form) {
  auto path = rebuild_path(record.name, record.parent, root_path, root_frn, dir_map, allow_lost);
  if (!path) {
    if (!allow_lost) return std::nullopt;
    std::string base(root_path);
    if (base.empty() || !is_sep(base.back())) base.push_back('\\');
    path = join_path(join_path(join_path(base, kRecovLost), hex_lower_padded(record.parent & kRecordMask, 16)),
                     record.name);
  }
  if (!(root_form.empty() ? inside_root(*path, root_path) : inside_root_form(*path, root_form))) return std::nullopt;
  DeletedItem item;
  item.frn = frn;
  item.parent_frn = record.parent;
  item.path = std::move(*path);
  item.size = record.size;
  if (record.time != 0) item.time = record.time;
  return item;
}

std::optional<DeletedItem> item_in_tree(const ScopeContext& scope, const FileNameEntry& name, std::uint64_t frn,
                                        LostNames lost) {
  if (name.name.empty() || name.name.find_first_of("\\/") != std::string::npos) return std::nullopt;
  auto path = scope.path_of(name.name, name.parent, name.parent_sequence, LostNames::under_recov_lost);
  if (!path) {
    if (lost == LostNames::dropped) return std::nullopt;
    return item_from_record(name, frn, scope.root_path, scope.root_frn, scope.dir_map, true, scope.root_form);
  }
  if (!scope_contains(scope, *path)) return std::nullopt;
  DeletedItem item;
  item.frn = frn;
  item.parent_frn = name.parent & kRecordMask;
  item.parent_sequence = name.parent_sequence;
  item.path = std::move(*path);
  item.size = name.size;
  if (name.time != 0) item.time = name.time;
  return item;
}

std::uint64_t name_hash(const DeletedItem& item) {
  std::uint64_t h = 0xcbf29ce484222325ULL;
  auto mix = [&h](unsigned char b) {
    h ^= b;
    h *= 0x100000001b3ULL;
  };
  const std::uint64_t parent = item.parent_frn & kRecordMask;
  for (int i = 0; i < 8; ++i) mix(static_cast<unsigned char>((parent >> (8 * i)) & 0xFF));
  if (auto name = utf8_name(item.path))
    for (char c : *name) mix(static_cast<unsigned char>(c));
  return h;
}

std::string dedup_key(const DeletedItem& item) {
  return std::to_string(item.frn) + "|" + item.path + "|" + hex_lower_padded(name_hash(item), 16);
}

bool strict_parent_check(const ScopeContext& scope, const DeletedItem& candidate) {
  const std::uint64_t p = candidate.parent_frn & kRecordMask;
  if (!scope.parent_match_frns.contains(p)) return false;
  if (!scope_contains(scope, candidate.path)) return false;
  auto name = utf8_name(candidate.path);
  if (!name || name->empty()) return false;
  // Both sides in their display form, so that a directory whose name holds an
  // unpaired surrogate compares equal to itself.
  const std::string want = comparison_form(lossy_utf8(candidate.path));
  if (auto expected = scope.path_of(*name, p, candidate.parent_sequence, LostNames::under_recov_lost);
      expected && comparison_form(lossy_utf8(*expected)) == want)
    return true;
  if (scope.link(p, candidate.parent_sequence) == ParentLink::reused) return false;
  if (p == (scope.root_frn & kRecordMask) && comparison_form(lossy_utf8(join_path(scope.root_path, *name))) == want)
    return true;
  return false;
}

bool loose_check(const ScopeContext& scope, const DeletedItem& candidate) {
  if (!scope_contains(scope, candidate.path)) return false;
  if (scope.still_present(candidate.path)) return false;  // still there: not deleted
  auto name = utf8_name(candidate.path);
  if (!name || name->empty() || !noise_filter(*name, scope.noise_flag)) return false;
  if (strict_parent_check(scope, candidate)) return true;
  const std::uint64_t p = candidate.parent_frn & kRecordMask;
  if (lossy_utf8(candidate.path).find(kRecovLost) != std::string::npos)
    return scope.parent_match_frns.contains(p) || scope.deleted_dirs.contains(p);
  return scope.parent_match_frns.contains(p);
}

void accept_candidates(const ScopeContext& scope, MftAudit& audit, std::vector<DeletedItem>& out,
                       std::unordered_set<std::string>& keys, std::unordered_set<std::uint64_t>& frns,
                       std::vector<DeletedItem> batch) {
  for (auto& candidate : batch) {
    auto name = utf8_name(candidate.path);
    if (name && !name->empty() && !noise_filter(*name, scope.noise_flag)) {
      ++audit.filtered_cross_dir;
      continue;
    }
    bool in_scope = scope.strict_parent ? strict_parent_check(scope, candidate) : loose_check(scope, candidate);
    if (!in_scope) {
      ++audit.filtered_cross_dir;
      continue;
    }
    if (!keys.insert(dedup_key(candidate)).second) {
      add_sources(out, candidate);
      continue;
    }
    frns.insert(candidate.frn);
    out.push_back(std::move(candidate));
  }
}

std::size_t AcceptedItems::accept(const ScopeContext& scope, MftAudit& audit, std::vector<DeletedItem> batch) {
  const std::size_t before = items.size();
  accept_candidates(scope, audit, items, keys, frns, std::move(batch));
  return items.size() - before;
}

bool AcceptedItems::add(DeletedItem item, std::string key) {
  if (!keys.insert(std::move(key)).second) return false;
  frns.insert(item.frn);
  items.push_back(std::move(item));
  return true;
}

}  // namespace quillon
