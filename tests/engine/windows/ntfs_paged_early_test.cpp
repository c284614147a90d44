#include "engine/windows/ntfs_paged_early.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <thread>

#include "engine/windows/ntfs_deleted_fixture.h"

namespace quillon {
namespace {

using test::FakeMft;
using test::kRecordSize;
using test::RecordBuilder;

constexpr std::uint64_t kRoot = 40;
constexpr std::uint64_t kRootId = 0x0003000000000028ULL;
constexpr std::uint64_t kLater = 42;  // a deleted folder that joins the tree after the scan started
constexpr std::uint64_t kAway = 43;   // a folder never in the tree
constexpr std::uint16_t kFree = 0;
constexpr std::uint16_t kLive = kRecordInUse;
constexpr std::uint64_t kFirst = 96;  // the page: records 96..111
constexpr std::uint64_t kPage = 16;

std::string text(const DeletedItem& i) {
  std::ostringstream o;
  o << i.frn << '|' << i.parent_frn << '|' << i.parent_sequence << '|' << i.path << '|' << i.size << '|'
    << i.time.value_or(0) << '|' << int{i.sources} << '|' << i.folder;
  return o.str();
}

// A yield as comparable lines, in its own order.
std::vector<std::string> lines(const PageYield& y) {
  std::vector<std::string> out{"scanned " + std::to_string(y.records_scanned)};
  for (const auto& i : y.items) out.push_back("item " + text(i));
  for (const auto& d : y.freed_dirs)
    out.push_back("dir " + std::to_string(d.record) + " " + d.entry.name + " " + std::to_string(d.entry.parent) + " " +
                  std::to_string(d.entry.sequence) + " " + std::to_string(d.time));
  for (const auto& o : y.orphans) out.push_back("orphan " + std::to_string(o.record) + " " + std::to_string(o.parent));
  return out;
}

// E:\2 (40) holding the live folder a (41); the freed folder b (42, under a)
// joins the tree only "later"; c (43) lies outside it.
class EarlyScan : public ::testing::Test {
 protected:
  EarlyScan() {
    auto p = std::make_unique<platform::MemoryPlatform>();
    mem_ = p.get();
    p->add_directory("E:\\2", kRootId);
    p->add_directory("E:\\2\\a", 41);
    p->add_file("E:\\2\\a\\live.txt", 101);
    scoped_.emplace(std::move(p));
    scope_.system = &platform::current();
    scope_.root_path = "E:\\2";
    scope_.root_frn = kRoot;
    scope_.root_file_id = kRootId;
    scope_.dir_map = {{kRoot, {"", 5}}, {41, {"a", kRoot}}};
    scope_.dir_frns = {kRoot, 41};
    scope_.parent_match_frns = {kRoot, 41, kRootId};
    at_start_ = scope_.parent_match_frns;

    const std::string long8 = "torn-" + std::string(200, 'x') + ".txt";
    put(96, RecordBuilder(kRecordSize, kFree).file_name(41, u"x.txt").file_name(41, u"X~1.TXT", 2).build(true));
    put(97, RecordBuilder(kRecordSize, kFree).file_name(kLater, u"y.txt", 1, 4096, 7).build(true));
    put(98, RecordBuilder(kRecordSize, kFree).file_name(kAway, u"z.txt").file_name(kAway, u"Z~1.TXT", 2).build(true));
    put(99, dir_flag(RecordBuilder(kRecordSize, kFree, 4).file_name(41, u"d", 1, 0, 9).index({}).build(true)));
    put(100, dir_flag(RecordBuilder(kRecordSize, kFree).base(99).file_name(41, u"ext").build(true)));
    put(101, RecordBuilder(kRecordSize, kLive).file_name(41, u"live.txt").build(true));
    put(102, RecordBuilder(kRecordSize, kFree).file_name(41, u"accepted.txt").build(true));
    auto torn = RecordBuilder(kRecordSize, kFree).file_name(41, std::u16string(long8.begin(), long8.end())).build(true);
    test::put16(torn, 1022, 0x1234);
    put(104, torn);
    put(105, RecordBuilder(kRecordSize, kFree).file_name(kAway, u"w.txt").file_name(41, u"w.txt").build(true));
    put(106, RecordBuilder(kRecordSize, kFree).file_name(kLater, u"v.txt").file_name(kAway, u"v2.txt").build(true));
    // Named under the tree, yet no item (a separator in the name): its
    // other names are set aside.
    put(107, RecordBuilder(kRecordSize, kFree).file_name(41, u"bad/name").file_name(kAway, u"q.txt").build(true));
    put(108, RecordBuilder(kRecordSize, kFree).build(true));  // no names
    mem_->set_volume('E', mft_.volume());
    mft_ctx_ = mft_.context();
  }

