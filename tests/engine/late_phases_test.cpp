#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>

#include <cstring>

#include "engine/phased_scan.h"
#include "support/probe_session.h"
#include "engine/late_phases.h"
#include "engine/windows/ntfs_phases.h"
#include "engine/windows/ntfs_deleted_fixture.h"
#include "platform/memory/memory_platform.h"

namespace quillon {
namespace {

using test::FakeMft;
using test::RecordBuilder;

// Serves an in-memory MFT; record `watched` reads as `before` on its first
// read (the freed record not yet on disk) and as the MFT holds it after.
class FlushingDevice final : public platform::VolumeDevice {
 public:
  FlushingDevice(std::vector<std::byte> bytes, std::uint64_t watched, MftRecord before, bool changes)
      : bytes_(std::move(bytes)), watched_(watched), before_(std::move(before)), changes_(changes) {}
  bool can_change() const override { return changes_; }
  Result<void> read_exact_at(std::uint64_t offset, std::span<std::byte> out) override {
    if (!in_bounds(bytes_.size(), offset, out.size())) return fail(win32::error(win32::ERROR_HANDLE_EOF));
    std::memcpy(out.data(), bytes_.data() + offset, out.size());
    const std::uint64_t at = watched_ * test::kRecordSize;
    if (offset <= at && at + test::kRecordSize <= offset + out.size()) {
      if (++reads_ == 1) std::memcpy(out.data() + (at - offset), before_.data(), test::kRecordSize);
    }
    return {};
  }
  Result<std::size_t> control(std::uint32_t, std::span<const std::byte>, std::span<std::byte>) override {
    return fail(win32::error(win32::ERROR_INVALID_FUNCTION));
  }
  int* reads() { return &reads_; }

 private:
  std::vector<std::byte> bytes_;
  std::uint64_t watched_;
  MftRecord before_;
  bool changes_;
  int reads_ = 0;
};

struct Fixture {
  ScopeContext scope;
  FakeMft mft;
  MftContext mctx;
  ScanOptions options;
  std::shared_ptr<UsnHints> hints = std::make_shared<UsnHints>();
  int* reads = nullptr;

