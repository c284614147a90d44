#include "engine/windows/ntfs_paged_scan.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <thread>
#include <mutex>
#include <condition_variable>
#include <chrono>
#include <atomic>
#include <cstring>
#include <set>
#include <stdexcept>

#include "engine/windows/mft_audit_line.h"
#include "platform/memory/memory_platform.h"
#include "support/decorated_platform.h"

namespace quillon {
namespace {

using Pages = std::vector<std::uint64_t>;

TEST(PageOrder, ByBlockDistanceLowerFirst) {
  Pages p{0, 4, 8, 12, 16};
  sort_by_block_distance(p, 9, 4);
  EXPECT_EQ(p, (Pages{8, 4, 12, 0, 16}));
  EXPECT_EQ(ordered_pages(10, 4, 0), (Pages{0, 4, 8}));  // ceil(10 / 4) pages
  EXPECT_EQ(ordered_pages(0, 4, 0), Pages{});
  EXPECT_EQ(ordered_pages(8, 4, 1000), (Pages{4, 0}));  // target beyond the end
}

TEST(PageOrder, PiecesPerWorker) {
  Pages five{0, 1, 2, 3, 4};
  auto pieces = cut_pieces(five, 4);
  ASSERT_EQ(pieces.size(), 3u);  // pieces of 2, 2 and 1
  EXPECT_EQ(pieces[0], (Pages{0, 1}));
  EXPECT_EQ(pieces[1], (Pages{2, 3}));
  EXPECT_EQ(pieces[2], (Pages{4}));
  EXPECT_EQ(cut_pieces(five, 0).size(), 1u);  // W = 0 runs one worker
  Pages many(100);
  EXPECT_EQ(cut_pieces(many, 32).size(), 15u);  // at most 16 workers: pieces of ceil(100/16) = 7
  EXPECT_TRUE(cut_pieces({}, 4).empty());
}

// A volume whose MFT is `records` records of 1024 bytes from byte 0; record
// i carries its number in bytes 4..11 so the scanner can check what it got.
platform::MemoryPlatform::Volume mft_volume(std::uint64_t records) {
  platform::MemoryPlatform::Volume v;
  v.bytes.resize(records * 1024);
  for (std::uint64_t i = 0; i < records; ++i) std::memcpy(v.bytes.data() + i * 1024 + 4, &i, 8);
  return v;
}

PagedScanRequest request(std::uint64_t bound, std::uint64_t page, std::uint64_t workers) {
  PagedScanRequest r;
  r.system = &platform::current();
  r.letter = 'E';
  r.geometry.bytes_per_cluster = 4096;
  r.geometry.record_size = 1024;
  r.bound = bound;
  r.page_size = page;
  r.workers = workers;
  r.target = 0;
  r.deadline = TimeBudget(Duration{60, 0});
  return r;
}

// One item per record, named by the record number found in the bytes.
PageYield one_item_per_record(Bytes page, std::uint64_t first) {
  PageYield y;
  for (std::size_t i = 0; i * 1024 < page.size(); ++i) {
    std::uint64_t n = load_le<std::uint64_t>(page.data() + i * 1024 + 4);
    EXPECT_EQ(n, first + i);
    y.items.push_back({n, 5, "E:\\2\\f" + std::to_string(n), 0, std::nullopt});
    ++y.records_scanned;
  }
  return y;
}

TEST(ParallelScan, EveryRecordOnceWithCounters) {
  auto mem = std::make_unique<platform::MemoryPlatform>();
  mem->set_volume('E', mft_volume(40));
  platform::ScopedPlatform scoped(std::move(mem));
  // A bound of 38 with pages of 8: five pages, the last of 6 records.
  auto r = parallel_mft_scan(request(38, 8, 32), one_item_per_record);
  EXPECT_EQ(r.audit.pages_total, 5u);
  EXPECT_EQ(r.audit.pages_done, 5u);
  EXPECT_EQ(r.audit.pages_failed, 0u);
  EXPECT_EQ(r.audit.records_scanned, 38u);
  EXPECT_EQ(r.audit.items_found, 38u);
  EXPECT_EQ(r.audit.threads, 32u);  // the requested count is reported
  std::set<std::uint64_t> seen;
  for (const auto& it : r.items) seen.insert(it.frn);
  EXPECT_EQ(seen.size(), 38u);
  EXPECT_EQ(*seen.rbegin(), 37u);
}

TEST(ParallelScan, UnreadablePagesAreCountedAndSkipped) {
  auto mem = std::make_unique<platform::MemoryPlatform>();
  mem->set_volume('E', mft_volume(20));
  platform::ScopedPlatform scoped(std::move(mem));
  // The bound says 32 records but the volume holds 20: pages 16 and 24 fail
  // (page 16 runs past the end).
  auto r = parallel_mft_scan(request(32, 8, 2), one_item_per_record);
  EXPECT_EQ(r.audit.pages_total, 4u);
  EXPECT_EQ(r.audit.pages_done, 4u);
  EXPECT_EQ(r.audit.pages_failed, 2u);
  EXPECT_EQ(r.items.size(), 16u);
}

TEST(ParallelScan, PassedDeadlineReadsNothing) {
  auto mem = std::make_unique<platform::MemoryPlatform>();
  mem->set_volume('E', mft_volume(16));
  platform::ScopedPlatform scoped(std::move(mem));
  auto req = request(16, 4, 2);
  req.deadline = TimeBudget(Duration{});
  std::atomic<int> calls{0};
  auto r = parallel_mft_scan(req, [&](Bytes p, std::uint64_t s) {
    ++calls;
    return one_item_per_record(p, s);
  });
  EXPECT_EQ(calls.load(), 0);
  EXPECT_EQ(r.audit.pages_done, 0u);
  EXPECT_EQ(r.audit.pages_total, 4u);
  EXPECT_TRUE(r.items.empty());
}

TEST(ParallelScan, NoVolumeMeansNoPagesTouched) {
  platform::ScopedPlatform scoped(std::make_unique<platform::MemoryPlatform>());
  auto r = parallel_mft_scan(request(16, 4, 2), one_item_per_record);
  EXPECT_EQ(r.audit.pages_total, 4u);
  EXPECT_EQ(r.audit.pages_done, 0u);
  EXPECT_TRUE(r.items.empty());
}

TEST(ParallelScan, AFailingWorkerLosesNoOtherFindings) {
  auto mem = std::make_unique<platform::MemoryPlatform>();
  mem->set_volume('E', mft_volume(64));
  platform::ScopedPlatform scoped(std::move(mem));
  // Four workers with two pages each; the page at record 16 throws.
  auto r = parallel_mft_scan(request(64, 8, 4), [](Bytes p, std::uint64_t s) {
    if (s == 16) throw std::runtime_error("scanner failure");
    return one_item_per_record(p, s);
  });
  EXPECT_EQ(r.audit.pages_total, 8u);
  // Page 16 counts as done; the worker holding it stops there, so its
  // second page is neither read nor counted.
  std::set<std::uint64_t> pages;
  for (const auto& it : r.items) pages.insert(it.frn / 8 * 8);
  EXPECT_EQ(pages.count(16), 0u);
  EXPECT_GE(pages.size(), 6u);
  EXPECT_EQ(r.audit.pages_done, pages.size() + 1);
  EXPECT_EQ(r.items.size(), pages.size() * 8);
}

// One worker reuses its page buffer, never cleared: the page after a full
// one shows only its own records. Records past the $MFT's runs read as
// zeros, a shorter last page ends where it ends, and a page whose read fails
// (the runs reach past the volume's end) is never handed to the scanner.
TEST(ParallelScan, AReusedBufferNeverShowsThePreviousPage) {
  struct Case {
    std::uint64_t mapped, on_volume;  // records the runs map; records the volume holds
    std::uint64_t seen, blank, failed;
  } cases[] = {{10, 16, 10, 4, 0}, {14, 12, 8, 0, 1}};
  for (const auto& c : cases) {
    auto mem = std::make_unique<platform::MemoryPlatform>();
    auto v = mft_volume(c.on_volume);
    for (std::uint64_t i = 0; i < c.on_volume; ++i) std::memcpy(v.bytes.data() + i * 1024, "FILE", 4);
    mem->set_volume('E', std::move(v));
    platform::ScopedPlatform scoped(std::move(mem));
    auto req = request(14, 8, 1);  // pages 0 (8 records) and 8 (6 records)
    req.geometry.bytes_per_cluster = 1024;
    req.geometry.runs = {{0, 0, static_cast<std::int64_t>(c.mapped)}};
    std::uint64_t seen = 0, blank = 0;
    auto r = parallel_mft_scan(req, [&](Bytes page, std::uint64_t first) {
      EXPECT_EQ(page.size(), std::min<std::uint64_t>(8, 14 - first) * 1024);
      for (std::size_t i = 0; i * 1024 < page.size(); ++i) {
        Bytes rec = page.subspan(i * 1024, 1024);
        if (!has_tag(rec, 0, "FILE")) {
          blank += std::all_of(rec.begin(), rec.end(), [](std::byte b) { return b == std::byte{0}; });
          continue;
        }
        EXPECT_EQ(load_le<std::uint64_t>(rec.data() + 4), first + i) << "a previous page's record";
        ++seen;
      }
      return PageYield{};
    });
    EXPECT_EQ(seen, c.seen) << c.mapped;
    EXPECT_EQ(blank, c.blank) << c.mapped;
    EXPECT_EQ(r.audit.pages_failed, c.failed) << c.mapped;
    EXPECT_EQ(r.audit.pages_done, 2u) << c.mapped;
  }
}

TEST(AuditLine, ExactFormat) {
  MftAudit a;
  a.folder = "E:\\2";
  a.directory_count = 12;
  a.mft_record_estimate = 4194304;
  a.index = 3;
  a.usn = 2;
  a.paged = 1;
  a.cache_read = 40;
  a.filtered_cross_dir = 7;
  a.scan.pages_done = 9;
  a.scan.pages_total = 10;
  a.scan.threads = 2;
  a.elapsed_ms = 153;
  a.note = "Completed";
  EXPECT_EQ(format_audit_line(a),
            "MFT Audit: folder=E:\\2 FRN=12 $MFT\xE2\x89\x88" "4194304 index=3 deleted-dir=0 local-band=0 expand=0 USN=2 "
            "paged=1 LogFile=0 retry=0 pending=0 cache-read=40 filtered-cross-dir=7 block9/10 thread2 153ms "
            "Completed");
}

// A bound far past the $MFT (16 records of a 64-record bound): the pages that
// hold records are the nearest ones, so both workers must take some of them.
// Each page waits until a second worker is scanning too (up to 2 s).
TEST(ParallelScan, BothWorkersTakePagesWhenTheBoundExceedsTheMft) {
  auto mem = std::make_unique<platform::MemoryPlatform>();
  mem->set_volume('E', mft_volume(16));
  platform::ScopedPlatform scoped(std::move(mem));
  std::mutex m;
  std::condition_variable cv;
  std::set<std::thread::id> scanning;
  auto r = parallel_mft_scan(request(64, 4, 2), [&](Bytes page, std::uint64_t first) {
    std::unique_lock lock(m);
    scanning.insert(std::this_thread::get_id());
    cv.notify_all();
    cv.wait_for(lock, std::chrono::seconds(2), [&] { return scanning.size() >= 2; });
    return one_item_per_record(page, first);
  });
  EXPECT_EQ(scanning.size(), 2u) << "one worker was idle while pages that hold records remained";
  EXPECT_EQ(r.items.size(), 16u);
  EXPECT_EQ(r.audit.pages_done, 16u);
}

}  // namespace
}  // namespace quillon

