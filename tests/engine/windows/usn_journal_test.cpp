#include "engine/windows/usn_journal.h"

#include <gtest/gtest.h>

#include <random>

#include "support/usn_fake.h"

namespace quillon {
namespace {

using test::Buffer;
using test::FakeJournal;
using test::usn_v2;
using test::usn_v3;
using test::usn_v4;

std::vector<UsnEntry> walk(const Buffer& b) {
  std::vector<UsnEntry> out;
  walk_records(Bytes(b), [&](const UsnEntry& e) { out.push_back(e); });
  return out;
}

// ---------------------------------------------------------------- parsing

TEST(UsnParse, ReadsTheFieldsOfEachVersionAndMasksReferencesTo48Bits) {
  Buffer b = test::concat({usn_v2(0x0007000000000123, 0x0002000000000040, 0x80000200, u"a.txt"),
                           usn_v3(0x0009000000000456, 0x0001000000000041, 0x1000, u"長い名前.doc"),
                           usn_v4(0x0003000000000789, 0x0005000000000042, 0x200)});
  auto e = walk(b);
  ASSERT_EQ(e.size(), 3u);
  EXPECT_EQ(e[0].name, "a.txt");
  EXPECT_EQ(e[0].frn, 0x123u);
  EXPECT_EQ(e[0].file_reference, 0x0007000000000123u);
  EXPECT_EQ(e[0].parent, 0x40u);
  EXPECT_EQ(e[0].reason, 0x80000200u);
  EXPECT_EQ(e[0].record_length, 72u);
  EXPECT_EQ(e[1].name, "長い名前.doc");
  EXPECT_EQ(e[1].frn, 0x456u);
  EXPECT_EQ(e[1].file_reference, 0x0009000000000456u);  // low 8 bytes of the 128-bit id
  EXPECT_EQ(e[1].parent, 0x41u);
  EXPECT_EQ(e[1].reason, 0x1000u);
  EXPECT_EQ(e[2].name, "");
  EXPECT_EQ(e[2].frn, 0x789u);
  EXPECT_EQ(e[2].parent, 0x42u);
  EXPECT_EQ(e[2].reason, 0x200u);
  EXPECT_EQ(e[2].record_length, 80u);
}

TEST(UsnParse, CarriesTheTimeAndAttributesOfNamedRecords) {
  Buffer v2 = usn_v2(0x0001000000000050, 0x41, 0x80000200, u"a.txt");
  test::put64(v2, platform::layout::usn_record_v2::kTimeStamp, 0x01DC7DD63C280000ull);
  test::put32(v2, platform::layout::usn_record_v2::kFileAttributes, 0x20);
  Buffer v3 = usn_v3(0x0002000000000051, 0x41, 0x200, u"dir");
  test::put64(v3, platform::layout::usn_record_v3::kTimeStamp, 0x8000000000000001ull);
  test::put32(v3, platform::layout::usn_record_v3::kFileAttributes, 0x10);
  auto e = walk(test::concat({v2, v3, usn_v4(0x52, 0x41, 0x200)}));
  ASSERT_EQ(e.size(), 3u);
  EXPECT_EQ(e[0].timestamp, 0x01DC7DD63C280000ull);
  EXPECT_EQ(e[0].attributes, 0x20u);
  EXPECT_EQ(e[1].timestamp, 0x8000000000000001ull);  // the high byte kept whole
  EXPECT_EQ(e[1].attributes, 0x10u);
  EXPECT_EQ(e[2].timestamp, 0u);  // V4 records carry neither
  EXPECT_EQ(e[2].attributes, 0u);
}

TEST(UsnParse, TwoRecordsDifferingOnlyInSequenceGiveTheSameFrn) {
  auto a = parse_record(Bytes(usn_v2(0x0001000000000500, 5, 0x200, u"x")), 0);
  auto b = parse_record(Bytes(usn_v2(0xFFFF000000000500, 5, 0x200, u"x")), 0);
  ASSERT_TRUE(a && b);
  EXPECT_EQ(a->frn, b->frn);
  EXPECT_NE(a->file_reference, b->file_reference);
}

TEST(UsnParse, NamesAreDecodedLossilyAndOddLengthsLoseTheirLastByte) {
  Buffer odd = usn_v2(1, 5, 0x200, u"ab");
  test::put16(odd, 56, 3);  // "a" plus half of "b"
  auto e = parse_record(Bytes(odd), 0);
  ASSERT_TRUE(e);
  EXPECT_EQ(e->name, "a");

  std::u16string lone = u"x";
  lone.push_back(static_cast<char16_t>(0xD800));
  lone += u"y";
  e = parse_record(Bytes(usn_v2(1, 5, 0x200, lone)), 0);
  ASSERT_TRUE(e);
  EXPECT_EQ(e->name, "x\xEF\xBF\xBDy");

  Buffer one_byte = usn_v2(1, 5, 0x200, u"a");
  test::put16(one_byte, 56, 1);  // odd length that leaves nothing
  EXPECT_FALSE(parse_record(Bytes(one_byte), 0));
}

TEST(UsnParse, RejectsMalformedRecords) {
  Buffer no_name = usn_v2(1, 5, 0x200, u"abc");
  test::put16(no_name, 56, 0);
  EXPECT_FALSE(parse_record(Bytes(no_name), 0));

  Buffer past_record = usn_v2(1, 5, 0x200, u"abc");  // 72 bytes, name 60..66
  test::put16(past_record, 58, 68);                 // 68 + 6 > 72
  EXPECT_FALSE(parse_record(Bytes(past_record), 0));

  Buffer past_area = usn_v2(1, 5, 0x200, u"abc");
  test::put16(past_area, 58, 0xFFF0);
  EXPECT_FALSE(parse_record(Bytes(past_area), 0));

  Buffer version = usn_v2(1, 5, 0x200, u"abc");
  for (std::uint16_t v : {0, 1, 5, 0xFFFF}) {
    test::put16(version, 4, v);
    EXPECT_FALSE(parse_record(Bytes(version), 0)) << v;
  }

  // A V3 header cut short: the area ends before the name fields.
  Buffer v3 = usn_v3(1, 5, 0x200, u"abc");
  Buffer cut(v3.begin(), v3.begin() + 70);
  test::put32(cut, 0, 64);
  EXPECT_FALSE(parse_record(Bytes(cut), 0));
  // ... and a V3 record shorter than its own header.
  test::put32(v3, 0, 64);
  EXPECT_FALSE(parse_record(Bytes(v3), 0));

  for (std::uint32_t len : {0u, 7u, 59u, 100000u}) {
    Buffer r = usn_v2(1, 5, 0x200, u"abc");
    test::put32(r, 0, len);
    EXPECT_FALSE(parse_record(Bytes(r), 0)) << len;
  }
  EXPECT_FALSE(parse_record(Bytes(usn_v2(1, 5, 0x200, u"abc")), 16));  // fewer than 60 bytes left
}

TEST(UsnWalk, SlidesPastBadRecordsToTheNextGoodOne) {
  Buffer good = usn_v2(7, 5, 0x200, u"keep.txt");
  for (std::uint32_t bad_len : {0u, 7u, 0x7FFFFFFFu}) {
    Buffer bad(64);
    test::put32(bad, 0, bad_len);
    test::put16(bad, 4, 2);
    auto e = walk(test::concat({bad, good}));
    ASSERT_EQ(e.size(), 1u) << bad_len;
    EXPECT_EQ(e[0].name, "keep.txt");
  }
  // A length below a record header's (59 here) says nothing: the walk
  // slides on in 8-byte steps to the next record (records start on 8-byte
  // boundaries).
  Buffer bad59(72);
  test::put32(bad59, 0, 59);
  test::put16(bad59, 4, 2);
  auto after59 = walk(test::concat({bad59, good}));
  ASSERT_EQ(after59.size(), 1u);
  EXPECT_EQ(after59[0].name, "keep.txt");
  // An unparsable record with a plausible length is stepped over up to the
  // end of its fields, the rest of it sliding by.
  Buffer no_name = usn_v2(1, 5, 0x200, u"skipped-by-length");
  test::put16(no_name, 56, 0);
  auto e = walk(test::concat({no_name, good, usn_v4(9, 5, 0x200)}));
  ASSERT_EQ(e.size(), 2u);
  EXPECT_EQ(e[0].frn, 7u);
  EXPECT_EQ(e[1].frn, 9u);
}

// One record's RecordLength enlarged (0x58 to 0x1058, 0x48 to 0x1000, or
// to just past the next record) must not hide the records after it: the
// damaged record is read up to the end of its own fields, and the walk goes
// on with the next header it finds. So for every version, and for a record
// that does not parse (no name) but whose length is larger than any record
// of its version can be.
TEST(UsnWalk, AnEnlargedRecordLengthHidesNoFollowingRecord) {
  const Buffer v2 = usn_v2(1, 5, 0x80000200, u"damaged.txt");  // 0x58 bytes
  const Buffer v3 = usn_v3(1, 5, 0x80000200, u"ab");           // 0x50
  const Buffer v4 = usn_v4(1, 5, 0x80000200);                  // 0x50
  Buffer unnamed = usn_v2(1, 5, 0x80000200, u"abc");           // 0x48
  test::put16(unnamed, 56, 0);
  const Buffer rest = test::concat({usn_v2(2, 5, 0x80000200, u"after-one.txt"), usn_v3(3, 5, 0x200, u"after-two"),
                                    usn_v4(4, 5, 0x200), usn_v2(5, 5, 0x80000200, u"after-four.txt")});
  const Buffer pad(0x1100);  // room for the enlarged lengths inside the area
  for (const Buffer* damaged : std::initializer_list<const Buffer*>{&v2, &v3, &v4, &unnamed}) {
    for (std::uint32_t grown : {0x1000u, 0x1058u, static_cast<std::uint32_t>(damaged->size() + 0x60)}) {
      Buffer b = test::concat({*damaged, rest, pad});
      test::put32(b, 0, grown);
      auto e = walk(b);
      std::vector<std::uint64_t> frns;
      for (const auto& x : e) frns.push_back(x.frn);
      const bool named = damaged != &unnamed;
      std::vector<std::uint64_t> want = named ? std::vector<std::uint64_t>{1, 2, 3, 4, 5}
                                              : std::vector<std::uint64_t>{2, 3, 4, 5};
      EXPECT_EQ(frns, want) << "record " << damaged->size() << " bytes grown to " << grown;
      if (named && !e.empty()) {
        EXPECT_EQ(e[0].record_length, grown);  // reported as stored
      }
    }
  }
}

TEST(UsnWalk, EveryTruncationYieldsOnlyTheWholeRecords) {
  Buffer b = test::concat({usn_v2(1, 5, 0x200, u"one.txt"), usn_v3(2, 5, 0x200, u"two.txt"),
                           usn_v4(3, 5, 0x200), usn_v2(4, 5, 0x200, u"four.txt")});
  std::vector<std::size_t> ends;
  std::size_t at = 0;
  for (std::size_t len : {80u, 96u, 80u, 80u}) ends.push_back(at += len);
  ASSERT_EQ(at, b.size());
  for (std::size_t len = 0; len <= b.size(); ++len) {
    // A copy of exactly `len` bytes, so that the sanitizer sees any overread.
    Buffer prefix(b.begin(), b.begin() + len);
    std::size_t whole = 0;
    for (auto e : ends) whole += e <= len;
    EXPECT_EQ(walk(prefix).size(), whole) << len;
  }
}

TEST(UsnWalk, SurvivesRandomCorruption) {
  Buffer base = test::concat({usn_v2(1, 5, 0x200, u"one.txt"), usn_v3(2, 5, 0x200, u"two.txt"),
                              usn_v4(3, 5, 0x200), usn_v2(4, 5, 0x200, u"four.txt")});
  std::mt19937 rng(12345);
  for (int round = 0; round < 2000; ++round) {
    Buffer b = base;
    int flips = 1 + static_cast<int>(rng() % 6);
    for (int i = 0; i < flips; ++i) b[rng() % b.size()] = static_cast<std::byte>(rng() & 0xFF);
    std::size_t len = rng() % (b.size() + 1);
    b.resize(len);
    for (const auto& e : walk(b)) {
      EXPECT_GE(e.record_length, 60u);
      EXPECT_LE(e.frn, kRecordMask);
      EXPECT_LE(e.parent, kRecordMask);
    }
  }
}

// ---------------------------------------------------------------- loops

class UsnLoops : public ::testing::Test {
 protected:
  void SetUp() override {
    auto p = std::make_unique<platform::MemoryPlatform>();
    mem = p.get();
    journal = std::make_shared<FakeJournal>();
    mem->set_volume('E', FakeJournal::volume_for(journal));
    scoped.emplace(std::move(p));
  }
  VolumeReader volume() {
    auto v = open_volume(platform::current(), 'E');
    EXPECT_TRUE(v);
    return std::move(*v);
  }
  // A processor that collects the names it is handed and counts each as an item.
  UsnBufferProcessor collect() {
    return [this](Bytes area) {
      std::uint64_t n = 0;
      walk_records(area, [&](const UsnEntry& e) {
        seen.push_back(e.name);
        ++n;
      });
      ++buffers;
      return n;
    };
  }
  std::int64_t start_of(std::size_t call) const { return load_le<std::int64_t>(journal->calls[call].in.data()); }
  std::uint16_t max_major_of(std::size_t call) const {
    return load_le<std::uint16_t>(journal->calls[call].in.data() + 42);
  }

