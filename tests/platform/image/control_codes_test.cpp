// Control codes answered from images, and the journal answers over a $J
// stream held in memory (holes, records, filters, errors).
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <set>

#include "common/bytes.h"
#include "engine/item_facts.h"
#include "platform/image/image_platform.h"
#include "support/images.h"
#include "support/manifest.h"
#include "platform/control_layout.h"
#include "platform/image/usn_journal.h"
#include "platform/platform.h"

namespace quillon::platform::image {
namespace {

using Buf = std::vector<std::byte>;
namespace vdl = layout::volume_data;
namespace xvd = layout::extended_volume_data;
namespace frl = layout::file_record;
namespace u2 = layout::usn_record_v2;

Buf frn_input(std::uint64_t frn) {
  Buf in(8);
  store_le<std::uint64_t>(in.data(), frn);
  return in;
}

// The volume data's free clusters are the clear bits of $Bitmap below the
// volume's cluster count, as the engine's own reader of $Bitmap counts them
// (volumes of several cluster sizes, counts not a multiple of 8 or 64).
TEST(ImageControlCodes, FreeClustersAreTheClearBitsOfTheBitmap) {
  int ran = 0;
  for (const char* name : {"basic", "cluster512", "cluster64k", "fragmented", "damaged-truncated"}) {
    auto path = test::scenario_image(name);
    if (!path) continue;
    SCOPED_TRACE(name);
    auto p = open_image_platform({path->string(), 'E', std::nullopt});
    ASSERT_TRUE(p.has_value()) << p.error().text();
    auto reader = open_volume(**p, 'E');
    ASSERT_TRUE(reader);
    auto mft = load_mft_context(*reader);
    ASSERT_TRUE(mft);
    auto bitmap = ClusterBitmap::open(*reader, *mft);
    ASSERT_TRUE(bitmap);
    const std::uint64_t total = mft->volume.total_clusters();
    EXPECT_EQ(mft->volume.free_clusters(), bitmap->free_clusters(0, total).value_or(~0ull)) << total << " clusters";
    ++ran;
  }
  if (ran == 0) GTEST_SKIP() << "tests/data holds none of the volumes";
}

TEST(ImageControlCodes, VolumeDataFileRecordsAndErrorsOnAFragmentedMft) {
  auto path = test::scenario_image("fragmented");
  auto manifest = test::load_manifest("fragmented");
  if (!path || !manifest) GTEST_SKIP() << "tests/data/fragmented.img.gz is absent";
  const std::uint64_t second_extent = std::stoull(manifest->volume.at("second_extent_record"));
  auto p = open_image_platform({path->string(), 'E', std::nullopt});
  ASSERT_TRUE(p.has_value()) << p.error().text();
  auto dev = (*p)->open_volume("\\\\.\\E:");
  ASSERT_TRUE(dev.has_value());
  VolumeDevice& d = **dev;

  Buf vd(96);
  ASSERT_EQ(*d.control(FSCTL_GET_NTFS_VOLUME_DATA, {}, vd), 96u);
  EXPECT_EQ(load_le<std::uint32_t>(vd.data() + 40), 512u);
  EXPECT_EQ(load_le<std::uint32_t>(vd.data() + 44), 1024u);
  EXPECT_EQ(load_le<std::uint32_t>(vd.data() + 48), 1024u);
  EXPECT_EQ(load_le<std::uint64_t>(vd.data() + 64), 0x10u);
  std::uint64_t total = load_le<std::uint64_t>(vd.data() + 16), free = load_le<std::uint64_t>(vd.data() + 24);
  EXPECT_GT(free, 0u);
  EXPECT_LT(free, total);
  Buf small(95);
  EXPECT_TRUE(d.control(FSCTL_GET_NTFS_VOLUME_DATA, {}, small).error().is_os(win32::ERROR_INSUFFICIENT_BUFFER));
  // NTFS_VOLUME_DATA_BUFFER field by field.
  EXPECT_NE(load_le<std::uint64_t>(vd.data() + vdl::kVolumeSerialNumber), 0u);
  const std::uint64_t sectors = load_le<std::uint64_t>(vd.data() + vdl::kNumberSectors);
  EXPECT_GE(sectors * 512, total * 1024);
  EXPECT_LT(sectors * 512, total * 1024 + 1024);
  EXPECT_EQ(load_le<std::uint64_t>(vd.data() + vdl::kTotalReserved), 0u);
  EXPECT_EQ(load_le<std::uint32_t>(vd.data() + vdl::kClustersPerFileRecordSegment), 1u);
  const std::uint64_t valid = load_le<std::uint64_t>(vd.data() + vdl::kMftValidDataLength);
  EXPECT_EQ(valid % 1024, 0u);
  EXPECT_GT(valid / 1024, second_extent);
  EXPECT_NE(load_le<std::uint64_t>(vd.data() + vdl::kMft2StartLcn), 0u);
  const std::uint64_t zone_start = load_le<std::uint64_t>(vd.data() + vdl::kMftZoneStart);
  EXPECT_GT(zone_start, load_le<std::uint64_t>(vd.data() + vdl::kMftStartLcn));
  EXPECT_GE(load_le<std::uint64_t>(vd.data() + vdl::kMftZoneEnd), zone_start);
  EXPECT_LE(load_le<std::uint64_t>(vd.data() + vdl::kMftZoneEnd), total);
  // NTFS_EXTENDED_VOLUME_DATA after it when the buffer has room; ByteCount
  // says how much of it was filled.
  Buf ext(vdl::kSize + xvd::kSize + 16, std::byte{0xCC});
  ASSERT_EQ(*d.control(FSCTL_GET_NTFS_VOLUME_DATA, {}, ext), vdl::kSize + xvd::kSize);
  EXPECT_TRUE(std::equal(vd.begin(), vd.end(), ext.begin()));
  const std::byte* x = ext.data() + vdl::kSize;
  EXPECT_EQ(load_le<std::uint32_t>(x + xvd::kByteCount), xvd::kSize);
  EXPECT_EQ(load_le<std::uint16_t>(x + xvd::kMajorVersion), 3);
  EXPECT_EQ(load_le<std::uint16_t>(x + xvd::kMinorVersion), 1);
  EXPECT_EQ(load_le<std::uint32_t>(x + xvd::kBytesPerPhysicalSector), 512u);
  // mkntfs leaves $LogFile without restart pages: no log file version.
  EXPECT_EQ(load_le<std::uint16_t>(x + xvd::kLfsMajorVersion), 0);
  EXPECT_EQ(load_le<std::uint16_t>(x + xvd::kLfsMinorVersion), 0);
  for (std::size_t f : {xvd::kMaxDeviceTrimExtentCount, xvd::kMaxDeviceTrimByteCount, xvd::kMaxVolumeTrimExtentCount,
                        xvd::kMaxVolumeTrimByteCount})
    EXPECT_EQ(load_le<std::uint32_t>(x + f), 0u) << f;
  EXPECT_EQ(ext[vdl::kSize + xvd::kSize], std::byte{0xCC}) << "nothing written past the structure";
  Buf part(vdl::kSize + 8);
  ASSERT_EQ(*d.control(FSCTL_GET_NTFS_VOLUME_DATA, {}, part), vdl::kSize + 8);
  EXPECT_EQ(load_le<std::uint32_t>(part.data() + vdl::kSize + xvd::kByteCount), 8u);
  EXPECT_EQ(load_le<std::uint16_t>(part.data() + vdl::kSize + xvd::kMajorVersion), 3);

  // A file whose record lies past the $MFT's first extent.
  auto h = (*p)->open_path("E:\\2\\file-100.txt");
  ASSERT_TRUE(h.has_value()) << h.error().text();
  std::uint64_t ref = (*h)->file_id_info()->low64();
  EXPECT_GE(ref & 0xFFFFFFFFFFFFULL, second_extent);
  Buf out(12 + 1024);
  ASSERT_EQ(*d.control(FSCTL_GET_NTFS_FILE_RECORD, frn_input(ref & 0xFFFFFFFFFFFFULL), out), 12u + 1024);
  EXPECT_EQ(load_le<std::uint64_t>(out.data()), ref) << "its own reference, sequence included";
  EXPECT_EQ(load_le<std::uint32_t>(out.data() + 8), 1024u);
  EXPECT_TRUE(has_tag(out, 12, "FILE"));
  // Fixups applied: the record's name is readable across the first stride end
  // and no stride ends with the update sequence number any more.
  std::uint16_t usa = load_le<std::uint16_t>(out.data() + 12 + 4);
  std::uint16_t usn = load_le<std::uint16_t>(out.data() + 12 + usa);
  EXPECT_NE(load_le<std::uint16_t>(out.data() + 12 + 510), usn);
  Buf raw(1024);
  EXPECT_TRUE(d.read_exact_at(0, raw).has_value());

  // The nearest in-use record at or below: a free record answers with the
  // first in-use one below it; far past the $MFT, the last one in use.
  std::map<std::uint64_t, std::uint64_t> answer;
  for (std::uint64_t n = 0; n < 400; ++n) {
    auto r = d.control(FSCTL_GET_NTFS_FILE_RECORD, frn_input(n), out);
    ASSERT_TRUE(r.has_value()) << n;
    answer[n] = load_le<std::uint64_t>(out.data()) & 0xFFFFFFFFFFFFULL;
    EXPECT_LE(answer[n], n);
    if (n > 0) {
      if (answer[n] == n) continue;
      EXPECT_EQ(answer[n], answer[n - 1]) << "record " << n << " is free, so it answers as " << n - 1 << " did";
    }
  }
  EXPECT_EQ(answer[0], 0u);
  ASSERT_TRUE(d.control(FSCTL_GET_NTFS_FILE_RECORD, frn_input(0xFFFFFFFFFFFFULL), out).has_value());
  EXPECT_EQ(load_le<std::uint64_t>(out.data()) & 0xFFFFFFFFFFFFULL, answer[399]);
  EXPECT_TRUE(d.control(FSCTL_GET_NTFS_FILE_RECORD, Buf(4), out).error().is_os(win32::ERROR_INVALID_PARAMETER));
  Buf short_out(100);
  EXPECT_TRUE(
      d.control(FSCTL_GET_NTFS_FILE_RECORD, frn_input(5), short_out).error().is_os(win32::ERROR_INSUFFICIENT_BUFFER));

  // No journal on this volume; unknown codes are no function at all.
  Buf big(4096);
  for (std::uint32_t code : {FSCTL_QUERY_USN_JOURNAL, FSCTL_READ_USN_JOURNAL, FSCTL_ENUM_USN_DATA})
    EXPECT_TRUE(d.control(code, Buf(48), big).error().is_os(win32::ERROR_JOURNAL_NOT_ACTIVE)) << code;
  EXPECT_TRUE(d.control(0x00090073, {}, big).error().is_os(win32::ERROR_INVALID_FUNCTION));

  // Reads end exactly at the end of the volume.
  std::uint64_t bytes = load_le<std::uint64_t>(vd.data() + 8) * 512;
  Buf sector(512);
  EXPECT_FALSE(d.read_exact_at(bytes + 512 * 2, sector).has_value());
  EXPECT_TRUE(d.read_exact_at(bytes + 512 * 2, sector).error().is_os(win32::ERROR_HANDLE_EOF));
  EXPECT_TRUE(d.read_exact_at(bytes - 512, sector).has_value());
  EXPECT_TRUE((*p)->open_volume("\\\\.\\F:").error().is_os(win32::ERROR_FILE_NOT_FOUND));
}

// The log file version comes from $LogFile's restart page when it has one.
TEST(ImageControlCodes, ExtendedVolumeDataCarriesTheLogFileVersion) {
  auto path = test::scenario_image("logfile");
  if (!path) GTEST_SKIP() << "tests/data/logfile.img.gz is absent";
  auto p = open_image_platform({path->string(), 'E', std::nullopt});
  ASSERT_TRUE(p.has_value()) << p.error().text();
  auto dev = (*p)->open_volume("\\\\.\\E:");
  ASSERT_TRUE(dev.has_value());
  Buf ext(vdl::kSize + xvd::kSize);
  ASSERT_EQ(*(*dev)->control(FSCTL_GET_NTFS_VOLUME_DATA, {}, ext), ext.size());
  const std::byte* x = ext.data() + vdl::kSize;
  const std::uint16_t major = load_le<std::uint16_t>(x + xvd::kLfsMajorVersion);
  EXPECT_TRUE(major == 1 || major == 2) << major;
  EXPECT_EQ(load_le<std::uint16_t>(x + xvd::kMajorVersion), 3);
}

// $J in memory: a hole, then records at their USNs with page padding.
class MemoryJournal final : public JournalStream {
 public:
  Buf data;
  std::vector<std::pair<std::uint64_t, std::uint64_t>> ranges;
  std::uint64_t size() const override { return data.size(); }
  const std::vector<std::pair<std::uint64_t, std::uint64_t>>& allocated() const override { return ranges; }
  bool read(std::uint64_t o, std::span<std::byte> out) override {
    if (!in_bounds(data.size(), o, out.size())) return false;
    std::memcpy(out.data(), data.data() + o, out.size());
    return true;
  }
  std::uint64_t add(std::uint32_t reason, std::uint64_t frn) {
    std::uint64_t at = data.size();
    Buf r(72);
    store_le<std::uint32_t>(r.data(), 72);
    store_le<std::uint16_t>(r.data() + 4, 2);
    store_le<std::uint64_t>(r.data() + 8, frn);
    store_le<std::int64_t>(r.data() + 24, static_cast<std::int64_t>(at));
    store_le<std::uint32_t>(r.data() + 40, reason);
    store_le<std::uint16_t>(r.data() + 56, 8);
    store_le<std::uint16_t>(r.data() + 58, 60);
    data.insert(data.end(), r.begin(), r.end());
    ranges.back().second = data.size();
    return at;
  }
};

Buf read_input(std::int64_t start, std::uint32_t mask, std::uint64_t id, std::uint16_t lo = 2, std::uint16_t hi = 4,
               std::uint32_t on_close = 0) {
  Buf in(48);
  store_le<std::int64_t>(in.data(), start);
  store_le<std::uint32_t>(in.data() + 8, mask);
  store_le<std::uint32_t>(in.data() + 12, on_close);
  store_le<std::uint64_t>(in.data() + 32, id);
  store_le<std::uint16_t>(in.data() + 40, lo);
  store_le<std::uint16_t>(in.data() + 42, hi);
  return in;
}

std::vector<std::uint64_t> frns_of(const Buf& out, std::size_t n) {
  std::vector<std::uint64_t> v;
  for (std::size_t p = 8; p + 60 <= n; p += load_le<std::uint32_t>(out.data() + p))
    v.push_back(load_le<std::uint64_t>(out.data() + p + 8));
  return v;
}

TEST(ImageJournal, QueryAndReadAsTheFileSystemAnswers) {
  MemoryJournal j;
  j.data.resize(0x10000);  // the first 64 KiB were given back: a hole
  j.ranges.emplace_back(0x10000, 0x10000);
  std::uint64_t first = j.add(0x100, 1);  // file create
  j.add(0x80000000, 2);                   // close
  j.data.resize(j.data.size() + 40);      // padding to the end of a page
  j.ranges.back().second = j.data.size();
  j.data.resize(0x11000);
  j.ranges.back().second = j.data.size();
  j.add(0x200 | 0x80000000, 3);  // delete and close
  Buf max(32);
  store_le<std::uint64_t>(max.data(), 0x2000000);
  store_le<std::uint64_t>(max.data() + 16, 0xABCDEF);
  auto info = journal_info(max, j);
  ASSERT_TRUE(info.has_value());
  EXPECT_EQ(info->first_usn, 0x10000);
  EXPECT_EQ(info->next_usn, static_cast<std::int64_t>(j.data.size()));

  Buf q(64);
  ASSERT_EQ(*query_usn_journal(*info, q), 64u);
  EXPECT_EQ(load_le<std::uint64_t>(q.data()), 0xABCDEFu);
  EXPECT_EQ(load_le<std::int64_t>(q.data() + 8), 0x10000);
  EXPECT_EQ(load_le<std::uint64_t>(q.data() + 40), 0x2000000u);
  Buf q0(56);
  EXPECT_EQ(*query_usn_journal(*info, q0), 56u);
  Buf q_short(40);
  EXPECT_TRUE(query_usn_journal(*info, q_short).error().is_os(win32::ERROR_INSUFFICIENT_BUFFER));

  Buf out(4096);
  auto n = read_usn_journal(*info, j, read_input(0, 0xFFFFFFFF, 0xABCDEF), out);
  ASSERT_TRUE(n.has_value());
  EXPECT_EQ(frns_of(out, *n), (std::vector<std::uint64_t>{1, 2, 3})) << "the hole and the padding are skipped";
  EXPECT_EQ(load_le<std::int64_t>(out.data()), info->next_usn);

  n = read_usn_journal(*info, j, read_input(0, 0x200, 0xABCDEF), out);
  EXPECT_EQ(frns_of(out, *n), (std::vector<std::uint64_t>{3}));
  n = read_usn_journal(*info, j, read_input(0, 0xFFFFFFFF, 0xABCDEF, 2, 4, 1), out);
  EXPECT_EQ(frns_of(out, *n), (std::vector<std::uint64_t>{2, 3})) << "only records with the close reason";

  // A buffer with room for one record: the continuation walks them all.
  Buf one(8 + 72);
  std::vector<std::uint64_t> seen;
  std::int64_t pos = static_cast<std::int64_t>(first);
  for (int guard = 0; guard < 10 && pos < info->next_usn; ++guard) {
    auto r = read_usn_journal(*info, j, read_input(pos, 0xFFFFFFFF, 0xABCDEF), one);
    ASSERT_TRUE(r.has_value());
    for (auto f : frns_of(one, *r)) seen.push_back(f);
    pos = load_le<std::int64_t>(one.data());
  }
  EXPECT_EQ(seen, (std::vector<std::uint64_t>{1, 2, 3}));

  EXPECT_EQ(*read_usn_journal(*info, j, read_input(info->next_usn, 0xFFFFFFFF, 0xABCDEF), out), 8u);
  auto code = [&](Buf in, std::size_t room = 4096) {
    Buf o(room);
    auto r = read_usn_journal(*info, j, in, o);
    return r ? 0u : r.error().os_code();
  };
  EXPECT_EQ(code(read_input(0x800, 0xFFFFFFFF, 0xABCDEF)), win32::ERROR_JOURNAL_ENTRY_DELETED);
  EXPECT_EQ(code(read_input(info->next_usn + 8, 0xFFFFFFFF, 0xABCDEF)), win32::ERROR_HANDLE_EOF);
  EXPECT_EQ(code(read_input(0, 0xFFFFFFFF, 0xABCDEF, 4, 2)), win32::ERROR_INVALID_PARAMETER);
  EXPECT_EQ(code(read_input(0, 0xFFFFFFFF, 0xABCDEF, 0, 1)), win32::ERROR_INVALID_PARAMETER);
  EXPECT_EQ(code(read_input(0, 0xFFFFFFFF, 0xABCDEE)), win32::ERROR_INVALID_PARAMETER);
  EXPECT_EQ(code(Buf(30)), win32::ERROR_INVALID_PARAMETER);
  EXPECT_EQ(code(read_input(0, 0xFFFFFFFF, 0xABCDEF), 40), win32::ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(code(read_input(0, 0xFFFFFFFF, 0xABCDEF), 4), win32::ERROR_INSUFFICIENT_BUFFER);
}

TEST(ImageJournal, GarbageBetweenRecordsIsSlidOver) {
  MemoryJournal j;
  j.ranges.emplace_back(0, 0);
  j.add(0x1, 7);
  Buf junk(24, std::byte{0xEE});
  j.data.insert(j.data.end(), junk.begin(), junk.end());
  j.ranges.back().second = j.data.size();
  j.add(0x1, 8);
  Buf max(32);
  auto info = journal_info(max, j);
  Buf out(4096);
  auto n = read_usn_journal(*info, j, read_input(0, 0xFFFFFFFF, 0), out);
  ASSERT_TRUE(n.has_value());
  EXPECT_EQ(frns_of(out, *n), (std::vector<std::uint64_t>{7, 8}));
}

// READ hands out only records of the versions the caller accepts: V4 range
// records reach a caller whose MaxMajorVersion is 4, never one that asked
// for 2 (nor the V0 input, which knows V2 only).
TEST(ImageJournal, ReadLeavesOutVersionsTheCallerDoesNotAccept) {
  MemoryJournal j;
  j.ranges.emplace_back(0, 0);
  j.add(0x200, 7);
  Buf v4(80);
  store_le<std::uint32_t>(v4.data(), 80);
  store_le<std::uint16_t>(v4.data() + 4, 4);
  store_le<std::uint64_t>(v4.data() + 8, 8);
  store_le<std::uint32_t>(v4.data() + 48, 0x200);
  j.data.insert(j.data.end(), v4.begin(), v4.end());
  j.ranges.back().second = j.data.size();
  j.add(0x200, 9);
  Buf max(32);
  auto info = journal_info(max, j);
  Buf out(4096);
  auto frns = [&](Buf in) {
    auto n = read_usn_journal(*info, j, in, out);
    EXPECT_TRUE(n.has_value());
    return n ? frns_of(out, *n) : std::vector<std::uint64_t>{};
  };
  EXPECT_EQ(frns(read_input(0, 0xFFFFFFFF, 0, 2, 4)), (std::vector<std::uint64_t>{7, 8, 9}));
  EXPECT_EQ(frns(read_input(0, 0xFFFFFFFF, 0, 2, 3)), (std::vector<std::uint64_t>{7, 9}));
  EXPECT_EQ(frns(read_input(0, 0xFFFFFFFF, 0, 2, 2)), (std::vector<std::uint64_t>{7, 9}));
  EXPECT_EQ(frns(read_input(0, 0xFFFFFFFF, 0, 4, 4)), (std::vector<std::uint64_t>{8}));
  Buf v0 = read_input(0, 0xFFFFFFFF, 0);
  v0.resize(40);
  EXPECT_EQ(frns(v0), (std::vector<std::uint64_t>{7, 9}));
}

// A copy of the journal scenario with two live files' records changed in
// place, as Windows could leave them: `linked` (final.txt) gains a second
// hard link "Linal.txt" in the same folder, `torn` (moved-here.txt) stays in
// use but its first sector's update sequence number no longer matches.
struct PatchedJournal {
  std::filesystem::path image;
  std::uint64_t linked = 0, torn = 0, plain = 0;  // plain: report.txt, left alone
};

std::optional<PatchedJournal> patched_journal_image() {
  auto src = test::scenario_image("journal");
  auto manifest = test::load_manifest("journal");
  if (!src || !manifest) return std::nullopt;
  PatchedJournal out;
  for (const auto& l : manifest->live) {
    if (l.path == "E:\\2\\final.txt") out.linked = l.record;
    if (l.path == "E:\\2\\sub\\moved-here.txt") out.torn = l.record;
    if (l.path == "E:\\2\\report.txt") out.plain = l.record;
  }
  if (!out.linked || !out.torn || !out.plain) return std::nullopt;
  auto dst = test::binary_dir() / "images" / "journal-linked-torn.img";
  // Removed first: MinGW's copy_file refuses to overwrite even when told to.
  std::error_code ec;
  std::filesystem::remove(dst, ec);
  std::filesystem::copy_file(*src, dst, ec);
  if (ec) return std::nullopt;
  std::fstream f(dst, std::ios::in | std::ios::out | std::ios::binary);
  Buf boot(512);
  f.read(reinterpret_cast<char*>(boot.data()), 512);
  const std::uint64_t cluster = std::uint64_t{load_le<std::uint16_t>(boot.data() + 0x0B)} * std::to_integer<std::uint8_t>(boot[0x0D]);
  const std::uint64_t mft = load_le<std::uint64_t>(boot.data() + 0x30) * cluster;
  auto patch = [&](std::uint64_t record, const std::function<void(Buf&)>& change) {
    Buf r(1024);
    f.seekg(static_cast<std::streamoff>(mft + record * 1024));
    f.read(reinterpret_cast<char*>(r.data()), 1024);
    const std::size_t usa = load_le<std::uint16_t>(r.data() + 4), count = load_le<std::uint16_t>(r.data() + 6);
    for (std::size_t i = 1; i < count; ++i)  // undo the fixups
      std::memcpy(r.data() + i * 512 - 2, r.data() + usa + 2 * i, 2);
    change(r);
    for (std::size_t i = 1; i < count; ++i) {  // and apply them again
      std::memcpy(r.data() + usa + 2 * i, r.data() + i * 512 - 2, 2);
      std::memcpy(r.data() + i * 512 - 2, r.data() + usa, 2);
    }
    f.seekp(static_cast<std::streamoff>(mft + record * 1024));
    f.write(reinterpret_cast<const char*>(r.data()), 1024);
  };
  patch(out.linked, [](Buf& r) {
    std::size_t at = load_le<std::uint16_t>(r.data() + 0x14), name_at = 0, end = 0;
    while (at + 8 <= r.size()) {
      const std::uint32_t type = load_le<std::uint32_t>(r.data() + at);
      if (type == 0xFFFFFFFF) {
        end = at;
        break;
      }
      if (type == 0x30 && !name_at) name_at = at;
      at += load_le<std::uint32_t>(r.data() + at + 4);
    }
    ASSERT_TRUE(name_at && end);
    const std::uint32_t len = load_le<std::uint32_t>(r.data() + name_at + 4);
    Buf link(r.begin() + static_cast<std::ptrdiff_t>(name_at), r.begin() + static_cast<std::ptrdiff_t>(name_at + len));
    store_le<std::uint16_t>(link.data() + 14, load_le<std::uint16_t>(r.data() + 0x28));  // a new attribute id
    store_le<std::uint16_t>(r.data() + 0x28, load_le<std::uint16_t>(r.data() + 0x28) + 1);
    const std::size_t value = load_le<std::uint16_t>(link.data() + 20);
    store_le<std::uint16_t>(link.data() + value + 66, u'L');  // "final.txt" -> "Linal.txt"
    link[value + 65] = std::byte{1};                          // Win32 namespace
    ASSERT_LE(end + len + 8, 1024u - 8);
    r.insert(r.begin() + static_cast<std::ptrdiff_t>(end), link.begin(), link.end());
    r.resize(1024);
    store_le<std::uint32_t>(r.data() + 0x18, static_cast<std::uint32_t>(end + len + 8));
  });
  // Tear record 73: its first sector's last two bytes no longer match.
  const auto torn_at = static_cast<std::streamoff>(mft + out.torn * 1024 + 510);
  f.seekg(torn_at);
  const char was = static_cast<char>(f.get());
  f.seekp(torn_at);
  f.put(static_cast<char>(was ^ 0x5A));
  f.flush();
  if (!f) return std::nullopt;
  out.image = dst;
  return out;
}

// ENUM: one record per file whatever its number of hard links (the first
// name outside the DOS namespace). FILE_RECORD: an in-use record that cannot
// be read fails the request; it is never passed over for a lower record.
TEST(ImageControlCodes, EnumOneRecordPerFileAndUnreadableRecordsFail) {
  auto patched = patched_journal_image();
  if (!patched) GTEST_SKIP() << "tests/data/journal.img.gz or its manifest is absent, or its copy could not be made";
  auto p = open_image_platform({patched->image.string(), 'E', std::nullopt});
  ASSERT_TRUE(p.has_value()) << p.error().text();
  auto dev = (*p)->open_volume("\\\\.\\E:");
  ASSERT_TRUE(dev.has_value());
  VolumeDevice& d = **dev;

  std::map<std::uint64_t, std::vector<std::string>> names;  // record -> names
  Buf in(layout::enum_data::kSizeV1);
  store_le<std::int64_t>(in.data() + layout::enum_data::kHighUsn, INT64_MAX);
  store_le<std::uint16_t>(in.data() + layout::enum_data::kMinMajorVersion, 2);
  store_le<std::uint16_t>(in.data() + layout::enum_data::kMaxMajorVersion, 3);
  Buf out(64 * 1024);
  for (int guard = 0; guard < 100; ++guard) {
    auto n = d.control(FSCTL_ENUM_USN_DATA, in, out);
    if (!n) {
      EXPECT_TRUE(n.error().is_os(win32::ERROR_HANDLE_EOF)) << n.error().text();
      break;
    }
    for (std::size_t at = 8; at + u2::kFileName <= *n; at += load_le<std::uint32_t>(out.data() + at)) {
      const std::byte* r = out.data() + at;
      ASSERT_GE(load_le<std::uint32_t>(r + u2::kRecordLength), u2::kFileName);
      ASSERT_EQ(load_le<std::uint16_t>(r + u2::kMajorVersion), 2);
      std::string name;
      for (std::size_t i = 0; i < load_le<std::uint16_t>(r + u2::kFileNameLength); i += 2)
        name.push_back(static_cast<char>(load_le<std::uint16_t>(r + load_le<std::uint16_t>(r + u2::kFileNameOffset) + i)));
      names[load_le<std::uint64_t>(r + u2::kFileReferenceNumber) & 0xFFFFFFFFFFFFULL].push_back(name);
    }
    std::memcpy(in.data(), out.data(), 8);
  }
  EXPECT_EQ(names[patched->linked], std::vector<std::string>{"final.txt"}) << "one record for the file with two links";
  EXPECT_EQ(names[patched->plain], std::vector<std::string>{"report.txt"});
  EXPECT_FALSE(names.contains(patched->torn)) << "a torn record describes no file";
  for (const auto& [record, list] : names) EXPECT_EQ(list.size(), 1u) << record;

  Buf rec(frl::kFileRecordBuffer + 1024);
  auto torn = d.control(FSCTL_GET_NTFS_FILE_RECORD, frn_input(patched->torn), rec);
  ASSERT_FALSE(torn.has_value()) << "answered with record " << (load_le<std::uint64_t>(rec.data()) & 0xFFFF);
  EXPECT_TRUE(torn.error().is_os(win32::ERROR_FILE_CORRUPT));
  ASSERT_TRUE(d.control(FSCTL_GET_NTFS_FILE_RECORD, frn_input(patched->linked), rec).has_value());
  EXPECT_EQ(load_le<std::uint64_t>(rec.data() + frl::kFileReferenceNumber) & 0xFFFFFFFFFFFFULL, patched->linked);
}

}  // namespace
}  // namespace quillon::platform::image
