#include "engine/windows/ntfs_deleted_eval.h"

#include <algorithm>
#include <unordered_set>

#include "engine/windows/ntfs_deleted.h"
#include "engine/windows/ntfs_deleted_names.h"
#include "engine/windows/recycle.h"
#include "platform/platform.h"

namespace quillon {

namespace {

bool in_set(const FrnSet& set, std::uint64_t frn) { return set.contains(frn & kRecordMask) || set.contains(frn); }

// The record's names under folders of the tree. A record in use names its
// current parents, so only live folders of the tree count for it; a freed
// record's names also stand under deleted folders and under folder records
// reused since (placed apart, see item_in_tree).
std::vector<FileNameEntry> names_in_scope(const RecordView& view, const ScopeContext& scope, bool in_use,
                                          bool include_in_use) {
  const FrnSet& parents = scope.parent_match_frns;
  auto names = view.names_under(parents);
  if (names.empty() && include_in_use) names = names_by_parent(view.own_names(), parents, false);
  if (in_use)
    std::erase_if(names, [&](const FileNameEntry& n) {
      return scope.link(n.parent, n.parent_sequence) != ParentLink::live;
    });
  return names;
}

bool some_path_gone(const std::vector<FileNameEntry>& names, std::uint64_t frn, const ScanContext& ctx) {
  for (const auto& n : names) {
    auto item = item_in_tree(*ctx.scope, n, frn, LostNames::dropped);
    if (item && !ctx.scope->still_present(item->path)) return true;
  }
  return false;
}

// The record itself holds `name` under a folder outside the scope: that is
// where the file of that name lived (or lives), so a hint that places the
// name in the folder is contradicted. (A journal hint for a record near the
// folder's own record is attributed to the folder; the record knows better.)
bool named_elsewhere(const RecordView& view, const std::string& name, const FrnSet& parents) {
  for (const auto& [parent, own] : view.own_names())
    if (own == name && !in_set(parents, parent)) return true;
  return false;
}

// A record reused by another file since the journal saw it: the deleted
// file is listed from the journal's evidence alone (the caller's name and
// parent, else every journal name under the journal's parent), and only
// where its path is gone from the live file system.
std::vector<DeletedItem> reused_record_items(std::uint64_t frn, const ScanContext& ctx, const RecordHint* hint,
                                             const std::set<std::string>* journal_names) {
  const FrnSet& parents = ctx.parents();
  std::vector<FileNameEntry> names;
  if (hint && hint->use_parent && hint->name && in_set(parents, hint->parent))
    names.push_back(FileNameEntry{*hint->name, hint->parent & kRecordMask, 0, 0});
  if (names.empty() && journal_names && ctx.hints) {
    auto parent = ctx.hints->parent_by_frn.find(frn);
    if (parent != ctx.hints->parent_by_frn.end() && in_set(parents, parent->second))
      for (const auto& name : *journal_names)
        if (noise_filter(name, false)) names.push_back(FileNameEntry{name, parent->second & kRecordMask, 0, 0});
  }
  if (names.empty()) return {};
  return build_in_use_items(names, frn, *ctx.scope);
}

// An in-use record whose reference still opens by id is a live file. An
// unanswered query (no handle, an error) leaves the judgement to the paths.
bool opens_by_id(const RecordView& view, std::uint64_t frn, const ScanContext& ctx) {
  if (!ctx.live) return false;
  const auto& seq = view.sequence;
  if (!seq || *seq == 0) return false;
  auto alive = ctx.live->reference_alive(frn | (std::uint64_t{*seq} << 48));
  return alive && *alive;
}

}  // namespace

ScanContext scan_context_for(const ScopeContext& scope) {
  ScanContext ctx;
  ctx.scope = std::make_shared<const ScopeContext>(scope);
  return ctx;
}

ScanContext scan_context_over(const ScopeContext& scope) {
  ScanContext ctx;
  ctx.scope = std::shared_ptr<const ScopeContext>(std::shared_ptr<void>(), &scope);
  return ctx;
}

std::optional<FreedDir> freed_dir_of(Bytes record, std::uint64_t record_number) {
  auto flags = record_flags(record);
  if (!flags || (*flags & kRecordInUse) || !(*flags & kRecordDirectory)) return std::nullopt;
  if (u64_at(record, 0x20).value_or(1) != 0) return std::nullopt;  // an extension record
  const RecordView view = view_record(record);
  if (view.names.empty() || view.names.front().name.empty()) return std::nullopt;
  const FileNameEntry& n = view.names.front();
  DirEntry entry{n.name, n.parent & kRecordMask, n.parent_sequence, 0, true};
  // NTFS increments the sequence number when it frees a record: the folder
  // lived with the one before.
  if (view.sequence && *view.sequence > 1) entry.sequence = static_cast<std::uint16_t>(*view.sequence - 1);
  return FreedDir{record_number & kRecordMask, std::move(entry), n.time};
}

std::vector<DeletedItem> evaluate_record(Bytes record, std::uint64_t record_number, const ScanContext& ctx,
                                         EvalFlags how, const RecordHint* hint, PassedOver* passed) {
  const std::uint64_t frn = record_number & kRecordMask;
  const bool hinted = hint != nullptr;  // the branch below may drop the hint
  auto flags = record_flags(record);  // "FILE" and at least 24 bytes
  if (!flags || (*flags & kRecordDirectory)) return {};
  const bool in_use = (*flags & kRecordInUse) != 0;
  const FrnSet& parents = ctx.parents();
  const UsnHints* hints = ctx.hints.get();
  const std::set<std::string>* journal_names = nullptr;
  if (hints)
    if (auto it = hints->names_by_frn.find(frn); it != hints->names_by_frn.end()) journal_names = &it->second;

  // The journal's file reference against the record's own sequence number.
  // In use with the same number, the record still holds the file the journal
  // named: it was renamed or moved and lives, so the journal's names say
  // nothing here and the record is judged like any live one. In use with
  // another number, the record was reused by another file: its own names are
  // that file's, and only the journal's name under the journal's parent can
  // stand for the deleted one.
  const std::uint16_t journal_sequence = hint && hint->sequence ? hint->sequence
                                         : hints                ? hinted_sequence(*hints, frn)
                                                                : 0;
  if (in_use && journal_sequence != 0) {
    const auto sequence = record_sequence(record);
    if (sequence && *sequence == journal_sequence) {
      journal_names = nullptr;
      hint = nullptr;
    } else if (sequence) {
      return reused_record_items(frn, ctx, hint, journal_names);
    }
  }

  // A record in use that the journal did not name yields nothing without a
  // name in scope, whatever the file system says of it: decided before the
  // query by id, which most records of a band around the folder never need,
  // and, for one no name of which stands under a folder of the tree, before
  // its names are decoded.
  // Asked to say so, the names' parents are gathered in the same one walk.
  if (in_use && !journal_names && !how.include_in_use) {
    const bool noted = passed && !hinted;
    bool in_tree;
    if (noted) {
      passed->parents.clear();
      append_name_parents(record, passed->parents);
      in_tree = std::any_of(passed->parents.begin(), passed->parents.end(),
                            [&](std::uint64_t p) { return parents.contains(p); });
    } else {
      in_tree = names_parent_in(record, parents);
    }
    if (!in_tree) {
      if (noted) passed->outside_tree = true;
      return {};
    }
  }
  const RecordView view = view_record(record);  // every walk below reads this
  std::vector<FileNameEntry> live_names;
  if (in_use && !journal_names) {
    live_names = names_in_scope(view, *ctx.scope, in_use, how.include_in_use);
    if (live_names.empty()) return {};
  }

  // A record the file system still opens is its own names' live file; only
  // a name the journal or a hint gives it and it no longer holds can be gone.
  const bool alive = in_use && opens_by_id(view, frn, ctx);
  if (alive && !journal_names) return {};

  // A live record the journal did not name must look gone or empty first.
  if (!journal_names && in_use) {
    const auto& names = live_names;
    if (!(how.verify_live && some_path_gone(names, frn, ctx))) {
      bool sized = std::any_of(names.begin(), names.end(), [](const FileNameEntry& n) { return n.size != 0; });
      if (sized && !view.resident_data_empty) return {};
    }
  }

  auto names = names_in_scope(view, *ctx.scope, in_use, how.include_in_use);
  if (names.empty() && hint && hint->use_parent && hint->name && in_set(parents, hint->parent) &&
      !named_elsewhere(view, *hint->name, parents))
    names.push_back(FileNameEntry{*hint->name, hint->parent & kRecordMask, 0, 0});
  if (journal_names) {
    for (auto& [parent, name] : view.own_names()) {
      if (!journal_names->contains(name) || !in_set(parents, parent) || !noise_filter(name, false)) continue;
      bool listed = std::any_of(names.begin(), names.end(),
                                [&](const FileNameEntry& e) { return e.name == name && e.parent == parent; });
      if (!listed) names.push_back(FileNameEntry{name, parent, 0, 0});
    }
  }
  if (alive) {
    // The record's own names are the live file's.
    const auto own = view.own_names();
    std::erase_if(names, [&](const FileNameEntry& e) {
      return std::any_of(own.begin(), own.end(), [&](const auto& o) {
        return (o.first & kRecordMask) == (e.parent & kRecordMask) && o.second == e.name;
      });
    });
  }
  if (names.empty()) return {};

  names = finish_names(std::move(names), frn, hints, false);
  if (!in_use)
    return build_deleted_items(names, frn, *ctx.scope,
                               how.follow_parent_chain ? LostNames::under_recov_lost : LostNames::dropped);
  return build_in_use_items(names, frn, *ctx.scope);
}

PageYield scan_record_buffer(std::span<std::byte> buffer, std::uint64_t first_record, std::uint32_t record_size,
                             const ScanContext& ctx) {
  PageYield out;
  if (record_size == 0) return out;
  const std::uint64_t count = buffer.size() / record_size;
  for (std::uint64_t i = 0; i < count; ++i) {
    const std::uint64_t number = first_record + i;
    if (ctx.skip && ctx.skip->contains(number)) continue;
    ++out.records_scanned;
    auto record = buffer.subspan(static_cast<std::size_t>(i * record_size), record_size);
    // The signature and the in-use flag lie in the first stride, which
    // fixups never change: both are judged before any fixup, and only the
    // records evaluated get theirs.
    if (!has_record_signature(record)) continue;
    bool verify_live = false;
    if (record_in_use(record)) {  // also a "BAAD" record
      const bool known = ctx.hints && ctx.hints->names_by_frn.contains(number & kRecordMask);
      if (!known && !ctx.include_in_use) continue;
      verify_live = ctx.include_in_use || !known;
    }
    if (ntfs::misplaced_record(record, number)) continue;  // another record's, put here by damaged runs
    apply_record_fixups(record);
    if (!verify_live && !record_in_use(record)) {
      if (auto dir = freed_dir_of(record, number)) {
        out.freed_dirs.push_back(std::move(*dir));
        continue;
      }
    }
    auto items = evaluate_record(record, number, ctx, ctx.flags(verify_live));
    if (items.empty() && !record_in_use(record)) collect_orphans(record, number, *ctx.scope, out.orphans);
    for (auto& item : items) out.items.push_back(std::move(item));
  }
  return out;
}

void collect_orphans(Bytes record, std::uint64_t record_number, const ScopeContext& scope, std::vector<Orphan>& out) {
  auto flags = record_flags(record);
  if (!flags || (*flags & (kRecordInUse | kRecordDirectory))) return;
  for (const auto& n : view_record(record).names)
    if (!scope.in_tree(n.parent)) out.push_back(Orphan{record_number & kRecordMask, n.parent & kRecordMask});
}

std::optional<std::vector<DeletedItem>> evaluate_record_at(VolumeReader& reader, std::uint64_t record_number,
                                                           const ScanContext& ctx, EvalFlags how,
                                                           const RecordHint* hint) {
  auto record = read_record_raw(ctx.geometry, reader, record_number & kRecordMask);
  if (!record) return std::nullopt;
  auto items = evaluate_record(*record, record_number, ctx, how, hint);
  if (items.empty()) return std::nullopt;
  return items;
}

std::vector<DeletedItem> confirm_frns_in_mft(VolumeReader& reader, const MftGeometry& geometry,
                                             std::span<const std::uint64_t> records, const ScanContext& ctx) {
  const ScopeContext& scope = *ctx.scope;
  std::vector<DeletedItem> out;
  std::unordered_set<std::string> seen;
  for (std::uint64_t number : records) {
    if (number > kRecordMask) continue;  // sequence bits: no such record offset
    auto record = read_record_raw(geometry, reader, number);
    if (!record) continue;
    for (auto& item : evaluate_record(*record, number, ctx, EvalFlags{})) {
      if (!scope_contains(scope, item.path)) continue;
      if (!seen.insert(item_key(item.frn, item.path)).second) continue;
      out.push_back(std::move(item));
    }
  }
  return out;
}

}  // namespace quillon
