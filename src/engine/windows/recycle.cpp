#include "engine/windows/recycle.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <initializer_list>
#include <map>
#include <mutex>
#include <set>

#include "common/text.h"
#include "platform/platform.h"

namespace quillon {

namespace {

struct CaseMapping {
  std::uint32_t cp;
  std::uint32_t lower1;
  std::uint32_t lower2;
};

constexpr CaseMapping kLowerTable[] = {
#include "engine/windows/casemap_table.inc"
};

void append_lower(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp >= 'A' && cp <= 'Z' ? cp + 32 : cp));
    return;
  }
  auto it = std::lower_bound(std::begin(kLowerTable), std::end(kLowerTable), cp,
                             [](const CaseMapping& m, char32_t c) { return m.cp < c; });
  if (it == std::end(kLowerTable) || it->cp != cp) {
    append_utf8(out, cp);
    return;
  }
  append_utf8(out, it->lower1);
  if (it->lower2) append_utf8(out, it->lower2);
}

bool ends_with(std::string_view s, std::string_view e) { return s.size() >= e.size() && s.ends_with(e); }
bool contains(std::string_view s, std::string_view part) { return s.find(part) != std::string_view::npos; }

bool is_hex_digit(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); }
bool is_stem_char(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
}

}  // namespace

std::string strip_verbatim_prefix(std::string_view text) {
  std::string_view t = trim_white_space(text);
  if (t.size() >= 4 && (t.starts_with("\\\\?\\") || t.starts_with("\\??\\"))) t.remove_prefix(4);
  return std::string(t);
}

std::string unicode_lower(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t before = pos;
    char32_t cp = decode_wtf8(text, pos);
    if (cp == 0xFFFD && pos - before == 1) {
      out.push_back(text[before]);  // keep invalid bytes as they are
      continue;
    }
    append_lower(out, cp);
  }
  return out;
}

std::string comparison_form(std::string_view path) {
  std::string s = strip_verbatim_prefix(path);
  std::replace(s.begin(), s.end(), '/', '\\');
  std::string collapsed;
  collapsed.reserve(s.size());
  for (char c : s)
    if (!(c == '\\' && !collapsed.empty() && collapsed.back() == '\\')) collapsed.push_back(c);
  while (!collapsed.empty() && collapsed.back() == '\\') collapsed.pop_back();
  return unicode_lower(collapsed);
}

bool is_volume_root(std::string_view path) {
  std::string f = comparison_form(path);
  return f.size() == 2 && f[1] == ':';
}

std::string root_comparison_form(platform::Platform& system, std::string_view root) {
  std::string_view trimmed = trim_white_space(root);
  std::string root_form;
  auto meta = system.metadata(trimmed);
  if (meta && meta->is_directory) {
    if (auto canonical = platform::canonical_path(system, trimmed)) root_form = comparison_form(lossy_utf8(*canonical));
  }
  if (root_form.empty()) root_form = comparison_form(trimmed);
  return root_form;
}

bool inside_root_form(std::string_view candidate, std::string_view root_form) {
  std::string cand = comparison_form(lossy_utf8(candidate));
  if (root_form.empty() || cand.empty()) return false;
  if (cand == root_form) return true;
  return cand.size() > root_form.size() && cand.starts_with(root_form) && cand[root_form.size()] == '\\';
}

bool inside_root(std::string_view candidate, std::string_view root) {
  return inside_root_form(candidate, comparison_form(root));
}

namespace {

// The rule of the noise filter that drops `n` (already lower-cased, neither
// empty nor holding a separator), or nothing to keep it.
const char* noise_rule(const std::string& n, bool loose) {
  const std::size_t len = n.size();
  if (len >= 32 && std::all_of(n.begin(), n.end(), is_hex_digit)) return "32+ hex digits";
  auto first_contained = [&n](std::initializer_list<const char*> parts) -> const char* {
    for (const char* p : parts)
      if (contains(n, p)) return p;
    return nullptr;
  };

  if (loose) {
    if (auto p = first_contained({".cargo_metadata.", "dep-graph", "query-cache", "work-products", ".tokio."}))
      return p;
    if (n == "invoked.timestamp") return "invoked.timestamp";
    if (len > 4) {
      for (const char* p : {"rustc", "s-hi"})
        if (n.starts_with(p)) return p;
      for (const char* e : {".rcgu.o", ".rmeta", ".rlib"})
        if (ends_with(n, e)) return e;
    }
    if (n == "s-hi") return "s-hi";
    if (contains(n, "quillon")) return "quillon";
    return nullptr;
  }

  for (const char* e : {".rcgu.o", ".rmeta", ".rlib"})
    if (ends_with(n, e)) return e;
  if (len != 1 && ends_with(n, ".d")) return ".d";
  if (len >= 4) {
    if (ends_with(n, ".pdb")) return ".pdb";
    for (const char* p : {"lib-", "lib."})
      if (n.starts_with(p)) return p;
  }
  if (len >= 8 && n.starts_with("dep-lib-")) return "dep-lib-";
  if (auto p = first_contained({".cargo_metadata.", ".tokio."})) return p;
  if (n == "invoked.timestamp") return "invoked.timestamp";
  if (len >= 4)
    for (const char* p : {"tmp.", "s-hi"})
      if (n.starts_with(p)) return p;
  if (len >= 5)
    for (const char* p : {"rmeta", "rustc"})
      if (n.starts_with(p)) return p;
  if (auto p = first_contained({"-working", "dep-graph", "query-cache", "work-products", "quillon"})) return p;
  if (len >= 4 && n.starts_with("bin-")) return "bin-";
  if (ends_with(n, ".o") && len >= 14 && std::all_of(n.begin(), n.end() - 2, is_stem_char)) return "long .o";
  if (len >= 4)
    for (const char* e : {".bin", ".exe"})
      if (ends_with(n, e)) return e;
  return nullptr;
}

// The run's record of dropped names: which rule dropped which names. Names
// are kept once per rule, so a name met by several searches counts once.
struct NoiseRecord {
  std::atomic<bool> keep_all{false};
  std::mutex mutex;
  std::map<std::string, std::set<std::string>> names_by_rule;
};

NoiseRecord& noise_record() {
  static NoiseRecord record;
  return record;
}

}  // namespace

bool noise_filter(std::string_view name, bool loose) {
  if (name.empty()) return false;
  if (contains(name, "\\") || contains(name, "/")) return false;
  NoiseRecord& record = noise_record();
  if (record.keep_all.load(std::memory_order_relaxed)) return true;
  const char* rule = noise_rule(ascii_lower(name), loose);
  if (!rule) return true;
  std::lock_guard lock(record.mutex);
  record.names_by_rule[rule].emplace(name);
  return false;
}

void set_keep_all_names(bool keep) { noise_record().keep_all.store(keep, std::memory_order_relaxed); }

std::map<std::string, std::uint64_t> noise_drops() {
  NoiseRecord& record = noise_record();
  std::lock_guard lock(record.mutex);
  std::map<std::string, std::uint64_t> out;
  for (const auto& [rule, names] : record.names_by_rule) out[rule] = names.size();
  return out;
}

void clear_noise_drops() {
  NoiseRecord& record = noise_record();
  std::lock_guard lock(record.mutex);
  record.names_by_rule.clear();
}

}  // namespace quillon