  Fixture() {
    scope.root_path = "E:\\2";
    scope.root_frn = 40;
    scope.dir_frns = {40};
    scope.parent_match_frns = {40};
    scope.dir_map[40] = DirEntry{"", 5};
    const auto freed = RecordBuilder(test::kRecordSize, 0).file_name(40, u"a.txt", 1, 4096).data(10).build();
    mft.put(50, freed);
    mctx = mft.context();
    hints->names_by_frn[50] = {"a.txt"};
  }
  // `changes`: the device stands for a live volume (true) or an image file.
  VolumeReader reader(bool changes = true) {
    // Before the flush the slot holds no readable FILE record yet.
    auto device = std::make_unique<FlushingDevice>(mft.volume_bytes(), 50, MftRecord(test::kRecordSize), changes);
    reads = device->reads();
    return VolumeReader(std::move(device));
  }
  ScanSession session(VolumeReader& reader, Duration limit = Duration{60, 0},
                      const Progress& progress = standard_progress()) {
    return ScanSession(scope, reader, mctx, options, limit, hints.get(), progress);
  }
};

TEST(DeferredRetry, RecordFlushedAfterTheFirstAttemptIsFoundOnceInTheSecond) {
  Fixture f;
  platform::ScopedPlatform live(std::make_unique<platform::MemoryPlatform>());
  auto reader = f.reader();
  auto s = f.session(reader);
  auto added = retry_deferred_records(s, {}, Duration{5, 0});
  EXPECT_EQ(added, 1u);
  ASSERT_EQ(s.accepted.items.size(), 1u);
  EXPECT_EQ(s.accepted.items[0].frn, 50u);
  EXPECT_EQ(s.accepted.items[0].path, "E:\\2\\a.txt");
  EXPECT_EQ(*f.reads, 2) << "accepted in the second attempt, skipped in the third";
}

// An image file cannot change between attempts: one attempt and no pause
// (the record reads as it did); a volume that can change gets three, paused.
TEST(DeferredRetry, AttemptsAndPausesOnlyWhereTheVolumeCanChange) {
  for (bool changes : {false, true}) {
    SCOPED_TRACE(changes ? "can change" : "image file");
    Fixture f;
    platform::ScopedPlatform live(std::make_unique<platform::MemoryPlatform>());
    auto reader = f.reader(changes);
    f.hints->names_by_frn[51] = {"never.txt"};  // never listed: every attempt reads it
    auto s = f.session(reader);
    const auto start = std::chrono::steady_clock::now();
    retry_deferred_records(s, {}, Duration{5, 0});
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    EXPECT_EQ(s.accepted.items.size(), changes ? 1u : 0u);
    if (changes) {
      EXPECT_GE(ms.count(), 2 * static_cast<long>(kRetryPauseMs));
    } else {
      EXPECT_EQ(*f.reads, 1);
      EXPECT_LT(ms.count(), static_cast<long>(kRetryPauseMs));
    }
  }
}

TEST(DeferredRetry, UsedUpLimitReadsNothingAndNoHintsMeansTheBand) {
  Fixture f;
  platform::ScopedPlatform live(std::make_unique<platform::MemoryPlatform>());
  auto reader = f.reader();
  auto s = f.session(reader);
  EXPECT_EQ(retry_deferred_records(s, {}, Duration{0, 0}), 0u);
  EXPECT_EQ(*f.reads, 0);
  // Without hints the band around the root (40 → 0..8232) covers record 50.
  s.hints = nullptr;
  EXPECT_EQ(retry_deferred_records(s, {}, Duration{5, 0}), 1u);
  EXPECT_EQ(s.accepted.items.size(), 1u);
}

// The band is the folder's record and 8,192 on either side, both ends
// included; it is walked on an image as on a live volume.
TEST(DeferredRetry, TheBandHoldsBothEndsAndNothingPast) {
  for (bool changes : {false, true}) {
    SCOPED_TRACE(changes ? "can change" : "image file");
    Fixture f;
    f.scope.root_frn = 9000;  // the folder: record 9000
    f.scope.dir_frns = {9000};
    f.scope.parent_match_frns = {9000};
    f.scope.dir_map = {{9000, DirEntry{"", 5}}};
    const std::uint64_t lo = 9000 - kRetryBand, hi = 9000 + kRetryBand;
    for (std::uint64_t r : {lo - 1, lo, hi, hi + 1})
      f.mft.put(r, RecordBuilder(test::kRecordSize, 0).file_name(9000, u"f" + std::u16string(1, u'0' + r % 10), 1, 4096).data(10).build());
    f.mctx = f.mft.context();
    platform::ScopedPlatform live(std::make_unique<platform::MemoryPlatform>());
    auto reader = f.reader(changes);
    auto s = f.session(reader);
    s.hints = nullptr;
    retry_deferred_records(s, {}, Duration{5, 0});
    std::vector<std::uint64_t> found;
    for (const auto& item : s.accepted.items) found.push_back(item.frn);
    std::sort(found.begin(), found.end());
    EXPECT_EQ(found, (std::vector<std::uint64_t>{lo, hi}));
  }
}

// A record an earlier phase passed over as in use with no name under the
// tree is known so until a folder one of its names stands in joins the
// tree: another folder joining changes nothing, that one makes the retry
// judge the record again.
TEST(DeferredRetry, ARecordOutsideTheTreeIsKnownSoUntilAFolderOfItsNamesJoins) {
  Fixture f;
  f.mft.put(60, RecordBuilder(test::kRecordSize).file_name(41, u"late.txt", 1, 0).file_name(43, u"link.txt", 1, 0).build());
  f.mft.put(61, RecordBuilder(test::kRecordSize).file_name(40, u"here.txt", 1, 0).build());
  f.mctx = f.mft.context();
  platform::ScopedPlatform live(std::make_unique<platform::MemoryPlatform>());
  auto reader = f.reader(false);
  auto s = f.session(reader);
  for (std::uint64_t r : {60, 61}) read_candidates(s, r, nullptr, LiveCheck::by_path, ReadOrder::ascending);
  const FrnSet& parents = f.scope.parent_match_frns;
  EXPECT_TRUE(s.cache.known_outside_tree(60, parents));
  EXPECT_FALSE(s.cache.known_outside_tree(61, parents)) << "61 has a name under the tree";
  f.scope.add_deleted_dir(42, DirEntry{"other", 40, 0, 1, true, 0, kFoundByRecord});
  EXPECT_TRUE(s.cache.known_outside_tree(60, parents));
  f.scope.add_deleted_dir(43, DirEntry{"sub", 40, 0, 1, true, 0, kFoundByRecord});
  EXPECT_FALSE(s.cache.known_outside_tree(60, parents)) << "its second name's folder joined";
}

// On an image the cache keeps no bytes of a record passed over as in use
// with no name under the tree (the band around the folder is mostly such
// records); asked again with that tree, it is passed over unread, and once
// the tree has grown it is read again, the audit counting one read. A live
// volume keeps every record as first read.
TEST(RecordCache, ARecordPassedOverOnAnImageIsReadAgainOnlyOnceTheTreeHasGrown) {
  for (bool changes : {false, true}) {
    SCOPED_TRACE(changes ? "can change" : "image file");
    Fixture f;
    f.mft.put(60, RecordBuilder(test::kRecordSize).file_name(41, u"late.txt", 1, 0).build());
    f.mctx = f.mft.context();
    platform::ScopedPlatform live(std::make_unique<platform::MemoryPlatform>());
    auto reader = f.reader(changes);
    auto s = f.session(reader);
    for (int i = 0; i < 2; ++i)
      EXPECT_FALSE(read_candidates(s, 60, nullptr, LiveCheck::by_path, ReadOrder::ascending));
    EXPECT_EQ(s.cache.records.at(60).empty(), !changes);
    f.scope.add_deleted_dir(41, DirEntry{"sub", 40, 0, 1, true, 0, kFoundByRecord});
    read_candidates(s, 60, nullptr, LiveCheck::by_path, ReadOrder::ascending);
    const auto disk = read_record_raw(f.mctx.geometry, reader, 60);
    ASSERT_TRUE(disk);
    EXPECT_TRUE(std::ranges::equal(s.cache.records.at(60), *disk));
    EXPECT_EQ(s.cache.reads, 1u);
  }
}

struct LateRun {
  std::vector<std::string> lines;
  MftAudit counts;
};

LateRun late(Duration remaining) {
  Fixture f;
  auto memory = std::make_unique<platform::MemoryPlatform>();  // no volume: the log cannot be read
  platform::ScopedPlatform live(std::move(memory));
  f.hints->names_by_frn[60] = {"b"};
  f.hints->names_by_frn[70] = {"c"};
  f.hints->names_by_frn[80] = {"d"};
  auto reader = f.reader();
  LateRun run;
  Progress progress([&](std::string_view line) { run.lines.emplace_back(line); });
  auto s = f.session(reader, remaining, progress);
  s.accepted.frns.insert(60);                                             // accepted by an earlier phase
  s.accepted.items.push_back(DeletedItem{70, 40, "E:\\2\\c", 0, {}, 0});  // in the list only
  run.counts = run_late_phases(s);
  return run;
}

TEST(LatePhases, RemainingTimeDecidesWhichPhasesRun) {
  auto zero = late(Duration{0, 0});
  EXPECT_TRUE(zero.lines.empty());
  EXPECT_EQ(zero.counts.pending, 0u);

  auto short_time = late(Duration{0, 150'000'000});
  ASSERT_EQ(short_time.lines.size(), 1u);
  EXPECT_NE(short_time.lines[0].find("阶段4 $LogFile 事务（刚删）"), std::string::npos);
  EXPECT_EQ(short_time.counts.logfile, 0u);
  // 50 and 80 are still unconfirmed: 60 is in the FRN set, 70 in the list.
  EXPECT_EQ(short_time.counts.pending, 2u);

  EXPECT_EQ(late(Duration{0, 200'000'000}).lines.size(), 1u);

  auto second = late(Duration{1, 0});
  ASSERT_EQ(second.lines.size(), 2u);
  EXPECT_NE(second.lines[1].find("阶段5 延迟 MFT 重试（缓存落盘）"), std::string::npos);
  EXPECT_EQ(second.counts.retry, 1u);    // record 50, once flushed
  EXPECT_EQ(second.counts.pending, 1u);  // only 80 is left
}

}  // namespace
}  // namespace quillon

