// The pure parts of the Win32 backend: read alignment, path widening,
// system message texts and console pieces.
#include "platform/win32/aligned_read.h"

#include <gtest/gtest.h>

#include <limits>
#include <string>

#include "common/text.h"
#include "platform/win32/wide_text.h"

namespace quillon::platform::win32_backend {
namespace {

constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();

TEST(AlignedRead, SectorSizesOutsideThePlausibleRangeFallBackTo512) {
  EXPECT_EQ(usable_sector_size(512), 512u);
  EXPECT_EQ(usable_sector_size(4096), 4096u);
  EXPECT_EQ(usable_sector_size(65536), 65536u);
  for (std::uint32_t bad : {0u, 1u, 256u, 1000u, 4097u, 131072u, 0x80000000u}) EXPECT_EQ(usable_sector_size(bad), 512u) << bad;
}

TEST(AlignedRead, AlignedRequestsAreReadDirectly) {
  auto p = plan_aligned_read(4096, 8192, 4096, true, 1 << 20);
  ASSERT_TRUE(p.read);
  EXPECT_TRUE(p.read->direct);
  EXPECT_EQ(p.read->start, 4096u);
  EXPECT_EQ(p.read->length, 8192u);
  EXPECT_EQ(p.read->skip, 0u);
  // A request ending exactly at the volume end is still whole.
  p = plan_aligned_read(1024, 512, 512, true, 1536);
  ASSERT_TRUE(p.read);
  EXPECT_TRUE(p.read->direct);
}

TEST(AlignedRead, UnalignedRequestsReadTheEnclosingSectors) {
  // Inside one sector.
  auto p = plan_aligned_read(0x1003, 10, 512, true, std::nullopt);
  ASSERT_TRUE(p.read);
  EXPECT_FALSE(p.read->direct);
  EXPECT_EQ(p.read->start, 0x1000u);
  EXPECT_EQ(p.read->length, 512u);
  EXPECT_EQ(p.read->skip, 3u);
  // Across a sector boundary.
  p = plan_aligned_read(510, 4, 512, true, std::nullopt);
  ASSERT_TRUE(p.read);
  EXPECT_EQ(p.read->start, 0u);
  EXPECT_EQ(p.read->length, 1024u);
  EXPECT_EQ(p.read->skip, 510u);
  // Aligned offset, length not a whole number of 4 KiB sectors.
  p = plan_aligned_read(8192, 100, 4096, true, std::nullopt);
  ASSERT_TRUE(p.read);
  EXPECT_EQ(p.read->start, 8192u);
  EXPECT_EQ(p.read->length, 4096u);
  EXPECT_EQ(p.read->skip, 0u);
  // Aligned request into an unaligned buffer goes through the bounce buffer.
  p = plan_aligned_read(1024, 1024, 512, false, std::nullopt);
  ASSERT_TRUE(p.read);
  EXPECT_FALSE(p.read->direct);
  EXPECT_EQ(p.read->start, 1024u);
  EXPECT_EQ(p.read->length, 1024u);
}

TEST(AlignedRead, TheEnclosingRangeIsClampedAtTheVolumeEnd) {
  // A 5000-byte volume: the last sector is short.
  auto p = plan_aligned_read(4990, 10, 512, true, 5000);
  ASSERT_TRUE(p.read);
  EXPECT_EQ(p.read->start, 4608u);
  EXPECT_EQ(p.read->length, 392u);
  EXPECT_EQ(p.read->skip, 382u);
  // A whole-sector volume end leaves the range aligned.
  p = plan_aligned_read(1000, 24, 512, true, 1024);
  ASSERT_TRUE(p.read);
  EXPECT_EQ(p.read->start, 512u);
  EXPECT_EQ(p.read->length, 512u);
}

TEST(AlignedRead, RequestsBeyondTheEndOrTheAddressSpaceFail) {
  EXPECT_EQ(plan_aligned_read(4995, 10, 512, true, 5000).failure, PlanFailure::beyond_end);
  EXPECT_FALSE(plan_aligned_read(4995, 10, 512, true, 5000).read);
  EXPECT_EQ(plan_aligned_read(5000, 1, 512, true, 5000).failure, PlanFailure::beyond_end);
  EXPECT_EQ(plan_aligned_read(kMax - 4, 10, 512, true, std::nullopt).failure, PlanFailure::beyond_end);
  // The request fits, but rounding its end up to a sector would wrap.
  auto p = plan_aligned_read(kMax - 10, 5, 512, true, std::nullopt);
  EXPECT_FALSE(p.read);
  EXPECT_EQ(p.failure, PlanFailure::too_large);
}

TEST(AlignedRead, EveryPlanCoversTheRequestWithWholeSectors) {
  const std::uint64_t volume = 64 * 4096 + 700;  // an odd end
  for (std::uint32_t s : {512u, 4096u}) {
    for (std::uint64_t offset = 0; offset < volume; offset += 97) {
      for (std::uint64_t length : {1ull, 2ull, 511ull, 512ull, 513ull, 4095ull, 4097ull, 9000ull}) {
        for (bool buffer_aligned : {true, false}) {
          auto p = plan_aligned_read(offset, length, s, buffer_aligned, volume);
          if (offset + length > volume) {
            EXPECT_EQ(p.failure, PlanFailure::beyond_end);
            continue;
          }
          ASSERT_TRUE(p.read) << offset << "+" << length;
          const AlignedRead& r = *p.read;
          EXPECT_EQ(r.start % s, 0u);
          EXPECT_EQ(r.start + r.skip, offset);
          EXPECT_GE(r.length, r.skip + length);
          EXPECT_LE(r.start + r.length, volume);
          EXPECT_LT(r.length, length + 2 * s);
          if (r.start + r.length < volume) {
            EXPECT_EQ(r.length % s, 0u) << offset << "+" << length;
          }
          if (r.direct) {
            EXPECT_TRUE(buffer_aligned);
            EXPECT_EQ(r.length, length);
          }
        }
      }
    }
  }
}

std::u16string u(std::string_view utf8) { return wtf8_to_utf16(utf8); }

TEST(WidePath, ShortPathsConvertUnchanged) {
  EXPECT_EQ(widen_path("E:\\2"), u"E:\\2");
  EXPECT_EQ(widen_path("E:/2/sub"), u"E:/2/sub");
  EXPECT_EQ(widen_path("E:\\资料\\新建文本文档.txt"), u"E:\\资料\\新建文本文档.txt");
  EXPECT_EQ(widen_path("E:\\\xF0\x9F\x98\x80"), (std::u16string{u'E', u':', u'\\', 0xD83D, 0xDE00}));
  // A lone surrogate in WTF-8 reaches the API as that one unit.
  EXPECT_EQ(widen_path("E:\\\xED\xA0\x80"), (std::u16string{u'E', u':', u'\\', 0xD800}));
  EXPECT_EQ(widen_path(""), u"");
  EXPECT_EQ(widen_text("\\\\.\\E:"), u"\\\\.\\E:");
}

TEST(WidePath, TextWithANulIsRefused) {
  using namespace std::string_view_literals;
  EXPECT_FALSE(widen_path("E:\\2\0\\..\\Windows"sv));
  EXPECT_FALSE(widen_text("\\\\.\\E:\0"sv));
}

TEST(WidePath, LongAbsolutePathsGetTheVerbatimPrefix) {
  std::string name(120, 'a');
  std::string longp = "E:\\" + name + "/" + name + "\\x";  // 3 + 120 + 1 + 120 + 2 = 246 units
  EXPECT_EQ(widen_path(longp), u(longp));                      // below the threshold
  std::string at = longp + "yz";                                // 248 units
  std::u16string expect = u"\\\\?\\E:\\" + u(name) + u"\\" + u(name) + u"\\xyz";
  EXPECT_EQ(widen_path(at), expect);
  // UNC paths.
  std::string unc = "\\\\server\\share\\" + name + "\\" + name + "\\tail";
  EXPECT_EQ(widen_path(unc), u"\\\\?\\UNC\\server\\share\\" + u(name) + u"\\" + u(name) + u"\\tail");
  // Already verbatim or a device path: unchanged.
  std::string verbatim = "\\\\?\\E:\\" + name + "\\" + name + "\\tail";
  EXPECT_EQ(widen_path(verbatim), u(verbatim));
  // Dot components and relative paths are left for the system to resolve.
  std::string dots = "E:\\" + name + "\\..\\" + name + "\\" + name;
  EXPECT_EQ(widen_path(dots), u(dots));
  std::string relative = name + "\\" + name + "\\" + name;
  EXPECT_EQ(widen_path(relative), u(relative));
}

TEST(WidePath, SearchPatternsListTheDirectory) {
  EXPECT_EQ(search_pattern(u"E:\\2"), u"E:\\2\\*");
  EXPECT_EQ(search_pattern(u"E:\\"), u"E:\\*");
  EXPECT_EQ(search_pattern(u"E:/2/"), u"E:/2/*");
  EXPECT_EQ(search_pattern(u"E:"), u"E:*");  // the current directory of E:
  EXPECT_EQ(search_pattern(u""), u"*");
}

TEST(SystemMessage, TrailingLineBreaksAndBlanksAreRemoved) {
  EXPECT_EQ(trim_system_message(u"Access is denied.\r\n"), u"Access is denied.");
  EXPECT_EQ(trim_system_message(u"The parameter is incorrect. \r\n\r\n"), u"The parameter is incorrect.");
  EXPECT_EQ(trim_system_message(u"拒绝访问。\r\n"), u"拒绝访问。");
  EXPECT_EQ(trim_system_message(u"Line one\r\nline two\r\n"), u"Line one\r\nline two");
  EXPECT_EQ(trim_system_message(u"\r\n"), u"");
  EXPECT_EQ(trim_system_message(u""), u"");
}

TEST(ConsolePieces, PiecesNeverSplitASurrogatePair) {
  std::u16string text;
  for (int i = 0; i < 50; ++i) {
    text += u"ab";
    text.push_back(0xD83D);
    text.push_back(0xDE00);
  }
  for (std::size_t max : {2u, 3u, 4u, 5u, 7u, 64u, 1000u}) {
    auto pieces = console_pieces(text, max);
    std::u16string joined;
    for (auto p : pieces) {
      EXPECT_LE(p.size(), max);
      EXPECT_FALSE(p.empty());
      EXPECT_FALSE(p.back() >= 0xD800 && p.back() <= 0xDBFF) << max;
      joined += p;
    }
    EXPECT_EQ(joined, text) << max;
  }
  EXPECT_TRUE(console_pieces(u"", 10).empty());
  // A lone high surrogate at the very end is written as it is.
  auto tail = console_pieces(std::u16string{u'a', 0xD800}, 10);
  ASSERT_EQ(tail.size(), 1u);
  EXPECT_EQ(tail[0].size(), 2u);
}

}  // namespace
}  // namespace quillon::platform::win32_backend