  void put(std::uint64_t n, MftRecord r) {
    records_[n] = test::numbered(r, n);
    mft_.put(n, r);
  }
  static MftRecord dir_flag(MftRecord r) {
    r[0x16] = r[0x16] | std::byte{kRecordDirectory};
    return r;
  }

  // The page as the disk holds it.
  std::vector<std::byte> page() const {
    std::vector<std::byte> p(kPage * kRecordSize);
    for (const auto& [n, r] : records_)
      if (n >= kFirst && n < kFirst + kPage) std::copy(r.begin(), r.end(), p.begin() + (n - kFirst) * kRecordSize);
    return p;
  }

  // The tree as the paged phase finds it: b joined, 102 accepted before.
  ScanContext at_turn() {
    scope_.add_deleted_dir(kLater, DirEntry{"b", 41, 0, 1, true});
    ScanContext ctx = scan_context_over(scope_);
    ctx.geometry = mft_ctx_.geometry;
    ctx.skip = std::make_shared<const FrnSet>(FrnSet{102, 5000});
    return ctx;
  }

  platform::MemoryPlatform* mem_ = nullptr;
  std::optional<platform::ScopedPlatform> scoped_;
  FakeMft mft_;
  std::map<std::uint64_t, MftRecord> records_;
  MftContext mft_ctx_;
  ScopeContext scope_;
  FrnSet at_start_;
};

// Whatever the tree when the page was read (none yet, or one that grew
// since) and whatever was kept of it, the
// page judged later yields what a scan of it then yields: the same items,
// freed folders, set-aside records and count, in the same order.
TEST_F(EarlyScan, AHeldPageJudgedLaterYieldsWhatItsScanThenYields) {
  ScanContext ctx = at_turn();
  auto fresh = page();
  const auto want = lines(scan_record_buffer(fresh, kFirst, kRecordSize, ctx));
  ASSERT_GE(want.size(), 8u);  // the case holds items, a freed folder and orphans
  auto reader = open_volume(platform::current(), 'E');
  ASSERT_TRUE(reader);
  struct Case {
    const char* what;
    std::optional<FrnSet> tree;  // none: not built yet
    std::size_t room;
    std::size_t kept;
  } cases[] = {
      {"the tree at the start, room for all", at_start_, 1 << 20, 5},  // 96, 102, 104, 105, 107
      {"nothing kept: read again", at_start_, 0, 0},
      {"room for two", at_start_, 2 * kRecordSize, 2},
      {"an empty tree at the start", FrnSet{}, 1 << 20, 0},
      {"the tree of the turn itself", ctx.parents(), 1 << 20, 7},
      {"no tree yet: every freed file kept", std::nullopt, 1 << 20, 8},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    auto held = page();
    std::atomic<std::size_t> room{c.room};
    PageHoldings h = hold_page(held, kFirst, kRecordSize, c.tree ? &*c.tree : nullptr, room);
    EXPECT_EQ(h.kept.size(), c.kept);
    EXPECT_EQ(lines(judge_page(h, 1, ctx, *reader)), want);
  }
}

// A freed file that has a name under the tree only at the paged phase's
// turn is read again from the volume; when it cannot be, it yields nothing
// (never a stale or foreign record), and what was kept still counts.
TEST_F(EarlyScan, WhatCannotBeReadAgainYieldsNothing) {
  ScanContext ctx = at_turn();
  auto fresh = page();
  auto whole = scan_record_buffer(fresh, kFirst, kRecordSize, ctx);
  std::vector<std::string> want;
  for (const auto& i : whole.items)
    if (i.parent_frn != kLater) want.push_back(text(i));
  ASSERT_LT(want.size(), whole.items.size());  // some items stand under b

  auto held = page();
  std::atomic<std::size_t> room{1 << 20};
  PageHoldings h = hold_page(held, kFirst, kRecordSize, &at_start_, room);
  mem_->set_volume('E', platform::MemoryPlatform::Volume{});
  auto gone = open_volume(platform::current(), 'E');
  ASSERT_TRUE(gone);
  auto y = judge_page(h, 1, ctx, *gone);
  std::vector<std::string> got;
  for (const auto& i : y.items) got.push_back(text(i));
  EXPECT_EQ(got, want);
  EXPECT_EQ(y.records_scanned, kPage - 1);
  EXPECT_EQ(y.freed_dirs.size(), whole.freed_dirs.size());
}

PagedScanRequest request(const MftContext& mft, std::uint64_t bound, std::uint64_t page, std::uint64_t workers) {
  ScanOptions o;
  o.page_size = static_cast<std::uint32_t>(page);
  o.worker_threads = workers;
  auto r = paged_scan_request(mft, o, kRoot, TimeBudget(Duration{60, 0}), VolumeAccess{&platform::current(), 'E', {}});
  r.bound = bound;
  return r;
}

std::vector<std::string> sorted_lines(const PagedScanResult& r) {
  PageYield y{r.items, r.audit.records_scanned, r.freed_dirs, r.orphans};
  auto out = lines(y);
  std::sort(out.begin(), out.end());
  const auto& a = r.audit;
  out.push_back("audit " + std::to_string(a.pages_total) + " " + std::to_string(a.pages_done) + " " +
                std::to_string(a.pages_failed) + " " + std::to_string(a.items_found) + " " +
                std::to_string(a.threads));
  return out;
}

// The whole scan started early and finished at the paged phase's turn gives
// what the parallel scan started at that turn gives (pages of 4, some past
// the volume's end, two workers).
TEST_F(EarlyScan, FinishedAtItsTurnAsIfStartedThen) {
  const auto req = request(mft_ctx_, 128, 4, 2);
  EarlyPagedScan early(req);
  early.set_tree(at_start_);
  ScanContext ctx = at_turn();
  EXPECT_TRUE(early.serves(ctx, req));
  auto reader = open_volume(platform::current(), 'E');
  ASSERT_TRUE(reader);
  auto got = early.finish(ctx, *reader);
  auto want = parallel_mft_scan(req, [&](std::span<std::byte> p, std::uint64_t first) {
    return scan_record_buffer(p, first, kRecordSize, ctx);
  });
  EXPECT_EQ(got.audit.records_scanned, want.audit.records_scanned);
  EXPECT_EQ(sorted_lines(got), sorted_lines(want));
  EXPECT_GT(want.audit.pages_failed, 0u);
  EXPECT_FALSE(want.items.empty());

  // A scan that reads records in use, or with journal hints, is not one the
  // early pages can stand for; nor is another request.
  ScanContext in_use = ctx;
  in_use.include_in_use = true;
  EXPECT_FALSE(early.serves(in_use, req));
  auto other = req;
  other.page_size = 8;
  EXPECT_FALSE(early.serves(ctx, other));
}

TEST_F(EarlyScan, APassedDeadlineOrAnUnfinishedScanReadsNothing) {
  auto req = request(mft_ctx_, 128, 4, 2);
  req.deadline = TimeBudget(Duration{});
  EarlyPagedScan early(req, at_start_);
  auto reader = open_volume(platform::current(), 'E');
  ASSERT_TRUE(reader);
  auto r = early.finish(at_turn(), *reader);
  EXPECT_EQ(r.audit.pages_total, 32u);
  EXPECT_EQ(r.audit.pages_done, 0u);
  EXPECT_TRUE(r.items.empty());
  // Dropped unfinished: the workers stop and are joined.
  { EarlyPagedScan dropped(request(mft_ctx_, 1 << 12, 4, 2), at_start_); }
}

TEST_F(EarlyScan, TheLogReadAheadIsTheLogReadLater) {
  // This volume has no $LogFile: both give the same error.
  EarlyLogRead early(VolumeAccess{&platform::current(), 'E', {}}, mft_ctx_, TimeBudget(Duration{60, 0}));
  auto reader = open_volume(platform::current(), 'E');
  ASSERT_TRUE(reader);
  auto later = read_logfile_tail(*reader, mft_ctx_);
  auto ahead = early.take();
  ASSERT_FALSE(later);
  ASSERT_FALSE(ahead);
  EXPECT_EQ(ahead.error().text(), later.error().text());
  // Without the volume the open error is the answer.
  platform::ScopedPlatform none(std::make_unique<platform::MemoryPlatform>());
  EarlyLogRead unopened(VolumeAccess{&platform::current(), 'E', {}}, mft_ctx_, TimeBudget(Duration{60, 0}));
  EXPECT_FALSE(unopened.take());
}

}  // namespace
}  // namespace quillon

