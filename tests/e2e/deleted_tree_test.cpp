// Folders removed whole (rm -rf deletes as Shift+Delete does: children
// before their folder), probed as their owner would probe them, and judged
// against The Sleuth Kit: the set of (record, path) that quillon lists for a
// folder must be exactly the set that `fls -rdp` lists as deleted under it
// (each deleted folder an item of its own, every file below it with its full
// path), and no live file may be listed.
//
// How fls's placement maps onto ours:
// - fls prints paths from the volume's root with '/', we from the drive with
//   '\': "2/proj/photos/y2020" is E:\2\proj\photos\y2020.
// - A probed folder that is itself deleted is one of its own items.
// - A deleted entry whose parent record a new folder took (that record in
//   use with another sequence number than the entry's parent reference) has
//   no parent for fls, which lists it as "$OrphanFiles/NAME". With neither
//   the journal nor the log to name the old folder, we list it as
//   FOLDER\$RecovLost\<parent record as 16 lower-case hex digits>\NAME, where
//   FOLDER is the probed folder. Such an orphan belongs to the probe when the
//   manifest's `reused` line for its parent record (from istat) puts the old
//   folder inside the probed one.
// - fls's "(realloc)" lines (a name left in an index, its record now
//   another file's) and the nameless system records it lists as
//   $OrphanFiles/OrphanFile-N are no deleted items of any folder.
//
// The scenario volumes avoid names the noise filter hides (*.bin, *.exe,
// tmp.*, lib.*, ...); the journal volume's `gone` holds g2.bin, so that
// probe runs with --all.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <map>
#include <optional>
#include <ostream>
#include <set>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "support/fls.h"
#include "support/images.h"
#include "support/manifest.h"

