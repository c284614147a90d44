#include "engine/windows/usn_deleted.h"

#include <algorithm>
#include <array>
#include <memory>

#include "common/text.h"
#include "datasource/windows/volume.h"
#include "engine/windows/ntfs_deleted.h"
#include "engine/windows/ntfs_deleted_eval.h"
#include "engine/windows/recycle.h"

namespace quillon {

namespace {

constexpr std::uint32_t kReasonFileDelete = 0x200;
constexpr std::uint32_t kReasonDeleteOrRename = 0x3200;  // delete, rename old name, rename new name
constexpr std::uint32_t kReasonClose = 0x80000000;
constexpr std::uint32_t kReasonOtherThanClose = 0x7FFFCDFF;

bool has_separator(std::string_view name) { return name.find_first_of("\\/") != std::string_view::npos; }

// A name that carries separators: slashes unified to backslashes; a name
// that starts with a drive letter and a colon is a path of its own, any
// other is taken below the root.
std::string path_from_separated_name(std::string_view root, std::string_view name) {
  std::string n(name);
  std::replace(n.begin(), n.end(), '/', '\\');
  if (n.size() > 1 && n[1] == ':') return n;
  return join_path(root, n);
}

bool near_folder(const UsnScope& scope, std::uint64_t frn) {
  std::uint64_t d = frn > scope.folder_record() ? frn - scope.folder_record() : scope.folder_record() - frn;
  return d <= kUsnProximity;
}

bool in_dir_frns(const UsnScope& scope, std::uint64_t parent) {
  return scope.dir_frns().contains(parent);
}

// The parent puts the record inside the scope: the folder itself, any
// parent in whole-volume mode, or a directory of the tree.
bool parent_in_scope(const UsnScope& scope, std::uint64_t parent) {
  return is_folder_parent(scope, parent) || scope.whole_volume || in_dir_frns(scope, parent);
}

std::uint16_t sequence_of(std::uint64_t reference) { return static_cast<std::uint16_t>(reference >> 48); }

bool is_folder_delete(const UsnEntry& e) {
  return (e.reason & kReasonFileDelete) && (e.attributes & kUsnAttributeDirectory);
}

// A deleted folder the journal names under a folder of the tree joins it.
void join_tree(const UsnScope& scope, const UsnEntry& e) {
  if (!scope.tree || !is_folder_delete(e) || has_separator(e.name)) return;
  DirEntry entry{e.name, e.parent, sequence_of(e.parent_reference), sequence_of(e.file_reference), true, 0,
                 kFoundByJournal};
  scope.tree->add_deleted_dir(e.frn, std::move(entry));
}

// The record's parent is a deleted folder of the tree: its deletion belongs
// to the folder's, wherever its record number lies.
bool under_deleted_folder(const UsnScope& scope, const UsnEntry& e) {
  return scope.tree && scope.tree->deleted_dirs.contains(e.parent);
}

// The name goes into names_by_frn under `frn` (its last component, unless
// the noise filter drops it). New record numbers are admitted only below
// the cap. The record's full file reference is kept beside the name when it
// carries a sequence number.
void insert_hint(UsnHints& hints, const UsnEntry& e, bool whole_volume) {
  std::size_t cap = whole_volume ? kUsnHintCapWholeVolume : kUsnHintCap;
  if (hints.names_by_frn.size() >= cap && !hints.names_by_frn.contains(e.frn)) return;
  std::string_view name = e.name;
  std::string_view last = name;
  if (auto cut = name.find_last_of("\\/"); cut != std::string_view::npos && cut + 1 < name.size())
    last = name.substr(cut + 1);
  if (!noise_filter(last, whole_volume)) return;
  hints.names_by_frn[e.frn].insert(std::string(last));
  if ((e.file_reference >> 48) != 0) hints.reference_by_frn[e.frn] = e.file_reference;
}

void insert_hint_with_parent(UsnHints& hints, const UsnEntry& e, std::uint64_t parent, bool whole_volume) {
  insert_hint(hints, e, whole_volume);
  if (hints.names_by_frn.contains(e.frn)) hints.parent_by_frn[e.frn] = parent;
}

std::string entry_path(const UsnEntry& e, const UsnScope& scope) {
  if (has_separator(e.name)) return path_from_separated_name(scope.root(), e.name);
  if (scope.tree)
    if (auto p = scope.tree->path_of(e.name, e.parent, sequence_of(e.parent_reference), LostNames::under_recov_lost))
      return *p;
  if (!scope.dir_map().empty()) {
    if (auto p = rebuild_path(e.name, e.parent, scope.root(), scope.folder_record(), scope.dir_map(), false)) return *p;
    if (auto p = rebuild_path(e.name, e.parent, scope.root(), scope.folder_record(), scope.dir_map(), scope.whole_volume))
      return *p;
  }
  return join_path(scope.root(), e.name);
}

// Journal evidence is not proof of a deletion: renames and closes of files
// that still live carry the same reasons. A record whose full reference
// still opens (same record, same sequence) names a live file.
bool still_alive(const UsnEntry& e, const UsnContext& ctx) {
  if (!ctx.live_handle || (e.file_reference >> 48) == 0) return false;
  auto alive = ctx.live_handle->reference_alive(e.file_reference);
  if (alive) return *alive;
  return liveness_when_refused(alive.error(), (e.reason & kReasonFileDelete) != 0);
}

std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) { return b > UINT64_MAX - a ? UINT64_MAX : a + b; }

// The delete records set aside for want of their parent, once the journal's
// deleted folders have joined the tree: the folders first (each pulls in the
// ones below it), then every record whose parent is now in the tree.
std::uint64_t place_deferred(const UsnScope& scope, const std::vector<UsnEntry>& deferred, UsnSearchResult& result,
                             std::unordered_set<std::string>& seen_keys, platform::FileHandle* live_handle) {
  if (deferred.empty()) return 0;
  for (const auto& e : deferred) join_tree(scope, e);
  std::unordered_set<std::uint64_t> pending;
  UsnContext ctx{scope, result.items, seen_keys, result.hints, pending, live_handle, nullptr};
  std::uint64_t added = 0;
  for (const auto& e : deferred)
    if (parent_in_scope(scope, e.parent) && accept_usn_entry(e, ctx)) ++added;
  return added;
}

}  // namespace

