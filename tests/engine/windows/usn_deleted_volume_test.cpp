// The journal search on the journal scenario volume, whose records tell
// what was really done there: the items are exactly the deletions the
// journal places in the folder tree (and a deleted file's earlier name),
// never a file that still lives under another name, and the deletions
// whose records were reused by new files are found by the journal alone.
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>

#include "cli/report.h"
#include "support/probe_session.h"
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
  auto id = folder_frn(platform::current(), folder);
  ASSERT_TRUE(id) << id.error().text();
  auto scope = test::scope_on(folder);
  ASSERT_TRUE(scope);
  UsnScope s;
  s.folder = &*scope;
  auto found = test::journal_on(s);
  ASSERT_TRUE(found) << found.error().text();
  EXPECT_FALSE(found->read_error) << found->read_error->text();
  EXPECT_FALSE(found->enum_error) << found->enum_error->text();

  // What the journal can place: a deletion it records under a live folder
  // of the tree, and the earlier names of deleted files.
  std::set<std::string> live_dirs{folder};
  std::set<std::string> live;
  for (const auto& l : manifest->live) {
    live.insert(l.path);
    if (l.directory && l.path.rfind(folder + "\\", 0) == 0) live_dirs.insert(l.path);
  }
  using Placed = std::pair<std::uint64_t, std::uint64_t>;  // record, parent
  std::map<std::string, Placed> want;
  for (const auto& d : manifest->deleted)
    if (d.has("journal") && live_dirs.count(parent_path(d.path))) want[d.path] = {d.record, d.parent};
  for (const auto* f : manifest->lines("former"))
    want[f->fields.at(2)] = {std::stoull(f->fields.at(0)), std::stoull(f->fields.at(1))};

  std::map<std::string, Placed> got;
  for (const auto& item : found->items) {
    SCOPED_TRACE(item.path);
    EXPECT_FALSE(live.count(item.path)) << "a live file was taken for a deletion";
    EXPECT_EQ(item.size, 0u);
    EXPECT_FALSE(item.time);
    got[item.path] = {item.frn, item.parent_frn};
  }
  EXPECT_EQ(got, want);
  EXPECT_EQ(found->items.size(), got.size()) << "one item per FRN and path";
  EXPECT_EQ(found->read_count + found->enum_count, found->items.size());
  // ENUM records carry no reason bits: that pass adds nothing here.
  EXPECT_EQ(found->enum_count, 0u);
  EXPECT_EQ(cli::journal_summary_line(*found), "变更日志发现" +
                                          std::to_string(want.size()) + "个删除记录");

  // The debug query reads the same journal range ($J from its first
  // allocated byte to its end) and finds the deletions.
  auto debug = usn_debug_query(platform::current(), folder);
  ASSERT_TRUE(debug) << debug.error().text();
  EXPECT_EQ(debug->dir_record, id->record);
  EXPECT_EQ(debug->first_usn, std::stoll(manifest->volume.at("lowest_valid_usn")));
  EXPECT_EQ(debug->next_usn, std::stoll(manifest->volume.at("next_usn")));
  EXPECT_EQ(*found->first_usn, debug->first_usn);
  EXPECT_GE(debug->accepted, want.size());

  // The two deletions whose records now hold other files are among them.
  for (const auto* r : manifest->lines("reused")) EXPECT_TRUE(got.count(r->fields.at(1))) << r->fields.at(1);
  // Renamed or overwritten files that live on are not.
  for (const char* alive : {"E:\\2\\draft.txt", "E:\\2\\final.txt", "E:\\2\\moved.txt", "E:\\2\\report.txt",
                            "E:\\2\\overwritten.txt"})
    EXPECT_FALSE(got.count(alive)) << alive;
}

}  // namespace
}  // namespace quillon
