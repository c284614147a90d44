#include "engine/windows/ntfs_phases.h"

#include <algorithm>
#include <limits>

#include "engine/windows/ntfs_deleted.h"

namespace quillon {

namespace {

constexpr std::uint64_t kU64Max = std::numeric_limits<std::uint64_t>::max();

std::uint64_t sat_sub(std::uint64_t a, std::uint64_t b) { return a > b ? a - b : 0; }
std::uint64_t sat_add(std::uint64_t a, std::uint64_t b) { return a > kU64Max - b ? kU64Max : a + b; }
bool in_parent_match(const ScopeContext& scope, std::uint64_t parent) {
  return scope.parent_match_frns.count(parent & kRecordMask) || scope.parent_match_frns.count(parent);
}

// Records a walk in record order reads in one request.
constexpr std::uint64_t kReadAhead = 64;

// Record `frn` as read_record_raw reads it, valid until the next fetch. In
// order, from a block read ahead: one request per 64 records instead of one
// per record.
std::optional<Bytes> fetch_record_raw(ScanSession& s, std::uint64_t frn, bool in_order) {
  const MftGeometry& g = s.mft.geometry;
  RecordCache& c = s.cache;
  if (in_order && (frn < c.ahead_first || frn - c.ahead_first >= c.ahead_count)) {
    c.block.resize(static_cast<std::size_t>(kReadAhead) * g.record_size);
    auto block = read_record_block_into(g, s.reader, frn, kReadAhead, c.block);
    c.ahead_first = frn;
    c.ahead_count = kReadAhead;
    // A block that cannot be read (a bad sector, the $MFT's end) is not
    // tried again for each of its records: they are read one by one.
    c.ahead = block ? Bytes(*block) : Bytes();
  }
  if (in_order && !c.ahead.empty()) {
    const auto rec = c.ahead.subspan((frn - c.ahead_first) * g.record_size, g.record_size);
    if (!has_record_signature(rec)) return std::nullopt;
    return rec;
  }
  auto one = read_record_raw(g, s.reader, frn);
  if (!one) return std::nullopt;
  c.single = std::move(*one);
  return Bytes(c.single);
}

// The record's bytes moved into the cache's store, where they stay.
Bytes keep_record(RecordCache& c, Bytes record) {
  auto room = c.store.room(record.size());
  std::copy(record.begin(), record.end(), room.begin());
  c.store.keep(room.size());
  return Bytes(room);
}

// Past the $MFT's last extent no record can be read: read_candidates would
// count each record asked for there as one read and find nothing. A walk in
// record order counts them at once instead.
void pass_unreadable(ScanSession& s, std::uint64_t count) {
  if (!s.options.use_record_cache) return;
  s.cache.reads += static_cast<std::uint32_t>(count);
  s.audit.cache_read += static_cast<std::uint32_t>(count);
}

}  // namespace

std::optional<std::vector<DeletedItem>> read_candidates(ScanSession& s, std::uint64_t frn,
                                                        const RecordHint* hint, LiveCheck live, ReadOrder order) {
  const bool verify_live = live == LiveCheck::by_path;
  const bool in_order = order == ReadOrder::ascending;
  if (!s.options.use_record_cache) {
    auto items = evaluate_record_at(s.reader, frn, s.eval, s.eval.flags(verify_live), hint);
    if (!items || items->empty()) return std::nullopt;
    return items;
  }
  RecordCache& c = s.cache;
  const bool can_change = s.reader.can_change();
  std::uint32_t reads_before = c.reads;
  std::optional<Bytes> bytes;
  bool fetched = false;
  auto it = c.records.find(frn);
  if (it == c.records.end()) {
    ++c.reads;
    if ((bytes = fetch_record_raw(s, frn, in_order))) fetched = true;
  } else if (!it->second.empty()) {
    bytes = it->second;
  } else if (!hint && c.known_outside_tree(frn, s.eval.parents())) {
    // Passed over, and asked again as then with none of its names' parents
    // in the tree since: it would be passed over again.
  } else if (auto again = read_record_raw(s.mft.geometry, s.reader, frn)) {
    it->second = keep_record(c, *again);
    bytes = it->second;
  }
  std::optional<std::vector<DeletedItem>> result;
  if (bytes) {
    c.passed.outside_tree = false;
    auto items = evaluate_record(*bytes, frn, s.eval, s.eval.flags(verify_live), hint, &c.passed);
    const bool outside_tree = c.passed.outside_tree;
    if (outside_tree) c.note_outside_tree(frn, c.passed.parents);
    if (fetched) c.records.insert_or_assign(frn, outside_tree && !can_change ? Bytes() : keep_record(c, *bytes));
    if (!items.empty()) {
      ++c.hits;
      result = std::move(items);
    }
  }
  s.audit.cache_read += c.reads > reads_before ? c.reads - reads_before : 0;
  s.audit.cache_hits = c.hits;
  return result;
}

void scan_window(ScanSession& s, std::uint64_t centre, std::uint64_t inner, std::uint64_t outer,
                 std::unordered_set<std::uint64_t>& visited) {
  std::uint64_t r = std::min<std::uint64_t>(outer, 512);
  auto walk = [&](std::uint64_t lo, std::uint64_t hi, bool empty) {
    if (empty || lo > hi) return;
    for (std::uint64_t f = lo;; ++f) {
      if (s.in_time() && visited.insert(f).second) {
        if (auto items = read_candidates(s, f, nullptr, LiveCheck::by_path, ReadOrder::ascending)) s.accept(std::move(*items));
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

std::size_t run_index_phase(ScanSession& s) {
  std::vector<std::uint64_t> dirs(s.scope.dir_frns.begin(), s.scope.dir_frns.end());
  std::uint64_t total = dirs.empty() ? 1 : dirs.size();
  std::unordered_set<std::uint64_t>& visited = s.index_visited;
  const FrnSet& dir_frns = s.scope.dir_frns;
  std::size_t grown = 0;
  for (std::size_t i = 0; i < dirs.size(); ++i) {
    std::uint64_t d = dirs[i];
    if (!s.in_time()) {
      s.audit.note = "Time limit reached (index phase)";
      break;
    }
    s.progress(i, total, "Phase 1 Directory index FRN=" + std::to_string(d));
    auto rec = fetch_record(s.mft, s.reader, d);
    if (!rec) continue;
    bool all = s.scope.deleted_dirs.count(d) != 0;
    bool parent_matched = in_parent_match(s.scope, d);
    for (const auto& entry : index_root_entries(*rec, dir_frns, d, all)) {
      if (!s.in_time()) break;
      visited.insert(entry.record);
      auto child = read_record_raw(s.mft.geometry, s.reader, entry.record);
      if (!child) continue;
      RecordHint hint;
      hint.name = entry.name;
      hint.use_parent = parent_matched;
      hint.parent = d;
      auto items = evaluate_record(*child, entry.record, s.eval, s.eval.flags(false), &hint);
      if (!items.empty()) grown += s.accept(std::move(items));
    }
    if (s.options.per_directory_vicinity) {
      std::size_t before = s.accepted.items.size();
      scan_window(s, d, 0, 512, visited);
      grown += s.accepted.items.size() - before;
    }
  }
  return grown;
}

std::size_t run_expansion(ScanSession& s) {
  if (!s.options.expansion || !s.in_time()) return 0;
  const std::vector<std::uint64_t> dirs(s.scope.dir_frns.begin(), s.scope.dir_frns.end());
  std::size_t grown = 0;
  for (std::uint64_t radius = 1024;; radius = radius > kU64Max / 2 ? kU64Max : radius * 2) {
    s.audit.expansion_radius = radius;
    if (radius > s.options.expansion_limit || !s.in_time()) return grown;
    s.progress(0, 1, "Optional expansion \xC2\xB1" + std::to_string(radius) + " (strict parent FRN)");
    std::size_t before = s.accepted.items.size();
    for (std::uint64_t d : dirs) scan_window(s, d, radius / 2, radius, s.index_visited);
    std::size_t growth = s.accepted.items.size() - before;
    grown += growth;
    if (growth == 0 || radius == kU64Max) return grown;
  }
}

std::size_t run_root_vicinity(ScanSession& s) {
  if (!s.options.root_vicinity || !s.in_time()) return 0;
  std::size_t grown = 0;
  std::uint64_t c = s.scope.root_frn & kRecordMask;
  std::uint64_t lo = sat_sub(c, 8192), hi = sat_add(c, 8192);
  s.progress(0, 1,
             "Phase 1a Directory vicinity FRN " + std::to_string(lo) + ".." + std::to_string(hi) +
                 " (includes recently deleted IN_USE, MFT confirmed)");
  const std::uint64_t readable = raw_record_end(s.mft.geometry);
  for (std::uint64_t f = lo;; ++f) {
    if (!s.in_time()) return grown;
    if (f >= readable) {
      pass_unreadable(s, hi - f + 1);
      return grown;
    }
    if (auto items = read_candidates(s, f, nullptr, LiveCheck::by_path, ReadOrder::ascending))
      grown += s.accept(std::move(*items));
    if (f == hi) return grown;
  }
}

std::size_t run_local_band(ScanSession& s) {
  if (!s.options.local_band || !s.in_time()) return 0;
  std::unordered_set<std::uint64_t> band;
  if (s.hints)
    for (const auto& [frn, names] : s.hints->names_by_frn) band.insert(frn);
  if (band.empty()) {
    std::uint64_t c = s.scope.root_frn & kRecordMask;
    std::uint64_t hi = sat_add(c, s.options.band_above);
    for (std::uint64_t f = sat_sub(c, s.options.band_below); f < hi; ++f) band.insert(f);
  }
  s.progress(0, 1, "Phase 1b Local MFT band (" + std::to_string(band.size()) + " FRNs, raw)");
  std::size_t grown = 0;
  for (std::uint64_t f : band) {
    if (!s.in_time()) return grown;
    if (auto items = read_candidates(s, f, nullptr, LiveCheck::by_path)) grown += s.accept(std::move(*items));
  }
  return grown;
}

std::size_t run_usn_hints(ScanSession& s) {
  if (!s.hints || s.hints->names_by_frn.empty()) return 0;
  const UsnHints& h = *s.hints;
  s.progress(0, 1, "Phase 2 USN hint FRNs (" + std::to_string(h.names_by_frn.size()) + " items, MFT validated)");
  std::vector<std::uint64_t> list;
  for (const auto& [frn, names] : h.names_by_frn) list.push_back(frn);
  std::uint64_t root = s.scope.root_frn;
  auto distance = [root](std::uint64_t f) { return f > root ? f - root : root - f; };
  std::stable_sort(list.begin(), list.end(),
                   [&](std::uint64_t a, std::uint64_t b) { return distance(a) < distance(b); });
  std::size_t grown = 0;
  for (std::uint64_t t : list) {
    if (!s.in_time()) return grown;
    RecordHint hint;
    if (auto p = h.parent_by_frn.find(t); p != h.parent_by_frn.end()) {
      hint.parent = p->second;
      hint.use_parent = in_parent_match(s.scope, p->second);
    }
    const auto& names = h.names_by_frn.at(t);
    if (!names.empty()) hint.name = *names.begin();
    if (auto items = read_candidates(s, t, &hint, LiveCheck::off)) grown += s.accept(std::move(*items));
  }
  return grown;
}

}  // namespace quillon
