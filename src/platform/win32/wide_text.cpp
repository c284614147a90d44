#include "platform/win32/wide_text.h"

#include "common/text.h"

namespace quillon::platform::win32_backend {

namespace {

bool is_separator(char16_t c) { return c == u'\\' || c == u'/'; }
bool is_ascii_letter(char16_t c) { return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z'); }

// True when a component of `path` is "." or "..".
bool has_dot_component(std::u16string_view path) {
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t end = start;
    while (end < path.size() && !is_separator(path[end])) ++end;
    std::u16string_view part = path.substr(start, end - start);
    if (part == u"." || part == u"..") return true;
    start = end + 1;
  }
  return false;
}

std::u16string backslashed(std::u16string_view path) {
  std::u16string out(path);
  for (auto& c : out)
    if (c == u'/') c = u'\\';
  return out;
}

}  // namespace

std::optional<std::u16string> widen_text(std::string_view wtf8) {
  if (wtf8.find('\0') != std::string_view::npos) return std::nullopt;
  return wtf8_to_utf16(wtf8);
}

std::optional<std::u16string> widen_path(std::string_view wtf8) {
  auto plain = widen_text(wtf8);
  if (!plain) return std::nullopt;
  std::u16string wide = std::move(*plain);
  if (wide.size() < kLongPathThreshold) return wide;
  std::u16string_view w = wide;
  if (w.size() >= 4 && is_separator(w[0]) && is_separator(w[1]) && (w[2] == u'?' || w[2] == u'.') &&
      is_separator(w[3]))
    return wide;  // already a device or verbatim path
  if (has_dot_component(w)) return wide;
  if (w.size() >= 3 && is_ascii_letter(w[0]) && w[1] == u':' && is_separator(w[2]))
    return u"\\\\?\\" + backslashed(w);
  if (w.size() >= 3 && is_separator(w[0]) && is_separator(w[1]) && !is_separator(w[2]))
    return u"\\\\?\\UNC\\" + backslashed(w.substr(2));
  return wide;
}

std::u16string search_pattern(std::u16string directory) {
  bool bare_drive = directory.size() == 2 && is_ascii_letter(directory[0]) && directory[1] == u':';
  if (!directory.empty() && !is_separator(directory.back()) && !bare_drive) directory.push_back(u'\\');
  directory.push_back(u'*');
  return directory;
}

std::u16string trim_system_message(std::u16string_view message) {
  std::size_t n = message.size();
  while (n > 0 && (message[n - 1] == u'\r' || message[n - 1] == u'\n' || message[n - 1] == u' ' ||
                   message[n - 1] == u'\t'))
    --n;
  return std::u16string(message.substr(0, n));
}

std::vector<std::u16string_view> console_pieces(std::u16string_view text, std::size_t max_units) {
  std::vector<std::u16string_view> pieces;
  if (max_units < 2) max_units = 2;
  while (!text.empty()) {
    std::size_t n = text.size() <= max_units ? text.size() : max_units;
    // Keep a high surrogate together with the low one after it.
    if (n < text.size() && text[n - 1] >= 0xD800 && text[n - 1] <= 0xDBFF) --n;
    pieces.push_back(text.substr(0, n));
    text.remove_prefix(n);
  }
  return pieces;
}

}  // namespace quillon::platform::win32_backend
