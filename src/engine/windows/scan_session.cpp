#include "engine/windows/scan_session.h"

#include <algorithm>

namespace quillon {

void RecordCache::note_outside_tree(std::uint64_t record, std::span<const std::uint64_t> name_parents) {
  if (name_parents.empty()) outside_tree.emplace_back(record, kNoParent);
  for (std::uint64_t parent : name_parents) outside_tree.emplace_back(record, parent);
}

bool RecordCache::known_outside_tree(std::uint64_t record, const FrnSet& parents) {
  if (outside_sorted != outside_tree.size()) {
    if (!std::is_sorted(outside_tree.begin(), outside_tree.end())) std::sort(outside_tree.begin(), outside_tree.end());
    outside_sorted = outside_tree.size();
  }
  // Asked in ascending order by the walks over the band: the search starts
  // where the last one ended when it can.
  auto at = outside_tree.begin() + static_cast<std::ptrdiff_t>(std::min(outside_cursor, outside_tree.size()));
  if (at != outside_tree.begin() && std::prev(at)->first >= record) at = outside_tree.begin();
  for (int steps = 0; at != outside_tree.end() && at->first < record; ++at)
    if (++steps == 8) {
      at = std::lower_bound(at, outside_tree.end(), std::pair{record, std::uint64_t{0}});
      break;
    }
  outside_cursor = static_cast<std::size_t>(at - outside_tree.begin());
  if (at == outside_tree.end() || at->first != record) return false;
  for (; at != outside_tree.end() && at->first == record; ++at)
    if (at->second != kNoParent && parents.contains(at->second)) return false;
  return true;
}

namespace {

ScanContext evaluation_context(const ScopeContext& scope, const UsnHints* hints, const MftContext& mft,
                               const ScanOptions& options, std::shared_ptr<platform::FileHandle> live) {
  ScanContext c = scan_context_over(scope);
  // Borrowed, not owned: the hints outlive the session.
  if (hints) c.hints = std::shared_ptr<const UsnHints>(std::shared_ptr<void>(), hints);
  c.geometry = mft.geometry;
  c.include_in_use = options.include_in_use;
  c.follow_parent_chain = options.follow_parent_chain;
  c.live = std::move(live);
  return c;
}

}  // namespace

ScanSession::ScanSession(ScopeContext& scope, VolumeReader& reader, const MftContext& mft,
                         const ScanOptions& options, const TimeBudget& budget, const UsnHints* hints,
                         const Progress& progress, VolumeAccess access)
    : scope(scope),
      reader(reader),
      mft(mft),
      options(options),
      hints(hints),
      progress(progress),
      access(std::move(access)),
      deadline(budget),
      eval(evaluation_context(scope, hints, mft, options, this->access.live)) {}

std::size_t ScanSession::accept(std::vector<DeletedItem> batch) {
  for (auto& c : batch) c.sources |= found_by;
  return accepted.accept(scope, audit, std::move(batch));
}

}  // namespace quillon
