#include "cli/report.h"
#include "support/probe_session.h"
#include "engine/windows/recycle.h"
#include "engine/windows/usn_deleted.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "support/usn_fake.h"

namespace quillon {
namespace {

using test::Buffer;
using test::FakeJournal;
using test::kUsnClose;
using test::kUsnDataOverwrite;
using test::kUsnDelete;
using test::kUsnFileCreate;
using test::kUsnRenameNew;
using test::kUsnRenameOld;
using test::usn_v2;
using test::usn_v4;

constexpr std::uint64_t kFolderRecord = 64;
constexpr std::uint64_t kFolderId = 0x0003000000000040;

std::vector<std::string> paths_of(const std::vector<DeletedItem>& items) {
  std::vector<std::string> out;
  for (const auto& i : items) out.push_back(i.path);
  return out;
}

TEST(UsnRules, DeleteLikeReasons) {
  EXPECT_TRUE(is_delete_like(kUsnDelete));
  EXPECT_TRUE(is_delete_like(kUsnRenameOld));
  EXPECT_TRUE(is_delete_like(kUsnRenameNew));
  EXPECT_TRUE(is_delete_like(kUsnClose | kUsnDelete));
  EXPECT_TRUE(is_delete_like(kUsnClose | kUsnDataOverwrite));
  EXPECT_TRUE(is_delete_like(kUsnClose | kUsnFileCreate));
  EXPECT_FALSE(is_delete_like(kUsnClose));
  EXPECT_FALSE(is_delete_like(kUsnFileCreate));
  EXPECT_FALSE(is_delete_like(kUsnDataOverwrite));
  EXPECT_FALSE(is_delete_like(0));
}

TEST(UsnRules, FolderParentAndDocumentExtensions) {
  ScopeContext folder;
  folder.root_file_id = kFolderId;
  folder.root_frn = kFolderRecord;
  UsnScope s;
  s.folder = &folder;
  EXPECT_TRUE(is_folder_parent(s, kFolderRecord));
  EXPECT_TRUE(is_folder_parent(s, kFolderId));
  EXPECT_FALSE(is_folder_parent(s, kFolderRecord + 1));

  for (const char* yes : {"a.txt", "REPORT.PDF", ".md", ".7z", ".db", "x.docx", "clip.mkv", "a.b.bak"})
    EXPECT_TRUE(has_document_extension(yes)) << yes;
  for (const char* no : {"md", "db", "notes", "setup.exe", "lib-notes.txt", "tmp.file.txt", "a.txt.part", ""})
    EXPECT_FALSE(has_document_extension(no)) << no;
}

class UsnSearch : public ::testing::Test {
 protected:
  void SetUp() override {
    auto p = std::make_unique<platform::MemoryPlatform>();
    mem = p.get();
    mem->add_directory("E:\\2", kFolderId);
    journal = std::make_shared<FakeJournal>();
    journal->first_usn = journal->next_usn = 1 << 20;
    mem->set_volume('E', FakeJournal::volume_for(journal));
    scoped.emplace(std::move(p));
    tree = folder_alone(platform::current(), "E:\\2", root_comparison_form(platform::current(), "E:\\2"),
                        FolderId{kFolderId, kFolderRecord});
    scope.folder = &tree;
  }
  UsnSearchResult search() {
    auto r = test::journal_on(scope);
    EXPECT_TRUE(r) << (r ? "" : r.error().text());
    return r ? std::move(*r) : UsnSearchResult{};
  }

