#include "engine/windows/scope_build.h"

#include <algorithm>
#include <deque>
#include <map>
#include <string>
#include <vector>

#include "common/text.h"
#include "engine/model.h"
#include "engine/windows/ntfs_deleted.h"
#include "engine/windows/recycle.h"
#include "platform/platform.h"

namespace quillon {

namespace {

struct Pending {
  std::string path;
  std::uint64_t frn = 0;
  std::uint32_t depth = 0;
};

constexpr std::uint32_t kAttrReparsePoint = 0xC0;

// A directory record: more than 23 bytes, "FILE", directory flag set.
struct DirRecord {
  bool in_use = false;
  bool name_surrogate = false;  // a junction or directory symbolic link
  std::uint16_t sequence = 0;
};

std::optional<DirRecord> read_dir_record(const MftContext& mft, VolumeReader& reader, std::uint64_t frn) {
  auto record = fetch_record(mft, reader, frn);
  if (!record) return std::nullopt;
  auto flags = record_flags(*record);
  if (!flags || !(*flags & kRecordDirectory)) return std::nullopt;
  DirRecord d{(*flags & kRecordInUse) != 0, false, record_sequence(*record).value_or(0)};
  if (auto reparse = resident_attribute_value(*record, kAttrReparsePoint))
    if (auto tag = u32_at(*reparse, 0)) d.name_surrogate = (*tag & platform::REPARSE_TAG_NAME_SURROGATE) != 0;
  return d;
}

bool is_dot_name(std::string_view n) { return n == "." || n == ".."; }

bool is_name_surrogate(const platform::DirectoryEntry& e) {
  return (e.attributes & platform::FILE_ATTRIBUTE_REPARSE_POINT) &&
         (e.reparse_tag & platform::REPARSE_TAG_NAME_SURROGATE);
}

// Every in-use base directory record of the MFT, by parent record.
struct MftDir {
  std::string name;
  std::uint64_t record = 0;
  std::uint16_t sequence = 0;
  bool link = false;  // carries a reparse point (junction, directory link)
  bool in_use = true;
  std::uint16_t parent_sequence = 0;
  std::uint64_t time = 0;
};
using MftDirTree = std::multimap<std::uint64_t, MftDir>;

constexpr std::uint64_t kNameScanBlock = 256;  // records read at once

// Which directory records the tree holds.
enum class DirRecords { in_use, freed_too };

MftDirTree read_dir_tree(const MftContext& mft, VolumeReader& reader, DirRecords which = DirRecords::in_use) {
  MftDirTree by_parent;
  const std::uint32_t size = mft.record_size();
  const std::uint64_t bound = record_scan_bound(mft.bitmap_ptr());
  for (std::uint64_t first = 0; first < bound; first += kNameScanBlock) {
    const std::uint64_t count = std::min(kNameScanBlock, bound - first);
    auto block = read_record_block(mft.geometry, reader, first, count);
    if (!block) continue;
    for (std::uint64_t i = 0; i < count; ++i) {
      Bytes r = Bytes(*block).subspan(static_cast<std::size_t>(i * size), size);
      if (!is_file_record(r) || !record_is_directory(r)) continue;
      const bool in_use = record_in_use(r);
      if (!in_use && which == DirRecords::in_use) continue;
      if (u64_at(r, 0x20).value_or(1) != 0) continue;  // an extension record
      const std::uint16_t seq = record_sequence(r).value_or(0);
      bool link = false;
      for (const auto& a : attributes(r)) link |= a.type == kAttrReparsePoint;
      for (auto& n : view_record(r).names)
        if (!n.name.empty())
          by_parent.emplace(n.parent & kRecordMask,
                            MftDir{std::move(n.name), first + i, seq, link, in_use, n.parent_sequence, n.time});
    }
  }
  return by_parent;
}

std::uint16_t sequence_of(std::uint64_t file_id) { return static_cast<std::uint16_t>(file_id >> 48); }

class ScopeWalk {
 public:
  ScopeWalk(platform::Platform& system, const MftContext& mft, VolumeReader& reader, const TimeBudget* deadline)
      : system_(system), mft_(mft), reader_(reader), deadline_(deadline) {
    scope_.system = &system;
  }

  bool in_time() {
    if (deadline_ && deadline_->expired()) scope_.cut = true;
    return !scope_.cut;
  }

