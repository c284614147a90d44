// The attribute walk both readers share, under each of its two bounds.
#include "common/ntfs_decode.h"

#include <gtest/gtest.h>

#include "support/ntfs_builder.h"

namespace quillon {
namespace {

using ntfs::AttributeBound;
using ntfs::walk_attributes;

TEST(AttributeWalkBound, RawRecordsToTheirEndCheckedOnesToBytesInUseAndWholeQuadwords) {
  const auto rec = test::RecordBuilder().file_name(40, u"a").file_name(40, u"b").build();
  const auto both = walk_attributes(rec, AttributeBound::record_end);
  ASSERT_EQ(both.size(), 2u);
  EXPECT_EQ(both[0].offset, 0x38u);
  EXPECT_EQ(both[1].offset, 0x38u + both[0].length);
  EXPECT_EQ(walk_attributes(rec, AttributeBound::bytes_in_use).size(), 2u);

  // Bytes in use that end inside the second attribute: a raw record is
  // walked to its end, a checked one only as far as its header says.
  auto short_use = rec;
  test::put32(short_use, ntfs::record::kBytesInUse, both[1].offset + 8);
  EXPECT_EQ(walk_attributes(short_use, AttributeBound::record_end).size(), 2u);
  EXPECT_EQ(walk_attributes(short_use, AttributeBound::bytes_in_use).size(), 1u);

  // A length that is no multiple of 8 ends the checked walk there.
  auto odd = rec;
  test::put32(odd, 0x38 + ntfs::attribute::kLength, both[0].length + 4);
  EXPECT_EQ(walk_attributes(odd, AttributeBound::record_end).at(0).length, both[0].length + 4);
  EXPECT_TRUE(walk_attributes(odd, AttributeBound::bytes_in_use).empty());
}

}  // namespace
}  // namespace quillon
