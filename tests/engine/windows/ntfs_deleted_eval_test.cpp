#include "engine/windows/ntfs_deleted_eval.h"

#include <gtest/gtest.h>

#include "engine/windows/ntfs_deleted_fixture.h"

namespace quillon {
namespace {

using test::FakeMft;
using test::kRecordSize;
using test::RecordBuilder;

constexpr std::uint64_t kRoot = 40;
constexpr std::uint64_t kRootId = 0x0003000000000028ULL;
constexpr std::uint16_t kFree = 0;
constexpr std::uint16_t kLive = kRecordInUse;

// Scope E:\2 (40) with subdirectory a (41); the live file E:\2\a\live.txt.
class EvaluateRecord : public ::testing::Test {
 protected:
  EvaluateRecord() {
    auto p = std::make_unique<platform::MemoryPlatform>();
    mem_ = p.get();
    p->add_directory("E:\\2", kRootId);
    p->add_directory("E:\\2\\a", 41);
    p->add_file("E:\\2\\a\\live.txt", 60);
    scoped_.emplace(std::move(p));

    ScopeContext scope;
    scope.system = &platform::current();
    scope.root_path = "E:\\2";
    scope.root_frn = kRoot;
    scope.root_file_id = kRootId;
    scope.dir_map = {{kRoot, {"", 5}}, {41, {"a", kRoot}}};
    scope.dir_frns = {kRoot, 41};
    scope.parent_match_frns = {kRoot, 41, kRootId};
    ctx_ = scan_context_for(scope);
  }

  std::vector<std::string> paths(const MftRecord& r, std::uint64_t number, bool verify_live = false,
                                 const RecordHint* hint = nullptr) {
    std::vector<std::string> out;
    for (const auto& item : evaluate_record(r, number, ctx_, {.verify_live = verify_live}, hint)) out.push_back(item.path);
    return out;
  }

  void set_hints(UsnHints h) { ctx_.hints = std::make_shared<const UsnHints>(std::move(h)); }