  platform::MemoryPlatform* mem = nullptr;
  std::shared_ptr<FakeJournal> journal;
  std::optional<platform::ScopedPlatform> scoped;
  std::vector<std::string> seen;
  int buffers = 0;
};

TEST_F(UsnLoops, QueryReadsTheJournalDataAndNamesItsFailures) {
  journal->first_usn = 4096;
  journal->next_usn = 900000;
  auto v = volume();
  auto info = query_journal(v);
  ASSERT_TRUE(info);
  EXPECT_EQ(info->journal_id, journal->journal_id);
  EXPECT_EQ(info->first_usn, 4096);
  EXPECT_EQ(info->next_usn, 900000);
  EXPECT_EQ(info->max_supported_major, 4);

  journal->query_failures = 1;
  auto failed = query_journal(v);
  ASSERT_FALSE(failed);
  // The control code's name is added; the OS error stays what it was.
  EXPECT_TRUE(failed.error().is_os(win32::ERROR_JOURNAL_NOT_ACTIVE));
  EXPECT_EQ(failed.error().text(),
            "QUERY_USN_JOURNAL: The volume change journal is not active. (os error 1179)");
}

TEST_F(UsnLoops, WindowStartsAtFirstUsnOrEightMillionBackFromNext) {
  UsnJournalInfo j;
  j.first_usn = 1000;
  j.next_usn = 5000;
  EXPECT_EQ(recent_window_start(j), 1000);
  j.next_usn = 9'000'000;
  EXPECT_EQ(recent_window_start(j), 1'000'000);
  j.first_usn = INT64_MIN;
  j.next_usn = INT64_MIN + 5;
  EXPECT_EQ(recent_window_start(j), INT64_MIN);
}

TEST_F(UsnLoops, EmptyJournalIsNotRead) {
  journal->first_usn = journal->next_usn = 777;
  auto v = volume();
  auto info = query_journal(v);
  ASSERT_TRUE(info);
  auto n = read_journal(v, *info, recent_window_start(*info), collect());
  ASSERT_TRUE(n);
  EXPECT_EQ(*n, 0u);
  EXPECT_EQ(journal->count(platform::FSCTL_READ_USN_JOURNAL), 0u);
}

TEST_F(UsnLoops, ReadSendsTheExpectedInputAndFollowsContinuations) {
  journal->first_usn = journal->next_usn = 512;
  journal->add(usn_v2(1, 5, 0x200, u"a"));
  journal->add(usn_v2(2, 5, 0x200, u"b"));
  journal->add(usn_v2(3, 5, 0x200, u"c"));
  journal->records_per_answer = 1;
  auto v = volume();
  auto info = query_journal(v);
  auto n = read_journal(v, *info, recent_window_start(*info), collect());
  ASSERT_TRUE(n);
  EXPECT_EQ(*n, 3u);
  EXPECT_EQ(seen, (std::vector<std::string>{"a", "b", "c"}));
  // Three answers; the last continuation equals NextUsn and ends the loop.
  ASSERT_EQ(journal->count(platform::FSCTL_READ_USN_JOURNAL), 3u);
  const Buffer& in = journal->calls[1].in;
  ASSERT_EQ(in.size(), 48u);
  EXPECT_EQ(load_le<std::int64_t>(in.data()), 512);
  EXPECT_EQ(load_le<std::uint32_t>(in.data() + 8), 0xFFFFFFFFu);
  EXPECT_EQ(load_le<std::uint32_t>(in.data() + 12), 0u);
  EXPECT_EQ(load_le<std::uint64_t>(in.data() + 24), 0u);
  EXPECT_EQ(load_le<std::uint64_t>(in.data() + 32), journal->journal_id);
  EXPECT_EQ(load_le<std::uint16_t>(in.data() + 40), 2);
  EXPECT_EQ(max_major_of(1), 4);
  EXPECT_EQ(start_of(2), 512 + 64);
  EXPECT_EQ(start_of(3), 512 + 64 + 64);
}

TEST_F(UsnLoops, InvalidParameterDowngradesThenRestartsOnceFromFirstUsn) {
  journal->first_usn = 100;
  journal->next_usn = 20'000'000;
  journal->read_error = win32::ERROR_INVALID_PARAMETER;
  auto v = volume();
  auto info = query_journal(v);
  auto n = read_journal(v, *info, recent_window_start(*info), collect());
  ASSERT_TRUE(n);  // a normal end
  EXPECT_EQ(*n, 0u);
  // Query, then: window start with V4, same start with V2, FirstUsn, end.
  ASSERT_EQ(journal->calls.size(), 4u);
  EXPECT_EQ(start_of(1), 12'000'000);
  EXPECT_EQ(max_major_of(1), 4);
  EXPECT_EQ(start_of(2), 12'000'000);
  EXPECT_EQ(max_major_of(2), 2);
  EXPECT_EQ(start_of(3), 100);
}

TEST_F(UsnLoops, ReadOfAnOlderSystemIsRetriedAsVersion2) {
  journal->add(usn_v2(1, 5, 0x200, u"old-system.txt"));
  journal->reject_v4_reads = true;
  auto v = volume();
  auto info = query_journal(v);
  auto n = read_journal(v, *info, info->first_usn, collect());
  ASSERT_TRUE(n);
  EXPECT_EQ(*n, 1u);
  EXPECT_EQ(seen, std::vector<std::string>{"old-system.txt"});
}

TEST_F(UsnLoops, ReadEndsOnEndOfFileAndFailsOnOtherErrors) {
  journal->next_usn = 4096;
  journal->read_error = win32::ERROR_HANDLE_EOF;
  auto v = volume();
  auto info = query_journal(v);
  auto n = read_journal(v, *info, 0, collect());
  ASSERT_TRUE(n);
  EXPECT_EQ(*n, 0u);

  journal->read_error = win32::ERROR_ACCESS_DENIED;
  auto failed = read_journal(v, *info, 0, collect());
  ASSERT_FALSE(failed);
  EXPECT_TRUE(failed.error().is_os(win32::ERROR_ACCESS_DENIED));
  EXPECT_EQ(failed.error().kind(), ErrorKind::permission_denied);
  EXPECT_EQ(failed.error().text(), "READ_USN_JOURNAL: Access is denied. (os error 5)");
}

TEST_F(UsnLoops, ReadStopsOnShortAnswersAndContinuationsThatDoNotAdvance) {
  journal->next_usn = 10'000;
  auto v = volume();
  auto info = query_journal(v);

  // Exactly 8 bytes: no records handed over; the loop follows the
  // continuation while it moves forward, below NextUsn.
  std::vector<std::int64_t> answers{3000, 6000, 6000};
  std::size_t call = 0;
  journal->read_override = [&](std::int64_t, std::span<std::byte> out) -> Result<std::size_t> {
    store_le<std::int64_t>(out.data(), answers[std::min(call++, answers.size() - 1)]);
    return std::size_t{8};
  };
  auto n = read_journal(v, *info, 0, collect());
  ASSERT_TRUE(n);
  EXPECT_EQ(call, 3u);  // 0 -> 3000 -> 6000, then 6000 again ends it
  EXPECT_TRUE(seen.empty());

  // A continuation below the current position ends the loop.
  call = 0;
  answers = {5000, 10};
  ASSERT_TRUE(read_journal(v, *info, 0, collect()));
  EXPECT_EQ(call, 2u);

  // Fewer than 8 bytes end it; a count beyond the buffer is clamped.
  call = 0;
  journal->read_override = [&](std::int64_t, std::span<std::byte>) -> Result<std::size_t> {
    ++call;
    return std::size_t{7};
  };
  ASSERT_TRUE(read_journal(v, *info, 0, collect()));
  EXPECT_EQ(call, 1u);
  journal->read_override = [&](std::int64_t, std::span<std::byte> out) -> Result<std::size_t> {
    store_le<std::int64_t>(out.data(), 0);
    return out.size() * 4;
  };
  EXPECT_TRUE(read_journal(v, *info, 0, collect()));
}

TEST_F(UsnLoops, EnumCoversTheBandAroundTheFolder) {
  for (std::uint64_t frn : {0ull, 100ull, 5000ull, 5904ull, 10000ull, 42768ull, 42769ull, 60000ull})
    journal->enum_records.push_back({frn, usn_v2(frn, 5, 0, u"f")});
  auto v = volume();

  ASSERT_TRUE(enumerate_records(v, 10000, false, kUsnEnumNoHighLimit, collect()));
  EXPECT_EQ(load_le<std::uint64_t>(journal->calls[0].in.data()), 5904u);
  const Buffer& in = journal->calls[0].in;
  ASSERT_EQ(in.size(), 32u);
  EXPECT_EQ(load_le<std::int64_t>(in.data() + 8), 0);
  EXPECT_EQ(load_le<std::int64_t>(in.data() + 16), kUsnEnumNoHighLimit);
  EXPECT_EQ(load_le<std::uint16_t>(in.data() + 24), 2);
  EXPECT_EQ(load_le<std::uint16_t>(in.data() + 26), 4);

  journal->calls.clear();
  ASSERT_TRUE(enumerate_records(v, 100, false, kUsnEnumNoHighLimit, collect()));
  EXPECT_EQ(load_le<std::uint64_t>(journal->calls[0].in.data()), 0u);  // below 4096: from record 0

  journal->calls.clear();
  ASSERT_TRUE(enumerate_records(v, 123456, true, kUsnEnumNoHighLimit, collect()));
  EXPECT_EQ(load_le<std::uint64_t>(journal->calls[0].in.data()), 0u);
}

TEST_F(UsnLoops, EnumEndsAtTheLimitAndOnContinuationsThatDoNotAdvance) {
  std::vector<std::uint64_t> answers;
  std::vector<std::uint64_t> starts;
  mem->set_volume('E', platform::MemoryPlatform::Volume{
                           {}, [&](std::uint32_t, std::span<const std::byte> in, std::span<std::byte> out)
                                   -> Result<std::size_t> {
                             starts.push_back(load_le<std::uint64_t>(in.data()));
                             store_le<std::uint64_t>(out.data(), answers[std::min(starts.size(), answers.size()) - 1]);
                             return std::size_t{8};
                           },
                           {}});
  auto vol = volume();

  // Folder 10000: the limit is 42768; a continuation beyond it ends the loop.
  answers = {20000, 42768, 42769};
  ASSERT_TRUE(enumerate_records(vol, 10000, false, kUsnEnumNoHighLimit, collect()));
  EXPECT_EQ(starts, (std::vector<std::uint64_t>{5904, 20000, 42768}));
  // The limit looks at the record number only.
  starts.clear();
  answers = {0x0005000000000100ull, 0x0005000000010000ull};
  ASSERT_TRUE(enumerate_records(vol, 200, false, kUsnEnumNoHighLimit, collect()));
  EXPECT_EQ(starts.size(), 2u);
  // Whole volume: no limit; ends when the continuation is 0 or repeats.
  starts.clear();
  answers = {1'000'000, 9'000'000, 0};
  ASSERT_TRUE(enumerate_records(vol, 200, true, kUsnEnumNoHighLimit, collect()));
  EXPECT_EQ(starts.size(), 3u);
  starts.clear();
  answers = {77, 77};
  ASSERT_TRUE(enumerate_records(vol, 0, true, kUsnEnumNoHighLimit, collect()));
  EXPECT_EQ(starts.size(), 2u);
  // A continuation that points back would loop for ever; it ends the walk.
  starts.clear();
  answers = {5000, 300, 5000};
  ASSERT_TRUE(enumerate_records(vol, 0, true, kUsnEnumNoHighLimit, collect()));
  EXPECT_EQ(starts, (std::vector<std::uint64_t>{0, 5000}));
}

TEST_F(UsnLoops, EnumEndsOnEndOfFileAndFailsOnceVersion2IsRefused) {
  journal->enum_records.push_back({4, usn_v2(4, 5, 0, u"x")});
  auto v = volume();
  ASSERT_TRUE(enumerate_records(v, 4, false, kUsnEnumNoHighLimit, collect()));  // second call answers end of file
  EXPECT_EQ(seen, std::vector<std::string>{"x"});

  journal->enum_error = win32::ERROR_INVALID_PARAMETER;
  journal->calls.clear();
  auto r = enumerate_records(v, 4, false, kUsnEnumNoHighLimit, collect());
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().text(), "ENUM_USN_DATA: The parameter is incorrect. (os error 87)");
  ASSERT_EQ(journal->calls.size(), 3u);  // versions 4, 3 and 2, then the error
  EXPECT_EQ(load_le<std::uint16_t>(journal->calls[2].in.data() + 26), 2);
}

// Windows documents versions 2 and 3 for enumeration: a system that refuses
// 4 is asked again with 3, then with 2, at the same position.
TEST_F(UsnLoops, EnumRefusingVersion4IsAskedAgainWith3Then2) {
  journal->enum_records.push_back({4, usn_v2(4, 5, 0, u"x")});
  auto v = volume();
  for (std::uint16_t accepted : {3, 2}) {
    SCOPED_TRACE(accepted);
    journal->enum_max_major_accepted = accepted;
    journal->calls.clear();
    seen.clear();
    ASSERT_TRUE(enumerate_records(v, 4, false, kUsnEnumNoHighLimit, collect()));
    EXPECT_EQ(seen, std::vector<std::string>{"x"});
    std::vector<std::uint16_t> majors;
    for (const auto& c : journal->calls) majors.push_back(load_le<std::uint16_t>(c.in.data() + 26));
    std::vector<std::uint16_t> want;
    for (std::uint16_t m = 4; m >= accepted; --m) want.push_back(m);
    want.push_back(accepted);  // the call that meets the end of the enumeration
    EXPECT_EQ(majors, want);
    EXPECT_EQ(load_le<std::uint64_t>(journal->calls[1].in.data()), load_le<std::uint64_t>(journal->calls[0].in.data()));
  }
}

// ENUM returns only files whose last USN lies in LowUsn..HighUsn: with a
// HighUsn of 0 only files untouched since the journal began would come back.
TEST_F(UsnLoops, EnumAsksForEveryFileUpToTheGivenHighUsn) {
  journal->next_usn = 5000;
  journal->enum_records.push_back({10, usn_v2(10, 5, 0, u"untouched"), 0});
  journal->enum_records.push_back({11, usn_v2(11, 5, 0, u"changed"), 4096});
  journal->enum_records.push_back({12, usn_v2(12, 5, 0, u"after-the-query"), 6000});
  auto v = volume();
  auto info = query_journal(v);
  ASSERT_TRUE(info);
  ASSERT_TRUE(enumerate_records(v, 10, false, info->next_usn, collect()));
  EXPECT_EQ(seen, (std::vector<std::string>{"untouched", "changed"}));
  EXPECT_EQ(load_le<std::int64_t>(journal->calls[1].in.data() + 16), 5000);
}

// The journal was trimmed between the query and the read: Windows answers
// ERROR_JOURNAL_ENTRY_DELETED; the loop starts once more from the first
// record the journal still holds (StartUsn 0) instead of failing the pass.
TEST_F(UsnLoops, ReadBelowATrimmedJournalRestartsFromItsFirstRecord) {
  journal->first_usn = journal->next_usn = 512;
  journal->add(usn_v2(1, 5, 0x200, u"trimmed-away"));
  journal->add(usn_v2(2, 5, 0x200, u"kept-1"));
  journal->add(usn_v2(3, 5, 0x200, u"kept-2"));
  auto v = volume();
  auto info = query_journal(v);
  ASSERT_TRUE(info);
  journal->trimmed_to = journal->records[1].usn;
  auto n = read_journal(v, *info, info->first_usn, collect());
  ASSERT_TRUE(n) << n.error().text();
  EXPECT_EQ(seen, (std::vector<std::string>{"kept-1", "kept-2"}));
  ASSERT_EQ(journal->count(platform::FSCTL_READ_USN_JOURNAL), 2u);
  EXPECT_EQ(start_of(2), 0);

  // Only once: a journal that keeps refusing ends the pass without error.
  journal->trimmed_to = INT64_MAX;
  journal->read_override = [](std::int64_t, std::span<std::byte>) -> Result<std::size_t> {
    return fail(win32::error(win32::ERROR_JOURNAL_ENTRY_DELETED));
  };
  journal->calls.clear();
  n = read_journal(v, *info, info->first_usn, collect());
  ASSERT_TRUE(n);
  EXPECT_EQ(*n, 0u);
  EXPECT_EQ(journal->calls.size(), 2u);
}

// READ and ENUM read their input in place: it sits on an 8-byte boundary.
TEST_F(UsnLoops, ControlInputsAreEightByteAligned) {
  journal->add(usn_v2(1, 5, 0x200, u"a"));
  journal->enum_records.push_back({4, usn_v2(4, 5, 0, u"x")});
  auto v = volume();
  auto info = query_journal(v);
  ASSERT_TRUE(read_journal(v, *info, info->first_usn, collect()));
  ASSERT_TRUE(enumerate_records(v, 4, false, kUsnEnumNoHighLimit, collect()));
  ASSERT_GE(journal->calls.size(), 3u);
  for (const auto& c : journal->calls) {
    if (!c.in.empty()) {
      EXPECT_TRUE(c.aligned) << c.code;
    }
  }
}

TEST(UsnErrors, WinErrorsBecomeHresults) {
  EXPECT_EQ(hresult_of(win32::error(5)), 0x80070005u);
  EXPECT_EQ(hresult_of(win32::error(87)), kHresultInvalidParameter);
  EXPECT_EQ(hresult_of(win32::error(38)), kHresultHandleEof);
  EXPECT_EQ(hresult_of(win32::error(0x12345)), 0x80072345u);
  EXPECT_EQ(hresult_of(Error::generic("x")), 0x80004005u);
}

}  // namespace
}  // namespace quillon