  void list_live(const Pending& dir) {
    auto listing = system_.list_directory(dir.path);
    if (!listing) return;
    for (const auto& entry : *listing) {
      if (!in_time()) break;
      if (!(entry.attributes & platform::FILE_ATTRIBUTE_DIRECTORY) || is_name_surrogate(entry)) continue;
      if (is_dot_name(entry.name)) continue;
      std::string path = join_path(dir.path, entry.name);
      auto id = folder_frn(system_, path);
      if (!id || scope_.dir_frns.contains(id->record) || !holds_name(id->record, dir.frn, entry.name)) continue;
      scope_.add_live_dir(id->record, DirEntry{entry.name, dir.frn, 0, sequence_of(id->file_id)});
      queue_.push_back({std::move(path), id->record, dir.depth + 1});
    }
  }

  // Whether the folder's own record names it `name` in `parent`. A folder
  // listed under a name its record does not hold was reached through a link
  // the listing did not flag (Wine shows the links of a mounted volume as
  // plain folders); its own name comes in its own parent's listing. A record
  // that cannot be read, or a name that is not UTF-8, is taken at its word.
  bool holds_name(std::uint64_t record, std::uint64_t parent, const std::string& name) {
    if (!is_valid_utf8(name)) return true;
    auto r = fetch_record(mft_, reader_, record);
    if (!r) return true;
    const auto names = view_record(*r).names;
    return names.empty() || std::any_of(names.begin(), names.end(), [&](const FileNameEntry& n) {
             return (n.parent & kRecordMask) == (parent & kRecordMask) && n.name == name;
           });
  }

  // Index entries of `dir`'s record. With `queue_from` (the walk's pending
  // entry of `dir`), live children are queued for their own walk; deleted
  // ones never are.
  void read_index(std::uint64_t dir, bool all, const Pending* queue_from) {
    auto record = fetch_record(mft_, reader_, dir);
    if (!record) return;
    for (const auto& entry : index_root_entries(*record, scope_.dir_frns, dir, all)) {
      if (!in_time()) break;
      if (!entry.name || entry.name->empty() || is_dot_name(*entry.name)) continue;
      const std::uint64_t c = entry.record;
      if (scope_.dir_frns.contains(c)) continue;
      auto child = read_dir_record(mft_, reader_, c);
      // Links are left out here as the live walk leaves them out: a junction
      // taken from the index would be listed through to its target.
      if (!child || child->name_surrogate) continue;
      if (!child->in_use) {
        // Freed since its parent's index listed it: it lived with the
        // sequence before the one its record holds now.
        const std::uint16_t lived = child->sequence > 1 ? child->sequence - 1 : child->sequence;
        scope_.add_deleted_dir(c, DirEntry{*entry.name, dir, 0, lived, true, 0, kFoundByIndex});
        continue;
      }
      scope_.add_live_dir(c, DirEntry{*entry.name, dir, 0, child->sequence});
      if (queue_from) queue_.push_back({join_path(queue_from->path, *entry.name), c, queue_from->depth + 1});
    }
  }

  // Directories below `root` that only the MFT still places there (their
  // parents' indexes are damaged), links left out as the live walk leaves
  // them out.
  void add_from_tree(const MftDirTree& tree, std::uint64_t root) {
    std::deque<std::pair<std::uint64_t, std::uint32_t>> todo{{root, 0}};
    while (!todo.empty() && in_time()) {
      auto [dir, depth] = todo.front();
      todo.pop_front();
      auto range = tree.equal_range(dir);
      for (auto it = range.first; it != range.second; ++it) {
        const MftDir& c = it->second;
        if (c.link || c.record == dir || scope_.dir_frns.contains(c.record)) continue;
        scope_.add_live_dir(c.record, DirEntry{c.name, dir, 0, c.sequence});
        todo.emplace_back(c.record, depth + 1);
      }
    }
  }

