#include "engine/windows/ntfs_phases.h"

#include <algorithm>
#include <limits>

#include "engine/windows/ntfs_deleted.h"

namespace quillon {

namespace {

constexpr std::uint64_t kU64Max = std::numeric_limits<std::uint64_t>::max();

std::uint64_t sat_sub(std::uint64_t a, std::uint64_t b) { return a > b ? a - b : 0; }
std::uint64_t sat_add(std::uint64_t a, std::uint64_t b) { return a > kU64Max - b ? kU64Max : a + b; }
std::uint32_t grow32(std::uint32_t counter, std::size_t growth) {
  return static_cast<std::uint32_t>(counter + growth);
}

// Accepts `batch` and returns how much the output list grew.
std::size_t accept(PhaseContext& ctx, AcceptedItems& accepted, std::vector<DeletedItem> batch) {
  for (auto& c : batch) c.sources |= ctx.found_by;
  return accepted.accept(ctx.scope, ctx.audit, std::move(batch));
}

bool in_parent_match(const ScopeContext& scope, std::uint64_t parent) {
  return scope.parent_match_frns.count(parent & kRecordMask) || scope.parent_match_frns.count(parent);
}

}  // namespace

std::optional<std::vector<DeletedItem>> read_candidates(PhaseContext& ctx, std::uint64_t frn,
                                                        const RecordHint* hint, bool verify_live) {
  if (!ctx.options.use_record_cache) {
    auto items = evaluate_record_at(ctx.reader, frn, ctx.scan, ctx.scan.flags(verify_live), hint);
    if (!items || items->empty()) return std::nullopt;
    return items;
  }
  std::uint32_t reads_before = ctx.cache.reads;
  auto it = ctx.cache.records.find(frn);
  if (it == ctx.cache.records.end()) {
    ++ctx.cache.reads;
    if (auto rec = read_record_raw(ctx.mft.geometry, ctx.reader, frn))
      it = ctx.cache.records.insert_or_assign(frn, std::move(*rec)).first;
  }
  std::optional<std::vector<DeletedItem>> result;
  if (it != ctx.cache.records.end()) {
    auto items = evaluate_record(it->second, frn, ctx.scan, ctx.scan.flags(verify_live), hint);
    if (!items.empty()) {
      ++ctx.cache.hits;
      result = std::move(items);
    }
  }
  ctx.audit.cache_read += ctx.cache.reads > reads_before ? ctx.cache.reads - reads_before : 0;
  ctx.audit.cache_hits = ctx.cache.hits;
  return result;
}

void scan_window(PhaseContext& ctx, std::uint64_t centre, std::uint64_t inner, std::uint64_t outer,
                 std::unordered_set<std::uint64_t>& visited, AcceptedItems& accepted) {
  std::uint64_t r = std::min<std::uint64_t>(outer, 512);
  auto walk = [&](std::uint64_t lo, std::uint64_t hi, bool empty) {
    if (empty || lo > hi) return;
    for (std::uint64_t f = lo;; ++f) {
      if (ctx.in_time() && visited.insert(f).second) {
        if (auto items = read_candidates(ctx, f, nullptr, true)) accept(ctx, accepted, std::move(*items));
      }
      if (f == hi) break;
    }
  };
  // Below: centre − r .. centre − inner − 1; above: centre + inner + 1 .. centre + r.
  bool below_empty = centre <= inner;  // centre − inner − 1 would go below 0
  walk(sat_sub(centre, r), below_empty ? 0 : centre - inner - 1, below_empty);
  bool above_empty = centre > kU64Max - inner || sat_add(centre, inner) == kU64Max;
  walk(above_empty ? 0 : centre + inner + 1, sat_add(centre, r), above_empty);
}

void run_index_phase(PhaseContext& ctx, AcceptedItems& accepted, const Progress& progress) {
  std::vector<std::uint64_t> dirs(ctx.scope.dir_frns.begin(), ctx.scope.dir_frns.end());
  std::uint64_t total = dirs.empty() ? 1 : dirs.size();
  std::unordered_set<std::uint64_t> visited;
  const FrnSet& dir_frns = ctx.scope.dir_frns;
  for (std::size_t i = 0; i < dirs.size(); ++i) {
    std::uint64_t d = dirs[i];
    if (!ctx.in_time()) {
      ctx.audit.note = "Time limit reached (index phase)";
      break;
    }
    progress(i, total, "Phase 1 Directory index FRN=" + std::to_string(d));
    auto rec = fetch_record(ctx.mft, ctx.reader, d);
    if (!rec) continue;
    bool all = ctx.scope.deleted_dirs.count(d) != 0;
    bool parent_matched = in_parent_match(ctx.scope, d);
    for (const auto& entry : index_root_entries(*rec, dir_frns, d, all)) {
      if (!ctx.in_time()) break;
      visited.insert(entry.record);
      auto child = read_record_raw(ctx.mft.geometry, ctx.reader, entry.record);
      if (!child) continue;
      RecordHint hint;
      hint.name = entry.name;
      hint.use_parent = parent_matched;
      hint.parent = d;
      auto items = evaluate_record(*child, entry.record, ctx.scan, ctx.scan.flags(false), &hint);
      if (!items.empty()) ctx.audit.index = grow32(ctx.audit.index, accept(ctx, accepted, std::move(items)));
    }
    if (ctx.options.per_directory_vicinity) {
      std::size_t before = accepted.items.size();
      scan_window(ctx, d, 0, 512, visited, accepted);
      ctx.audit.index = grow32(ctx.audit.index, accepted.items.size() - before);
    }
  }
  if (!ctx.options.expansion || !ctx.in_time()) return;
  for (std::uint64_t radius = 1024;; radius = radius > kU64Max / 2 ? kU64Max : radius * 2) {
    ctx.audit.expansion_radius = radius;
    if (radius > ctx.options.expansion_limit || !ctx.in_time()) return;
    progress(0, 1, "Optional expansion \xC2\xB1" + std::to_string(radius) + " (strict parent FRN)");
    std::size_t before = accepted.items.size();
    for (std::uint64_t d : dirs) scan_window(ctx, d, radius / 2, radius, visited, accepted);
    std::size_t growth = accepted.items.size() - before;
    ctx.audit.expand = grow32(ctx.audit.expand, growth);
    if (growth == 0 || radius == kU64Max) return;
  }
}

void run_root_vicinity(PhaseContext& ctx, AcceptedItems& accepted, const Progress& progress) {
  if (!ctx.options.root_vicinity || !ctx.in_time()) return;
  std::uint64_t c = ctx.scope.root_frn & kRecordMask;
  std::uint64_t lo = sat_sub(c, 8192), hi = sat_add(c, 8192);
  progress(0, 1,
           "Phase 1a Directory vicinity FRN " + std::to_string(lo) + ".." + std::to_string(hi) +
               " (includes recently deleted IN_USE, MFT confirmed)");
  for (std::uint64_t f = lo;; ++f) {
    if (!ctx.in_time()) return;
    if (auto items = read_candidates(ctx, f, nullptr, true))
      ctx.audit.local_band = grow32(ctx.audit.local_band, accept(ctx, accepted, std::move(*items)));
    if (f == hi) return;
  }
}

void run_local_band(PhaseContext& ctx, AcceptedItems& accepted, const Progress& progress) {
  if (!ctx.options.local_band || !ctx.in_time()) return;
  std::unordered_set<std::uint64_t> band;
  if (ctx.hints)
    for (const auto& [frn, names] : ctx.hints->names_by_frn) band.insert(frn);
  if (band.empty()) {
    std::uint64_t c = ctx.scope.root_frn & kRecordMask;
    std::uint64_t hi = sat_add(c, ctx.options.band_above);
    for (std::uint64_t f = sat_sub(c, ctx.options.band_below); f < hi; ++f) band.insert(f);
  }
  progress(0, 1, "Phase 1b Local MFT band (" + std::to_string(band.size()) + " FRNs, raw)");
  for (std::uint64_t f : band) {
    if (!ctx.in_time()) return;
    if (auto items = read_candidates(ctx, f, nullptr, true))
      ctx.audit.local_band = grow32(ctx.audit.local_band, accept(ctx, accepted, std::move(*items)));
  }
}

void run_usn_hints(PhaseContext& ctx, AcceptedItems& accepted, const Progress& progress) {
  if (!ctx.hints || ctx.hints->names_by_frn.empty()) return;
  const UsnHints& h = *ctx.hints;
  progress(0, 1, "Phase 2 USN hint FRNs (" + std::to_string(h.names_by_frn.size()) + " items, MFT validated)");
  std::vector<std::uint64_t> list;
  for (const auto& [frn, names] : h.names_by_frn) list.push_back(frn);
  std::uint64_t root = ctx.scope.root_frn;
  auto distance = [root](std::uint64_t f) { return f > root ? f - root : root - f; };
  std::stable_sort(list.begin(), list.end(),
                   [&](std::uint64_t a, std::uint64_t b) { return distance(a) < distance(b); });
  for (std::uint64_t t : list) {
    if (!ctx.in_time()) return;
    RecordHint hint;
    if (auto p = h.parent_by_frn.find(t); p != h.parent_by_frn.end()) {
      hint.parent = p->second;
      hint.use_parent = in_parent_match(ctx.scope, p->second);
    }
    const auto& names = h.names_by_frn.at(t);
    if (!names.empty()) hint.name = *names.begin();
    if (auto items = read_candidates(ctx, t, &hint, false))
      ctx.audit.usn = grow32(ctx.audit.usn, accept(ctx, accepted, std::move(*items)));
  }
}

}  // namespace quillon
