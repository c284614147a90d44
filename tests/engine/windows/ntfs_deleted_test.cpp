#include "engine/windows/ntfs_deleted.h"

#include <gtest/gtest.h>

#include "common/text.h"
#include "platform/memory/memory_platform.h"

namespace quillon {
namespace {

constexpr std::uint64_t kRoot = 40;
constexpr std::uint64_t kRootId = 0x0003000000000028ULL;

// E:\2 (40) holding a (41) holding b (42), and a deleted directory gone (43).
ScopeContext sample_scope(std::string root = "E:\\2") {
  ScopeContext s;
  s.system = &platform::current();
  s.root_path = std::move(root);
  s.root_frn = kRoot;
  s.root_file_id = kRootId;
  s.dir_map = {{kRoot, {"", 5}}, {41, {"a", kRoot}}, {42, {"b", 41}}, {43, {"gone", kRoot}}};
  s.dir_frns = {kRoot, 41, 42, 43};
  s.deleted_dirs = {43};
  s.parent_match_frns = {kRoot, 41, 42, 43, kRootId};
  return s;
}

DeletedItem candidate(std::uint64_t frn, std::uint64_t parent, std::string path) {
  DeletedItem d;
  d.frn = frn;
  d.parent_frn = parent;
  d.path = std::move(path);
  return d;
}

class NtfsDeletedTest : public ::testing::Test {
 protected:
  NtfsDeletedTest() : platform_(install()) {}
  static std::unique_ptr<platform::Platform> install() {
    auto p = std::make_unique<platform::MemoryPlatform>();
    p->add_directory("E:\\2", kRootId);
    p->add_directory("E:\\2\\a", 41);
    p->add_directory("E:\\2\\a\\b", 42);
    p->add_file("E:\\2\\a\\live.txt", 60);
    return p;
  }
  platform::ScopedPlatform platform_;
};

TEST_F(NtfsDeletedTest, RebuildPathFollowsTheChainAndJoinsOnce) {
  auto s = sample_scope();
  EXPECT_EQ(rebuild_path("x.txt", kRoot, s.root_path, kRoot, s.dir_map, false), "E:\\2\\x.txt");
  // The parent is compared by its record number only.
  EXPECT_EQ(rebuild_path("x.txt", kRootId, s.root_path, kRoot, s.dir_map, false), "E:\\2\\x.txt");
  EXPECT_EQ(rebuild_path("x.txt", 42, s.root_path, kRoot, s.dir_map, false), "E:\\2\\a\\b\\x.txt");
  EXPECT_EQ(rebuild_path("x.txt", 42, "E:\\2\\", kRoot, s.dir_map, false), "E:\\2\\a\\b\\x.txt");
  EXPECT_EQ(rebuild_path("x.txt", 41, "E:\\", kRoot, s.dir_map, false), "E:\\a\\x.txt");
}

TEST_F(NtfsDeletedTest, RebuildPathPartialChainsAndCycles) {
  DirMap map = {{100, {"p1", 101}}, {101, {"p2", 999}}, {200, {"c1", 201}}, {201, {"c2", 200}}, {300, {"self", 300}}};
  // Breaks after two ancestors: the highest one found goes directly under the root.
  EXPECT_EQ(rebuild_path("n", 100, "E:\\2", kRoot, map, true), "E:\\2\\p2\\p1\\n");
  EXPECT_EQ(rebuild_path("n", 100, "E:\\2", kRoot, map, false), std::nullopt);
  // Breaks at the first lookup: nothing, even when partial paths are allowed.
  EXPECT_EQ(rebuild_path("n", 777, "E:\\2", kRoot, map, true), std::nullopt);
  // Cycles and self-parents end after the lookup limit, partial or not.
  EXPECT_EQ(rebuild_path("n", 200, "E:\\2", kRoot, map, true), std::nullopt);
  EXPECT_EQ(rebuild_path("n", 300, "E:\\2", kRoot, map, true), std::nullopt);
}

TEST_F(NtfsDeletedTest, RebuildPathDepthLimit) {
  // A chain of `levels` directories below the root: record 1000 + i has parent 1000 + i - 1.
  auto chain = [](int levels) {
    DirMap map;
    for (int i = 0; i < levels; ++i)
      map[1000 + i] = {"d" + std::to_string(i), i == 0 ? kRoot : static_cast<std::uint64_t>(1000 + i - 1)};
    return map;
  };
  // 63 lookups reach the root; the 64th directory level is one too many.
  auto ok = rebuild_path("n", 1000 + 62, "E:\\2", kRoot, chain(63), false);
  ASSERT_TRUE(ok);
  EXPECT_TRUE(ok->starts_with("E:\\2\\d0\\d1\\"));
  EXPECT_TRUE(ok->ends_with("\\d62\\n"));
  EXPECT_EQ(rebuild_path("n", 1000 + 63, "E:\\2", kRoot, chain(64), false), std::nullopt);
  EXPECT_EQ(rebuild_path("n", 1000 + 63, "E:\\2", kRoot, chain(64), true), std::nullopt);
}

TEST_F(NtfsDeletedTest, ItemFromRecordCarriesFieldsAndBuildsLostPaths) {
  auto s = sample_scope();
  FileNameEntry rec{"a.txt", 41, 4096, 0x01d9000000000000ULL};
  auto item = item_from_record(rec, 77, s.root_path, kRoot, s.dir_map, false);
  ASSERT_TRUE(item);
  EXPECT_EQ(item->path, "E:\\2\\a\\a.txt");
  EXPECT_EQ(item->frn, 77u);
  EXPECT_EQ(item->parent_frn, 41u);
  EXPECT_EQ(item->size, 4096u);
  EXPECT_EQ(item->time, 0x01d9000000000000ULL);
  rec.time = 0;
  EXPECT_EQ(item_from_record(rec, 77, s.root_path, kRoot, s.dir_map, false)->time, std::nullopt);

  FileNameEntry lost{"a.txt", 0x1a2b, 0, 0};
  EXPECT_EQ(item_from_record(lost, 9, s.root_path, kRoot, s.dir_map, false), std::nullopt);
  EXPECT_EQ(item_from_record(lost, 9, "E:\\2", kRoot, s.dir_map, true)->path, "E:\\2\\$RecovLost\\0000000000001a2b\\a.txt");
  EXPECT_EQ(item_from_record(lost, 9, "E:\\2\\", kRoot, s.dir_map, true)->path,
            "E:\\2\\$RecovLost\\0000000000001a2b\\a.txt");
  EXPECT_EQ(item_from_record(lost, 9, "E:\\2/", kRoot, s.dir_map, true)->path, "E:\\2/$RecovLost\\0000000000001a2b\\a.txt");
}

TEST_F(NtfsDeletedTest, LastComponentFollowsWindowsParsing) {
  EXPECT_EQ(last_component("E:\\2\\a.txt"), "a.txt");
  EXPECT_EQ(last_component("E:\\2\\"), "2");
  EXPECT_EQ(last_component("E:\\2\\."), "2");
  EXPECT_EQ(last_component("E:\\2\\.."), std::nullopt);
  EXPECT_EQ(last_component("E:\\"), std::nullopt);
  EXPECT_EQ(last_component("E:"), std::nullopt);
  EXPECT_EQ(last_component("\\\\server\\share"), std::nullopt);
  EXPECT_EQ(last_component("\\\\?\\E:\\x"), "x");
  EXPECT_EQ(last_component(""), std::nullopt);
}

TEST_F(NtfsDeletedTest, DedupKeyUsesFnv1aOverParentAndName) {
  auto item = candidate(9, 0x1a2b, "E:\\2\\a.txt");
  EXPECT_EQ(dedup_key(item), "9|E:\\2\\a.txt|15063ee7bc91dca5");
  // The sequence bits of the parent are not hashed.
  item.parent_frn = 0x0007000000001a2bULL;
  EXPECT_EQ(dedup_key(item), "9|E:\\2\\a.txt|15063ee7bc91dca5");
  // No last component, or one that is not UTF-8: the parent bytes alone.
  EXPECT_EQ(hex_lower_padded(name_hash(candidate(1, 0x1a2b, "E:\\")), 16), "802efba0179181f0");
  EXPECT_EQ(hex_lower_padded(name_hash(candidate(1, 0x1a2b, "E:\\2\\\xed\xa0\x80")), 16), "802efba0179181f0");
  EXPECT_EQ(hex_lower_padded(name_hash(candidate(1, 40, "E:\\2\\день.txt")), 16), "f5dc8c2bfb6470da");
}

TEST_F(NtfsDeletedTest, StrictParentCheck) {
  auto s = sample_scope();
  EXPECT_TRUE(strict_parent_check(s, candidate(70, kRoot, "E:\\2\\x.txt")));
  EXPECT_TRUE(strict_parent_check(s, candidate(70, 42, "E:\\2\\a\\b\\x.txt")));
  EXPECT_TRUE(strict_parent_check(s, candidate(70, 42, "e:/2/A/B/X.TXT")));
  EXPECT_TRUE(strict_parent_check(s, candidate(70, kRootId, "E:\\2\\x.txt")));
  // A record under the deleted directory, placed through the map.
  EXPECT_TRUE(strict_parent_check(s, candidate(70, 43, "E:\\2\\gone\\x.txt")));
  // The right parent, but the path claims another directory.
  EXPECT_FALSE(strict_parent_check(s, candidate(70, 41, "E:\\2\\x.txt")));
  // A parent outside the scope, a path outside the root.
  EXPECT_FALSE(strict_parent_check(s, candidate(70, 500, "E:\\2\\x.txt")));
  EXPECT_FALSE(strict_parent_check(s, candidate(70, kRoot, "E:\\20\\x.txt")));
  // No usable last component.
  EXPECT_FALSE(strict_parent_check(s, candidate(70, kRoot, "E:\\2\\..")));
  EXPECT_FALSE(strict_parent_check(s, candidate(70, kRoot, "E:\\2")));
  EXPECT_FALSE(strict_parent_check(s, candidate(70, kRoot, "E:\\2\\\xed\xa0\x80")));
}

TEST_F(NtfsDeletedTest, StrictParentCheckWithOtherRootSpellings) {
  for (std::string root : {"E:\\2\\", "e:\\2", "\\\\?\\E:\\2", "E:/2"}) {
    auto s = sample_scope(root);
    auto path = rebuild_path("x.txt", 42, root, kRoot, s.dir_map, false);
    ASSERT_TRUE(path) << root;
    EXPECT_TRUE(strict_parent_check(s, candidate(70, 42, *path))) << root;
    EXPECT_TRUE(strict_parent_check(s, candidate(70, kRoot, "E:\\2\\x.txt"))) << root;
  }
}

TEST_F(NtfsDeletedTest, StrictParentCheckAcceptsDirectoryWithUnpairedSurrogate) {
  auto s = sample_scope();
  s.dir_map[44] = {"bad\xed\xa0\x80", kRoot};  // WTF-8: a lone high surrogate
  s.dir_frns.insert(44);
  s.parent_match_frns.insert(44);
  auto path = rebuild_path("x.txt", 44, s.root_path, kRoot, s.dir_map, false);
  ASSERT_TRUE(path);
  EXPECT_TRUE(strict_parent_check(s, candidate(70, 44, *path)));
}

TEST_F(NtfsDeletedTest, LooseCheck) {
  auto s = sample_scope();
  s.strict_parent = false;
  EXPECT_TRUE(loose_check(s, candidate(70, 41, "E:\\2\\a\\x.txt")));
  EXPECT_FALSE(loose_check(s, candidate(60, 41, "E:\\2\\a\\live.txt")));  // still on the volume
  EXPECT_FALSE(loose_check(s, candidate(70, 41, "E:\\3\\x.txt")));
  EXPECT_FALSE(loose_check(s, candidate(70, 41, "E:\\2\\a\\lib-x")));  // noise
  // Not strictly placed, but the parent is in scope.
  EXPECT_TRUE(loose_check(s, candidate(70, 41, "E:\\2\\elsewhere\\x.txt")));
  EXPECT_FALSE(loose_check(s, candidate(70, 500, "E:\\2\\elsewhere\\x.txt")));
  // Lost paths are taken under deleted directories too.
  auto scope_without = s;
  scope_without.parent_match_frns.erase(43);
  EXPECT_TRUE(loose_check(scope_without, candidate(70, 43, "E:\\2\\$RecovLost\\000000000000002b\\x.txt")));
  EXPECT_FALSE(loose_check(scope_without, candidate(70, 43, "E:\\2\\gone2\\x.txt")));
}

TEST_F(NtfsDeletedTest, AcceptCandidatesFiltersCountsAndDeduplicates) {
  auto s = sample_scope();
  MftAudit audit;
  std::vector<DeletedItem> out;
  std::unordered_set<std::string> keys;
  std::unordered_set<std::uint64_t> frns;
  accept_candidates(s, audit, out, keys, frns,
                    {candidate(70, kRoot, "E:\\2\\x.txt"),
                     candidate(70, kRoot, "E:\\2\\x.txt"),       // duplicate: dropped, not counted
                     candidate(70, 41, "E:\\2\\a\\x.txt"),       // same FRN, another path: kept
                     candidate(71, kRoot, "E:\\2\\lib-x.rmeta"),  // noise
                     candidate(72, 500, "E:\\9\\y.txt"),          // other folder
                     candidate(73, kRoot, "E:\\2\\.."),           // no name: skips the filter, fails the check
                     candidate(74, kRoot, "E:\\2\\")});
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[0].path, "E:\\2\\x.txt");
  EXPECT_EQ(out[1].path, "E:\\2\\a\\x.txt");
  EXPECT_EQ(audit.filtered_cross_dir, 4u);
  EXPECT_EQ(keys.size(), 2u);
  EXPECT_EQ(frns, (std::unordered_set<std::uint64_t>{70}));

  // Keys persist across batches: the same candidate later adds nothing.
  accept_candidates(s, audit, out, keys, frns, {candidate(70, kRoot, "E:\\2\\x.txt")});
  EXPECT_EQ(out.size(), 2u);
  EXPECT_EQ(audit.filtered_cross_dir, 4u);
}

}  // namespace
}  // namespace quillon