  ScopeContext run(std::string_view folder, const FolderId& id, const ProbeRoot* known,
                   const MftDirTree* tree = nullptr) {
    const std::uint64_t root = id.record;
    scope_.root_frn = root;
    scope_.root_file_id = id.file_id;
    if (known && known->deleted) {
      // A deleted folder: nothing lives below it, and its tree is what the
      // searches find of its freed contents.
      scope_.root_deleted = true;
      scope_.dir_frns.insert(root);
      scope_.parent_match_frns.insert(root);
      scope_.dir_map[root] = known->deleted_entry;
    } else {
      scope_.add_live_dir(root, DirEntry{"", 5, 0, sequence_of(id.file_id)});
      queue_.push_back({std::string(folder), root, 0});
    }

    // A folder is queued once (its record enters the tree first), so the
    // walk ends on any tree, links and loops included.
    while (!queue_.empty() && in_time()) {
      Pending dir = std::move(queue_.front());
      queue_.pop_front();
      list_live(dir);
      read_index(dir.frn, false, &dir);
    }

    if (tree) add_from_tree(*tree, root);

    // Second pass: children of every directory found so far, all of them for
    // deleted directories (their index no longer keeps to the window).
    std::vector<std::uint64_t> dirs(scope_.dir_frns.begin(), scope_.dir_frns.end());
    for (std::uint64_t j : dirs) {
      if (!in_time()) break;
      read_index(j, scope_.deleted_dirs.contains(j), nullptr);
    }

    scope_.parent_match_frns = scope_.dir_frns;
    scope_.parent_match_frns.insert(root);
    scope_.parent_match_frns.insert(id.file_id & kRecordMask);
    scope_.parent_match_frns.insert(id.file_id);
    scope_.root_path = std::string(folder);
    scope_.root_form = known ? known->form : root_comparison_form(system_, folder);
    scope_.strict_parent = true;
    scope_.noise_flag = false;
    return std::move(scope_);
  }

