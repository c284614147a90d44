#include "platform/image/image_paths.h"

namespace quillon::platform::image {

namespace {

bool is_sep(char c) { return c == '\\' || c == '/'; }
bool is_letter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
char upper(char c) { return static_cast<char>(c & 0x5F); }

// Names of `rest`, with "." and ".." folded and trailing dots and spaces of
// ordinary names dropped.
std::vector<std::string> fold(std::string_view rest, bool literal) {
  std::vector<std::string> names;
  std::string cur;
  auto flush = [&] {
    if (!literal) {
      if (cur == ".") {
        cur.clear();
        return;
      }
      if (cur == "..") {
        if (!names.empty()) names.pop_back();
        cur.clear();
        return;
      }
      while (!cur.empty() && (cur.back() == '.' || cur.back() == ' ')) cur.pop_back();
    }
    if (!cur.empty()) names.push_back(cur);
    cur.clear();
  };
  for (char c : rest) {
    if (c == '\\' || (!literal && c == '/'))
      flush();
    else
      cur.push_back(c);
  }
  flush();
  return names;
}

}  // namespace

std::optional<std::string> full_path(std::string_view path, char letter) {
  if (path.empty()) return std::nullopt;
  if (path.size() >= 4 && is_sep(path[0]) && is_sep(path[1]) && (path[2] == '?' || path[2] == '.') && is_sep(path[3]))
    return std::string(path);
  if (path.size() >= 2 && is_sep(path[0]) && is_sep(path[1])) return std::string(path);  // UNC
  std::string_view rest = path;
  char drive = upper(letter);
  if (path.size() >= 2 && is_letter(path[0]) && path[1] == ':') {
    drive = upper(path[0]);
    rest = path.substr(2);
  }
  bool trailing = !rest.empty() && is_sep(rest.back());
  auto names = fold(rest, false);
  std::string out{drive, ':', '\\'};
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i) out.push_back('\\');
    out += names[i];
  }
  if (trailing && !names.empty()) out.push_back('\\');
  return out;
}

std::optional<SplitPath> split_path(std::string_view path, char letter) {
  bool literal = false;
  if (path.size() >= 4 && is_sep(path[0]) && is_sep(path[1]) && path[2] == '?' && is_sep(path[3])) {
    path.remove_prefix(4);
    literal = true;
    if (path.size() < 2 || !is_letter(path[0]) || path[1] != ':') return std::nullopt;
  } else {
    auto full = full_path(path, letter);
    if (!full || full->size() < 2 || !is_letter((*full)[0]) || (*full)[1] != ':') return std::nullopt;
    return SplitPath{upper((*full)[0]), fold(std::string_view(*full).substr(2), false)};
  }
  return SplitPath{upper(path[0]), fold(path.substr(2), literal)};
}

}  // namespace quillon::platform::image