#include "platform/image/image_platform.h"
#include "support/images.h"

namespace quillon {
namespace {

// ntfs-ptrn holds a deleted index entry "New Text Document.txt" in the root
// whose record 39 is the live 1.txt: a rename, which must yield no item.
TEST(LogCandidates, RenameOnARealVolumeYieldsNoItem) {
  auto image = test::real_volume("ntfs-ptrn");
  if (!image) GTEST_SKIP() << "../shared/real-volumes/ntfs-ptrn.raw.gz is not available";
  auto platform = platform::open_image_platform({image->string(), 'E', std::nullopt});
  ASSERT_TRUE(platform);
  platform::ScopedPlatform scoped(std::move(*platform));
  auto reader = open_volume(platform::current(), 'E');
  ASSERT_TRUE(reader);
  auto mctx = load_mft_context(*reader);
  ASSERT_TRUE(mctx);
  ScopeContext scope;
  scope.root_path = "E:\\";
  scope.root_frn = 5;
  scope.dir_frns = {5};
  scope.parent_match_frns = {5};
  scope.dir_map[5] = DirEntry{"", 5};
  auto log = test::logfile_tail_on();
  ASSERT_TRUE(log);
  apply_log_page_fixups(log->bytes);
  auto scan =
      scan_logfile(log->bytes, mctx->geometry.bytes_per_cluster, 1024, scope.parent_match_frns, nullptr, log->runs_on);
  ASSERT_FALSE(scan.candidates.empty());
  const ScanOptions options;
  ScanSession session(scope, *reader, *mctx, options, Duration{60, 0});
  for (const auto& c : scan.candidates) process_log_candidate(session, c, scan.stats);
  for (const auto& item : session.accepted.items) ADD_FAILURE() << "listed " << item.path << " (" << item.frn << ")";
  EXPECT_EQ(scan.stats.log_only_items, 0u);
}

}  // namespace
}  // namespace quillon

