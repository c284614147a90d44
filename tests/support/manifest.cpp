#include "support/manifest.h"

#include <algorithm>
#include <charconv>
#include <fstream>
#include <sstream>

#include "support/images.h"

namespace quillon::test {

namespace {

std::vector<std::string> split_tabs(std::string_view line) {
  std::vector<std::string> out;
  std::size_t start = 0;
  while (true) {
    auto tab = line.find('\t', start);
    out.emplace_back(line.substr(start, tab == std::string_view::npos ? std::string_view::npos : tab - start));
    if (tab == std::string_view::npos) break;
    start = tab + 1;
  }
  return out;
}

// Decimal, or hexadecimal after "0x".
template <class T>
bool number(const std::string& s, T& out) {
  std::string_view v = s;
  int base = 10;
  if (v.size() > 2 && v[0] == '0' && (v[1] == 'x' || v[1] == 'X')) {
    v.remove_prefix(2);
    base = 16;
  }
  if (v.empty()) return false;
  std::uint64_t value = 0;
  auto [p, ec] = std::from_chars(v.data(), v.data() + v.size(), value, base);
  if (ec != std::errc() || p != v.data() + v.size()) return false;
  if (value > static_cast<std::uint64_t>(static_cast<T>(~T{0}))) return false;
  out = static_cast<T>(value);
  return true;
}

bool kind_of(const std::string& s, bool& directory) {
  if (s != "f" && s != "d") return false;
  directory = s == "d";
  return true;
}

std::vector<std::string> split_commas(const std::string& s) {
  std::vector<std::string> out;
  if (s == "none" || s.empty()) return out;
  std::stringstream in(s);
  std::string item;
  while (std::getline(in, item, ',')) out.push_back(item);
  return out;
}

bool parse_line(const std::vector<std::string>& f, Manifest& m) {
  const std::string& kind = f[0];
  if (kind == "volume") {
    if (f.size() != 3) return false;
    m.volume[f[1]] = f[2];
    return true;
  }
  if (kind == "deleted") {
    ManifestDeleted d;
    if (f.size() != 9 || !number(f[1], d.record) || !number(f[2], d.seq) || !number(f[3], d.parent) ||
        !number(f[4], d.size) || !kind_of(f[6], d.directory))
      return false;
    d.evidence = split_commas(f[5]);
    d.name = f[7];
    d.path = f[8];
    m.deleted.push_back(std::move(d));
    return true;
  }
  if (kind == "live") {
    ManifestLive l;
    if (f.size() != 8 || !number(f[1], l.record) || !number(f[2], l.seq) || !number(f[3], l.parent) ||
        !number(f[4], l.size) || !kind_of(f[5], l.directory))
      return false;
    l.name = f[6];
    l.path = f[7];
    m.live.push_back(std::move(l));
    return true;
  }
  if (kind == "usn") {
    ManifestUsn u;
    if (f.size() != 10 || !number(f[1], u.usn) || !number(f[2], u.major) || !number(f[3], u.record) ||
        !number(f[4], u.seq) || !number(f[5], u.parent) || !number(f[6], u.parent_seq) ||
        !number(f[7], u.reason) || !number(f[8], u.attributes))
      return false;
    u.name = f[9];
    m.usn.push_back(std::move(u));
    return true;
  }
  if (kind == "logfile") {
    ManifestLogRecord r;
    if (f.size() != 7 || !number(f[1], r.lsn) || !number(f[2], r.redo_op) || !number(f[3], r.undo_op) ||
        !number(f[4], r.record) || !number(f[5], r.parent))
      return false;
    r.name = f[6];
    m.logfile.push_back(std::move(r));
    return true;
  }
  if (kind.empty()) return false;
  m.other.push_back({kind, std::vector<std::string>(f.begin() + 1, f.end())});
  return true;
}

}  // namespace

bool ManifestDeleted::has(std::string_view source) const {
  return std::find(evidence.begin(), evidence.end(), source) != evidence.end();
}

std::optional<std::uint64_t> Manifest::volume_number(const std::string& key) const {
  auto it = volume.find(key);
  std::uint64_t v = 0;
  if (it == volume.end() || !number(it->second, v)) return std::nullopt;
  return v;
}

std::uint64_t Manifest::volume_offset() const { return volume_number("offset").value_or(0); }

std::vector<const ManifestLine*> Manifest::lines(std::string_view kind) const {
  std::vector<const ManifestLine*> out;
  for (const auto& l : other)
    if (l.kind == kind) out.push_back(&l);
  return out;
}

Manifest parse_manifest(std::string_view text) {
  Manifest m;
  std::size_t start = 0, number = 0;
  while (start < text.size()) {
    auto nl = text.find('\n', start);
    std::string_view line = text.substr(start, nl == std::string_view::npos ? std::string_view::npos : nl - start);
    start = nl == std::string_view::npos ? text.size() : nl + 1;
    ++number;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty() || line[0] == '#') continue;
    if (!parse_line(split_tabs(line), m)) m.errors.push_back(std::to_string(number) + ": " + std::string(line));
  }
  return m;
}

std::optional<Manifest> load_manifest(const std::string& name) {
  std::ifstream in(source_dir() / "tests" / "data" / (name + ".manifest"), std::ios::binary);
  if (!in) return std::nullopt;
  std::stringstream buf;
  buf << in.rdbuf();
  Manifest m = parse_manifest(buf.str());
  m.name = name;
  return m;
}

std::vector<std::string> scenario_names() {
  std::vector<std::string> out;
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator(source_dir() / "tests" / "data", ec))
    if (e.path().extension() == ".manifest") out.push_back(e.path().stem().string());
  std::sort(out.begin(), out.end());
  return out;
}

std::string tsk_path(std::string_view windows_path) {
  auto colon = windows_path.find(":\\");
  std::string_view rest = colon == std::string_view::npos ? windows_path : windows_path.substr(colon + 2);
  std::string out(rest);
  std::replace(out.begin(), out.end(), '\\', '/');
  return out;
}

}  // namespace quillon::test
