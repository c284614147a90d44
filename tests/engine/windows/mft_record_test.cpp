// FILE record parsing: header flags, the attribute walk, $FILE_NAME,
// $INDEX_ROOT entries, run lists, stream tails, update sequences, and the
// parsers fed truncated and mutated real records.
#include <gtest/gtest.h>

#include <limits>

#include "engine/windows/mft_fixture.h"
#include "support/images.h"

namespace quillon {
namespace {
namespace fx = test::mft_fixture;

using fx::bytes;
using fx::RecordBuilder;

TEST(RecordHeader, FlagsOnlyFromFileRecordsOfAtLeast24Bytes) {
  auto free_rec = RecordBuilder(1024, 0).build();
  auto dir = RecordBuilder(1024, kRecordInUse | kRecordDirectory).build();
  EXPECT_FALSE(record_in_use(free_rec));
  EXPECT_TRUE(record_in_use(dir));
  EXPECT_TRUE(record_is_directory(dir));
  auto baad = free_rec;
  std::memcpy(baad.data(), "BAAD", 4);
  EXPECT_TRUE(has_record_signature(baad));
  EXPECT_TRUE(record_in_use(baad));  // "BAAD" counts as in use
  EXPECT_FALSE(record_is_directory(baad));
  // In use whatever else its header says: one whose header does not hold
  // together has no flags, yet counts as in use.
  auto unsound = RecordBuilder(1024, kRecordInUse).build();
  store_le<std::uint16_t>(unsound.data() + ntfs::record::kSequence, 0);
  EXPECT_FALSE(record_flags(unsound));
  EXPECT_TRUE(record_in_use(unsound));
  EXPECT_TRUE(record_in_use(Bytes(free_rec).first(23)));
  EXPECT_FALSE(record_in_use(Bytes(free_rec).first(24)));
  std::vector<std::byte> zeros(1024);
  EXPECT_FALSE(has_record_signature(zeros));
}

TEST(FileNames, NamespacesEmptyNamesAndDuplicates) {
  const FrnSet dirs{40};
  auto rec = RecordBuilder()
                 .file_name(40 | (3ull << 48), u"LONGFI~1.TXT", 2)
                 .file_name(40 | (3ull << 48), u"long file name.txt", 1, 4096, 777)
                 .file_name(40, u"")
                 .file_name(40, u"long file name.txt", 1, 8192)  // same text again: listed once
                 .file_name(41, u"elsewhere", 0)
                 .build();
  auto all = file_names(rec);
  ASSERT_EQ(all.size(), 3u);
  EXPECT_EQ(all[0], std::make_pair(std::uint64_t{40}, std::string("long file name.txt")));
  EXPECT_EQ(all[1].second, "long file name.txt");
  EXPECT_EQ(all[2], std::make_pair(std::uint64_t{41}, std::string("elsewhere")));

  auto under = file_names_under(rec, dirs);
  ASSERT_EQ(under.size(), 2u);
  EXPECT_EQ(under[0], (FileNameEntry{"long file name.txt", 40, 4096, 777, 3}));  // the parent's sequence kept
  EXPECT_EQ(under[1].name, "");
  EXPECT_EQ(under[1].parent, 40u);
  EXPECT_TRUE(file_names_under(rec, {}).empty());
  EXPECT_TRUE(names_parent_in(rec, dirs));
  EXPECT_FALSE(names_parent_in(rec, {41 | (3ull << 48)})) << "record numbers are compared, not references";
  EXPECT_FALSE(names_parent_in(RecordBuilder().file_name(40, u"DOSONLY.TXT", 2).build(), dirs)) << "a DOS-only name";

  // An unpaired surrogate decodes to U+FFFD.
  auto odd = RecordBuilder().file_name(40, std::u16string{u'a', char16_t(0xD800), u'b'}).build();
  EXPECT_EQ(file_names(odd).at(0).second, "a\xEF\xBF\xBD" "b");
}

TEST(FileNames, ShortRecordsAndValuesPastTheEnd) {
  // A 47-byte record holds no resident value; 48 bytes is enough.
  std::vector<std::byte> r(48);
  std::memcpy(r.data(), "FILE", 4);
  fx::put16(r, 0x14, 22);
  fx::put32(r, 22, kAttrData);
  fx::put32(r, 26, 24);
  fx::put16(r, 22 + 20, 24);
  EXPECT_TRUE(resident_attribute_value(r, kAttrData).has_value());
  EXPECT_FALSE(resident_attribute_value(Bytes(r).first(47), kAttrData).has_value());

  // A name length running past the record, a value offset past the end.
  auto rec = RecordBuilder().file_name(40, u"abcdef").build();
  const std::size_t value = 0x38 + 24;
  auto longer = rec;
  longer[value + 64] = std::byte{0xFF};
  EXPECT_TRUE(file_names(Bytes(longer).first(value + 66 + 12)).empty());
  EXPECT_FALSE(file_names(longer).empty());  // 255 units still fit in 1024 bytes
  auto past = rec;
  fx::put16(past, 0x38 + 20, 0xFFFF);
  EXPECT_TRUE(file_names(past).empty());
  EXPECT_FALSE(resident_attribute_value(past, kAttrFileName).has_value());
}

TEST(AttributeWalk, StopsAtBadLengths) {
  for (std::uint32_t bad : {0u, 23u, 2000u, 0xFFFFFFF0u}) {
    auto rec = RecordBuilder().file_name(40, u"a").file_name(40, u"b").build();
    fx::put32(rec, 0x38 + 4, bad);  // the first attribute's length
    EXPECT_TRUE(attributes(rec).empty()) << bad;
    EXPECT_TRUE(file_names(rec).empty()) << bad;
  }
  auto rec = RecordBuilder().file_name(40, u"a").build();
  fx::put16(rec, 0x14, 0xFFFF);  // first attribute past the end
  EXPECT_TRUE(attributes(rec).empty());
  EXPECT_FALSE(data_runs(rec).has_value());
}

// An index root of `entries` in the record of directory `own`.
MftRecord index_record(const std::vector<std::vector<std::byte>>& entries) {
  return RecordBuilder(4096, kRecordInUse | kRecordDirectory)
      .resident(kAttrIndexRoot, fx::index_root_value(entries), u"$I30")
      .build();
}

TEST(IndexRoot, WindowOwnRecordRootAndNames) {
  const std::uint64_t R = 10000;
  const FrnSet dirs{R};
  auto key = [&](const std::u16string& n, int ns = 1) { return fx::file_name_value(R, n, ns); };
  std::vector<std::vector<std::byte>> entries = {
      fx::index_entry(5, key(u"root")),
      fx::index_entry(R | (2ull << 48), key(u"self")),
      fx::index_entry((R + 8192) | (7ull << 48), key(u"far")),
      fx::index_entry(R + 8193, key(u"too far")),
      fx::index_entry(R - 64, key(u"DOSNAME", 2)),
      fx::index_entry(R - 65, key(u"below")),
      fx::index_entry(R + 1, fx::file_name_value(R + 99, u"other parent")),
      fx::index_entry(0, {}, 0x02),  // the last entry
  };
  auto rec = index_record(entries);
  auto got = index_root_entries(rec, dirs, R, false);
  ASSERT_EQ(got.size(), 3u);
  EXPECT_EQ(got[0], (IndexEntryRef{"far", (R + 8192) | (7ull << 48), R + 8192}));
  EXPECT_EQ(got[1], (IndexEntryRef{std::nullopt, R - 64, R - 64}));  // DOS key: no name
  EXPECT_EQ(got[2], (IndexEntryRef{std::nullopt, R + 1, R + 1}));    // parent not in the set
  EXPECT_EQ(index_root_entries(rec, dirs, R, true).size(), 5u);

  // Flag bit 0 ends the walk after its entry.
  entries[2] = fx::index_entry(R + 8192, key(u"far"), 0x01);
  EXPECT_EQ(index_root_entries(index_record(entries), dirs, R, true).size(), 1u);

  // An entry of length 0, or running past the record, ends the walk.
  auto zero = rec;
  const std::size_t first = 0x38 + 32 + 32;  // attribute header + name, root + index header
  fx::put16(zero, first + 8, 0);
  EXPECT_TRUE(index_root_entries(zero, dirs, R, true).empty());
  fx::put16(zero, first + 8, 0xFFF8);
  EXPECT_TRUE(index_root_entries(zero, dirs, R, true).empty());
  EXPECT_TRUE(index_root_entries(Bytes(rec).first(21), dirs, R, true).empty());
}

TEST(DataRuns, DecodingRules) {
  EXPECT_EQ(decode_runs(bytes({0x21, 0x18, 0x34, 0x56, 0x00})), (std::vector<DataRun>{{0, 0x5634, 0x18}}));
  EXPECT_EQ(decode_runs(bytes({0x11, 0x30, 0x60, 0x21, 0x10, 0x00, 0x01, 0x00})),
            (std::vector<DataRun>{{0, 0x60, 0x30}, {0x30, 0x160, 0x10}}));
  // A negative offset: 0xF0 moves back by 16.
  EXPECT_EQ(decode_runs(bytes({0x11, 0x08, 0x40, 0x11, 0x04, 0xF0, 0x00})),
            (std::vector<DataRun>{{0, 0x40, 8}, {8, 0x30, 4}}));
  // A sparse run keeps the previous cluster, or is left out on request.
  EXPECT_EQ(decode_runs(bytes({0x11, 0x08, 0x40, 0x01, 0x04, 0x11, 0x02, 0x10})),
            (std::vector<DataRun>{{0, 0x40, 8}, {8, 0x40, 4}, {12, 0x50, 2}}));
  EXPECT_EQ(decode_runs(bytes({0x11, 0x08, 0x40, 0x01, 0x04, 0x11, 0x02, 0x10}), 0, true),
            (std::vector<DataRun>{{0, 0x40, 8}, {12, 0x50, 2}}));
  // Length 0 is dropped; no terminator ends at the last whole run.
  EXPECT_EQ(decode_runs(bytes({0x11, 0x00, 0x40, 0x11, 0x02, 0x01, 0x11})), (std::vector<DataRun>{{0, 0x41, 2}}));
  // Eight-byte fields decode; a nine-byte field is not a run list.
  EXPECT_EQ(decode_runs(bytes({0x88, 1, 0, 0, 0, 0, 0, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0})),
            (std::vector<DataRun>{{0, 2, 1}}));
  EXPECT_TRUE(decode_runs(bytes({0x19, 1, 0, 0, 0, 0, 0, 0, 0, 0, 5})).empty());
  EXPECT_TRUE(decode_runs(bytes({0x91, 1, 0, 0, 0, 0, 0, 0, 0, 0, 5})).empty());
  // An offset sum that overflows 64 bits ends the list.
  EXPECT_EQ(decode_runs(bytes({0x81, 1, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F, 0x11, 1, 1})).size(), 1u);
  // A length above the signed range ends it too.
  EXPECT_TRUE(decode_runs(bytes({0x18, 0, 0, 0, 0, 0, 0, 0, 0x80, 1})).empty());
}

TEST(DataRuns, LargestDataAttributeWinsLaterOnATie) {
  auto rec = RecordBuilder()
                 .non_resident(kAttrData, 4096, bytes({0x11, 1, 0x10}))
                 .non_resident(kAttrData, 8192, bytes({0x11, 2, 0x20}), 0, u"ads")
                 .non_resident(kAttrData, 8192, bytes({0x11, 2, 0x30}))
                 .non_resident(kAttrData, 1 << 20, bytes({0x00}))  // no run: not a candidate
                 .non_resident(kAttrBitmap, 1 << 30, bytes({0x11, 9, 0x40}))
                 .build();
  auto d = data_runs(rec);
  ASSERT_TRUE(d);
  EXPECT_EQ(d->data_size, 8192u);
  EXPECT_EQ(d->runs, (std::vector<DataRun>{{0, 0x30, 2}}));
  EXPECT_EQ(nonresident_runs(rec, kAttrBitmap)->data_size, 1u << 30);
  EXPECT_FALSE(data_runs(RecordBuilder().file_name(5, u"x").build()));
  // The mapping-pairs offset past the attribute: passed over.
  auto bad = rec;
  for (std::size_t a = 0x38, n = 0; n < 3; ++n) {
    fx::put16(bad, a + 32, 0x7FF0);
    a += load_le<std::uint32_t>(bad.data() + a + 4);
  }
  EXPECT_FALSE(data_runs(bad));
}

TEST(StreamTail, HundredBytesWholeTenMiBItsLastEight) {
  constexpr std::uint64_t C = 4096, M = 8 << 20;
  std::vector<std::byte> vol(3600 * C);
  for (std::size_t i = 0; i < vol.size(); ++i) vol[i] = static_cast<std::byte>((i / C) * 7 + i);
  auto log = std::make_shared<fx::FakeVolume::Log>();
  auto reader = fx::fake_reader(vol, log);

  auto small = RecordBuilder().non_resident(kAttrData, 100, bytes({0x11, 1, 3})).build();
  auto got = read_stream_tail(C, reader, small, M);
  ASSERT_TRUE(got);
  EXPECT_EQ(*got, std::vector<std::byte>(vol.begin() + 3 * C, vol.begin() + 3 * C + 100));

  // 10 MiB in two runs: 1000 clusters at 8, the rest at 2000 (8 + 0x7C8).
  const std::uint64_t size = 10 << 20, n = size / C;
  auto pairs = bytes({0x22, 0xE8, 0x03, 0x08, 0x00, 0x22});
  for (int b : {int((n - 1000) & 0xFF), int((n - 1000) >> 8), 0xC8, 0x07}) pairs.push_back(std::byte(b));
  auto big = RecordBuilder().non_resident(kAttrData, size, pairs).build();
  got = read_stream_tail(C, reader, big, M);
  ASSERT_TRUE(got);
  ASSERT_EQ(got->size(), M);
  // Stream byte p lives at volume byte 8C + p in the first run, 2000C + (p - 1000C) after.
  auto at = [&](std::uint64_t p) { return p < 1000 * C ? vol[8 * C + p] : vol[2000 * C + p - 1000 * C]; };
  for (std::uint64_t p : {size - M, 1000 * C - 1, 1000 * C, size - 1})
    EXPECT_EQ((*got)[p - (size - M)], at(p)) << p;
  EXPECT_FALSE(read_stream_tail(0, reader, big, M));
  // Runs past the volume's end: nothing.
  auto beyond = RecordBuilder().non_resident(kAttrData, 8192, bytes({0x21, 2, 0xFF, 0x7F})).build();
  EXPECT_FALSE(read_stream_tail(C, reader, beyond, M));
}

TEST(Fixups, SoundTornAndUnsoundArrays) {
  // A 233-character name crosses the end of the first 512-byte stride.
  std::u16string name(233, u'n');
  for (std::size_t i = 0; i < name.size(); ++i) name[i] = u'a' + i % 26;
  auto clean = RecordBuilder().file_name(5, name).build();
  auto disk = RecordBuilder().file_name(5, name).build(true);
  EXPECT_NE(file_names(disk).at(0).second, file_names(clean).at(0).second);
  auto fixed = disk;
  EXPECT_TRUE(ntfs::apply_update_sequence(fixed, ntfs::TornStride::keep_as_read));
  auto expect = clean;  // the array itself keeps the saved bytes
  std::copy(disk.begin() + 0x30, disk.begin() + 0x36, expect.begin() + 0x30);
  EXPECT_EQ(fixed, expect);

  // A torn second stride stays as read; the first is still put back.
  auto torn = disk;
  fx::put16(torn, 1022, 0x1234);
  EXPECT_TRUE(ntfs::apply_update_sequence(torn, ntfs::TornStride::keep_as_read));
  EXPECT_EQ(Bytes(torn).first(512).size(), 512u);
  EXPECT_TRUE(std::equal(torn.begin(), torn.begin() + 512, expect.begin()));
  EXPECT_EQ(load_le<std::uint16_t>(torn.data() + 1022), 0x1234);

  // Unsound arrays change nothing.
  auto odd = disk;
  fx::put16(odd, 0x04, 0x31);
  auto outside = disk;
  fx::put16(outside, 0x04, 1020);
  auto too_many = disk;
  fx::put16(too_many, 0x06, 4);  // three strides do not fit in 1024 bytes
  auto none = disk;
  fx::put16(none, 0x06, 0);
  for (auto* r : {&odd, &outside, &too_many, &none}) {
    auto before = *r;
    EXPECT_FALSE(ntfs::apply_update_sequence(*r, ntfs::TornStride::keep_as_read));
    EXPECT_EQ(*r, before);
  }
  EXPECT_FALSE(ntfs::apply_update_sequence(std::span<std::byte>(disk).first(5), ntfs::TornStride::keep_as_read));

  // An array that reaches the first stride's end (at 510, its third entry):
  // the second stride gets that entry as it was read, not as the first
  // stride's fixup rewrote it.
  std::vector<std::byte> reach(1024);
  fx::put16(reach, 0x04, 506);
  fx::put16(reach, 0x06, 3);
  fx::put16(reach, 506, 0x0707);  // the update sequence number
  fx::put16(reach, 508, 0xAAAA);  // saved end of the first stride
  fx::put16(reach, 510, 0x0707);  // the third entry, also the first stride's end
  fx::put16(reach, 1022, 0x0707);
  EXPECT_TRUE(ntfs::apply_update_sequence(reach, ntfs::TornStride::keep_as_read));
  EXPECT_EQ(load_le<std::uint16_t>(reach.data() + 510), 0xAAAA);
  EXPECT_EQ(load_le<std::uint16_t>(reach.data() + 1022), 0x0707);
}

// A record in use whose header does not hold together has no state to tell:
// no flags (so it counts as in use, and is never evaluated). The same
// damage to a free record leaves its flags as they are: what it says of a
// deletion stands.
TEST(RecordHeader, AnInUseRecordWithAnUnsoundHeaderHasNoState) {
  namespace rh = ntfs::record;
  for (std::uint16_t flags : {kRecordInUse, std::uint16_t{0}}) {
    const auto sound = RecordBuilder(1024, flags).file_name(5, u"a.txt").build();
    ASSERT_EQ(record_flags(sound), flags);
    std::vector<std::pair<const char*, MftRecord>> damaged;
    auto add = [&](const char* what, std::size_t at, std::uint64_t value, int width) {
      auto r = sound;
      if (width == 2) fx::put16(r, at, value);
      if (width == 4) fx::put32(r, at, value);
      if (width == 8) fx::put64(r, at, value);
      damaged.emplace_back(what, std::move(r));
    };
    add("sequence 0", rh::kSequence, 0, 2);
    add("first attribute inside the header", rh::kFirstAttribute, 0x10, 2);
    add("first attribute not quad-aligned", rh::kFirstAttribute, 0x3A, 2);
    add("bytes in use past the record", rh::kBytesInUse, 0x1000, 4);
    add("bytes in use before the first attribute", rh::kBytesInUse, 0x20, 4);
    add("a base-record reference", rh::kBaseReference, 0x0001000000000040, 8);
    for (const auto& [what, r] : damaged) {
      // The paged scan's one look agrees with the signature and the flag.
      EXPECT_EQ(freed_file_record(r), has_record_signature(r) && !record_in_use(r)) << what;
      if (flags & kRecordInUse) {
        EXPECT_FALSE(record_flags(r)) << what;
        EXPECT_TRUE(record_in_use(r)) << what;
        EXPECT_FALSE(record_is_directory(r)) << what;
      } else {
        EXPECT_EQ(record_flags(r), flags) << what;
      }
    }
    auto baad = sound;
    fx::put32(baad, 0, 0x44414142);
    for (const MftRecord& r : {sound, baad, MftRecord(sound.begin(), sound.begin() + 23)})
      EXPECT_EQ(freed_file_record(r), has_record_signature(r) && !record_in_use(r)) << r.size();
    EXPECT_EQ(freed_file_record(sound), flags == 0);
  }
}

// The fixups of a raw record: a record in use whose update sequence fails
// is marked "BAAD", as the file system marks it; a free one keeps a torn
// stride as read and its fixups elsewhere.
TEST(Fixups, AnInUseRecordThatFailsThemIsMarkedBad) {
  for (std::uint16_t flags : {kRecordInUse, std::uint16_t{0}}) {
    const auto disk = RecordBuilder(1024, flags).file_name(5, u"a.txt").build(true);
    auto fixed = disk;
    apply_record_fixups(fixed);
    EXPECT_TRUE(is_file_record(fixed));
    EXPECT_EQ(record_flags(fixed), flags);

    std::vector<std::pair<const char*, MftRecord>> damaged;
    auto add = [&](const char* what, std::size_t at, std::uint16_t value) {
      auto r = disk;
      fx::put16(r, at, value);
      damaged.emplace_back(what, std::move(r));
    };
    add("a torn stride", 1022, 0x1234);
    add("the array past the record", ntfs::multi_sector::kUsaOffset, 0x7F30);
    add("the array at an odd offset", ntfs::multi_sector::kUsaOffset, 0x31);
    add("one entry more", ntfs::multi_sector::kUsaCount, 4);
    add("one entry (no stride protected)", ntfs::multi_sector::kUsaCount, 1);
    add("no entries", ntfs::multi_sector::kUsaCount, 0);
    for (auto& [what, r] : damaged) {
      apply_record_fixups(r);
      if (flags & kRecordInUse) {
        EXPECT_TRUE(has_tag(r, 0, "BAAD")) << what;
        EXPECT_TRUE(record_in_use(r)) << what;
      } else {
        EXPECT_TRUE(is_file_record(r)) << what;
        EXPECT_FALSE(record_in_use(r)) << what;
      }
    }
  }
}

// From raw_record_end on no record is read raw, nor asked of the device: the
// record the last extent cuts through is past it, the one before is read.
TEST(RawRecordEnd, NothingFromItOnIsReadAndTheRecordTheLastExtentCutsIsPast) {
  std::vector<std::byte> disk(16 * 1024);
  const auto record = RecordBuilder(1024, kRecordInUse).file_name(5, u"a.txt").build(true);
  // Each copy holds the number of the record the runs below place there
  // (clusters 8 on hold records 2 on).
  for (std::size_t r = 0; r < 16; ++r) {
    const auto placed = test::numbered(record, r < 2 ? r : r - 2);
    std::copy(placed.begin(), placed.end(), disk.begin() + r * 1024);
  }
  auto log = std::make_shared<fx::FakeVolume::Log>();
  auto reader = fx::fake_reader(disk, log);
  MftGeometry g;
  g.bytes_per_cluster = 512;
  g.record_size = 1024;
  EXPECT_EQ(raw_record_end(g), std::numeric_limits<std::uint64_t>::max()) << "one extent without end";
  g.runs = {{0, 0, 4}, {4, 8, 11}};  // 15 clusters: records 0 to 6 whole, record 7 cut
  EXPECT_EQ(raw_record_end(g), 7u);
  EXPECT_TRUE(read_record_raw(g, reader, 6));
  const std::size_t reads = log->reads;
  for (std::uint64_t r : {7, 8, 1000}) EXPECT_FALSE(read_record_raw(g, reader, r)) << r;
  EXPECT_EQ(log->reads, reads);
  g.bytes_per_cluster = 0;
  EXPECT_EQ(raw_record_end(g), 0u) << "no cluster size: nothing is placed";
}

// FILE records of the real Windows volumes and the scenario images.
std::vector<MftRecord> real_records() {
  std::vector<MftRecord> out;
  auto add_from = [&](const std::filesystem::path& file, std::uint64_t base) {
    auto log = std::make_shared<fx::FakeVolume::Log>();
    fx::FakeVolume* dev = nullptr;
    auto reader = fx::image_reader(file, base, log, &dev);
    auto vd = dev->volume();
    if (!vd) return;
    for (std::uint64_t n = 0; n < 48; ++n) {
      auto r = read_record_raw(mft_geometry(*vd), reader, n);
      if (r && is_file_record(*r)) out.push_back(std::move(*r));
    }
  };
  for (const char* name : {"ntfs-ptrn", "ntfs-lastaccess"}) {
    if (auto p = test::real_volume(name)) add_from(*p, 65536);
  }
  if (auto p = test::scenario_image("basic")) add_from(*p, 0);
  return out;
}

// Every parser on one buffer; what they return must be sane.
struct Parsed {
  std::vector<std::pair<std::uint64_t, std::string>> names;
  std::vector<FileNameEntry> under;
  std::vector<IndexEntryRef> index;
  std::optional<StreamRuns> runs;
};
Parsed parse_all(Bytes r) {
  static const FrnSet dirs{5, 11, 39, 40};
  Parsed p;
  p.names = file_names(r);
  p.under = file_names_under(r, dirs);
  // The quick test of the names' parents agrees with the decoded names.
  EXPECT_EQ(names_parent_in(r, dirs), !p.under.empty());
  p.index = index_root_entries(r, dirs, 5, true);
  p.runs = data_runs(r);
  for (auto t : {kAttrFileName, kAttrData, kAttrIndexRoot, kAttrBitmap}) {
    if (auto v = resident_attribute_value(r, t)) {
      EXPECT_LE(v->size(), r.size());
    }
    nonresident_runs(r, t);
  }
  for (const auto& n : p.names) EXPECT_LE(n.second.size(), 255u * 3);
  return p;
}

template <class T>
bool is_prefix_of(const std::vector<T>& part, const std::vector<T>& whole) {
  return part.size() <= whole.size() && std::equal(part.begin(), part.end(), whole.begin());
}

TEST(RealRecords, EveryPrefixAndSingleByteMutations) {
  auto records = real_records();
  if (records.empty()) GTEST_SKIP() << "no real volumes (../shared/real-volumes) or scenario images present";
  std::size_t with_names = 0, with_index = 0, with_runs = 0;
  for (const auto& rec : records) {
    const Parsed whole = parse_all(rec);
    with_names += !whole.names.empty();
    with_index += !whole.index.empty();
    with_runs += whole.runs.has_value();
    // Cutting the record only drops attributes and entries from the end.
    for (std::size_t len = 0; len <= rec.size(); ++len) {
      const Parsed part = parse_all(Bytes(rec).first(len));
      ASSERT_TRUE(is_prefix_of(part.names, whole.names)) << len;
      ASSERT_TRUE(is_prefix_of(part.under, whole.under)) << len;
      ASSERT_TRUE(is_prefix_of(part.index, whole.index)) << len;
    }
  }
  EXPECT_GT(with_names, 10u);
  EXPECT_GT(with_index, 0u);
  EXPECT_GT(with_runs, 3u);

  // Single-byte mutations of the header and attribute headers (the first
  // 512 bytes) of a few records: never more than the sanitizers see.
  for (std::size_t i = 0; i < records.size(); i += 5) {
    for (std::size_t pos = 0; pos < 512; ++pos) {
      for (int v : {0x00, 0xFF, 0x7F, 0x80}) {
        auto m = records[i];
        m[pos] = static_cast<std::byte>(v);
        parse_all(m);
        ntfs::apply_update_sequence(m, ntfs::TornStride::keep_as_read);
      }
    }
  }
}

}  // namespace
}  // namespace quillon
