// The whole probe on every scenario volume, judged against the volume's
// manifest: every deleted item that a source still holds evidence of is
// listed with its FRN, parent and path; nothing live, nothing outside the
// folder, nothing no source can show; sorted; the audit line completes and
// its LogFile= count is the number of files only the $LogFile names.
#include <gtest/gtest.h>

#include <cstdio>
#include <ctime>
#include <algorithm>
#include <map>
#include <set>
#include <sstream>
#include <string>

#include "engine/model.h"
#include "engine/windows/recycle.h"
#include "support/images.h"
#include "support/manifest.h"

namespace quillon {
namespace {

struct Line {
  std::uint64_t frn = 0, parent = 0, size = 0;
  bool has_time = false;
  std::uint64_t time = 0;
  std::string path;
};

std::vector<Line> item_lines(const std::string& out) {
  std::vector<Line> lines;
  std::istringstream in(out);
  std::string s;
  while (std::getline(in, s)) {
    if (s.rfind("  FRN ", 0) != 0) continue;
    Line l;
    std::istringstream f(s.substr(6));
    std::string word;
    f >> l.frn >> word >> l.parent >> word >> l.size;
    f.get();
    std::string rest;
    std::getline(f, rest);
    if (rest.rfind("time=", 0) == 0) {
      l.has_time = true;
      l.time = std::stoull(rest.substr(5));
      rest = rest.substr(rest.find(' ') + 1);
    }
    l.path = rest;
    lines.push_back(l);
  }
  return lines;
}

bool under(const std::string& path, const std::string& dir) {
  return path.size() > dir.size() && path.compare(0, dir.size(), dir) == 0 && path[dir.size()] == '\\';
}

std::string parent_of(const std::string& path) { return path.substr(0, path.rfind('\\')); }

// One $FILE_NAME of a record as The Sleuth Kit's istat reads it: the size and
// time a record-made item must carry.
struct TskName {
  std::string name;
  std::uint64_t allocated = 0;
  std::uint64_t modified = 0;  // FILETIME
};

// "2026-12-08 07:43:01.756958000 (UTC)" as 100-ns ticks since 1601.
std::uint64_t filetime_of(const std::string& text) {
  std::tm tm{};
  unsigned long nanos = 0;
  if (std::sscanf(text.c_str(), "%d-%d-%d %d:%d:%d.%lu", &tm.tm_year, &tm.tm_mon, &tm.tm_mday, &tm.tm_hour,
                  &tm.tm_min, &tm.tm_sec, &nanos) != 7)
    return 0;
  tm.tm_year -= 1900;
  tm.tm_mon -= 1;
  const auto seconds = static_cast<std::uint64_t>(timegm(&tm));
  return seconds * 10'000'000ULL + 116'444'736'000'000'000ULL + nanos / 100;
}

std::vector<TskName> istat_names(const std::string& image, std::uint64_t sector_offset, std::uint64_t record) {
  std::string out = test::run_command("TZ=UTC istat -z UTC -o " + std::to_string(sector_offset) + " '" + image + "' " +
                                      std::to_string(record) + " 2>/dev/null");
  std::vector<TskName> names;
  std::istringstream in(out);
  std::string s;
  bool in_name = false;
  while (std::getline(in, s)) {
    if (s == "$FILE_NAME Attribute Values:") {
      in_name = true;
      names.emplace_back();
    } else if (s.empty()) {
      in_name = false;
    } else if (in_name && s.rfind("Name: ", 0) == 0) {
      names.back().name = s.substr(6);
    } else if (in_name && s.rfind("Allocated Size: ", 0) == 0) {
      names.back().allocated = std::stoull(s.substr(16));
    } else if (in_name && s.rfind("File Modified:\t", 0) == 0) {
      names.back().modified = filetime_of(s.substr(15));
    }
  }
  return names;
}

std::string leaf(const std::string& path) { return path.substr(path.rfind('\\') + 1); }

TEST(ProbeScenarios, EveryVolumeAgainstItsManifest) {
  auto names = test::scenario_names();
  if (names.empty()) GTEST_SKIP() << "no scenario volumes under tests/data";
  int have_istat = 1;
  test::run_command("command -v istat >/dev/null 2>&1", &have_istat);
  if (have_istat != 0) GTEST_SKIP() << "istat (The Sleuth Kit) is not installed";
  for (const auto& name : names) {
    SCOPED_TRACE(name);
    auto manifest = test::load_manifest(name);
    auto image = test::scenario_image(name);
    ASSERT_TRUE(manifest && image);
    int status = 0;
    std::string out = test::run_command(std::string("'") + QUILLON_BIN + "' --image='" + image->string() +
                                            "' 'E:\\2' 2>&1",
                                        &status);
    EXPECT_EQ(status, 0);
    auto expect = manifest->volume.find("expect");
    if (expect != manifest->volume.end() && expect->second == "error") {
      EXPECT_EQ(out.rfind("Error: ", 0), 0u) << out;
      EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1) << out;
      continue;
    }
    if (!manifest->lines("damage").empty() && manifest->lines("damage")[0]->fields.at(0) == "truncated") {
      // An image shorter than its volume is examined as far as it goes.
      EXPECT_NE(out.find("\nNote: the image ends before its volume does: "), std::string::npos) << out;
    }
    if (manifest->volume.count("boot")) {  // the primary boot sector is damaged: one line says the backup is read
      EXPECT_EQ(out.rfind("Note: the boot sector is damaged (", 0), 0u) << out;
    }
    ASSERT_NE(out.find("\nUSN: "), std::string::npos) << out;
    ASSERT_NE(out.find("\nMFT: MFT Audit: folder=E:\\2 "), std::string::npos) << out;
    EXPECT_NE(out.find(" Completed\n"), std::string::npos) << out;

    // The folders of the scope: 2 and its live subfolders (ntfs-3g removes a
    // deleted folder's entry from its parent's index, so a deleted folder
    // and its contents lie outside what the MFT side can place).
    std::set<std::string> scope_dirs{"E:\\2"};
    std::set<std::string> live_paths;
    for (const auto& l : manifest->live) {
      live_paths.insert(l.path);
      if (l.directory && under(l.path, "E:\\2")) scope_dirs.insert(l.path);
    }
    std::set<std::uint64_t> damaged;
    for (const auto* d : manifest->lines("damage"))
      if (d->fields.size() >= 2) damaged.insert(std::stoull(d->fields[1]));

    // Folders whose record a new folder took (old path and record): their
    // deleted children cannot be placed by the record, whose new owner is
    // not their folder; without the journal or the log to name the old
    // folder they may be listed under $RecovLost and the record's number.
    std::set<std::pair<std::string, std::uint64_t>> reused_folders;
    for (const auto* r : manifest->lines("reused"))
      if (r->fields.size() >= 2) reused_folders.emplace(r->fields[1], std::stoull(r->fields[0]));

    std::map<std::string, const test::ManifestDeleted*> required, allowed;
    std::size_t log_only = 0;  // required items only the $LogFile names
    for (const auto& d : manifest->deleted) {
      if (!under(d.path, "E:\\2")) continue;  // traps: 20, other\2
      if (reused_folders.count({parent_of(d.path), d.parent}) && d.has("record")) {
        char lost[17];
        std::snprintf(lost, sizeof lost, "%016llx", static_cast<unsigned long long>(d.parent));
        allowed["E:\\2\\$RecovLost\\" + std::string(lost) + "\\" + d.name] = &d;
      }
      bool in_scope = scope_dirs.count(parent_of(d.path)) != 0;
      bool by_record = d.has("record") && !d.directory && in_scope && noise_filter(d.name, false);
      if (damaged.count(d.record)) {
        // What a damaged record still yields is the reader's judgement; it
        // may be listed (under its true FRN and path) or not.
        allowed[d.path] = &d;
        continue;
      }
      // The journal places a file only under a folder it can name: one of the
      // scope's live folders (a deleted folder's files have no path there).
      bool by_journal = d.has("journal") && in_scope && noise_filter(d.name, false);
      // So does the log: it names the file and its parent.
      bool by_log = d.has("logfile") && in_scope && noise_filter(d.name, false);
      if (by_log && d.evidence.size() == 1) ++log_only;
      if (by_record || by_journal || by_log)
        required[d.path] = &d;
      else if (!d.evidence.empty())
        allowed[d.path] = &d;  // a source may still place it; not required
    }

    // A deleted file's earlier name (renamed, then deleted): the journal saw
    // the file under it, so listing it under that name is not wrong.
    std::map<std::string, test::ManifestDeleted> former;
    for (const auto* f : manifest->lines("former")) {
      test::ManifestDeleted d;
      d.record = std::stoull(f->fields.at(0));
      d.parent = std::stoull(f->fields.at(1));
      d.path = f->fields.at(2);
      d.name = leaf(d.path);
      former[d.path] = d;
    }
    for (auto& [path, d] : former) allowed.emplace(path, &d);

    auto lines = item_lines(out);
    std::set<std::string> listed;
    for (const auto& l : lines) {
      SCOPED_TRACE(l.path);
      listed.insert(l.path);
      EXPECT_TRUE(under(l.path, "E:\\2")) << "outside the folder";
      EXPECT_FALSE(live_paths.count(l.path)) << "a live file was listed";
      const test::ManifestDeleted* d = nullptr;
      if (auto it = required.find(l.path); it != required.end()) d = it->second;
      if (auto it = allowed.find(l.path); it != allowed.end()) d = it->second;
      if (!d) {
        ADD_FAILURE() << "listed but not a deleted item with evidence";
        continue;
      }
      EXPECT_EQ(l.frn & 0xFFFFFFFFFFFFULL, d->record);
      EXPECT_EQ(l.parent & 0xFFFFFFFFFFFFULL, d->parent);
      // An item whose record still names it carries that name's allocated
      // size and modification time, also when the journal found it first.
      // (Folders come from the journal alone: the MFT side lists files.)
      // (The Sleuth Kit reads no volume whose primary boot sector is damaged.)
      if (!d->has("record") || d->directory || damaged.count(d->record) || manifest->volume.count("boot")) continue;
      auto tsk = istat_names(image->string(), manifest->volume_offset() / 512, d->record);
      auto name = std::find_if(tsk.begin(), tsk.end(), [&](const TskName& n) { return n.name == leaf(l.path); });
      ASSERT_NE(name, tsk.end()) << "istat shows no such name";
      EXPECT_EQ(l.size, name->allocated);
      EXPECT_TRUE(l.has_time);
      EXPECT_EQ(l.time, name->modified);
    }
    for (const auto& [path, d] : required) EXPECT_TRUE(listed.count(path)) << "missing " << path;
    // Phase 4 adds exactly the files only the log still names.
    EXPECT_NE(out.find(" LogFile=" + std::to_string(log_only) + " "), std::string::npos) << out;
    EXPECT_NE(out.find("\nTotal " + std::to_string(lines.size()) + " paths (deduplicated by FRN|path)\n"),
              std::string::npos)
        << out;
    for (std::size_t i = 1; i < lines.size(); ++i) EXPECT_FALSE(path_less(lines[i].path, lines[i - 1].path));
  }
}


// The pattern real Windows volumes showed: the journal names the renames of
// a neighbouring folder's files ("New Text Document.txt" → file_2_N.txt)
// and a deletion from the root, all with record numbers close to the probed
// folder's and under their own parents. Probing that neighbour, whose files
// all live, lists nothing: not its own former names, not the folder 2's
// renames and deletions, not the root's.
TEST(ProbeScenarios, JournalNeighbourOfLiveRenamesListsNothing) {
  auto image = test::scenario_image("journal");
  auto manifest = test::load_manifest("journal");
  if (!image || !manifest) GTEST_SKIP() << "tests/data/journal.img.gz is absent";
  std::string out = test::run_command(std::string("'") + QUILLON_BIN + "' --image='" + image->string() +
                                      "' 'E:\\sib' 2>&1");
  ASSERT_NE(out.find("\nMFT: MFT Audit: folder=E:\\sib "), std::string::npos) << out;
  EXPECT_TRUE(item_lines(out).empty()) << out;
  EXPECT_NE(out.find("\nTotal 0 paths"), std::string::npos) << out;
}

}  // namespace
}  // namespace quillon