bool liveness_when_refused(const Error& error, bool deleted_evidence) {
  // Access denied: a file closed to us lives; one deleted while another
  // handle held it open (delete pending) answers the same way, so the
  // evidence of a deletion decides. So it does for a record the file system
  // finds corrupt: a damaged record is no evidence of a deletion.
  if (error.is_os(win32::ERROR_ACCESS_DENIED) || error.is_os(win32::ERROR_FILE_CORRUPT)) return !deleted_evidence;
  return false;
}

// Containment in the probed folder: a string test once the root is resolved.
static bool in_root(const UsnScope& scope, std::string_view path) {
  return inside_root_form(path, scope.root_form().empty() ? comparison_form(scope.root()) : scope.root_form());
}

bool is_delete_like(std::uint32_t reason) {
  if (reason & kReasonDeleteOrRename) return true;
  return (reason & kReasonClose) && (reason & kReasonOtherThanClose);
}

bool is_folder_parent(const UsnScope& scope, std::uint64_t parent) {
  return parent == scope.folder_record() || parent == scope.folder_id() || parent == (scope.folder_id() & kRecordMask);
}

bool has_document_extension(std::string_view name) {
  static constexpr std::array<std::string_view, 32> kEndings{
      ".txt", ".md",  ".pdf", ".doc", ".docx", ".xls", ".xlsx", ".ppt", ".pptx", ".zip", ".rar",
      ".7z",  ".png", ".jpg", ".jpeg", ".gif", ".webp", ".bmp", ".csv", ".xml",  ".html", ".htm",
      ".cfg", ".ini", ".log", ".bak", ".sql",  ".db",  ".mp3", ".mp4", ".mkv",  ".avi"};
  if (!noise_filter(name, false)) return false;
  std::string lower = ascii_lower(name);
  return std::any_of(kEndings.begin(), kEndings.end(), [&](std::string_view e) { return lower.ends_with(e); });
}

