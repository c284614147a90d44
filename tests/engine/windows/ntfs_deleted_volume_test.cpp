// The scope walk and the record evaluation on whole volumes read through the
// image backend: the real Windows-made volumes (live files only) and the
// scenario volumes whose manifests say what was deleted where.
#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <sstream>

#include "support/probe_session.h"
#include "engine/windows/ntfs_deleted_eval.h"
#include "engine/windows/recycle.h"
#include "engine/windows/scope_build.h"
#include "platform/image/image_platform.h"
#include "support/images.h"

namespace quillon {
namespace {

// Everything the record evaluation yields for every record of the volume,
// the way each search calls it: one record at a time with and without
// verify_live (index, hint and vicinity phases), the page scan without and
// with in-use records, and once more with journal hints naming every record.
struct WholeVolume {
  std::vector<DeletedItem> items;
  // In-use file records with a name in scope whose own $FILE_NAME says size 0.
  std::set<std::uint64_t> live_zero_sized;
};

WholeVolume evaluate_whole_volume(const ScopeContext& scope) {
  WholeVolume out;
  auto reader = open_volume(platform::current(), 'E');
  EXPECT_TRUE(reader);
  if (!reader) return out;
  auto mft = load_mft_context(*reader);
  EXPECT_TRUE(mft);
  if (!mft) return out;
  ScanContext ctx = scan_context_for(scope);
  ctx.geometry = mft->geometry;
  const std::uint64_t records = mft->volume.mft_valid_data_length() / mft->record_size();

  UsnHints every;
  for (std::uint64_t r = 0; r < records; ++r) {
    auto rec = read_record_raw(mft->geometry, *reader, r);
    if (!rec) continue;
    for (bool verify : {false, true})
      for (auto& item : evaluate_record(*rec, r, ctx, {.verify_live = verify})) out.items.push_back(item);
    for (const auto& [parent, name] : file_names(*rec)) every.names_by_frn[r].insert(name);
    if (record_in_use(*rec) && !record_is_directory(*rec))
      for (const auto& e : file_names_under(*rec, scope.parent_match_frns))
        if (e.size == 0) out.live_zero_sized.insert(r);
  }
  constexpr std::uint64_t kPage = 64;
  for (bool in_use : {false, true}) {
    ctx.include_in_use = in_use;
    for (std::uint64_t first = 0; first < records; first += kPage) {
      auto block = read_record_block(mft->geometry, *reader, first, std::min(kPage, records - first));
      if (!block) continue;
      for (auto& item : scan_record_buffer(*block, first, mft->record_size(), ctx).items) out.items.push_back(item);
    }
  }
  ctx.include_in_use = false;
  ctx.hints = std::make_shared<const UsnHints>(std::move(every));
  for (std::uint64_t r = 0; r < records; ++r)
    if (auto rec = read_record_raw(mft->geometry, *reader, r))
      for (auto& item : evaluate_record(*rec, r, ctx, EvalFlags{})) out.items.push_back(item);
  return out;
}

std::string describe(const std::vector<DeletedItem>& items) {
  std::string s;
  for (const auto& i : items) s += "  " + std::to_string(i.frn) + " " + i.path + "\n";
  return s;
}

// Live files must never pass as deleted. On these volumes Windows left the
// allocated size of most live files' own $FILE_NAME at 0, which alone would
// have let them through.
TEST(RealVolumes, NoLiveFileListedAsDeleted) {
  struct Case {
    const char* image;
    const char* folder;
    std::uint64_t folder_record;
  };
  int ran = 0;
  for (const auto& c : {Case{"ntfs-lastaccess", "E:\\test", 39}, Case{"ntfs-ptrn", "E:\\", 5}}) {
    auto path = test::real_volume(c.image);
    if (!path) continue;
    ++ran;
    auto p = platform::open_image_platform({path->string(), 'E', std::nullopt});
    ASSERT_TRUE(p) << p.error().text();
    platform::ScopedPlatform scoped(std::move(*p));
    auto scope = test::scope_on(c.folder);
    ASSERT_TRUE(scope) << c.image;
    EXPECT_EQ(scope->root_frn, c.folder_record);
    auto whole = evaluate_whole_volume(*scope);
    EXPECT_TRUE(whole.items.empty()) << c.image << " lists live files:\n" << describe(whole.items);
    EXPECT_FALSE(whole.live_zero_sized.empty()) << c.image;
    if (c.folder_record == 39) {
      EXPECT_TRUE(whole.live_zero_sized.contains(43));  // test\1.txt
    }
  }
  if (ran == 0) GTEST_SKIP() << "../shared/real-volumes is absent; real-volume checks skipped";
}

// The "deleted" and "live" lines of a scenario manifest:
// kind record seq parent size [evidence] kind name path, tab-separated.
struct ManifestEntry {
  bool deleted = false;
  std::uint64_t record = 0;
  std::uint64_t parent = 0;
  std::string evidence;
  bool directory = false;
  std::string name;
  std::string path;
};

std::optional<std::vector<ManifestEntry>> read_manifest(const std::string& name) {
  std::ifstream in(test::source_dir() / "tests" / "data" / (name + ".manifest"));
  if (!in) return std::nullopt;
  std::vector<ManifestEntry> out;
  std::string line;
  while (std::getline(in, line)) {
    std::vector<std::string> f;
    std::stringstream ss(line);
    for (std::string field; std::getline(ss, field, '\t');) f.push_back(field);
    if (f.empty() || (f[0] != "deleted" && f[0] != "live")) continue;
    ManifestEntry e;
    e.deleted = f[0] == "deleted";
    const std::size_t at = e.deleted ? 6 : 5;  // the kind field
    if (f.size() < at + 3) continue;
    e.record = std::stoull(f[1]);
    e.parent = std::stoull(f[3]);
    if (e.deleted) e.evidence = f[5];
    e.directory = f[at] == "d";
    e.name = f[at + 1];
    e.path = f[at + 2];
    out.push_back(std::move(e));
  }
  return out;
}

bool under_2(const std::string& path) { return path.starts_with("E:\\2\\"); }

// Folder 2 of each scenario volume: the scope holds the live directories of
// the tree (links left out) and the deleted ones whose parent's index still
// names them; every record of the volume together yields exactly the
// deleted files of the manifest that their own record still names under a
// directory in scope, with the manifest's record, parent and path, and no
// live file, nothing from the trap folders 20 and other\2.
TEST(ScenarioVolumes, ScopeAndEvaluationOfFolder2) {
  int ran = 0;
  for (const char* name : {"basic", "partitioned-mbr", "partitioned-gpt"}) {
    auto image = test::scenario_image(name);
    auto manifest = read_manifest(name);
    if (!image || !manifest) continue;
    ++ran;
    auto p = platform::open_image_platform({image->string(), 'E', std::nullopt});
    ASSERT_TRUE(p) << name << ": " << p.error().text();
    platform::ScopedPlatform scoped(std::move(*p));
    auto scope = test::scope_on("E:\\2");
    ASSERT_TRUE(scope) << name;

    std::set<std::uint64_t> links;
    for (const auto& e : *manifest)
      if (!e.deleted && e.directory && (e.name == "junction" || e.name == "dirlink")) links.insert(e.record);
    for (const auto& e : *manifest) {
      if (!e.directory || !(under_2(e.path) || e.path == "E:\\2")) continue;
      if (e.deleted) {
        // A deleted directory is in scope only through its parent's index.
        if (scope->dir_frns.contains(e.record)) {
          EXPECT_TRUE(scope->deleted_dirs.contains(e.record)) << name << " " << e.path;
        }
      } else if (!links.contains(e.record)) {
        EXPECT_TRUE(scope->dir_frns.contains(e.record)) << name << " " << e.path;
        EXPECT_FALSE(scope->deleted_dirs.contains(e.record)) << name << " " << e.path;
      } else {
        EXPECT_FALSE(scope->dir_frns.contains(e.record)) << name << " link " << e.path;
      }
    }
    for (std::uint64_t d : scope->dir_frns) {
      bool known = std::any_of(manifest->begin(), manifest->end(), [&](const ManifestEntry& e) {
        return e.record == d && e.directory && (under_2(e.path) || e.path == "E:\\2");
      });
      EXPECT_TRUE(known) << name << ": directory " << d << " is not of folder 2";
    }

    std::set<std::string> expected;
    for (const auto& e : *manifest)
      if (e.deleted && !e.directory && e.evidence.find("record") != std::string::npos &&
          scope->dir_frns.contains(e.parent) && noise_filter(e.name, false))
        expected.insert(std::to_string(e.record) + " " + std::to_string(e.parent) + " " + e.path);
    EXPECT_GE(expected.size(), 8u) << name;

    auto whole = evaluate_whole_volume(*scope);
    std::set<std::string> got;
    for (const auto& i : whole.items) got.insert(std::to_string(i.frn) + " " + std::to_string(i.parent_frn) + " " + i.path);
    EXPECT_EQ(got, expected) << name;
    for (const auto& i : whole.items) EXPECT_TRUE(under_2(i.path)) << name << " " << i.path;
  }
  if (ran == 0) GTEST_SKIP() << "no scenario volumes in tests/data; scenario checks skipped";
}

}  // namespace
}  // namespace quillon