namespace quillon {
namespace {

// A device that sets `stop` on its first read, or first waits `pause`, and
// counts every read.
class StoppingDevice final : public test::ForwardingDevice {
 public:
  StoppingDevice(std::unique_ptr<platform::VolumeDevice> inner, std::atomic<bool>* stop, std::atomic<int>& reads,
                 std::chrono::milliseconds pause = {})
      : ForwardingDevice(std::move(inner)), stop_(stop), reads_(reads), pause_(pause) {}
  Result<void> read_exact_at(std::uint64_t offset, std::span<std::byte> out) override {
    if (reads_++ == 0) std::this_thread::sleep_for(pause_);
    if (stop_) *stop_ = true;
    return ForwardingDevice::read_exact_at(offset, out);
  }

 private:
  std::atomic<bool>* stop_;
  std::atomic<int>& reads_;
  std::chrono::milliseconds pause_;
};

// A page over four runs is four reads; a walk stopped during the first is
// given up before the second, the page counted as failed, no other taken.
TEST(ParallelScan, AStoppedWalkGivesUpThePageItIsReading) {
  auto mem = std::make_unique<platform::MemoryPlatform>();
  mem->set_volume('E', mft_volume(32));
  std::atomic<int> reads{0};
  PageWalk walk;
  test::DecoratedPlatform system(std::move(mem), [&](std::unique_ptr<platform::VolumeDevice> dev)
                                     -> std::unique_ptr<platform::VolumeDevice> {
    return std::make_unique<StoppingDevice>(std::move(dev), &walk.stop, reads);
  });
  auto req = request(16, 8, 1);
  req.system = &system;
  req.geometry.bytes_per_cluster = 1024;
  req.geometry.runs = {{0, 0, 2}, {2, 4, 2}, {4, 8, 2}, {6, 12, 10}};  // records 0-1, 4-5, 8-9, 12-21
  walk.pages = ordered_pages(req.bound, req.page_size, 0);
  int visits = 0;
  walk_pages(req, walk, [&](std::size_t, std::uint64_t, std::span<std::byte>) { ++visits; });
  EXPECT_EQ(reads.load(), 1);
  EXPECT_EQ(visits, 0);
  EXPECT_EQ(walk.pages_done.load(), 1u);
  EXPECT_EQ(walk.pages_failed.load(), 1u);

  // Not stopped, the same page is read whole, in four reads.
  reads = 0;
  auto reader = open_volume(system, 'E');
  ASSERT_TRUE(reader);
  std::vector<std::byte> buffer(8 * 1024);
  auto whole = read_record_page(req.geometry, *reader, 0, 8, buffer, [] { return false; });
  ASSERT_TRUE(whole);
  EXPECT_EQ(reads.load(), 4);
  EXPECT_EQ(load_le<std::uint64_t>(whole->data() + 7 * 1024 + 4), 13u) << "record 7 lies at cluster 13";
}

// A page whose first read outlasts the deadline: read whole by a scan whose
// turn has come, given up by one still running ahead of it.
TEST(ParallelScan, APageTakenInTimeIsReadWholeUnlessTheScanRunsAhead) {
  for (bool ahead : {false, true}) {
    SCOPED_TRACE(ahead ? "ahead" : "at its turn");
    auto mem = std::make_unique<platform::MemoryPlatform>();
    mem->set_volume('E', mft_volume(32));
    std::atomic<int> reads{0};
    test::DecoratedPlatform system(std::move(mem), [&](std::unique_ptr<platform::VolumeDevice> dev)
                                       -> std::unique_ptr<platform::VolumeDevice> {
      return std::make_unique<StoppingDevice>(std::move(dev), nullptr, reads, std::chrono::milliseconds(100));
    });
    auto req = request(16, 8, 1);
    req.system = &system;
    req.deadline = TimeBudget(Duration{0, 50'000'000});
    req.geometry.bytes_per_cluster = 1024;
    req.geometry.runs = {{0, 0, 2}, {2, 4, 2}, {4, 8, 2}, {6, 12, 10}};
    PageWalk walk;
    walk.pages = ordered_pages(req.bound, req.page_size, 0);
    walk.finish_late_pages = !ahead;
    int visits = 0;
    walk_pages(req, walk, [&](std::size_t, std::uint64_t, std::span<std::byte>) { ++visits; });
    EXPECT_EQ(reads.load(), ahead ? 1 : 4);
    EXPECT_EQ(visits, ahead ? 0 : 1);
    EXPECT_EQ(walk.pages_done.load(), 1u) << "no page is taken past the deadline";
  }
}

}  // namespace
}  // namespace quillon
