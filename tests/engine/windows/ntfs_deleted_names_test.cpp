#include "engine/windows/ntfs_deleted_names.h"

#include <gtest/gtest.h>

#include "platform/memory/memory_platform.h"

namespace quillon {
namespace {

constexpr std::uint64_t kRoot = 40;
const DirMap kMap = {{kRoot, {"", 5}}, {41, {"a", kRoot}}};

ScopeContext tree(FrnSet parents) {
  ScopeContext s;
  s.system = &platform::current();
  s.root_path = "E:\\2";
  s.root_frn = kRoot;
  s.dir_map = kMap;
  s.dir_frns = {kRoot, 41};
  s.parent_match_frns = std::move(parents);
  return s;
}

std::vector<std::string> names_of(const std::vector<FileNameEntry>& v) {
  std::vector<std::string> out;
  for (const auto& e : v) out.push_back(e.name);
  return out;
}

std::vector<std::string> paths_of(const std::vector<DeletedItem>& v) {
  std::vector<std::string> out;
  for (const auto& e : v) out.push_back(e.path);
  return out;
}

TEST(FinishNames, NoiseThenJournalNames) {
  std::vector<FileNameEntry> in = {{"report.docx", 40, 0, 0}, {"lib-x.txt", 40, 0, 0}, {"REPORT~1.DOC", 40, 0, 0}};
  EXPECT_EQ(names_of(finish_names(in, 70, nullptr, false)), (std::vector<std::string>{"report.docx", "REPORT~1.DOC"}));

  UsnHints hints;
  hints.names_by_frn[70] = {"report.docx"};
  EXPECT_EQ(names_of(finish_names(in, 70, &hints, false)), (std::vector<std::string>{"report.docx"}));
  // The journal's names only steer the records it named, and only in strict mode.
  EXPECT_EQ(finish_names(in, 71, &hints, false).size(), 2u);
  EXPECT_EQ(finish_names(in, 70, &hints, true).size(), 3u);
  // The comparison is exact.
  hints.names_by_frn[70] = {"Report.docx"};
  EXPECT_TRUE(finish_names(in, 70, &hints, false).empty());
}

TEST(NamesByParent, KeepsOrderAndMatchesMaskedOrFullParents) {
  std::vector<std::pair<std::uint64_t, std::string>> names = {
      {41, "one.txt"}, {99, "other.txt"}, {0x0002000000000029ULL, "two.txt"}, {41, "tmp.x"}, {kRoot, "three.txt"}};
  FrnSet parents = {41, kRoot};
  auto out = names_by_parent(names, parents, false);
  EXPECT_EQ(names_of(out), (std::vector<std::string>{"one.txt", "two.txt", "three.txt"}));
  for (const auto& e : out) {
    EXPECT_EQ(e.size, 0u);
    EXPECT_EQ(e.time, 0u);
  }
  // Loose mode keeps "tmp.x".
  EXPECT_EQ(names_by_parent(names, parents, true).size(), 4u);
}

TEST(BuildDeletedItems, PlacesWhatItCan) {
  platform::ScopedPlatform scoped(std::make_unique<platform::MemoryPlatform>());
  std::vector<FileNameEntry> in = {{"x.txt", 41, 10, 0}, {"y.txt", 555, 0, 0}};
  EXPECT_EQ(paths_of(build_deleted_items(in, 70, tree({kRoot, 41}), LostNames::dropped)),
            (std::vector<std::string>{"E:\\2\\a\\x.txt"}));
  EXPECT_EQ(paths_of(build_deleted_items(in, 70, tree({kRoot, 41}), LostNames::under_recov_lost)),
            (std::vector<std::string>{"E:\\2\\a\\x.txt", "E:\\2\\$RecovLost\\000000000000022b\\y.txt"}));
}

// A record still in use yields only the names whose files are gone. The size
// in the record's own $FILE_NAME is no evidence: live files usually show 0.
TEST(BuildInUseItems, KeepsOnlyNamesWhoseFilesAreGone) {
  auto mem = std::make_unique<platform::MemoryPlatform>();
  mem->add_directory("E:\\2", kRoot);
  mem->add_directory("E:\\2\\a", 41);
  mem->add_file("E:\\2\\a\\live.txt", 70);
  platform::ScopedPlatform scoped(std::move(mem));

  FrnSet parents = {kRoot, 41};
  std::vector<FileNameEntry> in = {
      {"live.txt", 41, 0, 0},     // size 0, still there: not deleted
      {"gone.txt", 41, 0, 0},     // moved away or deleted: kept
      {"gone2.txt", 41, 512, 0},  // size does not matter either way
      {"far.txt", 555, 0, 0},     // parent not in the set
  };
  EXPECT_EQ(paths_of(build_in_use_items(in, 70, tree(parents))),
            (std::vector<std::string>{"E:\\2\\a\\gone.txt", "E:\\2\\a\\gone2.txt"}));

  // A parent in the set but missing from the map cannot be placed: present.
  FrnSet wider = {kRoot, 41, 555};
  EXPECT_TRUE(build_in_use_items(std::vector<FileNameEntry>{{"far.txt", 555, 0, 0}}, 70, tree(wider))
                  .empty());
}

}  // namespace
}  // namespace quillon
