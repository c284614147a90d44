// The probed folder tree by record number: the folder as resolved, every
// folder below it (live ones from the file system, deleted ones as the
// searches find them), and the operations that place a name in it. It grows
// during a probe on the probing thread; the paged scan's workers read a
// snapshot of it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

namespace quillon::platform {
class Platform;
}

namespace quillon {

struct DirEntry {
  std::string name;          // empty for the root's own entry
  std::uint64_t parent = 0;  // parent record number (5 for the root's entry)
  // The parent's sequence number as this folder's entry recorded it; 0 when
  // unknown (a live listing does not tell it).
  std::uint16_t parent_sequence = 0;
  // This folder's sequence number while it lived (for a live folder, its
  // current one); 0 when unknown.
  std::uint16_t sequence = 0;
  bool deleted = false;
  std::uint64_t time = 0;     // a deleted folder's last modification FILETIME, 0 when unknown
  std::uint8_t found_by = 0;  // the search that found a deleted folder (kFoundBy* bits)
};

using DirMap = std::unordered_map<std::uint64_t, DirEntry>;

// A directory record no longer in use: a deleted folder that may join a tree.
struct FreedDir {
  std::uint64_t record = 0;
  DirEntry entry;
  std::uint64_t time = 0;  // its $FILE_NAME's modification FILETIME, 0 when none
};

// A freed record holding a name whose parent is not (yet) a folder of the
// tree: it is read again if that parent joins.
struct Orphan {
  std::uint64_t record = 0;
  std::uint64_t parent = 0;  // record number
};

// How an entry whose parent reference is (record, sequence) stands to the
// tree. NTFS increments a record's sequence number when it frees the record,
// while a child's reference keeps the sequence its parent had when the entry
// was made: a live folder of the tree with the same sequence is the entry's
// parent; a deleted folder whose sequence is the reference's or one past it
// is its deleted parent; a live folder with another sequence took the record
// since, and is not the entry's parent.
enum class ParentLink { outside, live, deleted, reused };

// Where a name whose parent chain cannot be followed to the root goes.
enum class LostNames { dropped, under_recov_lost };

struct ScopeContext {
  std::string root_path;
  // root_comparison_form(root_path), resolved once; empty when the scope was
  // built by hand (then containment resolves the root itself).
  std::string root_form;
  std::unordered_set<std::uint64_t> dir_frns;
  std::unordered_set<std::uint64_t> parent_match_frns;
  DirMap dir_map;
  std::unordered_set<std::uint64_t> deleted_dirs;
  // Deleted folders of the tree whose record a live folder of the tree has
  // taken since (known from the journal or the log), by record number.
  DirMap former_dirs;
  // Deleted folders seen whose parent is not (yet) in the tree, by parent
  // record number: each joins when its parent does.
  std::unordered_multimap<std::uint64_t, std::pair<std::uint64_t, DirEntry>> waiting_dirs;
  std::uint64_t root_frn = 0;      // 48-bit
  std::uint64_t root_file_id = 0;  // full 64-bit file id
  bool strict_parent = true;
  bool noise_flag = false;
  // The probed folder itself is deleted: the tree hangs from its freed record.
  bool root_deleted = false;
  // The deadline stopped the construction before every live folder was read.
  bool cut = false;
  // The file system the live folders were read from, asked whether a path
  // still exists; shared by the paged scan's workers, so it must answer from
  // any thread. Without one nothing can be asked and every path counts as
  // present (nothing is listed as deleted on a guess).
  platform::Platform* system = nullptr;

  // Whether `path` still names something on the live file system.
  bool still_present(std::string_view path) const;

  bool in_tree(std::uint64_t record) const;
  ParentLink link(std::uint64_t parent_record, std::uint16_t parent_sequence) const;
  // Adds a live folder under `entry.parent`.
  void add_live_dir(std::uint64_t record, DirEntry entry);
  // A deleted folder joins the tree when its parent is in it (and pulls in
  // every deleted folder that waited below it); otherwise it waits for its
  // parent. Returns the records that joined, in joining order.
  std::vector<std::uint64_t> add_deleted_dir(std::uint64_t record, DirEntry entry);
  // The full path of `name` under (parent, sequence), following the tree to
  // the root; a chain that breaks (an unknown folder, a record reused since)
  // gives nothing, or with `lost` a path under <root>\$RecovLost\<parent as
  // 16 hex digits>\ when the chain breaks at a folder record of the tree
  // that another folder has taken since.
  std::optional<std::string> path_of(std::string_view name, std::uint64_t parent, std::uint16_t parent_sequence,
                                     LostNames lost) const;
  // The path of a folder of the tree (the root's own path for the root).
  std::optional<std::string> dir_path(std::uint64_t record) const;
};

// The key under which one item is listed once: "{frn}|{path}", the path's
// bytes as they are.
std::string item_key(std::uint64_t frn, std::string_view path);

}  // namespace quillon