 private:
  platform::Platform& system_;
  const MftContext& mft_;
  VolumeReader& reader_;
  const TimeBudget* deadline_;
  ScopeContext scope_;
  std::deque<Pending> queue_;
};

// The names below the drive of a path (E:\a\b, or \\?\E:\a\b).
std::optional<std::vector<std::string>> names_below_drive(std::string_view path) {
  if (path.starts_with("\\\\?\\")) path.remove_prefix(4);
  if (path.size() < 2 || path[1] != ':') return std::nullopt;
  std::vector<std::string> names;
  std::string cur;
  for (char c : path.substr(2)) {
    if (c == '\\' || c == '/') {
      if (!cur.empty() && cur != ".") names.push_back(cur);
      cur.clear();
    } else {
      cur.push_back(c);
    }
  }
  if (!cur.empty() && cur != ".") names.push_back(cur);
  return names;
}

constexpr std::uint64_t kRootRecord = 5;

}  // namespace

bool path_not_found(const Error& e) {
  return e.is_os(win32::ERROR_FILE_NOT_FOUND) || e.is_os(win32::ERROR_PATH_NOT_FOUND);
}

namespace {

Result<FolderId> folder_in_tree(std::string_view folder, const MftDirTree& by_parent) {
  auto wanted = names_below_drive(folder);
  if (!wanted) return fail(Error::generic("not a path on a drive", ErrorKind::invalid_input));
  FolderId id{kRootRecord, kRootRecord};
  auto root = by_parent.equal_range(kRootRecord);
  for (auto it = root.first; it != root.second; ++it)
    if (it->second.record == kRootRecord) id.file_id = kRootRecord | (std::uint64_t{it->second.sequence} << 48);
  for (const auto& name : *wanted) {
    const std::string want = comparison_form(name);
    const MftDir* found = nullptr;
    auto range = by_parent.equal_range(id.record);
    for (auto it = range.first; it != range.second; ++it) {
      if (it->second.record == id.record || comparison_form(it->second.name) != want) continue;
      if (!found || it->second.name == name) found = &it->second;  // an exact match first
    }
    if (!found) return fail(win32::error(win32::ERROR_PATH_NOT_FOUND));
    id.record = found->record;
    id.file_id = found->record | (std::uint64_t{found->sequence} << 48);
  }
  return id;
}

}  // namespace

namespace {

// The path of `folder`'s parent folder, or nothing at the drive's root.
std::optional<std::string> parent_folder(std::string_view folder) {
  auto names = names_below_drive(folder);
  if (!names || names->empty()) return std::nullopt;
  std::string_view rest = folder;
  while (!rest.empty() && (rest.back() == '\\' || rest.back() == '/')) rest.remove_suffix(1);
  auto cut = rest.find_last_of("\\/");
  if (cut == std::string_view::npos) return std::nullopt;
  return std::string(rest.substr(0, cut + 1 == 3 && rest[1] == ':' ? cut + 1 : cut));
}

// The freed (or live) folder named `name` under (parent, sequence); a freed
// one must have lived under that very parent.
const MftDir* child_named(const MftDirTree& tree, std::uint64_t parent, std::uint16_t parent_sequence,
                          bool parent_deleted, std::string_view name) {
  const std::string want = comparison_form(name);
  const MftDir* found = nullptr;
  auto range = tree.equal_range(parent);
  for (auto it = range.first; it != range.second; ++it) {
    const MftDir& c = it->second;
    if (c.record == parent || comparison_form(c.name) != want) continue;
    const bool same = c.parent_sequence == 0 || parent_sequence == 0 || c.parent_sequence == parent_sequence ||
                      (parent_deleted && static_cast<std::uint16_t>(c.parent_sequence + 1) == parent_sequence);
    if (!same || c.in_use) continue;
    if (!found || c.time > found->time) found = &c;
  }
  return found;
}

}  // namespace

Result<ProbeRoot> deleted_folder_from_mft(platform::Platform& system, std::string_view folder, const MftContext& mft,
                                          VolumeReader& reader) {
  // The nearest live ancestor, and the names below it.
  std::vector<std::string> below;
  std::string at(folder);
  Result<FolderId> live = fail(win32::error(win32::ERROR_PATH_NOT_FOUND));
  for (;;) {
    auto up = parent_folder(at);
    if (!up) return fail(win32::error(win32::ERROR_PATH_NOT_FOUND));
    auto names = names_below_drive(at);
    below.insert(below.begin(), names->back());
    at = *up;
    live = folder_frn(system, at);
    if (live) break;
    if (!path_not_found(live.error())) return fail(live.error());
  }
  const MftDirTree tree = read_dir_tree(mft, reader, DirRecords::freed_too);
  std::uint64_t parent = live->record;
  std::uint16_t parent_sequence = static_cast<std::uint16_t>(live->file_id >> 48);
  bool parent_deleted = false;
  const MftDir* found = nullptr;
  for (const auto& name : below) {
    found = child_named(tree, parent, parent_sequence, parent_deleted, name);
    if (!found) return fail(win32::error(win32::ERROR_PATH_NOT_FOUND));
    parent = found->record;
    parent_sequence = found->sequence;
    parent_deleted = true;
  }
  ProbeRoot root;
  root.path = std::string(folder);
  const std::uint16_t lived = found->sequence > 1 ? found->sequence - 1 : found->sequence;
  root.id = FolderId{found->record | (std::uint64_t{lived} << 48), found->record};
  root.form = root_comparison_form(system, folder);
  root.through_mft = true;
  root.deleted = true;
  root.deleted_entry = DirEntry{found->name, 0, found->parent_sequence, lived, true, found->time, kFoundByRecord};
  for (const auto& [p, d] : tree)
    if (&d == found) root.deleted_entry.parent = p;
  return root;
}

Result<FolderId> folder_frn_from_mft(std::string_view folder, const MftContext& mft, VolumeReader& reader) {
  return folder_in_tree(folder, read_dir_tree(mft, reader));
}

Result<ScopeContext> collect_scope(platform::Platform& system, std::string_view folder, const MftContext& mft,
                                   VolumeReader& reader, const ProbeRoot* known, const TimeBudget* deadline) {
  if (known && known->deleted) return ScopeWalk(system, mft, reader, deadline).run(folder, known->id, known);
  Result<FolderId> id = known && !known->through_mft ? Result<FolderId>(known->id) : folder_frn(system, folder);
  if (!id) {
    // The folder is found, and its tree filled in, through the MFT.
    if (!path_not_found(id.error())) return fail(id.error());
    const MftDirTree tree = read_dir_tree(mft, reader);
    auto through_mft = folder_in_tree(folder, tree);
    if (!through_mft) return fail(id.error());
    return ScopeWalk(system, mft, reader, deadline).run(folder, *through_mft, known, &tree);
  }
  return ScopeWalk(system, mft, reader, deadline).run(folder, *id, known);
}

std::optional<ScopeContext> build_scope(std::string_view folder, ProbeVolume& volume, const ProbeRoot* known,
                                        const TimeBudget* deadline) {
  if (!volume.system || !volume.reader || !volume.mft) return std::nullopt;
  auto scope = collect_scope(*volume.system, folder, *volume.mft, *volume.reader, known, deadline);
  if (!scope) return std::nullopt;
  return std::move(*scope);
}

}  // namespace quillon