bool accept_usn_entry(const UsnEntry& e, UsnContext& ctx) {
  const UsnScope& scope = ctx.scope;
  const bool pending = !ctx.pending_v4.empty() && ctx.pending_v4.contains(e.frn);
  if (!is_delete_like(e.reason) && !pending) return false;
  if (e.frn == scope.folder_record() || e.name.empty()) return false;

  std::string path = entry_path(e, scope);
  if (!in_root(scope, path)) return false;
  // The names the MFT side hides as build or cache files are hidden here too.
  if (auto leaf = last_component(path); leaf && !noise_filter(*leaf, scope.whole_volume)) return false;

  if (e.parent == 0) {
    if (!pending) return false;
  } else if (!is_folder_parent(scope, e.parent) && !scope.whole_volume) {
    bool ok = scope.dir_frns().contains(e.parent) || pending;
    if (!ok) return false;
  }

  std::string key = item_key(e.frn, path);
  if (!ctx.seen_keys.insert(key).second) return false;
  insert_hint(ctx.hints, e, scope.whole_volume);
  if (pending) ctx.pending_v4.erase(e.frn);

  if (still_alive(e, ctx)) return false;

  DeletedItem item;
  item.frn = e.frn;
  item.parent_frn = e.parent;
  item.parent_sequence = sequence_of(e.parent_reference);
  item.path = std::move(path);
  item.size = 0;
  item.folder = (e.attributes & kUsnAttributeDirectory) != 0;
  ctx.items.push_back(std::move(item));
  return true;
}

std::uint64_t process_usn_buffer(Bytes records, UsnContext& ctx) {
  const UsnScope& scope = ctx.scope;
  std::uint64_t added = 0;
  walk_records(records, [&](const UsnEntry& e) {
    // Ends of names, with their times and references, for the item facts.
    if ((e.reason & (kUsnReasonFileDelete | kUsnReasonRenameOldName)) && !e.name.empty() && e.parent != 0 &&
        parent_in_scope(scope, e.parent))
      note_deletion(ctx.hints, {e.file_reference, e.parent, e.timestamp, e.attributes, e.name, e.reason});
    const bool delete_like = is_delete_like(e.reason);
    if (e.name.empty()) {
      if (delete_like && (e.parent == 0 || parent_in_scope(scope, e.parent))) ctx.pending_v4.insert(e.frn);
      return;
    }
    // A delete under a folder not (yet) in the tree waits for the journal's
    // deleted folders: rm -rf and Explorer delete a folder's children first.
    if (ctx.deferred && (e.reason & kReasonFileDelete) && e.parent != 0 && !has_separator(e.name) &&
        !parent_in_scope(scope, e.parent)) {
      if (ctx.deferred->size() < kMaxDeferredDeletes) ctx.deferred->push_back(e);
      return;
    }
    join_tree(scope, e);
    // In folder mode a record far from the folder's own record number is
    // dismissed here, before any path work, unless it names an FRN that a
    // nameless delete record left pending, or lay in a deleted folder.
    if (!scope.whole_volume && !near_folder(scope, e.frn) && !under_deleted_folder(scope, e) &&
        !is_folder_delete(e)) {
      if (ctx.pending_v4.contains(e.frn) && accept_usn_entry(e, ctx)) ++added;
      return;
    }
    if (delete_like) {
      if (has_separator(e.name)) {
        std::string path = path_from_separated_name(scope.root(), e.name);
        if (in_root(scope, path) && e.parent != 0 && parent_in_scope(scope, e.parent))
          insert_hint_with_parent(ctx.hints, e, e.parent, scope.whole_volume);
      } else if (noise_filter(e.name, scope.whole_volume)) {
        if (e.parent == 0) {
          if (has_document_extension(e.name))
            insert_hint_with_parent(ctx.hints, e, scope.folder_record(), scope.whole_volume);
        } else if (parent_in_scope(scope, e.parent)) {
          insert_hint_with_parent(ctx.hints, e, e.parent, scope.whole_volume);
        }
        // A record that names its own parent outside the scope leaves no
        // hint, however close its record number is to the folder's: on a
        // real volume those are the renames and deletions of neighbouring
        // folders, and a hint would let a later phase place them here.
      }
    }
    if (accept_usn_entry(e, ctx)) ++added;
  });
  return added;
}

