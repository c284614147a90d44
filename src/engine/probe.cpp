#include "engine/probe.h"

#include <unordered_map>
#include <unordered_set>

#include "common/text.h"
#include "datasource/windows/volume.h"
#include "engine/item_facts.h"
#include "engine/phased_scan.h"
#include "engine/scan_options.h"
#include "engine/windows/mft_audit_line.h"
#include "engine/windows/ntfs_deleted.h"
#include "engine/windows/ntfs_paged_early.h"
#include "engine/windows/probe_volume.h"
#include "engine/windows/recycle.h"
#include "engine/windows/scan_session.h"
#include "engine/windows/scope_build.h"
#include "engine/windows/usn_deleted.h"

namespace quillon {

namespace {

// The probed folder's id and comparison form. A folder whose path the file
// system cannot open (a damaged index on the way) is looked up in the MFT.
Result<ProbeRoot> locate_root(std::string_view folder, ProbeVolume& volume, const Progress& progress) {
  platform::Platform& system = *volume.system;
  ProbeRoot root;
  root.path = std::string(folder);
  auto id = folder_frn(system, folder);
  if (!id) {
    std::optional<FolderId> found;
    if (!path_not_found(id.error())) return fail(id.error().with_context("Cannot locate directory"));
    if (volume.reader && volume.mft)
      if (auto m = folder_frn_from_mft(folder, *volume.mft, *volume.reader)) found = *m;
    if (!found && volume.reader && volume.mft)
      if (auto gone = deleted_folder_from_mft(system, folder, *volume.mft, *volume.reader)) return gone;
    if (!found) return fail(id.error().with_context("Cannot locate directory"));
    progress.step("Directory not reachable through its parents' indexes (damaged); located through the MFT");
    id = *found;
    root.through_mft = true;
  }
  root.id = *id;
  root.form = root_comparison_form(system, folder);
  return root;
}

// The journal's search over the scope (the folder alone when no scope could
// be built); its items inside the scope start the result.
UsnSearchResult search_journal(const ProbeRoot& root, ScopeContext* scope, ProbeVolume& volume,
                               std::vector<DeletedItem>& result, std::unordered_set<std::string>& keys) {
  const ScopeContext alone = scope ? ScopeContext{} : folder_alone(*volume.system, root.path, root.form, root.id);
  UsnScope usn_scope;
  usn_scope.folder = scope ? scope : &alone;
  usn_scope.volume = &volume;
  usn_scope.tree = scope;
  usn_scope.whole_volume = false;

  UsnSearchResult usn;
  if (auto found = find_deleted_via_usn(usn_scope)) {
    usn = std::move(*found);
  } else {
    usn.failure = found.error();
  }
  for (auto& item : usn.items) {
    item.sources |= kFoundByJournal;
    bool accept = scope ? strict_parent_check(*scope, item) : inside_root_form(item.path, root.form);
    if (accept) merge_item(result, keys, std::move(item));
  }
  usn.items.clear();
  return usn;
}

// The MFT's items after the journal's. A journal item carries neither size
// nor time; when the MFT side finds the same FRN under the same path, its
// record supplies them (the item keeps its place, so the merge order is
// unchanged).
void merge_mft_items(std::vector<DeletedItem>& result, std::unordered_set<std::string>& keys,
                     std::vector<DeletedItem> items) {
  std::unordered_map<std::string, std::size_t> journal_made;
  for (std::size_t i = 0; i < result.size(); ++i)
    if (!result[i].time) journal_made.emplace(merge_key(result[i]), i);
  for (auto& item : items) {
    auto key = merge_key(item);
    if (auto it = journal_made.find(key); it != journal_made.end() && item.time) {
      result[it->second].size = item.size;
      result[it->second].time = item.time;
      result[it->second].sources |= item.sources;
      journal_made.erase(it);
      continue;
    }
    merge_item(result, keys, std::move(item));
  }
}

// The MFT half, on the probe's volume within what is left of its deadline:
// one session over the scope (collected from the MFT when the probe could
// not build it) with the journal's hints.
ScanResult search_mft(std::optional<ScopeContext>& scope, std::string_view folder, ProbeVolume& volume,
                      const TimeBudget& deadline, const UsnHints& hints, const Progress& progress,
                      EarlyReads& early) {
  if (!volume.reader) return fail(volume.reader.error());
  if (!volume.mft) return fail(volume.mft.error());
  if (!scope) {
    progress.step("Building directory FRN mapping table...");
    auto collected = collect_scope(*volume.system, folder, *volume.mft, *volume.reader, nullptr, &deadline);
    if (!collected) return fail(collected.error());
    scope = std::move(*collected);
  }
  const ScanOptions options = standard_scan_options();
  ScanSession session(*scope, *volume.reader, *volume.mft, options, deadline, &hints, progress, volume.access());
  session.early = &early;
  return run_phased_scan(session);
}

}  // namespace

Result<ProbeReport> probe_folder(platform::Platform& system, std::string_view typed, Duration limit,
                                 const Progress& progress) {
  // A folder without its drive letter would resolve against whatever drive
  // the current directory is on; the user is asked for the letter instead.
  if (!typed_drive_letter(typed)) return fail(Error::generic(kNeedsDriveLetter));
  // Every search works from the folder as the file system names it, so that
  // candidate paths and the scope's root are built from the same text.
  const std::string canonical = canonical_folder(system, typed);
  const std::string_view folder = canonical;
  auto letter = drive_letter_of(system, folder);
  if (!letter) return fail(Error::generic(kNeedsDriveLetter));
  TimeBudget budget(limit);

  progress.step("Locating directory...");
  // One volume for the whole probe: opened here, its MFT context read once.
  ProbeVolume volume = open_probe_volume(system, *letter);
  auto located = locate_root(folder, volume, progress);
  if (!located) return fail(located.error());
  const ProbeRoot& root = *located;
  const FolderId& id = root.id;

  // The paged scan and the $LogFile read start now, while the folder tree is
  // built and the journal and the first phases run here.
  EarlyReads early;
  if (volume.reader && volume.mft)
    early = read_ahead(*volume.mft, standard_scan_options(), id.record, budget, volume.access());
  progress.step("Building directory tree FRN scope...");
  std::optional<ScopeContext> scope = build_scope(folder, volume, &root, &budget);
  if (scope && early.pages) early.pages->set_tree(scope->parent_match_frns);
  std::vector<std::string> notes;
  if (root.deleted) notes.push_back(std::string(folder) + " no longer exists; listing what was deleted in it");
  if (scope) {
    progress.step("Directory FRN=" + std::to_string(id.record) + ", scope " +
                  std::to_string(scope->dir_frns.size()) + " folders, querying USN...");
  } else {
    progress.step("Directory FRN=" + std::to_string(id.record) + " ref=0x" + hex_lower(id.file_id) +
                  ", querying USN...");
  }


  std::vector<DeletedItem> result;
  std::unordered_set<std::string> keys;
  UsnSearchResult usn = search_journal(root, scope ? &*scope : nullptr, volume, result, keys);
  progress.journal(usn);

  std::optional<std::string> mft_summary;
  std::optional<Error> mft_error;
  std::optional<MftAudit> audit;
  if (!budget.expired()) {
    progress.step("MFT phased scan (index \xE2\x86\x92 FRN proximity \xE2\x86\x92 USN \xE2\x86\x92 pagination)...");
    ScanResult scan = search_mft(scope, folder, volume, budget, usn.hints, progress, early);
    if (scan) {
      merge_mft_items(result, keys, std::move(scan->items));
      mft_summary = format_audit_line(scan->audit);
      audit = std::move(scan->audit);
    } else {
      mft_error = scan.error();
    }
  }

  if (scope && scope->cut)
    notes.push_back("the time limit stopped the reading of " + std::string(folder) + "'s folder tree after " +
                    std::to_string(scope->dir_frns.size()) + " folders; deletions below the rest are not listed");
  fill_item_facts(result, volume, usn.hints);
  sort_by_path(result);
  ProbeReport report;
  report.notes = std::move(notes);
  report.items = std::move(result);
  report.journal = std::move(static_cast<JournalSummary&>(usn));
  report.mft_summary = std::move(mft_summary);
  report.mft_error = std::move(mft_error);
  report.audit = std::move(audit);
  return report;
}

}  // namespace quillon
