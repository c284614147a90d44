#include "engine/windows/scope.h"

#include <gtest/gtest.h>

namespace quillon {
namespace {

// E:\2 (record 40, sequence 3) holding the live folder `live` (41, sequence 2),
// whose record 41 once held the folder `album` (sequence 1).
ScopeContext tree() {
  ScopeContext s;
  s.root_path = "E:\\2";
  s.root_frn = 40;
  s.root_file_id = 40 | (std::uint64_t{3} << 48);
  s.add_live_dir(40, DirEntry{"", 5, 0, 3});
  s.add_live_dir(41, DirEntry{"live", 40, 3, 2});
  return s;
}

TEST(FolderTree, SequenceNumbersDecideParenthood) {
  ScopeContext s = tree();
  EXPECT_EQ(s.link(41, 2), ParentLink::live);
  EXPECT_EQ(s.link(41, 0), ParentLink::live);  // unknown: the record decides
  EXPECT_EQ(s.link(41, 1), ParentLink::reused);
  EXPECT_EQ(s.link(99, 1), ParentLink::outside);
  EXPECT_EQ(s.path_of("a.jpg", 41, 2, LostNames::dropped), "E:\\2\\live\\a.jpg");
  // A child of the folder that held record 41 before: never under `live`.
  EXPECT_EQ(s.path_of("a.jpg", 41, 1, LostNames::dropped), std::nullopt);
  EXPECT_EQ(s.path_of("a.jpg", 41, 1, LostNames::under_recov_lost), "E:\\2\\$RecovLost\\0000000000000029\\a.jpg");
  // An unknown folder breaks the chain without a $RecovLost place.
  EXPECT_EQ(s.path_of("a.jpg", 99, 1, LostNames::under_recov_lost), std::nullopt);
  EXPECT_EQ(s.path_of("x", 40, 4, LostNames::under_recov_lost), "E:\\2\\$RecovLost\\0000000000000028\\x");

  // The journal names the old folder: its children get their true place.
  s.add_deleted_dir(41, DirEntry{"album", 40, 3, 1});
  EXPECT_EQ(s.link(41, 1), ParentLink::deleted);
  EXPECT_EQ(s.path_of("a.jpg", 41, 1, LostNames::dropped), "E:\\2\\album\\a.jpg");
  EXPECT_EQ(s.path_of("b.txt", 41, 2, LostNames::dropped), "E:\\2\\live\\b.txt");
}

TEST(FolderTree, DeletedFoldersJoinInAnyOrderAndNeverFromOutside) {
  ScopeContext s = tree();
  // rm -rf order: the deepest folder first, its parent last.
  EXPECT_TRUE(s.add_deleted_dir(60, DirEntry{"c", 51, 1, 1}).empty());
  EXPECT_TRUE(s.add_deleted_dir(51, DirEntry{"b", 50, 1, 1}).empty());
  EXPECT_TRUE(s.add_deleted_dir(70, DirEntry{"far", 99, 1, 1}).empty());  // under a folder outside
  EXPECT_TRUE(s.add_deleted_dir(71, DirEntry{"stale", 41, 1, 1}).empty());  // under record 41's former owner
  EXPECT_EQ(s.add_deleted_dir(50, DirEntry{"a", 40, 3, 1}), (std::vector<std::uint64_t>{50, 51, 60}));
  EXPECT_EQ(s.dir_path(60), "E:\\2\\a\\b\\c");
  EXPECT_EQ(s.link(60, 2), ParentLink::deleted);  // the freed record's own sequence
  EXPECT_EQ(s.link(60, 3), ParentLink::reused);
  EXPECT_FALSE(s.in_tree(70));
  EXPECT_FALSE(s.in_tree(71));
  EXPECT_EQ(s.path_of("f.txt", 60, 1, LostNames::dropped), "E:\\2\\a\\b\\c\\f.txt");

  // A loop of deleted folders below nothing in the tree never joins.
  ScopeContext loop = tree();
  loop.add_deleted_dir(80, DirEntry{"x", 81, 0, 1});
  loop.add_deleted_dir(81, DirEntry{"y", 80, 0, 1});
  EXPECT_FALSE(loop.in_tree(80));
  EXPECT_FALSE(loop.in_tree(81));
}

}  // namespace
}  // namespace quillon