  platform::MemoryPlatform* mem = nullptr;
  std::shared_ptr<FakeJournal> journal;
  std::optional<platform::ScopedPlatform> scoped;
  ScopeContext tree;  // the folder alone, or the tree a test gives it
  UsnScope scope;
};

TEST_F(UsnSearch, JudgesRecordsByReasonParentAndProximity) {
  journal->add(usn_v2(100, kFolderRecord, kUsnDelete, u"gone.txt"));
  journal->add(usn_v2(kFolderRecord, 5, kUsnDelete, u"2"));                         // the folder itself
  journal->add(usn_v2(kFolderRecord + 8193, kFolderRecord, kUsnDelete, u"far.txt"));
  journal->add(usn_v2(kFolderRecord + 8192, kFolderRecord, kUsnDelete, u"edge.txt"));
  journal->add(usn_v2(101, kFolderRecord, kUsnClose, u"closed.txt"));
  journal->add(usn_v2(102, kFolderRecord, kUsnClose | kUsnDataOverwrite, u"written.txt"));
  journal->add(usn_v2(103, kFolderRecord, kUsnRenameNew, u"renamed.txt"));
  journal->add(usn_v2(104, 999, kUsnDelete, u"elsewhere.txt"));                     // parent outside
  journal->add(usn_v2(105, kFolderId, kUsnDelete, u"by-full-id.txt"));
  auto r = search();
  EXPECT_EQ(paths_of(r.items), (std::vector<std::string>{"E:\\2\\gone.txt", "E:\\2\\edge.txt", "E:\\2\\written.txt",
                                                         "E:\\2\\renamed.txt", "E:\\2\\by-full-id.txt"}));
  const DeletedItem& first = r.items[0];
  EXPECT_EQ(first.frn, 100u);
  EXPECT_EQ(first.parent_frn, kFolderRecord);
  EXPECT_EQ(first.size, 0u);
  EXPECT_FALSE(first.time);
  // Both READ passes saw every record; each item counts once.
  EXPECT_EQ(journal->count(platform::FSCTL_READ_USN_JOURNAL), 2u);
  EXPECT_EQ(r.read_count, 5u);
  EXPECT_EQ(r.enum_count, 0u);
  EXPECT_EQ(r.first_usn, 1 << 20);
  EXPECT_EQ(r.next_usn, journal->next_usn);
  EXPECT_EQ(cli::journal_summary_line(r), "变更日志发现5个删除记录");
  // The far record left no hint either; the one at the edge did.
  EXPECT_FALSE(r.hints.names_by_frn.contains(kFolderRecord + 8193));
  EXPECT_EQ(r.hints.names_by_frn.at(kFolderRecord + 8192), std::set<std::string>{"edge.txt"});
  EXPECT_EQ(r.hints.parent_by_frn.at(100), kFolderRecord);
  // A record naming its own parent outside the scope is never attributed to
  // the folder, however close its record number.
  EXPECT_FALSE(r.hints.names_by_frn.contains(104));
  EXPECT_FALSE(r.hints.parent_by_frn.contains(104));
}

// The delete records the item facts read: each once although both READ
// passes meet it, only under a folder in scope, never from a V4 record.
TEST_F(UsnSearch, KeepsEachDeletionInScopeWithItsTimeAndReference) {
  auto timed = [](test::Buffer r, std::uint64_t time, std::uint32_t attributes) {
    test::put64(r, platform::layout::usn_record_v2::kTimeStamp, time);
    test::put32(r, platform::layout::usn_record_v2::kFileAttributes, attributes);
    return r;
  };
  journal->add(timed(usn_v2(0x0003000000000064, kFolderRecord, kUsnDelete, u"gone.txt"), 1000, 0x20));
  journal->add(timed(usn_v2(0x0004000000000064, kFolderRecord, kUsnDelete, u"again.txt"), 2000, 0x20));
  journal->add(timed(usn_v2(0x0001000000000065, kFolderRecord, kUsnDelete | kUsnClose, u"sub"), 3000, 0x10));
  journal->add(timed(usn_v2(0x0001000000000066, 999, kUsnDelete, u"elsewhere.txt"), 4000, 0x20));
  journal->add(timed(usn_v2(0x0001000000000067, kFolderRecord, kUsnRenameNew, u"renamed.txt"), 5000, 0x20));
  journal->add(usn_v4(0x0001000000000068, kFolderRecord, kUsnDelete));
  auto r = search();
  const auto d = r.hints.deletions_by_frn;
  ASSERT_EQ(d.size(), 2u);
  EXPECT_EQ(d.at(0x64),
            (std::vector<JournalDeletion>{{0x0003000000000064, kFolderRecord, 1000, 0x20, "gone.txt", kUsnDelete},
                                          {0x0004000000000064, kFolderRecord, 2000, 0x20, "again.txt", kUsnDelete}}));
  EXPECT_EQ(d.at(0x65), (std::vector<JournalDeletion>{
                            {0x0001000000000065, kFolderRecord, 3000, 0x10, "sub", kUsnDelete | kUsnClose}}));
  // A rename's old name ends a name too; its new name does not.
  journal->add(timed(usn_v2(0x0002000000000069, kFolderRecord, 0x1000, u"old.txt"), 6000, 0x20));
  r = search();
  EXPECT_EQ(r.hints.deletions_by_frn.at(0x69),
            (std::vector<JournalDeletion>{{0x0002000000000069, kFolderRecord, 6000, 0x20, "old.txt", 0x1000}}));
  EXPECT_FALSE(r.hints.deletions_by_frn.contains(0x67));
}

TEST_F(UsnSearch, NamesWithSeparatorsAndTheDirectoryTree) {
  std::unordered_set<std::uint64_t> dirs{kFolderRecord, 70};
  DirMap map{{kFolderRecord, {"", 5}}, {70, {"sub", kFolderRecord}}};
  tree.dir_frns = dirs;
  tree.dir_map = map;
  journal->add(usn_v2(110, kFolderRecord, kUsnDelete, u"E:\\2\\deep\\x.txt"));
  journal->add(usn_v2(111, kFolderRecord, kUsnDelete, u"part/y.txt"));
  journal->add(usn_v2(112, kFolderRecord, kUsnDelete, u"F:\\other\\z.txt"));  // outside the root
  journal->add(usn_v2(113, 70, kUsnDelete, u"in-sub.txt"));
  journal->add(usn_v2(114, 71, kUsnDelete, u"not-in-tree.txt"));
  auto r = search();
  EXPECT_EQ(paths_of(r.items), (std::vector<std::string>{"E:\\2\\deep\\x.txt", "E:\\2\\part\\y.txt",
                                                         "E:\\2\\sub\\in-sub.txt"}));
  EXPECT_EQ(r.hints.names_by_frn.at(110), std::set<std::string>{"x.txt"});
  EXPECT_EQ(r.hints.parent_by_frn.at(113), 70u);
}

TEST_F(UsnSearch, NamelessV4DeleteIsPairedByALaterNamedRecord) {
  std::vector<DeletedItem> items;
  std::unordered_set<std::string> seen;
  UsnHints hints;
  std::unordered_set<std::uint64_t> pending;
  UsnContext ctx{scope, items, seen, hints, pending, nullptr};
  Buffer b = test::concat({usn_v4(200, kFolderRecord, kUsnDelete), usn_v4(201, kFolderRecord, kUsnDelete),
                           usn_v4(202, 999, kUsnDelete), usn_v4(203, kFolderRecord, kUsnClose),
                           // any reason, any parent: the pending FRN pairs it
                           usn_v2(200, 999, 0, u"paired.txt")});
  EXPECT_EQ(process_usn_buffer(Bytes(b), ctx), 1u);
  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(items[0].path, "E:\\2\\paired.txt");
  EXPECT_EQ(items[0].parent_frn, 999u);
  EXPECT_EQ(pending, (std::unordered_set<std::uint64_t>{201}));
}

TEST_F(UsnSearch, HintCapAdmitsNoNewRecordNumbersButItemsStillCount) {
  for (std::uint64_t f = 1000; f < 1000 + kUsnHintCap; ++f)
    journal->add(usn_v2(f, kFolderRecord, kUsnDelete, u"f.txt"));
  journal->add(usn_v2(2000, kFolderRecord, kUsnDelete, u"late.txt"));
  journal->add(usn_v2(1000, kFolderRecord, kUsnRenameOld, u"second-name.txt"));
  auto r = search();
  EXPECT_EQ(r.hints.names_by_frn.size(), kUsnHintCap);
  EXPECT_FALSE(r.hints.names_by_frn.contains(2000));
  EXPECT_FALSE(r.hints.parent_by_frn.contains(2000));
  EXPECT_EQ(r.hints.names_by_frn.at(1000), (std::set<std::string>{"f.txt", "second-name.txt"}));
  EXPECT_EQ(r.read_count, kUsnHintCap + 2);
  EXPECT_EQ(r.items[kUsnHintCap].path, "E:\\2\\late.txt");
}

TEST_F(UsnSearch, QueryThatFailsFirstAndSucceedsLater) {
  journal->query_failures = 1;
  auto r = search();
  EXPECT_FALSE(r.first_usn);
  EXPECT_FALSE(r.next_usn);
  EXPECT_FALSE(r.read_error);
  EXPECT_EQ(cli::journal_summary_line(r), "变更日志中暂无删除记录");

  journal->query_failures = 1;
  journal->add(usn_v2(100, kFolderRecord, kUsnDelete, u"gone.txt"));
  r = search();
  EXPECT_FALSE(r.first_usn);
  EXPECT_EQ(r.read_count, 1u);  // pass 2 ran on the second query
  EXPECT_EQ(journal->count(platform::FSCTL_READ_USN_JOURNAL), 1u);

  journal->query_failures = 2;
  r = search();
  ASSERT_TRUE(r.read_error);
  EXPECT_TRUE(r.read_error->is_os(1179));
  EXPECT_EQ(r.read_error->text(), "QUERY_USN_JOURNAL: The volume change journal is not active. (os error 1179)");
  EXPECT_EQ(cli::journal_summary_line(r),
            "读取删除日志失败:QUERY_USN_JOURNAL: The volume change journal is not active. (os error 1179)");
}

TEST_F(UsnSearch, FailuresOfThePassesAndOfTheVolume) {
  journal->enum_error = win32::ERROR_ACCESS_DENIED;
  journal->read_error = win32::ERROR_CRC;
  journal->add(usn_v2(100, kFolderRecord, kUsnDelete, u"gone.txt"));
  auto r = search();
  ASSERT_TRUE(r.enum_error);
  EXPECT_TRUE(r.enum_error->is_os(win32::ERROR_ACCESS_DENIED)) << "the error keeps its code";
  EXPECT_EQ(r.enum_error->text(), "ENUM_USN_DATA: Access is denied. (os error 5)");
  ASSERT_TRUE(r.read_error);
  EXPECT_EQ(cli::journal_summary_line(r), "读取删除日志失败:ENUM_USN_DATA: Access is denied. (os error 5)");
  journal->enum_error.reset();
  r = search();
  EXPECT_EQ(cli::journal_summary_line(r), "读取删除日志失败:" + r.read_error->text());
  EXPECT_TRUE(r.read_error->text().starts_with("READ_USN_JOURNAL: "));

  // Nothing found on a journal that answers: the search goes on in the MFT.
  journal->read_error.reset();
  journal->records.clear();
  journal->next_usn = journal->first_usn + 64;
  r = search();
  EXPECT_EQ(cli::journal_summary_line(r), "变更日志中暂无删除记录，将继续扫描文件记录");

  platform::MemoryPlatform::Volume denied;
  denied.open_error = win32::ERROR_ACCESS_DENIED;
  mem->set_volume('E', denied);
  auto failed = test::journal_on(scope);
  ASSERT_FALSE(failed);
  EXPECT_TRUE(failed.error().is_os(win32::ERROR_ACCESS_DENIED));

  tree.root_path = "no-drive";
  auto empty = test::journal_on(scope);
  ASSERT_TRUE(empty);
  EXPECT_TRUE(empty->items.empty());
  EXPECT_FALSE(empty->first_usn);
}

TEST_F(UsnSearch, EnumPassAddsItsOwnItems) {
  journal->enum_records.push_back({120, usn_v2(120, kFolderRecord, kUsnDelete, u"enum.txt")});
  journal->enum_records.push_back({121, usn_v2(121, kFolderRecord, 0, u"live.txt")});  // ENUM: no reasons
  auto r = search();
  EXPECT_EQ(r.enum_count, 1u);
  EXPECT_EQ(r.read_count, 0u);
  EXPECT_EQ(cli::journal_summary_line(r), "变更日志发现1个删除记录");
}

// Journal evidence of a file that still lives is not a deletion: a file
// renamed since its creation, a file created and kept, a file deleted, and
// a deleted file whose record now holds another file.
TEST_F(UsnSearch, LiveFilesAreNotDeletions) {
  const std::uint64_t renamed = 0x0001000000000050;
  const std::uint64_t kept = 0x0001000000000051;
  const std::uint64_t deleted = 0x0002000000000052;
  const std::uint64_t reused_old = 0x0004000000000053;
  const std::uint64_t reused_new = 0x0005000000000053;
  mem->set_alive(renamed, true);
  mem->set_alive(kept, true);
  mem->set_alive(reused_new, true);
  journal->add(usn_v2(renamed, kFolderRecord, kUsnClose | kUsnFileCreate, u"New Text Document.txt"));
  journal->add(usn_v2(renamed, kFolderRecord, kUsnRenameOld, u"New Text Document.txt"));
  journal->add(usn_v2(renamed, kFolderRecord, kUsnRenameNew, u"plan.txt"));
  journal->add(usn_v2(kept, kFolderRecord, kUsnClose | kUsnFileCreate | kUsnDataOverwrite, u"kept.txt"));
  journal->add(usn_v2(deleted, kFolderRecord, kUsnClose | kUsnDelete, u"gone.txt"));
  journal->add(usn_v2(reused_old, kFolderRecord, kUsnClose | kUsnDelete, u"old-owner.txt"));
  journal->add(usn_v2(reused_new, kFolderRecord, kUsnClose | kUsnFileCreate, u"new-owner.txt"));
  // A record number without a sequence is never taken as alive.
  mem->set_alive(0x54, true);
  journal->add(usn_v2(0x54, kFolderRecord, kUsnDelete, u"no-sequence.txt"));
  auto r = search();
  EXPECT_EQ(paths_of(r.items),
            (std::vector<std::string>{"E:\\2\\gone.txt", "E:\\2\\old-owner.txt", "E:\\2\\no-sequence.txt"}));
  EXPECT_EQ(r.read_count, 3u);
  // The hints still hold what the journal said about the live files.
  EXPECT_EQ(r.hints.names_by_frn.at(0x50), (std::set<std::string>{"New Text Document.txt", "plan.txt"}));
  EXPECT_EQ(r.hints.names_by_frn.at(0x53), (std::set<std::string>{"new-owner.txt", "old-owner.txt"}));
  // ... with the full reference of the newest record that named each.
  EXPECT_EQ(r.hints.reference_by_frn.at(0x50), renamed);
  EXPECT_EQ(r.hints.reference_by_frn.at(0x53), reused_new);
  EXPECT_FALSE(r.hints.reference_by_frn.contains(0x54));
}

// A folder whose path no longer opens (a damaged index on the way to it) is
// still asked about through the volume's root: its live files stay live.
TEST_F(UsnSearch, LivenessIsAskedThroughTheRootWhenTheFolderDoesNotOpen) {
  const std::uint64_t kept = 0x0001000000000050;
  mem->add_directory("E:\\", 0x0005000000000005);
  mem->deny("E:\\2", win32::ERROR_FILE_CORRUPT);
  mem->set_alive(kept, true);
  journal->add(usn_v2(kept, kFolderRecord, kUsnClose | kUsnFileCreate | kUsnDataOverwrite, u"kept.txt"));
  journal->add(usn_v2(0x0002000000000052, kFolderRecord, kUsnClose | kUsnDelete, u"gone.txt"));
  EXPECT_EQ(paths_of(search().items), std::vector<std::string>{"E:\\2\\gone.txt"});
}

// OpenFileById answers access denied both for a live file closed to us and
// for one deleted while another handle still holds it (delete pending): the
// journal's delete decides. Any other refusal counts as gone.
TEST_F(UsnSearch, AccessDeniedLivenessFollowsTheJournalsDelete) {
  const std::uint64_t pending = 0x0003000000000060;   // deleted, still open elsewhere
  const std::uint64_t guarded = 0x0001000000000061;   // renamed, ACL shuts us out
  const std::uint64_t vanished = 0x0001000000000062;  // renamed, the query fails otherwise
  mem->refuse_alive(pending, win32::ERROR_ACCESS_DENIED);
  mem->refuse_alive(guarded, win32::ERROR_ACCESS_DENIED);
  mem->refuse_alive(vanished, win32::ERROR_NOT_READY);
  journal->add(usn_v2(pending, kFolderRecord, kUsnDelete, u"open-elsewhere.txt"));
  journal->add(usn_v2(guarded, kFolderRecord, kUsnRenameOld, u"private.txt"));
  journal->add(usn_v2(vanished, kFolderRecord, kUsnRenameOld, u"unknown.txt"));
  auto r = search();
  EXPECT_EQ(paths_of(r.items), (std::vector<std::string>{"E:\\2\\open-elsewhere.txt", "E:\\2\\unknown.txt"}));

  EXPECT_FALSE(liveness_when_refused(win32::error(win32::ERROR_ACCESS_DENIED), true));
  EXPECT_TRUE(liveness_when_refused(win32::error(win32::ERROR_ACCESS_DENIED), false));
  EXPECT_FALSE(liveness_when_refused(win32::error(win32::ERROR_INVALID_PARAMETER), false));
  EXPECT_FALSE(liveness_when_refused(Error::generic("x"), false));
}

// The ENUM pass asks for every file up to the NextUsn the query gave (a
// HighUsn of 0 would return only files untouched since the journal began),
// and without a journal for every USN there is.
TEST_F(UsnSearch, EnumPassAsksUpToTheQueriedNextUsn) {
  journal->add(usn_v2(100, kFolderRecord, kUsnDelete, u"gone.txt"));
  auto enum_high = [&] {
    for (const auto& c : journal->calls)
      if (c.code == platform::FSCTL_ENUM_USN_DATA) return load_le<std::int64_t>(c.in.data() + 16);
    return std::int64_t{-1};
  };
  search();
  EXPECT_EQ(enum_high(), journal->next_usn);
  journal->calls.clear();
  journal->query_failures = 2;
  search();
  EXPECT_EQ(enum_high(), INT64_MAX);
}

TEST_F(UsnSearch, DebugQueryCounters) {
  journal->add(usn_v4(300, kFolderRecord, kUsnDelete));     // matched, later paired
  journal->add(usn_v4(301, kFolderRecord, kUsnDelete));     // matched, left unpaired
  journal->add(usn_v4(302, 0, kUsnDelete));                 // parent 0: not matched
  journal->add(usn_v2(300, 999, 0, u"pair.txt"));           // named: parsed, paired, accepted
  journal->add(usn_v2(100, kFolderRecord, kUsnDelete, u"gone.txt"));
  journal->add(usn_v2(101, kFolderRecord, kUsnClose, u"closed.txt"));
  journal->add(usn_v2(102, 999, kUsnDelete, u"other.txt"));
  auto r = usn_debug_query(platform::current(), "E:\\2");
  ASSERT_TRUE(r) << r.error().text();
  EXPECT_EQ(r->dir_record, kFolderRecord);
  EXPECT_EQ(r->dir_ref, kFolderId);
  EXPECT_EQ(r->first_usn, journal->first_usn);
  EXPECT_EQ(r->next_usn, journal->next_usn);
  EXPECT_EQ(r->parsed, 4u);         // nameless records are not counted
  EXPECT_EQ(r->delete_reason, 2u);
  EXPECT_EQ(r->parent_match, 2u);
  EXPECT_EQ(r->under_root, 2u);
  EXPECT_EQ(r->accepted, 2u);       // pair.txt and gone.txt
  EXPECT_EQ(r->v4_matched, 2u);
  EXPECT_EQ(r->unpaired_v4, 1u);

  journal->query_failures = 1;
  auto failed = usn_debug_query(platform::current(), "E:\\2");
  ASSERT_FALSE(failed);
  EXPECT_TRUE(failed.error().text().starts_with("QUERY_USN_JOURNAL: "));
  EXPECT_FALSE(usn_debug_query(platform::current(), "E:\\missing"));
}

}  // namespace
}  // namespace quillon
