// The parts of the collection backend on their own: where a $J copy lies in
// its stream, the pieces of the made-up volume, and the upper-case table
// used without $UpCase, against the one Windows wrote on a real volume.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "platform/collection/assembled_volume.h"
#include "platform/collection/collected_journal.h"
#include "platform/image/default_upcase.h"
#include "platform/image/ntfs_volume.h"
#include "support/images.h"
#include "support/usn_fake.h"

namespace quillon {
namespace {

namespace col = platform::collection;
namespace img = platform::image;
using test::Buffer;

// A V2 record with its USN field set.
Buffer at_usn(Buffer r, std::uint64_t usn) {
  store_le<std::uint64_t>(r.data() + 24, usn);
  return r;
}

img::ImageFile file_of(const Buffer& bytes, const std::string& name) {
  const auto path = test::binary_dir() / ("collection-parts-" + name);
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                              static_cast<std::streamsize>(bytes.size()));
  auto f = img::ImageFile::open(path.string());
  EXPECT_TRUE(f) << name;
  return std::move(*f);
}

TEST(CollectedJournal, TheFirstWholeRecordPlacesTheCopy) {
  const Buffer a = test::usn_v2(70, 5, test::kUsnDelete, u"a.txt");
  const Buffer b = test::usn_v2(71, 5, test::kUsnDelete, u"b.txt");
  const std::uint64_t usn = 0x10000;
  const Buffer records = test::concat({at_usn(a, usn), at_usn(b, usn + a.size())});

  struct Case {
    const char* what;
    std::uint64_t hole;   // zeros before the records
    std::uint64_t drop;   // bytes of the records cut from the front
    std::uint64_t first;  // where the first whole record lies in the copy
    std::uint64_t base;   // the stream offset of the copy's byte 0
  };
  const Case cases[] = {
      {"the sparse part kept as zeros", usn, 0, usn, 0},
      {"the sparse part left out", 0, 0, 0, usn},
      {"part of the hole kept", 4096, 0, 4096, usn - 4096},
      {"starting 3 bytes into a record", 0, 3, a.size() - 3, usn + 3},
      {"starting 8 bytes into a record", 0, 8, a.size() - 8, usn + 8},
  };
  for (const auto& c : cases) {
    Buffer copy(c.hole);
    copy.insert(copy.end(), records.begin() + static_cast<std::ptrdiff_t>(c.drop), records.end());
    auto f = file_of(copy, "j");
    auto at = col::place_journal(f);
    ASSERT_TRUE(at) << c.what;
    EXPECT_EQ(at->first_record, c.first) << c.what;
    EXPECT_EQ(at->base, c.base) << c.what;
    // Read as the stream: the record at its USN, zeros before the first.
    col::CopiedJournal j(std::move(f), *at);
    EXPECT_EQ(j.size(), usn + records.size()) << c.what;
    Buffer got(b.size()), zeros(16);
    ASSERT_TRUE(j.read(usn + a.size(), got)) << c.what;
    EXPECT_EQ(got, at_usn(b, usn + a.size())) << c.what;
    EXPECT_TRUE(j.read(at->base + at->first_record - 16, zeros)) << c.what;
    EXPECT_EQ(zeros, Buffer(16)) << c.what;
    EXPECT_FALSE(j.read(j.size() - 4, zeros)) << "past the end: " << c.what;
  }
}

TEST(CollectedJournal, NoWholeRecordIsNoJournal) {
  const Buffer a = at_usn(test::usn_v2(70, 5, test::kUsnDelete, u"a.txt"), 0x10000);
  // A USN below the record's place in the copy, zeros, a record's tail.
  Buffer below(0x20000);
  std::copy(a.begin(), a.end(), below.begin() + 0x18000);
  for (const auto& [what, bytes] : {std::pair{"zeros", Buffer(100000)},
                                    std::pair{"a USN below its place", below},
                                    std::pair{"a record's tail", Buffer(a.begin() + 20, a.end())}}) {
    auto f = file_of(bytes, "bad");
    EXPECT_FALSE(col::place_journal(f)) << what;
  }
  // A record whose successor lies at another USN than its length says is
  // not taken; the successor, whole, is.
  {
    auto f = file_of(test::concat({a, at_usn(test::usn_v2(71, 5, 0, u"b.txt"), 0x30000)}), "next");
    auto at = col::place_journal(f);
    ASSERT_TRUE(at);
    EXPECT_EQ(at->first_record, a.size());
    EXPECT_EQ(at->base, 0x30000 - a.size());
  }
  // A record whose length's first byte is 0 (0x100 bytes) after zeros.
  Buffer longname = test::usn_v2(72, 5, test::kUsnDelete, std::u16string(98, u'x'));
  ASSERT_EQ(longname.size(), 0x100u);
  Buffer copy(64);
  auto r = at_usn(longname, 64);
  copy.insert(copy.end(), r.begin(), r.end());
  auto f = file_of(copy, "long");
  auto at = col::place_journal(f);
  ASSERT_TRUE(at);
  EXPECT_EQ(at->first_record, 64u);
}

TEST(VolumeLayout, PiecesNeverOverlapAndStreamsFollowTheirRuns) {
  col::VolumeLayout l;
  const auto bytes = l.add_bytes(Buffer(64, std::byte{7}));
  EXPECT_TRUE(l.place(100, 10, bytes, 0));
  EXPECT_FALSE(l.place(105, 10, bytes, 0)) << "overlaps the piece at 100";
  EXPECT_FALSE(l.place(95, 6, bytes, 0)) << "reaches into the piece at 100";
  EXPECT_TRUE(l.place(110, 10, bytes, 0));
  EXPECT_FALSE(l.place(200, 65, bytes, 0)) << "past the source";
  EXPECT_FALSE(l.place(UINT64_MAX - 2, 10, bytes, 0)) << "overflows";
  // A stream of 3 clusters (VCN 0 at LCN 10, VCN 1-2 at LCN 4), bytes
  // 1000..2500 of it, 1024-byte clusters: the run at LCN 10 from byte 1000,
  // the run at LCN 4 up to byte 2500.
  const auto zeros = l.add_zeros();
  const std::vector<img::Run> runs{{0, 1, 10}, {1, 2, 4}};
  EXPECT_EQ(l.place_stream(runs, 1024, zeros, 1000, 2500), 24u + 1476u);
  ASSERT_EQ(l.pieces().size(), 4u);
  EXPECT_EQ(l.pieces()[2].at, 4u * 1024);
  EXPECT_EQ(l.pieces()[2].from, 1024u);
  EXPECT_EQ(l.pieces()[2].length, 1476u);
  EXPECT_EQ(l.pieces()[3].at, 10u * 1024 + 1000);
  auto file = col::open_layout(std::make_shared<col::VolumeLayout>(l), 64 * 1024);
  ASSERT_TRUE(file);
  Buffer got(10);
  EXPECT_TRUE(file->read(100, got));
  EXPECT_EQ(got, Buffer(10, std::byte{7}));
  EXPECT_FALSE(file->read(115, got)) << "runs into bytes that were not collected";
  EXPECT_TRUE(file->read(4 * 1024, std::span(got).first(8)));
}

TEST(DefaultUpcase, FoldsAsWindowsDoesWhereWindowsKnowsTheLetter) {
  auto raw = test::real_volume("ntfs-lastaccess");
  if (!raw) GTEST_SKIP() << "../shared/real-volumes is absent";
  auto f = img::ImageFile::open(raw->string());
  ASSERT_TRUE(f);
  auto v = img::NtfsVolume::open(*f, {65536, f->size() - 65536});
  ASSERT_TRUE(v);
  const auto& ours = img::default_upcase_table();
  std::size_t folded = 0, differ = 0;
  for (std::uint32_t c = 0; c < 65536; ++c) {
    const char16_t windows = (*v)->upcase(static_cast<char16_t>(c));
    if (windows != c) ++folded;
    if (ours[c] == windows) continue;
    ++differ;
    // Only letters Windows' table leaves alone (capitals Unicode added
    // after it was made) fold differently.
    EXPECT_EQ(windows, c) << std::hex << "U+" << c;
  }
  EXPECT_GT(folded, 900u) << "the volume's own table was read";
  EXPECT_LT(differ, 200u);
  EXPECT_EQ(ours[u'a'], u'A');
  EXPECT_EQ(ours[0x00DF], 0x00DF) << "sharp s has no single upper-case letter";
  EXPECT_EQ(ours[0x03C9], 0x03A9) << "omega's capital, not the ohm sign";
  EXPECT_EQ(ours[u'k'], u'K') << "not the Kelvin sign";
}

}  // namespace
}  // namespace quillon