  platform::MemoryPlatform* mem_ = nullptr;
  std::optional<platform::ScopedPlatform> scoped_;
  ScanContext ctx_;
};

using Paths = std::vector<std::string>;

TEST_F(EvaluateRecord, DeletedRecordsYieldTheirNamesInScope) {
  auto r = RecordBuilder(kRecordSize, kFree).file_name(41, u"x.txt", 1, 4096).file_name(41, u"X~1.TXT", 2, 4096).file_name(99, u"elsewhere.txt").build();
  auto items = evaluate_record(r, 70, ctx_, EvalFlags{});
  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(items[0].path, "E:\\2\\a\\x.txt");
  EXPECT_EQ(items[0].frn, 70u);
  EXPECT_EQ(items[0].parent_frn, 41u);
  EXPECT_EQ(items[0].size, 4096u);
  // The record number is taken as 48 bits.
  EXPECT_EQ(evaluate_record(r, 0x0009000000000046ULL, ctx_, EvalFlags{}).at(0).frn, 70u);

  EXPECT_TRUE(paths(RecordBuilder(kRecordSize, kFree).file_name(99, u"elsewhere.txt").build(), 71).empty());
  EXPECT_TRUE(paths(RecordBuilder(kRecordSize, kFree).file_name(41, u"lib-noise.rlib").build(), 72).empty());
  // Directories are never items, live or deleted.
  EXPECT_TRUE(paths(RecordBuilder(kRecordSize, kRecordDirectory).file_name(41, u"d").build(), 73).empty());
  // Short, torn or foreign records.
  auto baad = RecordBuilder(kRecordSize, kFree).file_name(41, u"y.txt").build();
  std::memcpy(baad.data(), "BAAD", 4);
  EXPECT_TRUE(paths(baad, 74).empty());
  EXPECT_TRUE(evaluate_record(Bytes(r).first(23), 75, ctx_, EvalFlags{}).empty());
}

TEST_F(EvaluateRecord, InUseRecordsMustLookGoneOrEmpty) {
  // Size 0 reaches the acceptance; the file is gone, so it is an item.
  EXPECT_EQ(paths(RecordBuilder(kRecordSize, kLive).file_name(41, u"moved.txt").data(10).build(), 80), Paths{"E:\\2\\a\\moved.txt"});
  // A size and a non-empty resident $DATA (or none): not even evaluated further.
  EXPECT_TRUE(paths(RecordBuilder(kRecordSize, kLive).file_name(41, u"moved.txt", 1, 4096).data(10).build(), 81).empty());
  EXPECT_TRUE(paths(RecordBuilder(kRecordSize, kLive).file_name(41, u"moved.txt", 1, 4096).build(), 82).empty());
  // An empty resident $DATA lets a sized name through.
  EXPECT_EQ(paths(RecordBuilder(kRecordSize, kLive).file_name(41, u"moved.txt", 1, 4096).data(0).build(), 83), Paths{"E:\\2\\a\\moved.txt"});
  // With verify_live, a missing path is enough.
  EXPECT_EQ(paths(RecordBuilder(kRecordSize, kLive).file_name(41, u"moved.txt", 1, 4096).data(10).build(), 84, true),
            Paths{"E:\\2\\a\\moved.txt"});
}

// Windows keeps the size in the parent's index, so a live file's own
// $FILE_NAME usually says 0: such a record must not pass as deleted.
TEST_F(EvaluateRecord, LiveFilesNeverPassAsDeleted) {
  auto live = RecordBuilder(kRecordSize, kLive).file_name(41, u"live.txt", 1, 0).data(5).build();
  EXPECT_TRUE(paths(live, 60).empty());
  EXPECT_TRUE(paths(live, 60, true).empty());
  UsnHints h;
  h.names_by_frn[60] = {"live.txt"};
  set_hints(h);
  EXPECT_TRUE(paths(live, 60).empty());
  // Two names, one of them gone: only the gone one.
  auto both = RecordBuilder(kRecordSize, kLive).file_name(41, u"live.txt").file_name(kRoot, u"old.txt").build();
  set_hints({});
  EXPECT_EQ(paths(both, 60), Paths{"E:\\2\\old.txt"});
}

// A folder whose index is damaged loses its entries' names, not their files:
// a record in use whose reference (record and sequence) still opens by id
// is alive whatever its path lookup says. Only a reference that no longer
// opens (deleted, not yet flushed) lets an in-use record be an item.
TEST_F(EvaluateRecord, ARecordThatOpensByIdIsAliveWhateverItsPath) {
  mem_->add_directory("E:\\", 5 | (5ULL << 48));
  ctx_.live = open_volume_root(platform::current(), 'E');
  ASSERT_TRUE(ctx_.live);
  const std::uint64_t ref = 96 | (1ULL << 48);  // the builder's sequence is 1
  auto unlisted = RecordBuilder(kRecordSize, kLive).file_name(41, u"unindexed.txt", 1, 4096).data(10).build();
  mem_->set_alive(ref, true);
  EXPECT_TRUE(paths(unlisted, 96, true).empty());
  EXPECT_TRUE(paths(RecordBuilder(kRecordSize, kLive).file_name(41, u"unindexed.txt").build(), 96).empty());  // "empty" too
  UsnHints h;
  h.names_by_frn[96] = {"unindexed.txt", "former.txt"};
  set_hints(h);
  EXPECT_TRUE(paths(unlisted, 96).empty());
  // A name the journal gives a reused record, which no longer holds it,
  // belonged to a former file: still an item.
  RecordHint former{"former.txt", kRoot, true};
  EXPECT_EQ(paths(RecordBuilder(kRecordSize, kLive).file_name(99, u"new.txt").build(), 96, false, &former), Paths{"E:\\2\\former.txt"});
  // A renamed file: the record holds its new name in the folder, so the old
  // name the journal gives is not taken for another file's.
  RecordHint old_name{"former.txt", 41, true};
  EXPECT_TRUE(paths(RecordBuilder(kRecordSize, kLive).file_name(41, u"unindexed.txt").build(), 96, false, &old_name).empty());
  set_hints({});
  // The file system no longer opens the reference: the path decides.
  mem_->set_alive(ref, false);
  EXPECT_EQ(paths(unlisted, 96, true), Paths{"E:\\2\\a\\unindexed.txt"});
  ctx_.live.reset();
  mem_->set_alive(ref, true);
  EXPECT_EQ(paths(unlisted, 96, true), Paths{"E:\\2\\a\\unindexed.txt"});
}

TEST_F(EvaluateRecord, JournalNamesAndHints) {
  // The journal named this live record: the size test is skipped.
  UsnHints h;
  h.names_by_frn[90] = {"j.txt"};
  h.names_by_frn[91] = {"other.txt"};
  set_hints(h);
  EXPECT_EQ(paths(RecordBuilder(kRecordSize, kLive).file_name(41, u"j.txt", 1, 4096).data(10).build(), 90), Paths{"E:\\2\\a\\j.txt"});
  // Names the journal did not see for a record it named are dropped.
  EXPECT_TRUE(paths(RecordBuilder(kRecordSize, kFree).file_name(41, u"renamed.txt").build(), 91).empty());
  set_hints({});

  // No name of the record lies in scope: the index entry's name and parent stand in.
  auto outside = RecordBuilder(kRecordSize, kFree).file_name(99, u"x.txt").build();
  RecordHint hint{"from-index.txt", 41, true};
  EXPECT_EQ(paths(outside, 92, false, &hint), Paths{"E:\\2\\a\\from-index.txt"});
  hint.use_parent = false;
  EXPECT_TRUE(paths(outside, 92, false, &hint).empty());
  RecordHint far{"from-index.txt", 99, true};
  EXPECT_TRUE(paths(outside, 92, false, &far).empty());
}

// A journal record of a file near the folder's own record is attributed to
// the folder; the record itself may say the file of that name lives (or
// lived) in another folder, and then it is not the folder's.
TEST_F(EvaluateRecord, HintContradictedByTheRecordsOwnName) {
  UsnHints h;
  h.names_by_frn[93] = {"keep-root.txt"};
  h.names_by_frn[94] = {"trap.txt"};
  h.names_by_frn[95] = {"reused-old.txt"};
  set_hints(h);
  RecordHint live_root{"keep-root.txt", kRoot, true};
  EXPECT_TRUE(paths(RecordBuilder(kRecordSize, kLive).file_name(5, u"keep-root.txt", 1, 4096).data(10).build(), 93, false, &live_root)
                  .empty());
  RecordHint trap{"trap.txt", kRoot, true};
  EXPECT_TRUE(paths(RecordBuilder(kRecordSize, kFree).file_name(99, u"trap.txt").build(), 94, false, &trap).empty());
  // A reused record holds another file's name: the hint still stands in.
  RecordHint old{"reused-old.txt", kRoot, true};
  EXPECT_EQ(paths(RecordBuilder(kRecordSize, kFree).file_name(99, u"reused-new.txt").build(), 95, false, &old),
            Paths{"E:\\2\\reused-old.txt"});
}

// The journal's file reference decides what an in-use record it named is:
// the same sequence number is the same file, renamed or moved (it lives);
// another is a reused record, whose own names belong to the new file, so
// the deletion is listed from the journal's name under the journal's parent.
TEST_F(EvaluateRecord, JournalSequenceTellsALiveFileFromAReusedRecord) {
  mem_->add_file("E:\\2\\new-owner.txt", 0x0003000000000060ULL);
  UsnHints h;
  h.names_by_frn[0x60] = {"New Text Document.txt"};
  h.parent_by_frn[0x60] = kRoot;
  h.reference_by_frn[0x60] = 0x0002000000000060ULL;
  set_hints(h);
  const RecordHint hint{"New Text Document.txt", kRoot, true};
  const Paths deleted{"E:\\2\\New Text Document.txt"};
  struct Case {
    const char* what;
    MftRecord record;
    const RecordHint* hint;
    Paths want;
  } cases[] = {
      {"moved out, same sequence", RecordBuilder(kRecordSize, kLive).sequence(2).file_name(99, u"file_1.txt").build(), &hint, {}},
      {"renamed in place", RecordBuilder(kRecordSize, kLive).sequence(2).file_name(kRoot, u"plan.txt").build(), &hint, {}},
      {"reused by a file of the folder", RecordBuilder(kRecordSize, kLive).sequence(3).file_name(kRoot, u"new-owner.txt").build(), &hint,
       deleted},
      {"reused elsewhere, no caller hint", RecordBuilder(kRecordSize, kLive).sequence(3).file_name(99, u"x.txt").build(), nullptr,
       deleted},
      {"freed", RecordBuilder(kRecordSize, kFree).sequence(3).file_name(kRoot, u"New Text Document.txt").build(), &hint, deleted},
  };
  mem_->add_file("E:\\2\\plan.txt", 0x0002000000000060ULL);
  for (const auto& c : cases) EXPECT_EQ(paths(c.record, 0x60, false, c.hint), c.want) << c.what;
}

TEST_F(EvaluateRecord, ScanRecordBufferFollowsTheInUseTable) {
  std::vector<std::byte> page;
  // Each record holds the number of its place unless given another.
  auto add = [&](const MftRecord& r, std::optional<std::uint64_t> number = std::nullopt) {
    const auto placed = test::numbered(r, number.value_or(100 + page.size() / kRecordSize));
    page.insert(page.end(), placed.begin(), placed.end());
  };
  add(RecordBuilder(kRecordSize, kFree).file_name(41, u"deleted.txt").build());                 // 100
  // Records in use as the disk holds them (update sequence in place): one
  // whose fixups fail is not read as in use at all.
  add(RecordBuilder(kRecordSize, kLive).file_name(41, u"moved.txt").build(true));               // 101
  add(RecordBuilder(kRecordSize, kLive).file_name(41, u"known.txt").build(true));               // 102
  add(std::vector<std::byte>(test::kRecordSize, std::byte{0}));                // 103: not a record
  add(RecordBuilder(kRecordSize, kFree).file_name(41, u"skipped.txt").build());                 // 104
  // 105 and 106: records 7 and 102 where damaged runs put them, never read as those here.
  add(RecordBuilder(kRecordSize, kFree).file_name(41, u"elsewhere.txt").build(), 7);
  add(RecordBuilder(kRecordSize, kLive).file_name(41, u"known.txt").build(true), 102);
  page.resize(page.size() + 100);  // a trailing partial record is not one

  ScanContext ctx = ctx_;
  ctx.skip = std::make_shared<const FrnSet>(FrnSet{104});
  auto without = scan_record_buffer(page, 100, test::kRecordSize, ctx);
  EXPECT_EQ(without.records_scanned, 6u);
  ASSERT_EQ(without.items.size(), 1u);
  EXPECT_EQ(without.items[0].path, "E:\\2\\a\\deleted.txt");

  UsnHints h;
  h.names_by_frn[102] = {"known.txt"};
  ctx.hints = std::make_shared<const UsnHints>(h);
  auto known = scan_record_buffer(page, 100, test::kRecordSize, ctx);
  ASSERT_EQ(known.items.size(), 2u);
  EXPECT_EQ(known.items[1].path, "E:\\2\\a\\known.txt");

  ctx.hints.reset();
  ctx.include_in_use = true;
  auto all = scan_record_buffer(page, 100, test::kRecordSize, ctx);
  EXPECT_EQ(all.items.size(), 3u);
  EXPECT_EQ(scan_record_buffer(page, 100, 0, ctx).records_scanned, 0u);
}

// A page as read from the disk: only the records evaluated get their fixups,
// in place; a torn stride of one of them stays as read (keep_as_read), a
// record that is skipped stays as read whole.
TEST_F(EvaluateRecord, ScanRecordBufferFixesUpOnlyWhatItEvaluates) {
  // A name long enough to cross the first stride's end.
  const std::string name8 = "deleted-" + std::string(200, 'x') + ".txt";
  const std::u16string name(name8.begin(), name8.end());
  const auto freed = test::numbered(RecordBuilder(kRecordSize, kFree).file_name(41, name).build(true), 100);
  const auto live = test::numbered(RecordBuilder(kRecordSize, kLive).file_name(41, u"live.txt").build(true), 101);
  auto torn = test::numbered(RecordBuilder(kRecordSize, kFree).file_name(41, u"torn.txt").build(true), 102);
  test::put16(torn, 1022, 0x1234);
  std::vector<std::byte> page;
  for (const MftRecord* r : {&freed, &live, static_cast<const MftRecord*>(&torn)})
    page.insert(page.end(), r->begin(), r->end());

  auto y = scan_record_buffer(page, 100, kRecordSize, ctx_);
  ASSERT_EQ(y.items.size(), 2u);
  EXPECT_EQ(y.items[0].path, "E:\\2\\a\\" + name8) << "the name read after its fixup";
  auto fixed = test::numbered(RecordBuilder(kRecordSize, kFree).file_name(41, name).build(), 100);
  std::copy(freed.begin() + 0x30, freed.begin() + 0x36, fixed.begin() + 0x30);  // the array keeps the saved bytes
  EXPECT_TRUE(std::equal(fixed.begin(), fixed.end(), page.begin()));
  EXPECT_TRUE(std::equal(live.begin(), live.end(), page.begin() + kRecordSize)) << "a skipped record is not touched";
  EXPECT_EQ(load_le<std::uint16_t>(page.data() + 2 * kRecordSize + 510), 0) << "the sound stride is fixed up";
  EXPECT_EQ(load_le<std::uint16_t>(page.data() + 2 * kRecordSize + 1022), 0x1234) << "the torn one stays as read";
}

TEST_F(EvaluateRecord, ReadByNumberAndConfirmJournalRecords) {
  FakeMft mft;
  mft.put(0, RecordBuilder(kRecordSize, kLive).file_name(5, u"$MFT").build());
  mft.put(70, RecordBuilder(kRecordSize, kFree).file_name(41, u"x.txt").file_name(kRoot, u"y.txt").build());
  mft.put(71, RecordBuilder(kRecordSize, kLive).file_name(41, u"live.txt").build());
  mem_->set_volume('E', mft.volume());
  ctx_.geometry = mft.context().geometry;
  auto reader = open_volume(platform::current(), 'E');
  ASSERT_TRUE(reader);
  auto at = evaluate_record_at(*reader, 70, ctx_, EvalFlags{});
  ASSERT_TRUE(at);
  EXPECT_EQ(at->size(), 2u);
  EXPECT_FALSE(evaluate_record_at(*reader, 71, ctx_, EvalFlags{}));
  EXPECT_FALSE(evaluate_record_at(*reader, 5000, ctx_, EvalFlags{}));

  std::vector<std::uint64_t> wanted = {70, 70, 0x0001000000000046ULL, 71, 9999};
  auto confirmed = confirm_frns_in_mft(*reader, ctx_.geometry, wanted, ctx_);
  ASSERT_EQ(confirmed.size(), 2u);  // each name once, however often the journal named the record
  EXPECT_EQ(confirmed[0].path, "E:\\2\\a\\x.txt");
  EXPECT_EQ(confirmed[1].path, "E:\\2\\y.txt");
}

}  // namespace
}  // namespace quillon