namespace {

// One search's state across its passes: what they found, the keys already
// listed, the FRNs only nameless records named, and the delete records kept
// for a second look.
class JournalSearch {
 public:
  JournalSearch(const UsnScope& scope, ProbeVolume& volume, VolumeReader& reader)
      : scope_(scope), volume_(volume), reader_(reader) {
    if (auto h = volume.system->open_path(scope.root())) folder_ = std::move(*h);
  }

  // Where liveness is asked: the folder, or, when its path does not open (a
  // damaged index on the way, or the folder itself gone), the volume's root.
  // OpenFileById only takes the handle for its volume, so either answers
  // alike; without any, a live file would pass for a deleted one.
  platform::FileHandle* liveness() const { return folder_ ? folder_.get() : volume_.live.get(); }

  UsnSearchResult run() {
    auto journal = query_journal(reader_);
    if (journal) {
      result_.first_usn = journal->first_usn;
      result_.next_usn = journal->next_usn;
      if (journal->next_usn > journal->first_usn) result_.read_count = read_pass(*journal);
    }
    enum_pass(journal ? journal->next_usn : kUsnEnumNoHighLimit);
    std::optional<UsnJournalInfo> second = journal ? std::optional(*journal) : std::nullopt;
    if (!journal) {
      if (auto q = query_journal(reader_))
        second = *q;
      else
        result_.read_error = q.error();
    }
    if (second && second->next_usn > second->first_usn)
      result_.read_count = saturating_add(result_.read_count, read_pass(*second));
    result_.read_count =
        saturating_add(result_.read_count, place_deferred(scope_, deferred_, result_, seen_keys_, liveness()));
    confirm_unpaired();
    return std::move(result_);
  }

 private:
  UsnContext context(std::unordered_set<std::uint64_t>& pending) {
    return UsnContext{scope_,  result_.items, seen_keys_, result_.hints,
                      pending, liveness(),     scope_.tree ? &deferred_ : nullptr};
  }

  std::uint64_t read_pass(const UsnJournalInfo& journal) {
    std::unordered_set<std::uint64_t> pending;
    UsnContext ctx = context(pending);
    auto n = read_journal(reader_, journal, recent_window_start(journal),
                          [&](Bytes records) { return process_usn_buffer(records, ctx); });
    if (!n) {
      result_.read_error = n.error();
      return 0;
    }
    unpaired_v4_.insert(pending.begin(), pending.end());
    return *n;
  }

  void enum_pass(std::int64_t high_usn) {
    std::unordered_set<std::uint64_t> pending;
    UsnContext ctx = context(pending);
    std::uint64_t added = 0;
    auto r = enumerate_records(reader_, scope_.folder_record(), scope_.whole_volume, high_usn, [&](Bytes records) {
      std::uint64_t n = process_usn_buffer(records, ctx);
      added += n;
      return n;
    });
    result_.enum_count = r ? added : 0;
    if (!r) result_.enum_error = r.error();
  }

  // The FRNs that only nameless records named are looked up in the MFT.
  void confirm_unpaired() {
    if (unpaired_v4_.empty() || !volume_.mft) return;
    std::vector<std::uint64_t> records(unpaired_v4_.begin(), unpaired_v4_.end());
    ScanContext ctx = scan_context_over(*scope_.folder);
    ctx.live = volume_.live;
    ctx.hints = std::make_shared<UsnHints>(result_.hints);
    for (auto& item : confirm_frns_in_mft(reader_, volume_.mft->geometry, records, ctx)) {
      if (!seen_keys_.insert(item_key(item.frn, item.path)).second) continue;
      result_.items.push_back(std::move(item));
      result_.read_count = saturating_add(result_.read_count, 1);
    }
  }

