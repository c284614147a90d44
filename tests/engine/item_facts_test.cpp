#include "engine/item_facts.h"

#include <gtest/gtest.h>

#include "engine/windows/ntfs_deleted_fixture.h"
#include "platform/memory/memory_platform.h"
#include "support/ntfs_builder.h"

namespace quillon {
namespace {

using test::kClusterSize;
using test::RecordBuilder;

constexpr std::uint64_t kFolder = 39;
constexpr std::uint64_t kItem = 40;

// The builder leaves a non-resident attribute's highest VCN at 0; NTFS
// writes the last VCN its runs cover.
MftRecord with_highest_vcns(MftRecord r) {
  for (const auto& a : attributes(r))
    if (a.non_resident) {
      auto allocated = u64_at(r, a.offset + ntfs::attribute::kAllocatedSize).value_or(0);
      test::put64(r, a.offset + ntfs::attribute::kHighestVcn, (allocated + kClusterSize - 1) / kClusterSize - 1);
    }
  return r;
}

// A freed record that still names a.bin under the folder (sequence 3: it
// lived as 2), its data in `pairs`.
MftRecord freed_file(const std::vector<std::byte>& pairs, std::uint64_t size, std::uint16_t seq = 3) {
  std::vector<std::byte> si(0x48);
  test::put64(si, 0x00, 11);  // created, modified, record changed, accessed
  test::put64(si, 0x08, 22);
  test::put64(si, 0x10, 33);
  test::put64(si, 0x18, 44);
  return with_highest_vcns(RecordBuilder(test::kRecordSize, 0, seq)
                               .resident(ntfs::kAttrStandardInformation, si)
                               .file_name(kFolder, u"a.bin")
                               .non_resident(kAttrData, size, pairs)
                               .build());
}

DeletedItem item_a(std::uint64_t frn = kItem) {
  DeletedItem it;
  it.frn = frn;
  it.parent_frn = kFolder;
  it.path = "E:\\2\\a.bin";
  return it;
}

JournalDeletion deletion(std::uint16_t seq, std::uint64_t time, std::string name = "a.bin",
                         std::uint32_t attributes = 0x20, std::uint32_t reason = kUsnReasonFileDelete) {
  return {(std::uint64_t{seq} << 48) | kItem, kFolder, time, attributes, std::move(name), reason};
}

TEST(ItemFacts, AFreedRecordThatStillNamesTheItemIsIntactWithItsTimesAndLength) {
  const auto rec = RecordBuilder(test::kRecordSize, 0, 3).file_name(kFolder, u"a.bin").data(300).build();
  DeletedItem it = item_a();
  fill_facts(it, {Bytes(rec), nullptr, kClusterSize, nullptr});
  EXPECT_EQ(it.record_state, RecordState::intact);
  EXPECT_EQ(it.sequence, 2);  // one before the sequence NTFS set on freeing it
  EXPECT_EQ(it.data_size, 300u);
  EXPECT_EQ(it.clusters_free_pct, 100);  // resident: nothing in clusters
  EXPECT_EQ(recoverable(it), Recoverable::yes);
  EXPECT_EQ(it.kind, ItemKind::file);
  EXPECT_FALSE(it.deleted_time);

  // Without a bitmap the clusters of a non-resident stream cannot be told.
  DeletedItem big = item_a();
  const auto nonres = freed_file(test::bytes({0x11, 0x04, 0x14, 0x00}), 4 * kClusterSize);
  fill_facts(big, {Bytes(nonres), nullptr, kClusterSize, nullptr});
  EXPECT_EQ(big.record_state, RecordState::intact);
  EXPECT_EQ(big.data_size, 4u * kClusterSize);
  EXPECT_FALSE(big.clusters_free_pct);
  EXPECT_EQ(recoverable(big), Recoverable::unknown);
  ASSERT_TRUE(big.record_times);
  EXPECT_EQ(*big.record_times, (RecordTimes{11, 22, 33, 44}));
}

TEST(ItemFacts, ARecordHoldingAnotherFileOrSequenceIsReused) {
  // In use by another file.
  DeletedItem taken = item_a();
  const auto other = RecordBuilder(test::kRecordSize, kRecordInUse, 4).file_name(kFolder, u"b.txt").build();
  fill_facts(taken, {Bytes(other), nullptr, kClusterSize, nullptr});
  EXPECT_EQ(taken.record_state, RecordState::reused);
  EXPECT_EQ(recoverable(taken), Recoverable::no);
  EXPECT_FALSE(taken.data_size);
  EXPECT_FALSE(taken.sequence);  // nothing says which sequence it lived under

  // Free and naming it, but the journal's reference says it lived as 5:
  // the record has been used and freed again since.
  DeletedItem again = item_a();
  const auto rec = RecordBuilder(test::kRecordSize, 0, 3).file_name(kFolder, u"a.bin").data(10).build();
  std::vector<JournalDeletion> journal{deletion(5, 777)};
  again.sequence = 5;
  fill_facts(again, {Bytes(rec), &journal, kClusterSize, nullptr});
  EXPECT_EQ(again.record_state, RecordState::reused);
  EXPECT_EQ(again.deleted_time, 777u);

  // The same name under another parent is another file.
  DeletedItem moved = item_a();
  moved.parent_frn = 38;
  fill_facts(moved, {Bytes(rec), nullptr, kClusterSize, nullptr});
  EXPECT_EQ(moved.record_state, RecordState::reused);

  // No record read, or one that is not a FILE record: nothing known.
  DeletedItem none = item_a();
  fill_facts(none, {std::nullopt, nullptr, kClusterSize, nullptr});
  EXPECT_EQ(none.record_state, RecordState::unknown);
  EXPECT_EQ(recoverable(none), Recoverable::unknown);
  auto baad = rec;
  std::memcpy(baad.data(), "BAAD", 4);
  fill_facts(none, {Bytes(baad), nullptr, kClusterSize, nullptr});
  EXPECT_EQ(none.record_state, RecordState::unknown);

  // In use under its own name and sequence: the file itself (a delete
  // still pending), not a reuse.
  DeletedItem pending = item_a();
  pending.sequence = 3;
  const auto live = RecordBuilder(test::kRecordSize, kRecordInUse, 3).file_name(kFolder, u"a.bin").build();
  fill_facts(pending, {Bytes(live), nullptr, kClusterSize, nullptr});
  EXPECT_EQ(pending.record_state, RecordState::unknown);
}

TEST(ItemFacts, TheJournalsDeletionIsTheOneWithTheItemsReference) {
  const auto rec = RecordBuilder(test::kRecordSize, 0, 3).file_name(kFolder, u"a.bin").data(10).build();
  // Record 40 deleted three times; the record says the last life was 2.
  std::vector<JournalDeletion> journal{deletion(1, 100), deletion(2, 200), deletion(4, 400, "c.txt")};
  DeletedItem it = item_a();
  fill_facts(it, {Bytes(rec), &journal, kClusterSize, nullptr});
  EXPECT_EQ(it.sequence, 2);
  EXPECT_EQ(it.deleted_time, 200u);
  EXPECT_EQ(it.record_state, RecordState::intact);

  // Record reused and no sequence known: the latest deletion of this name
  // under this parent.
  const auto other = RecordBuilder(test::kRecordSize, kRecordInUse, 6).file_name(kFolder, u"d.txt").build();
  DeletedItem gone = item_a();
  fill_facts(gone, {Bytes(other), &journal, kClusterSize, nullptr});
  EXPECT_EQ(gone.sequence, 2);
  EXPECT_EQ(gone.deleted_time, 200u);
  EXPECT_EQ(gone.record_state, RecordState::reused);

  // A sequence the source gave picks its own deletion, and a folder's
  // attributes make the item a folder.
  std::vector<JournalDeletion> folders{deletion(1, 100, "a.bin", 0x10)};
  DeletedItem dir = item_a();
  dir.frn = (std::uint64_t{1} << 48) | kItem;
  fill_facts(dir, {std::nullopt, &folders, kClusterSize, nullptr});
  EXPECT_EQ(dir.sequence, 1);
  EXPECT_EQ(dir.deleted_time, 100u);
  EXPECT_EQ(dir.kind, ItemKind::folder);

  // No deletion under this name and parent: no time, and no sequence.
  std::vector<JournalDeletion> elsewhere{deletion(1, 100, "other.txt")};
  DeletedItem lone = item_a();
  fill_facts(lone, {std::nullopt, &elsewhere, kClusterSize, nullptr});
  EXPECT_FALSE(lone.deleted_time);
  EXPECT_FALSE(lone.sequence);
}

// A file renamed before it was deleted: its old name's item is the same
// file reference, deleted when the file was, and its freed record (under
// the later name) still holds it.
TEST(ItemFacts, AnEarlierNameTakesTheReferenceTheJournalGaveIt) {
  const auto rec = RecordBuilder(test::kRecordSize, 0, 3).file_name(kFolder, u"a.bin").data(10).build();
  std::vector<JournalDeletion> journal{deletion(2, 100, "old name.txt", 0x20, kUsnReasonRenameOldName),
                                       deletion(2, 300)};
  DeletedItem old = item_a();
  old.path = "E:\\2\\old name.txt";
  fill_facts(old, {Bytes(rec), &journal, kClusterSize, nullptr});
  EXPECT_EQ(old.sequence, 2);
  EXPECT_EQ(old.deleted_time, 300u);  // the deletion, not the rename
  EXPECT_EQ(old.record_state, RecordState::intact);
  EXPECT_EQ(old.data_size, 10u);
  // Without the journal nothing ties the old name to the record.
  DeletedItem unknown = item_a();
  unknown.path = "E:\\2\\old name.txt";
  fill_facts(unknown, {Bytes(rec), nullptr, kClusterSize, nullptr});
  EXPECT_EQ(unknown.record_state, RecordState::reused);
}

TEST(ItemFacts, SequenceNumbersWrapPastZeroAsNtfsCountsThem) {
  // Freed at 1 means it lived as 0xFFFF; a freed record at 0 tells nothing.
  auto rec = RecordBuilder(test::kRecordSize, 0, 1).file_name(kFolder, u"a.bin").data(1).build();
  DeletedItem it = item_a();
  fill_facts(it, {Bytes(rec), nullptr, kClusterSize, nullptr});
  EXPECT_EQ(it.sequence, 0xFFFF);
  EXPECT_EQ(it.record_state, RecordState::intact);
  rec = RecordBuilder(test::kRecordSize, 0, 0).file_name(kFolder, u"a.bin").data(1).build();
  DeletedItem zero = item_a();
  fill_facts(zero, {Bytes(rec), nullptr, kClusterSize, nullptr});
  EXPECT_FALSE(zero.sequence);
}

TEST(ItemFacts, FoldersFollowTheirRecordAlone) {
  const auto rec = RecordBuilder(test::kRecordSize, kRecordDirectory, 2).file_name(kFolder, u"a.bin").index({}).build();
  DeletedItem it = item_a();
  fill_facts(it, {Bytes(rec), nullptr, kClusterSize, nullptr});
  EXPECT_EQ(it.kind, ItemKind::folder);
  EXPECT_EQ(it.record_state, RecordState::intact);
  EXPECT_FALSE(it.data_size);
  EXPECT_FALSE(it.clusters_free_pct);
  EXPECT_EQ(recoverable(it), Recoverable::yes);
}

TEST(ItemFacts, UnnamedDataIgnoresNamedStreamsSparseRunsAndIncompletePieces) {
  // A named stream first, then the unnamed one: a run of 2 at 20, a sparse
  // run of 3, a run of 1 at 30.
  auto rec = with_highest_vcns(RecordBuilder(test::kRecordSize, 0, 2)
                                   .resident(kAttrData, std::vector<std::byte>(7), u"Zone.Identifier")
                                   .non_resident(kAttrData, 6 * kClusterSize,
                                                 test::bytes({0x11, 0x02, 0x14, 0x01, 0x03, 0x11, 0x01, 0x0A, 0x00}))
                                   .build());
  auto d = unnamed_data(rec, kClusterSize);
  ASSERT_TRUE(d);
  EXPECT_FALSE(d->resident);
  EXPECT_EQ(d->size, 6u * kClusterSize);
  EXPECT_TRUE(d->runs_complete);
  ASSERT_EQ(d->runs.size(), 2u);
  EXPECT_EQ(d->runs[0], (DataRun{0, 20, 2}));
  EXPECT_EQ(d->runs[1], (DataRun{5, 30, 1}));
  // The runs stop short of the allocated size: the rest lies in an
  // extension record, so the clusters cannot all be told.
  test::put64(rec, attributes(rec)[1].offset + ntfs::attribute::kHighestVcn, 2);
  EXPECT_FALSE(unnamed_data(rec, kClusterSize)->runs_complete);
  // No unnamed $DATA at all.
  const auto named_only =
      RecordBuilder(test::kRecordSize, 0, 2).resident(kAttrData, std::vector<std::byte>(7), u"s").build();
  EXPECT_FALSE(unnamed_data(named_only, kClusterSize));
  // Every truncation is read without reading past its end.
  for (std::size_t n = 0; n < rec.size(); n += 7) unnamed_data(Bytes(rec).first(n), kClusterSize);
}

TEST(ItemFacts, FreePercentSaysAllOrNoneOnlyWhenItIsSo) {
  EXPECT_EQ(free_percent(0, 0), 100);
  EXPECT_EQ(free_percent(5, 5), 100);
  EXPECT_EQ(free_percent(0, 5), 0);
  EXPECT_EQ(free_percent(1, 2), 50);
  EXPECT_EQ(free_percent(999, 1000), 99);  // 99.9 % is not all of it
  EXPECT_EQ(free_percent(1, 1000), 1);     // 0.1 % is not none
  EXPECT_EQ(free_percent(2, 3), 67);
}

// A volume of 64 clusters: records from cluster 0, the cluster bitmap
// ($Bitmap, record 6) in cluster 16, a.bin's four clusters at 20..23.
class FactsVolume : public ::testing::Test {
 protected:
  void SetUp() override {
    mft.put(ntfs::kVolumeBitmapRecord,
            with_highest_vcns(RecordBuilder(test::kRecordSize, kRecordInUse, 6)
                                  .file_name(5, u"$Bitmap")
                                  .non_resident(kAttrData, 8, test::bytes({0x11, 0x01, 0x10, 0x00}))
                                  .build()));
    mft.put(kItem, freed_file(test::bytes({0x11, 0x04, 0x14, 0x00}), 4 * kClusterSize));
  }
  // `bits`: the bitmap's eight bytes (clusters 0..63).
  ProbeVolume open(std::array<std::uint8_t, 8> bits) {
    auto mem = std::make_unique<platform::MemoryPlatform>();
    auto v = mft.volume();
    v.bytes.resize(64 * kClusterSize);
    for (std::size_t i = 0; i < bits.size(); ++i) v.bytes[16 * kClusterSize + i] = std::byte{bits[i]};
    mem->set_volume('E', std::move(v));
    scoped.emplace(std::move(mem));
    ProbeVolume pv;
    pv.reader = open_volume(platform::current(), 'E');
    auto ctx = mft.context();
    store_le<std::uint64_t>(ctx.volume.raw.data() + platform::layout::volume_data::kTotalClusters, 64);
    pv.mft = ctx;
    return pv;
  }
  test::FakeMft mft;
  std::optional<platform::ScopedPlatform> scoped;
};

TEST_F(FactsVolume, TheBitmapTellsHowManyOfTheItemsClustersAreFree) {
  // Clusters 20..23 are bits 4..7 of byte 2.
  struct Case {
    std::uint8_t byte2;
    std::uint8_t pct;
    Recoverable verdict;
  };
  for (const Case c : {Case{0x0F, 100, Recoverable::yes}, Case{0x3F, 50, Recoverable::partly},
                       Case{0xF0, 0, Recoverable::no}, Case{0xBF, 25, Recoverable::partly}}) {
    SCOPED_TRACE(static_cast<int>(c.byte2));
    ProbeVolume pv = open({0xFF, 0xFF, c.byte2, 0xFF, 0, 0, 0, 0});
    std::vector<DeletedItem> items{item_a()};
    UsnHints hints;
    hints.deletions_by_frn[kItem] = {deletion(2, 555)};
    fill_item_facts(items, pv, hints);
    EXPECT_EQ(items[0].record_state, RecordState::intact);
    EXPECT_EQ(items[0].clusters_free_pct, c.pct);
    EXPECT_EQ(recoverable(items[0]), c.verdict);
    EXPECT_EQ(items[0].deleted_time, 555u);
  }
}

TEST_F(FactsVolume, FreeClustersCountsBitByBitAndByteByByteAlike) {
  const std::array<std::uint8_t, 8> bits{0xA5, 0x0F, 0xFF, 0x00, 0x81, 0x7E, 0x3C, 0xC3};
  ProbeVolume pv = open(bits);
  auto bitmap = ClusterBitmap::open(*pv.reader, *pv.mft);
  ASSERT_TRUE(bitmap);
  auto brute = [&](std::uint64_t lcn, std::uint64_t n) {
    std::uint64_t free = 0;
    for (std::uint64_t c = lcn; c < lcn + n; ++c) free += !((bits[c / 8] >> (c % 8)) & 1);
    return free;
  };
  for (std::uint64_t lcn = 0; lcn < 64; lcn += 3)
    for (std::uint64_t n = 0; lcn + n <= 64; n += 5) EXPECT_EQ(bitmap->free_clusters(lcn, n), brute(lcn, n)) << lcn << "+" << n;
  EXPECT_FALSE(bitmap->free_clusters(60, 5));  // past the volume's 64 clusters
  EXPECT_FALSE(bitmap->free_clusters(UINT64_MAX - 1, 4));
}

TEST_F(FactsVolume, ClustersBeyondTheBitmapOrAnUnreadableOneLeaveTheShareUnknown) {
  // The item's runs reach cluster 100, past the volume's 64.
  mft.put(kItem, freed_file(test::bytes({0x11, 0x04, 0x64, 0x00}), 4 * kClusterSize));
  ProbeVolume pv = open({0, 0, 0, 0, 0, 0, 0, 0});
  std::vector<DeletedItem> items{item_a()};
  fill_item_facts(items, pv, UsnHints{});
  EXPECT_EQ(items[0].record_state, RecordState::intact);
  EXPECT_FALSE(items[0].clusters_free_pct);
  EXPECT_EQ(recoverable(items[0]), Recoverable::unknown);

  // Without a volume the journal still gives the time and the sequence.
  ProbeVolume closed;
  std::vector<DeletedItem> journal_only{item_a()};
  UsnHints hints;
  hints.deletions_by_frn[kItem] = {deletion(7, 999)};
  fill_item_facts(journal_only, closed, hints);
  EXPECT_EQ(journal_only[0].sequence, 7);
  EXPECT_EQ(journal_only[0].deleted_time, 999u);
  EXPECT_EQ(journal_only[0].record_state, RecordState::unknown);
}

}  // namespace
}  // namespace quillon
