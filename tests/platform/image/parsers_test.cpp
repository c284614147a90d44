// On-disk structures of the image reader, from hand-made bytes: fixups,
// data runs, the boot sector, partition tables and path text.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "common/bytes.h"
#include "platform/image/boot_sector.h"
#include "platform/image/file_record.h"
#include "platform/image/image_paths.h"
#include "platform/image/partition.h"
#include "platform/image/runlist.h"

namespace quillon::platform::image {
namespace {

using Buf = std::vector<std::byte>;

Buf bytes(std::initializer_list<int> v) {
  Buf b;
  for (int x : v) b.push_back(static_cast<std::byte>(x));
  return b;
}

// A multi-sector block of `size` bytes whose strides end in the USN 0x0707,
// the original bytes kept in the update sequence array at 0x30.
Buf protected_block(std::size_t size) {
  Buf b(size, std::byte{0x11});
  std::memcpy(b.data(), "FILE", 4);
  std::size_t strides = size / 512;
  store_le<std::uint16_t>(b.data() + 4, 0x30);
  store_le<std::uint16_t>(b.data() + 6, static_cast<std::uint16_t>(strides + 1));
  store_le<std::uint16_t>(b.data() + 0x30, 0x0707);
  for (std::size_t i = 1; i <= strides; ++i) {
    store_le<std::uint16_t>(b.data() + 0x30 + 2 * i, static_cast<std::uint16_t>(0xA000 + i));
    store_le<std::uint16_t>(b.data() + i * 512 - 2, 0x0707);
  }
  return b;
}

TEST(ImageFixups, RestoreEveryStrideWhateverTheRecordSize) {
  for (std::size_t size : {1024u, 4096u}) {
    Buf b = protected_block(size);
    ASSERT_TRUE(ntfs::apply_update_sequence(b, ntfs::TornStride::refuse_block)) << size;
    for (std::size_t i = 1; i <= size / 512; ++i)
      EXPECT_EQ(load_le<std::uint16_t>(b.data() + i * 512 - 2), 0xA000 + i) << size << " stride " << i;
  }
}

TEST(ImageFixups, RefuseTornStridesAndArraysOutsideTheBlock) {
  Buf torn = protected_block(4096);
  store_le<std::uint16_t>(torn.data() + 3 * 512 - 2, 0x0808);
  EXPECT_FALSE(ntfs::apply_update_sequence(torn, ntfs::TornStride::refuse_block));
  EXPECT_EQ(load_le<std::uint16_t>(torn.data() + 510), 0x0707) << "a torn block is left as it was";

  Buf too_many = protected_block(1024);
  store_le<std::uint16_t>(too_many.data() + 6, 4);  // claims three strides in two
  EXPECT_FALSE(ntfs::apply_update_sequence(too_many, ntfs::TornStride::refuse_block));
  Buf far = protected_block(1024);
  store_le<std::uint16_t>(far.data() + 4, 0xFFFE);
  EXPECT_FALSE(ntfs::apply_update_sequence(far, ntfs::TornStride::refuse_block));
  Buf odd = protected_block(1024);
  store_le<std::uint16_t>(odd.data() + 4, 0x31);
  EXPECT_FALSE(ntfs::apply_update_sequence(odd, ntfs::TornStride::refuse_block));
  Buf tiny(4);
  EXPECT_FALSE(ntfs::apply_update_sequence(tiny, ntfs::TornStride::refuse_block));
}

TEST(ImageRunlist, DecodesRelativeSparseAndNegativeRuns) {
  // 0x30 clusters at 0x100, a sparse run of 0x10, 8 clusters 0x20 before the first.
  Buf b = bytes({0x21, 0x30, 0x00, 0x01, 0x01, 0x10, 0x11, 0x08, 0xE0, 0x00});
  auto runs = decode_runs(b, 0, 0x1000);
  ASSERT_TRUE(runs.has_value());
  ASSERT_EQ(runs->size(), 3u);
  EXPECT_EQ((*runs)[0].lcn, 0x100u);
  EXPECT_EQ((*runs)[0].length, 0x30u);
  EXPECT_FALSE((*runs)[1].lcn.has_value());
  EXPECT_EQ((*runs)[1].vcn, 0x30u);
  EXPECT_EQ((*runs)[2].lcn, 0xE0u);
  EXPECT_EQ((*runs)[2].vcn, 0x40u);
  EXPECT_TRUE(runs_disjoint(*runs));
}

TEST(ImageRunlist, RejectsMalformedRuns) {
  EXPECT_FALSE(decode_runs(bytes({0x21, 0x30, 0x00}), 0, 0x1000)) << "cut short";
  EXPECT_FALSE(decode_runs(bytes({0x21, 0x30, 0x00, 0x01}), 0, 0x1000)) << "no terminator";
  EXPECT_FALSE(decode_runs(bytes({0x11, 0x10, 0x80, 0x00}), 0, 0x1000)) << "negative cluster";
  EXPECT_FALSE(decode_runs(bytes({0x21, 0x30, 0xF0, 0x0F, 0x00}), 0, 0x1000)) << "past the volume";
  EXPECT_FALSE(decode_runs(bytes({0x91, 0x01, 0, 0, 0, 0, 0, 0, 0, 0, 0x00}), 0, 0x1000)) << "9-byte offset";
  EXPECT_FALSE(decode_runs(bytes({0x01, 0x00, 0x00}), 0, 0x1000)) << "zero length";
  auto empty = decode_runs(bytes({0x00}), 0, 0x1000);
  ASSERT_TRUE(empty.has_value());
  EXPECT_TRUE(empty->empty());
  std::vector<image::Run> overlapping{{0, 10, 100}, {10, 10, 105}};
  EXPECT_FALSE(runs_disjoint(overlapping));
}

Buf boot_sector() {
  Buf s(512);
  std::memcpy(s.data() + 3, "NTFS    ", 8);
  store_le<std::uint16_t>(s.data() + 0x0B, 512);
  s[0x0D] = std::byte{8};
  store_le<std::uint64_t>(s.data() + 0x28, 2097151);
  store_le<std::uint64_t>(s.data() + 0x30, 4);
  store_le<std::uint64_t>(s.data() + 0x38, 2);
  s[0x40] = std::byte{0xF6};  // 2^10 = 1024-byte records
  s[0x44] = std::byte{1};     // one cluster per index block
  store_le<std::uint64_t>(s.data() + 0x48, 0x1122334455667788ULL);
  store_le<std::uint16_t>(s.data() + 0x1FE, 0xAA55);
  return s;
}

TEST(ImageBootSector, ReadsTheGeometry) {
  auto b = parse_boot_sector(boot_sector());
  ASSERT_TRUE(b.has_value());
  EXPECT_EQ(b->bytes_per_cluster, 4096u);
  EXPECT_EQ(b->record_size, 1024u);
  EXPECT_EQ(b->index_block_size, 4096u);
  EXPECT_EQ(b->total_clusters, 2097151u / 8);
  EXPECT_EQ(b->serial, 0x1122334455667788ULL);
  Buf big = boot_sector();
  big[0x0D] = std::byte{0xF4};  // 2^12 sectors: 2 MiB clusters
  store_le<std::uint64_t>(big.data() + 0x28, 1ULL << 30);
  big[0x44] = std::byte{0xF4};  // large clusters give the index block size in bytes
  ASSERT_TRUE(parse_boot_sector(big));
  EXPECT_EQ(parse_boot_sector(big)->bytes_per_cluster, 2u << 20);
}

TEST(ImageBootSector, RefusesEveryImpossibleField) {
  struct Case {
    const char* what;
    std::size_t offset;
    std::vector<int> value;
  };
  const std::vector<Case> cases{
      {"oem id", 3, {'F', 'A', 'T'}},
      {"end marker", 0x1FE, {0, 0}},
      {"sector size 768", 0x0B, {0x00, 0x03}},
      {"sector size 0", 0x0B, {0, 0}},
      {"0 sectors per cluster", 0x0D, {0}},
      {"3 sectors per cluster", 0x0D, {3}},
      {"no sectors", 0x28, {0, 0, 0, 0, 0, 0, 0, 0}},
      {"$MFT past the end", 0x30, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0}},
      {"$MFT at cluster 0", 0x30, {0, 0, 0, 0, 0, 0, 0, 0}},
      {"mirror past the end", 0x38, {0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0}},
      {"127 clusters per record", 0x40, {127}},
      {"256-byte records", 0x40, {0xF8}},
      {"0 clusters per record", 0x40, {0}},
      {"index blocks of 2^31", 0x44, {0xE1}},
  };
  for (const auto& c : cases) {
    Buf s = boot_sector();
    for (std::size_t i = 0; i < c.value.size(); ++i) s[c.offset + i] = static_cast<std::byte>(c.value[i]);
    std::string why;
    EXPECT_FALSE(parse_boot_sector(s, &why)) << c.what;
    EXPECT_FALSE(why.empty()) << c.what;
  }
  for (std::size_t n = 0; n < 512; n += 37) EXPECT_FALSE(parse_boot_sector(Bytes(boot_sector()).first(n)));
  // Every sectors-per-cluster byte: 0x81..0xC0 would shift by 64 or more
  // (the sanitized build aborts on that), 0xC1..0xF3 by more than 12.
  for (int spc = 0x81; spc <= 0xFF; ++spc) {
    Buf s = boot_sector();
    s[0x0D] = static_cast<std::byte>(spc);
    store_le<std::uint64_t>(s.data() + 0x28, 1ULL << 40);
    s[0x44] = std::byte{0xF4};  // 4 KiB index blocks whatever the cluster
    EXPECT_EQ(parse_boot_sector(s).has_value(), spc >= 0xF4) << spc;
  }
}

// A disk in memory: `locate_ntfs_volume` reads it through a callback.
struct Disk {
  Buf bytes;
  explicit Disk(std::size_t sectors) : bytes(sectors * 512) {}
  void put(std::size_t offset, const Buf& b) { std::memcpy(bytes.data() + offset, b.data(), b.size()); }
  void mbr_entry(std::size_t sector, int slot, int type, std::uint32_t start, std::uint32_t count) {
    std::byte* e = bytes.data() + sector * 512 + 0x1BE + 16 * slot;
    e[4] = static_cast<std::byte>(type);
    store_le<std::uint32_t>(e + 8, start);
    store_le<std::uint32_t>(e + 12, count);
    store_le<std::uint16_t>(bytes.data() + sector * 512 + 510, 0xAA55);
  }
  std::optional<VolumeExtent> locate() {
    return locate_ntfs_volume(
        [&](std::uint64_t o, std::span<std::byte> out) {
          if (!in_bounds(bytes.size(), o, out.size())) return false;
          std::memcpy(out.data(), bytes.data() + o, out.size());
          return true;
        },
        bytes.size());
  }
};

TEST(ImagePartitions, BareVolumePrimaryLogicalAndGpt) {
  Disk bare(64);
  bare.put(0, boot_sector());
  EXPECT_EQ(bare.locate()->offset, 0u);

  Disk mbr(256);
  mbr.mbr_entry(0, 0, 0x0B, 2, 10);  // a FAT partition comes first
  mbr.mbr_entry(0, 1, 0x07, 20, 100);
  mbr.put(20 * 512, boot_sector());
  auto v = mbr.locate();
  ASSERT_TRUE(v.has_value());
  EXPECT_EQ(v->offset, 20u * 512);
  EXPECT_EQ(v->length, 100u * 512);

  // Extended partition at 10: a logical FAT volume, then a logical NTFS one.
  Disk ext(256);
  ext.mbr_entry(0, 0, 0x0F, 10, 200);
  ext.mbr_entry(10, 0, 0x0B, 1, 5);
  ext.mbr_entry(10, 1, 0x05, 20, 50);
  ext.mbr_entry(30, 0, 0x07, 2, 40);
  ext.put(32 * 512, boot_sector());
  v = ext.locate();
  ASSERT_TRUE(v.has_value());
  EXPECT_EQ(v->offset, 32u * 512);

  // A chain of extended boot records that loops back on itself ends.
  Disk loop(64);
  loop.mbr_entry(0, 0, 0x05, 10, 40);
  loop.mbr_entry(10, 1, 0x05, 0, 40);
  loop.mbr_entry(10, 1, 0x05, 5, 40);
  loop.mbr_entry(15, 1, 0x05, 0, 40);
  EXPECT_FALSE(loop.locate());

  Disk gpt(128);
  gpt.mbr_entry(0, 0, 0xEE, 1, 127);
  Buf header(512);
  std::memcpy(header.data(), "EFI PART", 8);
  store_le<std::uint64_t>(header.data() + 0x48, 2);
  store_le<std::uint32_t>(header.data() + 0x50, 128);
  store_le<std::uint32_t>(header.data() + 0x54, 128);
  gpt.put(512, header);
  Buf entry(128);
  entry[0] = std::byte{0xA2};
  store_le<std::uint64_t>(entry.data() + 32, 40);
  store_le<std::uint64_t>(entry.data() + 40, 99);
  gpt.put(2 * 512 + 128, entry);  // the second slot; the first is empty
  gpt.put(40 * 512, boot_sector());
  v = gpt.locate();
  ASSERT_TRUE(v.has_value());
  EXPECT_EQ(v->offset, 40u * 512);
  EXPECT_EQ(v->length, 60u * 512);

  Disk nothing(16);
  EXPECT_FALSE(nothing.locate());
}

TEST(ImagePaths, FullPathsAsWindowsFormsThem) {
  EXPECT_EQ(full_path("E:\\a\\b", 'E'), "E:\\a\\b");
  EXPECT_EQ(full_path("e:/a//b/", 'E'), "E:\\a\\b\\");
  EXPECT_EQ(full_path("E:\\a\\.\\b\\..\\c", 'E'), "E:\\a\\c");
  EXPECT_EQ(full_path("E:\\..\\..\\x", 'E'), "E:\\x");
  EXPECT_EQ(full_path("a\\b", 'E'), "E:\\a\\b");
  EXPECT_EQ(full_path("\\a", 'E'), "E:\\a");
  EXPECT_EQ(full_path("E:", 'E'), "E:\\");
  EXPECT_EQ(full_path(".", 'E'), "E:\\");
  EXPECT_EQ(full_path("E:\\dir. \\f.txt.", 'E'), "E:\\dir\\f.txt");
  EXPECT_EQ(full_path("C:\\x", 'E'), "C:\\x");
  EXPECT_EQ(full_path("\\\\?\\E:\\a\\..", 'E'), "\\\\?\\E:\\a\\..");
  EXPECT_FALSE(full_path("", 'E'));
  auto s = split_path("\\\\?\\e:\\2\\Sub", 'E');
  ASSERT_TRUE(s.has_value());
  EXPECT_EQ(s->letter, 'E');
  EXPECT_EQ(s->names, (std::vector<std::string>{"2", "Sub"}));
  EXPECT_FALSE(split_path("\\\\server\\share\\x", 'E'));
}

}  // namespace
}  // namespace quillon::platform::image