namespace quillon {
namespace {

// The log's deleted index entries: a folder joins the tree and is listed;
// a file whose parent reference names the record's former folder is never
// placed under the live folder that took the record.
TEST(LogCandidates, DeletedFoldersJoinAndReusedParentsAreNotFollowed) {
  Fixture f;
  f.scope.add_live_dir(41, DirEntry{"fresh", 40, 0, 2});
  platform::ScopedPlatform live(std::make_unique<platform::MemoryPlatform>());
  auto reader = f.reader(false);
  auto s = f.session(reader);
  LogScanStats stats;
  LogCandidate folder{true, 40, "album-old", 60, std::uint16_t{1}, false, 0, true};
  process_log_candidate(s, folder, stats);
  ASSERT_EQ(s.accepted.items.size(), 1u);
  EXPECT_EQ(s.accepted.items[0].path, "E:\\2\\album-old");
  EXPECT_TRUE(s.accepted.items[0].folder);
  EXPECT_TRUE(s.scope.in_tree(60));

  LogCandidate under_new{true, 41, "IMG_0004.jpg", 61, std::uint16_t{1}, false, 1, false};
  process_log_candidate(s, under_new, stats);
  LogCandidate under_old{true, 60, "IMG_0005.jpg", 62, std::uint16_t{1}, false, 1, false};
  process_log_candidate(s, under_old, stats);
  std::vector<std::string> paths;
  for (const auto& item : s.accepted.items) paths.push_back(item.path);
  EXPECT_EQ(paths, (std::vector<std::string>{"E:\\2\\album-old", "E:\\2\\$RecovLost\\0000000000000029\\IMG_0004.jpg",
                                             "E:\\2\\album-old\\IMG_0005.jpg"}));
}

}  // namespace
}  // namespace quillon
