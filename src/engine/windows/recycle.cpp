#include "engine/windows/recycle.h"

#include <algorithm>
#include <array>
#include <cstdint>

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

bool inside_root(std::string_view candidate, std::string_view root) {
  std::string_view trimmed = trim_white_space(root);
  std::string root_form;
  auto meta = platform::current().metadata(trimmed);
  if (meta && meta->is_directory) {
    if (auto canonical = platform::canonical_path(trimmed)) root_form = comparison_form(lossy_utf8(*canonical));
  }
  if (root_form.empty()) root_form = comparison_form(trimmed);
  std::string cand = comparison_form(lossy_utf8(candidate));
  if (root_form.empty() || cand.empty()) return false;
  if (cand == root_form) return true;
  return cand.size() > root_form.size() && cand.starts_with(root_form) && cand[root_form.size()] == '\\';
}

bool noise_filter(std::string_view name, bool loose) {
  if (name.empty()) return false;
  if (contains(name, "\\") || contains(name, "/")) return false;
  std::string n = ascii_lower(name);
  const std::size_t len = n.size();
  if (len >= 32 && std::all_of(n.begin(), n.end(), is_hex_digit)) return false;

  if (loose) {
    if (contains(n, ".cargo_metadata.") || contains(n, "dep-graph") || contains(n, "query-cache") ||
        contains(n, "work-products") || contains(n, ".tokio."))
      return false;
    if (n == "invoked.timestamp") return false;
    if (len > 4 && (n.starts_with("rustc") || n.starts_with("s-hi") || ends_with(n, ".rcgu.o") ||
                    ends_with(n, ".rmeta") || ends_with(n, ".rlib")))
      return false;
    if (n == "s-hi") return false;
    if (contains(n, "quillon")) return false;
    return true;
  }

  if (ends_with(n, ".rcgu.o") || ends_with(n, ".rmeta") || ends_with(n, ".rlib")) return false;
  if (len != 1 && ends_with(n, ".d")) return false;
  if (len >= 4 && (ends_with(n, ".pdb") || n.starts_with("lib-") || n.starts_with("lib."))) return false;
  if (len >= 8 && n.starts_with("dep-lib-")) return false;
  if (contains(n, ".cargo_metadata.") || contains(n, ".tokio.") || n == "invoked.timestamp") return false;
  if (len >= 4 && (n.starts_with("tmp.") || n.starts_with("s-hi"))) return false;
  if (len >= 5 && (n.starts_with("rmeta") || n.starts_with("rustc"))) return false;
  if (contains(n, "-working") || contains(n, "dep-graph") || contains(n, "query-cache") ||
      contains(n, "work-products") || contains(n, "quillon"))
    return false;
  if (len >= 4 && n.starts_with("bin-")) return false;
  if (ends_with(n, ".o") && len >= 14 && std::all_of(n.begin(), n.end() - 2, is_stem_char)) return false;
  if (len >= 4 && (ends_with(n, ".bin") || ends_with(n, ".exe"))) return false;
  return true;
}

}  // namespace quillon