namespace quillon::test {
namespace {

struct TreeProbe {
  const char* volume;
  const char* folder;
  const char* switches;  // before the folder
  const char* what;
};

void PrintTo(const TreeProbe& p, std::ostream* os) { *os << p.volume << " " << p.folder; }

const TreeProbe kProbes[] = {
    {"deltree", "E:\\2\\proj", "", "rm -rf of a three-level tree beside files deleted one by one"},
    {"deltree", "E:\\2\\reuse", "", "a folder whose record a new folder took, files in both"},
    {"deltree", "E:\\2\\retired", "", "the probed folder itself removed; E:\\2 is its nearest live ancestor"},
    {"deltree", "E:\\2", "", "all of the above beside removed trees outside E:\\2"},
    {"deltree-wide", "E:\\2", "", "5,050 folders with a deletion in the last, and a chain 71 folders deep"},
    {"deltree-journal", "E:\\2", "", "folder trees removed, the journal naming each child before its folder"},
    {"deltree-journal", "E:\\2\\archive", "", "the probed folder itself removed, with the journal"},
    {"journal", "E:\\2\\gone", "--all ", "the journal names gone and gone\\g1.txt"},
};

struct Item {
  std::uint64_t record = 0;
  std::string path;
  bool operator<(const Item& o) const { return std::tie(record, path) < std::tie(o.record, o.path); }
};

bool under(const std::string& path, const std::string& dir) {
  return path.size() > dir.size() && path.compare(0, dir.size(), dir) == 0 && path[dir.size()] == '\\';
}

// "2/proj/a.txt" -> "E:\2\proj\a.txt"
std::string windows_path(std::string tsk) {
  for (auto& c : tsk)
    if (c == '/') c = '\\';
  return "E:\\" + tsk;
}

// The fields of one CSV line (RFC 4180 quoting, as the report writes it).
std::vector<std::string> csv_fields(const std::string& line) {
  std::vector<std::string> fields(1);
  bool quoted = false;
  for (std::size_t i = 0; i < line.size(); ++i) {
    const char c = line[i];
    if (quoted && c == '"' && i + 1 < line.size() && line[i + 1] == '"') {
      fields.back() += '"';
      ++i;
    } else if (c == '"') {
      quoted = !quoted;
    } else if (c == ',' && !quoted) {
      fields.emplace_back();
    } else if (c != '\r' || quoted) {
      fields.back() += c;
    }
  }
  return fields;
}

const char kCsvHeader[] = "frn,record,sequence,parent_frn,size,time_utc,filetime,path,found_by";

// The report's items, or nothing when the output is no CSV report.
std::optional<std::set<Item>> csv_items(const std::string& out) {
  std::istringstream in(out);
  std::string line;
  if (!std::getline(in, line)) return std::nullopt;
  if (line.starts_with("\xEF\xBB\xBF")) line.erase(0, 3);  // the byte order mark for spreadsheets
  // The columns read here come first; the item's facts follow them.
  const auto header = csv_fields(line), wanted = csv_fields(kCsvHeader);
  if (header.size() < wanted.size() || !std::equal(wanted.begin(), wanted.end(), header.begin())) return std::nullopt;
  std::set<Item> items;
  while (std::getline(in, line)) {
    auto f = csv_fields(line);
    if (f.size() != header.size()) return std::nullopt;
    items.insert({std::stoull(f[1]), f[7]});
  }
  return items;
}

// The parent record of a record's first $FILE_NAME, as istat reads it.
std::optional<std::uint64_t> istat_parent(const std::string& image, std::uint64_t record) {
  std::istringstream in(run_command("istat -f ntfs " + shell_quote(image) + " " + std::to_string(record) +
                                    " 2>/dev/null"));
  std::string line;
  while (std::getline(in, line))
    if (line.rfind("Parent MFT Entry: ", 0) == 0) return std::stoull(line.substr(18));
  return std::nullopt;
}

std::string lost_folder(const std::string& folder, std::uint64_t record) {
  char hex[17];
  std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(record));
  return folder + "\\$RecovLost\\" + hex;
}

// What fls -rdp lists as deleted under `folder` (or as `folder` itself),
// with the orphans of reused folders mapped as said above.
std::set<Item> fls_deleted_under(const std::string& image, const std::string& folder, const Manifest& manifest) {
  std::map<std::uint64_t, std::string> reused;  // record -> the old item's path
  for (const auto* r : manifest.lines("reused"))
    if (r->fields.size() >= 2) reused[std::stoull(r->fields[0])] = r->fields[1];
  const std::string top = tsk_path(folder);
  const std::string orphans = "$OrphanFiles/";
  std::set<Item> expected;
  for (const auto& l : parse_fls(run_command("fls -f ntfs -rdp " + shell_quote(image) + " 2>/dev/null"))) {
    if (!l.deleted || l.reallocated) continue;
    if (l.path == top || l.path.starts_with(top + "/")) {
      expected.insert({l.record, windows_path(l.path)});
    } else if (l.path.starts_with(orphans) && l.path.find('/', orphans.size()) == std::string::npos) {
      auto parent = istat_parent(image, l.record);
      if (!parent) continue;  // a nameless system record
      auto old = reused.find(*parent);
      if (old == reused.end() || !(old->second == folder || under(old->second, folder))) continue;
      expected.insert({l.record, lost_folder(folder, *parent) + "\\" + l.path.substr(orphans.size())});
    }
  }
  return expected;
}

std::set<std::string> fls_live_paths(const std::string& image) {
  std::set<std::string> live;
  for (const auto& l : parse_fls(run_command("fls -f ntfs -rpu " + shell_quote(image) + " 2>/dev/null")))
    if (!l.deleted) live.insert(windows_path(l.path));
  return live;
}

// At most `limit` lines of `items`, each under `label`.
std::string listing(const char* label, const std::vector<Item>& items, std::size_t limit = 25) {
  std::string out;
  for (std::size_t i = 0; i < items.size() && i < limit; ++i)
    out += std::string("  ") + label + ": " + std::to_string(items[i].record) + " " + items[i].path + "\n";
  if (items.size() > limit) out += "  ... and " + std::to_string(items.size() - limit) + " more\n";
  return out;
}

class DeletedTree : public ::testing::TestWithParam<TreeProbe> {};

TEST_P(DeletedTree, ListsWhatFlsListsAsDeletedUnderTheFolder) {
  const TreeProbe& p = GetParam();
  SCOPED_TRACE(std::string(p.volume) + " " + p.folder + ": " + p.what);
  int have_fls = 1;
  run_command("command -v fls >/dev/null 2>&1 && command -v istat >/dev/null 2>&1", &have_fls);
  if (have_fls != 0) GTEST_SKIP() << "fls and istat (The Sleuth Kit) are not installed";
  auto image = scenario_image(p.volume);
  auto manifest = load_manifest(p.volume);
  if (!image || !manifest) GTEST_SKIP() << "tests/data/" << p.volume << ".img.gz is absent";
  const std::string folder = p.folder;

  auto expected = fls_deleted_under(image->string(), folder, *manifest);
  ASSERT_FALSE(expected.empty()) << "fls lists nothing deleted under " << folder << ": the scenario is not as described";

  int status = 0;
  const std::string out = run_command(shell_quote(QUILLON_BIN) + " --image=" + shell_quote(image->string()) +
                                          " --format=csv " + p.switches + shell_quote(folder) + " 2>&1",
                                      &status);
  EXPECT_EQ(status, 0);
  auto listed = csv_items(out);
  ASSERT_TRUE(listed) << "no CSV report for " << folder << ":\n" << out;

  const auto live = fls_live_paths(image->string());
  std::vector<Item> extra, missing;
  for (const auto& item : *listed) {
    EXPECT_FALSE(live.count(item.path)) << "a live file is listed: " << item.record << " " << item.path;
    if (!expected.count(item)) extra.push_back(item);
  }
  for (const auto& item : expected)
    if (!listed->count(item)) missing.push_back(item);
  EXPECT_TRUE(extra.empty() && missing.empty())
      << folder << ": fls lists " << expected.size() << " deleted items, quillon " << listed->size() << "; "
      << missing.size() << " missing, " << extra.size() << " not listed by fls\n"
      << listing("missing (fls lists it deleted)", missing) << listing("not in fls's list", extra);
}

std::string probe_name(const ::testing::TestParamInfo<TreeProbe>& info) {
  std::string name = std::string(info.param.volume) + "_" + info.param.folder;
  for (auto& c : name)
    if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
  return name;
}

INSTANTIATE_TEST_SUITE_P(Scenarios, DeletedTree, ::testing::ValuesIn(kProbes), probe_name);

}  // namespace
}  // namespace quillon::test