  const UsnScope& scope_;
  ProbeVolume& volume_;
  VolumeReader& reader_;
  std::unique_ptr<platform::FileHandle> folder_;
  UsnSearchResult result_;
  std::unordered_set<std::string> seen_keys_;
  std::unordered_set<std::uint64_t> unpaired_v4_;
  std::vector<UsnEntry> deferred_;
};

}  // namespace

ScopeContext folder_alone(platform::Platform& system, std::string_view root, std::string root_form,
                          const FolderId& id) {
  ScopeContext t;
  t.system = &system;
  t.root_path = std::string(root);
  t.root_form = std::move(root_form);
  t.root_frn = id.record;
  t.root_file_id = id.file_id;
  t.dir_frns = {id.record};
  t.parent_match_frns = {id.record, id.file_id & kRecordMask, id.file_id};
  return t;
}

Result<UsnSearchResult> find_deleted_via_usn(const UsnScope& scope) {
  if (!scope.folder) return fail(Error::generic("the journal search has no folder"));
  if (!scope.volume || !scope.volume->system) return fail(Error::generic("the journal search has no volume"));
  ProbeVolume& volume = *scope.volume;
  if (!drive_letter_of(*volume.system, scope.root())) return UsnSearchResult{};
  if (!volume.reader) return fail(volume.reader.error());
  return JournalSearch(scope, volume, *volume.reader).run();
}

namespace {

// One journal record as the debug query counts it. Each record stands on its
// own: a fresh list, key set and hints, but the query's pending V4 set, so
// that a name can pair a nameless record.
void count_debug_record(const UsnEntry& e, const UsnScope& scope, platform::FileHandle* folder,
                        std::unordered_set<std::uint64_t>& pending, UsnDebugReport& report) {
  const bool delete_like = is_delete_like(e.reason);
  if (e.name.empty()) {
    if (delete_like && e.parent != 0 && is_folder_parent(scope, e.parent)) {
      pending.insert(e.frn);
      ++report.v4_matched;
    }
    return;
  }
  if (delete_like) ++report.delete_reason;
  if (e.parent != 0 && is_folder_parent(scope, e.parent)) {
    ++report.parent_match;
    std::string test_path;
    if (has_separator(e.name)) {
      test_path = e.name;
      std::replace(test_path.begin(), test_path.end(), '/', '\\');
    } else {
      test_path = join_path(scope.root(), e.name);
    }
    if (in_root(scope, test_path)) ++report.under_root;
  }
  std::vector<DeletedItem> items;
  std::unordered_set<std::string> seen;
  UsnHints hints;
  UsnContext ctx{scope, items, seen, hints, pending, folder};
  if (accept_usn_entry(e, ctx)) ++report.accepted;
  ++report.parsed;
}

}  // namespace

Result<UsnDebugReport> usn_debug_query(platform::Platform& system, std::string_view path) {
  auto id = folder_frn(system, path);
  if (!id) return fail(id.error());
  UsnDebugReport report;
  report.dir_record = id->record;
  report.dir_ref = id->file_id;

  auto letter = drive_letter_of(system, path);
  if (!letter) return report;
  auto volume = open_volume(system, *letter);
  if (!volume) return fail(volume.error());
  auto journal = query_journal(*volume);
  if (!journal) return fail(journal.error());
  report.first_usn = journal->first_usn;
  report.next_usn = journal->next_usn;
  if (journal->next_usn <= journal->first_usn) return report;

  std::unique_ptr<platform::FileHandle> folder;
  if (auto h = system.open_path(path)) folder = std::move(*h);

  const ScopeContext alone = folder_alone(system, path, root_comparison_form(system, path), *id);
  UsnScope scope;
  scope.folder = &alone;
  std::unordered_set<std::uint64_t> pending;
  auto r = read_journal(*volume, *journal, recent_window_start(*journal), [&](Bytes records) -> std::uint64_t {
    walk_records(records, [&](const UsnEntry& e) { count_debug_record(e, scope, folder.get(), pending, report); });
    return 0;
  });
  if (!r) return fail(r.error());
  report.unpaired_v4 = pending.size();
  return report;
}

}  // namespace quillon
