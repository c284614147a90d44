#include "support/probe_session.h"
#include "engine/phased_scan.h"

#include <gtest/gtest.h>

#include "engine/windows/mft_audit_line.h"
#include "engine/windows/ntfs_phases.h"
#include "engine/windows/scope_build.h"
#include "platform/image/image_platform.h"
#include "platform/memory/memory_platform.h"
#include "support/images.h"

namespace quillon {
namespace {

TEST(ScanOptions, WorkersClampedToTwoThroughEight) {
  EXPECT_EQ(standard_worker_count(1), 2u);
  EXPECT_EQ(standard_worker_count(3), 3u);
  EXPECT_EQ(standard_worker_count(32), 8u);
  EXPECT_EQ(standard_worker_count(std::nullopt), 4u);
  EXPECT_EQ(standard_worker_count(0), 4u);
  ScanOptions o = standard_scan_options();
  EXPECT_GE(o.worker_threads, 2u);
  EXPECT_LE(o.worker_threads, 8u);
  EXPECT_EQ(o.page_size, 4096u);
  EXPECT_TRUE(o.paged_scan && o.root_vicinity && o.use_record_cache && o.logfile_phase && o.retry_phase);
  EXPECT_FALSE(o.expansion || o.local_band || o.per_directory_vicinity);
}

// A phase context over a volume of zeros: every record read fails, so the
// cache's read counter tells exactly which record numbers were asked for.
struct ZeroVolume {
  ZeroVolume() {
    auto mem = std::make_unique<platform::MemoryPlatform>();
    platform::MemoryPlatform::Volume v;
    v.bytes.resize(1 << 20);
    mem->set_volume('E', std::move(v));
    scoped.emplace(std::move(mem));
    reader.emplace(std::move(*open_volume(platform::current(), 'E')));
    mft.geometry.bytes_per_cluster = 4096;
    mft.geometry.record_size = 1024;
    scope.root_path = "E:\\2";
    scope.root_frn = 100;
  }
  ScanSession session(Duration limit, const Progress& progress = standard_progress()) {
    return ScanSession(scope, *reader, mft, options, limit, nullptr, progress);
  }
  std::optional<platform::ScopedPlatform> scoped;
  std::optional<VolumeReader> reader;
  MftContext mft;
  ScopeContext scope;
  ScanOptions options;
};

TEST(ScanWindow, RingAroundTheCentreWithoutIt) {
  ZeroVolume z;
  auto s = z.session(Duration{60, 0});
  std::unordered_set<std::uint64_t> visited;
  scan_window(s, 100, 0, 4096, visited);  // outer capped at 512
  EXPECT_EQ(s.cache.reads, 100u + 512u);  // 0..99, then 101..612
  EXPECT_EQ(visited.size(), 612u);
  EXPECT_FALSE(visited.count(100));
  EXPECT_TRUE(visited.count(0) && visited.count(612));
  EXPECT_FALSE(visited.count(613));
  // Visited records are not read again.
  scan_window(s, 100, 0, 512, visited);
  EXPECT_EQ(s.cache.reads, 612u);
  // An inner radius at the cap leaves an empty ring.
  scan_window(s, 5000, 512, 512, visited);
  EXPECT_EQ(s.cache.reads, 612u);
}

TEST(ScanWindow, SpentTimeReadsNothing) {
  ZeroVolume z;
  auto s = z.session(Duration{});
  std::unordered_set<std::uint64_t> visited;
  scan_window(s, 100, 0, 512, visited);
  EXPECT_EQ(s.cache.reads, 0u);
}

TEST(IndexPhase, EmptyScopeAndZeroLimit) {
  ZeroVolume z;
  std::string printed;
  Progress progress([&](std::string_view l) { printed += l; });
  auto s = z.session(Duration{60, 0}, progress);
  run_index_phase(s);  // no directories: total 1, no reads
  EXPECT_EQ(s.cache.reads, 0u);
  EXPECT_TRUE(s.audit.note.empty());

  z.scope.dir_frns = {100};
  auto spent = z.session(Duration{}, progress);
  run_index_phase(spent);
  EXPECT_EQ(spent.audit.note, "Time limit reached (index phase)");
  EXPECT_EQ(printed, "");
  run_root_vicinity(spent);
  EXPECT_EQ(spent.cache.reads, 0u);
  EXPECT_EQ(printed, "");
}

// The whole scan on a real Windows volume: nothing there was deleted, so no
// live file of the probed folder may come out of any phase.
TEST(PhasedScan, RealVolumeListsNoLiveFile) {
  auto image = test::real_volume("ntfs-lastaccess");
  if (!image) GTEST_SKIP() << "../shared/real-volumes is absent: skipped";
  auto p = platform::open_image_platform({image->string(), 'E', std::nullopt});
  ASSERT_TRUE(p) << p.error().text();
  platform::ScopedPlatform scoped(std::move(*p));
  std::string printed;
  Progress progress([&](std::string_view l) { printed += l; });
  for (const char* folder : {"E:\\test", "E:\\"}) {
    SCOPED_TRACE(folder);
    auto scope = test::scope_on(folder);
    ASSERT_TRUE(scope);
    auto r = test::scan_on(*scope, 'E', Duration{60, 0}, nullptr, standard_scan_options(), progress);
    ASSERT_TRUE(r) << r.error().text();
    for (const auto& item : r->items) ADD_FAILURE() << "listed " << item.path;
    EXPECT_EQ(r->audit.note, "Completed");
    EXPECT_GT(r->audit.scan.pages_done, 0u);
    EXPECT_EQ(r->audit.scan.pages_done, r->audit.scan.pages_total);
  }
  auto zero = test::scan_on(*test::scope_on("E:\\test"), 'E', Duration{}, nullptr, standard_scan_options(),
                              progress);
  ASSERT_TRUE(zero);
  EXPECT_EQ(zero->audit.note, "Time limit reached (index phase)");
  EXPECT_EQ(zero->audit.scan.pages_done, 0u);
  EXPECT_EQ(zero->audit.local_band + zero->audit.index + zero->audit.paged + zero->audit.cache_read, 0u);
  EXPECT_TRUE(zero->items.empty());
}

TEST(PhasedScan, VolumeThatCannotBeOpened) {
  auto mem = std::make_unique<platform::MemoryPlatform>();
  platform::MemoryPlatform::Volume v;
  v.open_error = 5;
  mem->set_volume('E', std::move(v));
  platform::ScopedPlatform scoped(std::move(mem));
  ScopeContext scope;
  scope.root_path = "E:\\2";
  auto r = test::scan_on(scope, 'E', Duration{60, 0}, nullptr, standard_scan_options(), Progress([](auto) {}));
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().text(), "Access is denied. (os error 5)");
}

}  // namespace
}  // namespace quillon
