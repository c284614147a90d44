// The engine's own raw reading of the $MFT against the file system's answers
// (the image backend's independent reader behind FSCTL_GET_NTFS_FILE_RECORD):
// on a fragmented $MFT and on the real Windows volumes, every in-use record
// read raw, alone or in a block, is byte for byte what the file system
// returns, and the non-resident $BITMAP agrees with the records' flags.
#include <gtest/gtest.h>

#include "datasource/windows/volume.h"
#include "common/bytes.h"
#include "engine/windows/raw_mft.h"
#include "platform/image/image_platform.h"
#include "support/images.h"

namespace quillon {
namespace {

void check_volume(const std::filesystem::path& image, bool expect_fragmented) {
  auto p = platform::open_image_platform({image.string(), 'E', std::nullopt});
  ASSERT_TRUE(p) << p.error().text();
  platform::ScopedPlatform scoped(std::move(*p));
  auto reader = open_volume(platform::current(), 'E');
  ASSERT_TRUE(reader) << reader.error().text();
  auto mft = load_mft_context(*reader);
  ASSERT_TRUE(mft) << mft.error().text();
  if (expect_fragmented) {
    EXPECT_GE(mft->geometry.runs.size(), 2u);
  }
  ASSERT_NE(mft->bitmap_ptr(), nullptr) << "the $MFT bitmap was not read";

  const std::uint32_t size = mft->record_size();
  const std::uint64_t records = mft->volume.mft_valid_data_length() / size;
  ASSERT_GT(records, 16u);
  auto block = read_record_block(mft->geometry, *reader, 0, records);
  ASSERT_TRUE(block);
  ASSERT_EQ(block->size(), records * size);
  std::uint64_t in_use = 0, free_with_bytes = 0;
  for (std::uint64_t r = 0; r < records; ++r) {
    SCOPED_TRACE("record " + std::to_string(r));
    auto raw = read_record_raw(mft->geometry, *reader, r);
    auto fs = read_record_fsctl(*reader, r, size);
    if (bitmap_says_free(*mft->bitmap_ptr(), r)) {
      // The file system answers a free record with the nearest lower one in
      // use: that answer is never taken for the record asked for.
      EXPECT_FALSE(fs);
      EXPECT_FALSE(fetch_record_by_frn(*reader, r, size));
      // A record freed after the bitmap was read (no bitmap here) is seen
      // raw, as it lies on the volume.
      EXPECT_TRUE(fetch_record(mft->geometry, nullptr, *reader, r) == raw);
      free_with_bytes += raw.has_value();
      continue;
    }
    const bool fs_has_it = fs && record_in_use(*fs) && u32_at(*fs, 0x2C) == std::optional<std::uint32_t>(r);
    if (!fs_has_it) continue;
    ++in_use;
    ASSERT_TRUE(raw);
    EXPECT_TRUE(*raw == *fs);
    EXPECT_TRUE(std::equal(fs->begin(), fs->end(), block->begin() + static_cast<std::ptrdiff_t>(r * size)));
    EXPECT_EQ(bitmap_in_use(*mft->bitmap_ptr(), r), std::optional<bool>(true));
  }
  EXPECT_GT(in_use, 16u);
  if (expect_fragmented) {
    EXPECT_GT(free_with_bytes, 0u) << "no freed record to ask for";
  }
  // Past the $MFT's allocation there are no records of this volume.
  EXPECT_FALSE(record_offset(mft->geometry, mft->volume.mft_valid_data_length() / size + (1u << 20)));
}

TEST(RawMftOnVolumes, FragmentedMftReadsAsTheFileSystemAnswers) {
  auto path = test::scenario_image("fragmented");
  if (!path) GTEST_SKIP() << "tests/data/fragmented.img.gz is absent";
  check_volume(*path, true);
}

TEST(RawMftOnVolumes, RealVolumesReadAsTheFileSystemAnswers) {
  int seen = 0;
  for (const char* name : {"ntfs-ptrn", "ntfs-lastaccess"}) {
    auto path = test::real_volume(name);
    if (!path) continue;
    SCOPED_TRACE(name);
    ++seen;
    check_volume(*path, false);
  }
  if (seen == 0) GTEST_SKIP() << "../shared/real-volumes is absent";
}

}  // namespace
}  // namespace quillon
