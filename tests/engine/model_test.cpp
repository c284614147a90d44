#include "engine/model.h"

#include <gtest/gtest.h>

namespace quillon {
namespace {

using namespace std::chrono_literals;

TEST(TimeBudget, ExpiredAndRemainingAtTheBoundaries) {
  auto t0 = TimeBudget::Clock::now();
  TimeBudget b(t0, Duration{60, 0});
  EXPECT_FALSE(b.expired_at(t0));
  EXPECT_EQ(b.remaining_at(t0), (Duration{60, 0}));
  EXPECT_FALSE(b.expired_at(t0 + 59s + 999999999ns));
  EXPECT_EQ(b.remaining_at(t0 + 59s + 999999999ns), (Duration{0, 1}));
  EXPECT_TRUE(b.expired_at(t0 + 60s));  // equal counts as expired
  EXPECT_TRUE(b.remaining_at(t0 + 60s).is_zero());
  EXPECT_TRUE(b.remaining_at(t0 + 3600s).is_zero());  // never negative
  EXPECT_EQ(b.remaining_at(t0 + 1500ms), (Duration{58, 500000000}));

  TimeBudget zero(t0, Duration{});
  EXPECT_TRUE(zero.expired_at(t0));
  // A limit past what nanoseconds count never comes, and does not wrap.
  TimeBudget forever(t0, Duration{~0ULL, 999'999'999});
  EXPECT_FALSE(forever.expired_at(t0 + 3600s));
  // A clock that reads before the start counts as nothing elapsed.
  EXPECT_EQ(b.elapsed_at(t0 - 5s), Duration{});
}

TEST(MergeKey, FirstItemUnderAKeyWins) {
  std::vector<DeletedItem> out;
  std::unordered_set<std::string> keys;
  DeletedItem usn{42, 5, "E:\\2\\a.txt", 0, std::nullopt};
  DeletedItem mft{42, 7, "E:\\2\\a.txt", 100, 1234};
  DeletedItem other_path{42, 5, "E:\\2\\b.txt", 0, std::nullopt};
  EXPECT_TRUE(merge_item(out, keys, usn));
  EXPECT_FALSE(merge_item(out, keys, mft));  // same FRN and path, other parent
  EXPECT_TRUE(merge_item(out, keys, other_path));
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[0], usn);
  EXPECT_EQ(merge_key(usn), "42|E:\\2\\a.txt");
}

TEST(PathOrder, ComponentWiseByBytes) {
  EXPECT_TRUE(path_less("E:\\2\\a\\z", "E:\\2\\a b"));
  EXPECT_FALSE(path_less("E:\\2\\a b", "E:\\2\\a\\z"));
  EXPECT_TRUE(path_less("E:\\2\\B", "E:\\2\\a"));
  EXPECT_TRUE(path_less("E:\\2\\a", "E:\\2\\a\\b"));
  // Separators of either kind, repeated separators and "." do not count.
  EXPECT_FALSE(path_less("E:/2//a", "E:\\2\\.\\a"));
  EXPECT_FALSE(path_less("E:\\2\\.\\a", "E:/2//a"));
  // Bytes compare unsigned: a non-ASCII name sorts after ASCII names.
  EXPECT_TRUE(path_less("E:\\2\\z", "E:\\2\\\xE4\xB8\xAD"));

  std::vector<DeletedItem> items{{1, 0, "E:\\2\\a b", 0, {}}, {2, 0, "E:\\2\\a\\z", 0, {}},
                                 {3, 0, "E:\\2\\B", 0, {}},   {4, 0, "E:\\2\\a\\z", 0, {}}};
  sort_by_path(items);
  ASSERT_EQ(items.size(), 4u);
  EXPECT_EQ(items[0].frn, 3u);
  EXPECT_EQ(items[1].frn, 2u);  // stable: equal paths keep their order
  EXPECT_EQ(items[2].frn, 4u);
  EXPECT_EQ(items[3].frn, 1u);
}

TEST(PathOrder, Prefixes) {
  using V = std::vector<std::string_view>;
  EXPECT_EQ(path_components("E:\\2\\x"), (V{"E:", "\\", "2", "x"}));
  EXPECT_EQ(path_components("\\\\?\\E:\\2"), (V{"\\\\?\\E:", "\\", "2"}));
  EXPECT_EQ(path_components("\\\\srv\\share\\d"), (V{"\\\\srv\\share", "\\", "d"}));
  EXPECT_EQ(path_components("rel/x"), (V{"rel", "x"}));
}

}  // namespace
}  // namespace quillon
