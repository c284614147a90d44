#include "engine/model.h"

#include <algorithm>

namespace quillon {

Duration Duration::from(std::chrono::nanoseconds ns) {
  if (ns.count() <= 0) return {};
  auto n = static_cast<std::uint64_t>(ns.count());
  return {n / 1'000'000'000ULL, static_cast<std::uint32_t>(n % 1'000'000'000ULL)};
}

Duration saturating_sub(Duration a, Duration b) {
  if (b >= a) return {};
  Duration r;
  if (a.nanos >= b.nanos) {
    r.seconds = a.seconds - b.seconds;
    r.nanos = a.nanos - b.nanos;
  } else {
    r.seconds = a.seconds - b.seconds - 1;
    r.nanos = a.nanos + 1'000'000'000U - b.nanos;
  }
  return r;
}

Duration TimeBudget::elapsed_at(Clock::time_point now) const {
  return Duration::from(std::chrono::duration_cast<std::chrono::nanoseconds>(now - start_));
}

Duration TimeBudget::remaining_at(Clock::time_point now) const { return saturating_sub(limit_, elapsed_at(now)); }

Recoverable recoverable(const DeletedItem& item) {
  switch (item.record_state) {
    case RecordState::unknown: return Recoverable::unknown;
    case RecordState::reused: return Recoverable::no;
    case RecordState::intact: break;
  }
  if (item.kind == ItemKind::folder) return Recoverable::yes;
  if (!item.clusters_free_pct) return Recoverable::unknown;
  if (*item.clusters_free_pct >= 100) return Recoverable::yes;
  return *item.clusters_free_pct == 0 ? Recoverable::no : Recoverable::partly;
}

std::string merge_key(const DeletedItem& item) { return std::to_string(item.frn) + "|" + item.path; }

void add_sources(std::vector<DeletedItem>& out, const DeletedItem& item) {
  if (!item.sources) return;
  for (auto it = out.rbegin(); it != out.rend(); ++it)
    if (it->frn == item.frn && it->path == item.path) {
      it->sources |= item.sources;
      return;
    }
}

bool merge_item(std::vector<DeletedItem>& out, std::unordered_set<std::string>& keys, DeletedItem item) {
  if (!keys.insert(merge_key(item)).second) {
    add_sources(out, item);
    return false;
  }
  out.push_back(std::move(item));
  return true;
}

namespace {
bool is_sep(char c) { return c == '\\' || c == '/'; }
}  // namespace

std::vector<std::string_view> path_components(std::string_view p) {
  std::vector<std::string_view> out;
  std::size_t i = 0;
  // Prefix: verbatim "\\?\X:", device "\\.\X:", UNC "\\server\share", or "X:".
  if (p.size() >= 4 && is_sep(p[0]) && is_sep(p[1]) && (p[2] == '?' || p[2] == '.') && is_sep(p[3])) {
    std::size_t end = 4;
    while (end < p.size() && !is_sep(p[end])) ++end;
    out.push_back(p.substr(0, end));
    i = end;
  } else if (p.size() >= 2 && is_sep(p[0]) && is_sep(p[1])) {
    std::size_t end = 2;
    int parts = 0;
    while (end < p.size() && parts < 2) {
      std::size_t s = end;
      while (end < p.size() && !is_sep(p[end])) ++end;
      if (end > s) ++parts;
      if (parts < 2 && end < p.size()) ++end;
    }
    out.push_back(p.substr(0, end));
    i = end;
  } else if (p.size() >= 2 && p[1] == ':') {
    out.push_back(p.substr(0, 2));
    i = 2;
  }
  if (i < p.size() && is_sep(p[i])) {
    out.push_back("\\");
    while (i < p.size() && is_sep(p[i])) ++i;
  }
  while (i < p.size()) {
    std::size_t s = i;
    while (i < p.size() && !is_sep(p[i])) ++i;
    std::string_view name = p.substr(s, i - s);
    if (!name.empty() && name != ".") out.push_back(name);
    while (i < p.size() && is_sep(p[i])) ++i;
  }
  return out;
}

bool path_less(std::string_view a, std::string_view b) {
  auto ca = path_components(a);
  auto cb = path_components(b);
  return std::lexicographical_compare(ca.begin(), ca.end(), cb.begin(), cb.end());
}

void sort_by_path(std::vector<DeletedItem>& items) {
  std::stable_sort(items.begin(), items.end(),
                   [](const DeletedItem& x, const DeletedItem& y) { return path_less(x.path, y.path); });
}

}  // namespace quillon