namespace quillon {
namespace {

// Takes every page the order hands out, marking each done, with `pause`
// after the first `before_pause` pages.
std::vector<std::uint64_t> taken(PageWalk& walk, AscendingWhileAhead& order, std::size_t before_pause,
                                 std::chrono::milliseconds pause) {
  std::vector<std::uint64_t> out;
  while (auto i = order()) {
    out.push_back(walk.pages[*i]);
    walk.pages_done.fetch_add(1);
    if (out.size() == before_pause) std::this_thread::sleep_for(pause);
  }
  return out;
}

// A scan well ahead of its deadline reads its pages in ascending order; one
// whose pace would not finish within half the time left reads the pages
// left nearest the folder first. Every page is handed out once either way.
TEST(EarlyScanOrder, AscendingWhileAheadThenNearestFirst) {
  PageWalk fast;
  fast.pages = ordered_pages(400, 4, 237);  // 100 pages, nearest page 236 first
  AscendingWhileAhead ahead(fast, 2, TimeBudget(Duration{60, 0}));
  auto all = taken(fast, ahead, 0, {});
  EXPECT_TRUE(std::is_sorted(all.begin(), all.end()));
  EXPECT_EQ(all.size(), 100u);
  EXPECT_FALSE(ahead.nearest_first());

  PageWalk slow;
  slow.pages = fast.pages;
  // Four pages in 50 ms: 96 more would take 1.2 s of the 2 s.
  AscendingWhileAhead behind(slow, 2, TimeBudget(Duration{2, 0}));
  auto got = taken(slow, behind, 4, std::chrono::milliseconds(50));
  EXPECT_TRUE(behind.nearest_first());
  ASSERT_EQ(got.size(), 100u);
  EXPECT_EQ(std::vector<std::uint64_t>(got.begin(), got.begin() + 4), (std::vector<std::uint64_t>{0, 4, 8, 12}));
  std::vector<std::uint64_t> rest(got.begin() + 4, got.end());
  auto want = rest;
  std::sort(want.begin(), want.end());
  sort_by_block_distance(want, 237, 4);
  EXPECT_EQ(rest, want);
  EXPECT_EQ(rest.front(), 236u);
  std::sort(got.begin(), got.end());
  EXPECT_EQ(std::adjacent_find(got.begin(), got.end()), got.end()) << "a page handed out twice";
}

}  // namespace
}  // namespace quillon
