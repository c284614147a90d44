// The journal search on the journal scenario volume, whose records tell
// what was really done there: the items are exactly the deletions the
// journal places in the folder tree (and a deleted file's earlier name),
// never a file that still lives under another name, and the deletions
// whose records were reused by new files are found by the journal alone.
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>

#include "datasource/windows/volume.h"
#include "engine/windows/scope_build.h"
#include "engine/windows/usn_deleted.h"
#include "platform/image/image_platform.h"
#include "support/images.h"
#include "support/manifest.h"

namespace quillon {
namespace {

std::string parent_path(const std::string& p) { return p.substr(0, p.rfind('\\')); }

TEST(UsnDeletedOnVolume, JournalScenarioYieldsTheDeletionsAndNoLiveFile) {
  auto image = test::scenario_image("journal");
  auto manifest = test::load_manifest("journal");
  if (!image || !manifest) GTEST_SKIP() << "tests/data/journal.img.gz is absent";
  auto p = platform::open_image_platform({image->string(), 'E', std::nullopt});
  ASSERT_TRUE(p) << p.error().text();
  platform::ScopedPlatform scoped(std::move(*p));

  const std::string folder = "E:\\2";
  auto id = folder_frn(folder);
  ASSERT_TRUE(id) << id.error().text();
  auto scope = build_scope(folder, 'E');
  ASSERT_TRUE(scope);
  UsnScope s;
  s.root = folder;
  s.folder_id = id->file_id;
  s.folder_record = id->record;
  s.dir_frns = &scope->dir_frns;
  s.dir_map = &scope->dir_map;
  auto found = find_deleted_via_usn(s);
  ASSERT_TRUE(found) << found.error().text();
  EXPECT_FALSE(found->read_error) << *found->read_error;
  EXPECT_FALSE(found->enum_error) << *found->enum_error;

  // What the journal can place: a deletion it records under a live folder
  // of the tree, and the earlier names of deleted files.
  std::set<std::string> live_dirs{folder};
  std::set<std::string> live;
  for (const auto& l : manifest->live) {
    live.insert(l.path);
    if (l.directory && l.path.rfind(folder + "\\", 0) == 0) live_dirs.insert(l.path);
  }
  std::map<std::string, std::uint64_t> want;  // path -> record
  for (const auto& d : manifest->deleted)
    if (d.has("journal") && live_dirs.count(parent_path(d.path))) want[d.path] = d.record;
  for (const auto* f : manifest->lines("former")) want[f->fields.at(2)] = std::stoull(f->fields.at(0));

  std::map<std::string, std::uint64_t> got;
  for (const auto& item : found->items) {
    SCOPED_TRACE(item.path);
    EXPECT_FALSE(live.count(item.path)) << "a live file was taken for a deletion";
    EXPECT_EQ(item.size, 0u);
    EXPECT_FALSE(item.time);
    got[item.path] = item.frn;
  }
  EXPECT_EQ(got, want);
  EXPECT_EQ(found->items.size(), got.size()) << "one item per FRN and path";
  EXPECT_EQ(found->read_count + found->enum_count, found->items.size());

  // The two deletions whose records now hold other files are among them.
  for (const auto* r : manifest->lines("reused")) EXPECT_TRUE(got.count(r->fields.at(1))) << r->fields.at(1);
  // Renamed or overwritten files that live on are not.
  for (const char* alive : {"E:\\2\\draft.txt", "E:\\2\\final.txt", "E:\\2\\moved.txt", "E:\\2\\report.txt",
                            "E:\\2\\overwritten.txt"})
    EXPECT_FALSE(got.count(alive)) << alive;
}

}  // namespace
}  // namespace quillon
