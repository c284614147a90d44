#include "common/text.h"

#include <gtest/gtest.h>

#include "common/bytes.h"

#include <vector>

namespace quillon {
namespace {

TEST(Text, Utf16ConversionsKeepOrReplaceSurrogates) {
  std::u16string s = u"a\u4e2d";
  s.push_back(0xD83D);  // a valid pair: U+1F600
  s.push_back(0xDE00);
  s.push_back(0xDC00);  // a lone low surrogate
  s.push_back(u'z');
  EXPECT_EQ(utf16_to_utf8_lossy(s), "a\xE4\xB8\xAD\xF0\x9F\x98\x80\xEF\xBF\xBDz");
  std::string wtf = utf16_to_wtf8(s);
  EXPECT_EQ(wtf, "a\xE4\xB8\xAD\xF0\x9F\x98\x80\xED\xB0\x80z");
  EXPECT_EQ(wtf8_to_utf16(wtf), s);  // lossless round trip
  EXPECT_FALSE(is_valid_utf8(wtf));
  EXPECT_EQ(lossy_utf8(wtf), utf16_to_utf8_lossy(s));
  EXPECT_TRUE(is_valid_utf8(utf16_to_utf8_lossy(s)));
}

TEST(Text, Utf16leBytesDropAnOddTrailingByte) {
  const unsigned char raw[] = {'h', 0, 'i', 0, 0x41};
  EXPECT_EQ(utf16le_to_utf8_lossy(std::as_bytes(std::span(raw))), "hi");
}

TEST(Text, InvalidUtf8) {
  for (std::string bad : {"\x80", "\xC0\xAF", "\xE0\x80\xAF", "\xF4\x90\x80\x80", "\xE4\xB8", "a\xFF"}) {
    EXPECT_FALSE(is_valid_utf8(bad)) << bad.size();
    EXPECT_TRUE(is_valid_utf8(lossy_utf8(bad)));
  }
  EXPECT_TRUE(is_valid_utf8("\xEF\xBF\xBD"));  // a genuine U+FFFD
  EXPECT_EQ(lossy_utf8("a\xFF" "b"), "a\xEF\xBF\xBD" "b");
}

TEST(Text, TrimUnicodeWhiteSpace) {
  EXPECT_EQ(trim_white_space(" \t\xE3\x80\x80x y\xC2\xA0\xE2\x80\x83 "), "x y");
  EXPECT_EQ(trim_white_space("\xE2\x80\x8B" "x"), "\xE2\x80\x8B" "x");  // zero width space is not White_Space
  EXPECT_EQ(trim_white_space("   "), "");
  EXPECT_EQ(trim_white_space("\xE4\xB8\xAD"), "\xE4\xB8\xAD");
}

TEST(Bytes, BoundsChecksDoNotOverflow) {
  const unsigned char raw[] = {1, 2, 3, 4, 5, 6, 7, 8, 0xFF};
  auto b = std::as_bytes(std::span(raw));
  EXPECT_EQ(u32_at(b, 0), 0x04030201u);
  EXPECT_EQ(u64_at(b, 1), 0xFF08070605040302ULL);  // bytes widened before shifting
  EXPECT_EQ(u64_at(b, 2), std::nullopt);
  EXPECT_EQ(u16_at(b, ~0ULL), std::nullopt);
  EXPECT_FALSE(in_bounds(9, 5, ~0ULL));
  EXPECT_TRUE(in_bounds(9, 9, 0));
  EXPECT_FALSE(sub(b, 8, 2));
  constexpr std::byte two[] = {std::byte{0x34}, std::byte{0x12}};
  static_assert(load_le<std::uint16_t>(two) == 0x1234);  // still usable at compile time
  EXPECT_TRUE(has_tag(as_bytes("xFILE"), 1, "FILE"));
  EXPECT_FALSE(has_tag(as_bytes("xFILE"), 2, "FILE"));
  EXPECT_FALSE(has_tag(b, 8, "ab"));
  EXPECT_TRUE(has_tag(Bytes{}, 0, ""));  // nothing to compare, no null pointer compared
  EXPECT_EQ(hex_lower_padded(0x1a2b, 16), "0000000000001a2b");
  EXPECT_EQ(hex_lower(0x0005000000000005ULL), "5000000000005");
}

// Every length from none to past several words, at every start: the words
// and the bytes after them.
TEST(Bytes, SetBitsCountedWordsAndTail) {
  std::vector<std::byte> bits(40);
  std::uint32_t x = 12345;
  for (auto& b : bits) b = std::byte{static_cast<unsigned char>((x = x * 1103515245 + 12345) >> 24)};
  for (std::size_t start = 0; start < 8; ++start)
    for (std::size_t n = 0; start + n <= bits.size(); ++n) {
      std::uint64_t naive = 0;
      for (std::size_t i = start; i < start + n; ++i)
        for (int k = 0; k < 8; ++k) naive += (std::to_integer<unsigned>(bits[i]) >> k) & 1;
      ASSERT_EQ(count_set_bits(Bytes(bits).subspan(start, n)), naive) << start << "+" << n;
    }
}

}  // namespace
}  // namespace quillon
