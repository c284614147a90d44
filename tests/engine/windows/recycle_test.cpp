#include "engine/windows/recycle.h"

#include <gtest/gtest.h>

#include "platform/memory/memory_platform.h"

namespace quillon {
namespace {

TEST(ComparisonForm, NormalisesPrefixSeparatorsCaseAndTrailingSeparator) {
  EXPECT_EQ(comparison_form("  \\\\?\\E:/Dir//Sub\\\\\\File.TXT\\ "), "e:\\dir\\sub\\file.txt");
  EXPECT_EQ(comparison_form("\\??\\E:\\A"), "e:\\a");
  EXPECT_EQ(comparison_form("E:\\"), "e:");
  EXPECT_EQ(comparison_form(""), "");
  // Full Unicode lower case: Greek, Cyrillic, full-width Latin and the
  // one unconditional two-code-point mapping (U+0130).
  EXPECT_EQ(comparison_form("E:\\\xCE\xA3\xD0\x96\xEF\xBC\xA1"), "e:\\\xCF\x83\xD0\xB6\xEF\xBD\x81");
  EXPECT_EQ(comparison_form("\xC4\xB0"), "i\xCC\x87");
  // Chinese has no case and passes unchanged.
  EXPECT_EQ(comparison_form("E:\\\xE4\xB8\xAD\xE6\x96\x87"), "e:\\\xE4\xB8\xAD\xE6\x96\x87");
  // Unicode white space (ideographic space, no-break space) is trimmed too.
  EXPECT_EQ(comparison_form("\xE3\x80\x80" "E:\\x\xC2\xA0"), "e:\\x");
}

TEST(StripVerbatimPrefix, OnlyALeadingPrefix) {
  EXPECT_EQ(strip_verbatim_prefix("\\\\?\\E:\\x"), "E:\\x");
  EXPECT_EQ(strip_verbatim_prefix(" \\??\\E:"), "E:");
  EXPECT_EQ(strip_verbatim_prefix("E:\\\\?\\x"), "E:\\\\?\\x");
  EXPECT_EQ(strip_verbatim_prefix("\\\\?"), "\\\\?");
}

TEST(VolumeRoot, BareDrivesInEveryForm) {
  for (const char* p : {"E:", "e:\\", "E:/", "e:", " E:\\\\ "}) EXPECT_TRUE(is_volume_root(p)) << p;
  for (const char* p : {"E:\\2", "E", "", "\\\\?\\E:\\x", "EE:"}) EXPECT_FALSE(is_volume_root(p)) << p;
  EXPECT_TRUE(is_volume_root("\\\\?\\E:\\"));
}

TEST(InsideRoot, ContainmentByComponent) {
  platform::ScopedPlatform scoped(std::make_unique<platform::MemoryPlatform>());
  EXPECT_TRUE(inside_root("E:\\2\\a.txt", "E:\\2"));
  EXPECT_TRUE(inside_root("E:\\2", "E:\\2"));
  EXPECT_TRUE(inside_root("E:\\2\\a.txt", "E:\\2\\"));
  EXPECT_TRUE(inside_root("e:\\2\\SUB\\a.txt", "E:\\2\\sub"));
  EXPECT_FALSE(inside_root("E:\\20\\a.txt", "E:\\2"));  // the 2 / 20 trap
  EXPECT_FALSE(inside_root("E:\\20", "E:\\2"));
  EXPECT_FALSE(inside_root("F:\\2\\a", "E:\\2"));
  EXPECT_FALSE(inside_root("", "E:\\2"));
  EXPECT_FALSE(inside_root("E:\\2\\a", ""));
  EXPECT_TRUE(inside_root("E:\\x", "E:\\"));  // a volume root contains everything on it
}

TEST(InsideRoot, ExistingRootIsCanonicalised) {
  auto mem = std::make_unique<platform::MemoryPlatform>();
  mem->add_directory("E:\\Data", 0x0001000000000040);
  platform::ScopedPlatform scoped(std::move(mem));
  // The canonical form carries the verbatim prefix, which the comparison drops.
  EXPECT_TRUE(inside_root("E:\\data\\x.txt", "e:/DATA/"));
  EXPECT_FALSE(inside_root("E:\\database\\x.txt", "E:\\Data"));
}

TEST(NoiseFilter, StrictMode) {
  auto keep = [](const char* n) { return noise_filter(n, false); };
  EXPECT_TRUE(keep("report.docx"));
  EXPECT_TRUE(keep("a"));         // one byte never meets the ".d" rule
  EXPECT_FALSE(keep("x.d"));
  EXPECT_TRUE(keep("main.o"));    // 6 bytes: too short for the object rule
  EXPECT_TRUE(keep("abcde.o"));   // 7 bytes
  EXPECT_FALSE(keep("abc-def-123_456-78.o"));  // 20 bytes of letters, digits, dashes
  EXPECT_TRUE(keep("abc def 123 456 78.o"));   // the stem holds spaces
  EXPECT_FALSE(keep("abcdefghijkl.o"));  // exactly 14 bytes
  EXPECT_TRUE(keep("abcdefghijk.o"));            // 13 bytes
  EXPECT_FALSE(keep("lib-foo.rmeta"));
  EXPECT_FALSE(keep("libfoo.rlib"));
  EXPECT_FALSE(keep("x.rcgu.o"));
  EXPECT_FALSE(keep("tool.exe"));
  EXPECT_FALSE(keep("TOOL.EXE"));
  EXPECT_FALSE(keep("data.bin"));
  EXPECT_FALSE(keep("x.pdb"));
  EXPECT_FALSE(keep("lib.rs"));
  EXPECT_FALSE(keep("dep-lib-foo"));
  EXPECT_FALSE(keep("tmp.12345"));
  EXPECT_FALSE(keep("s-hi-abc"));
  EXPECT_FALSE(keep("rmeta123"));
  EXPECT_FALSE(keep("rustcXYZ"));
  EXPECT_FALSE(keep("bin-foo"));
  EXPECT_FALSE(keep("a-working-copy"));
  EXPECT_FALSE(keep("my.cargo_metadata.json"));
  EXPECT_FALSE(keep("x.tokio.y"));
  EXPECT_FALSE(keep("the dep-graph"));
  EXPECT_FALSE(keep("query-cache.bin"));
  EXPECT_FALSE(keep("work-products"));
  EXPECT_FALSE(keep("Invoked.Timestamp"));
  EXPECT_FALSE(keep("my-Quillon-log.txt"));  // the program's own files
  EXPECT_FALSE(keep(""));
  EXPECT_FALSE(keep("a\\b"));
  EXPECT_FALSE(keep("a/b"));
  EXPECT_FALSE(keep("0123456789abcdef0123456789ABCDEF"));  // 32 hex digits
  EXPECT_TRUE(keep("0123456789abcdef0123456789abcde"));    // 31
  EXPECT_TRUE(keep("bin"));
  EXPECT_TRUE(keep("libretto.txt"));  // "lib" without the dash or dot
}

TEST(NoiseFilter, LooseMode) {
  auto keep = [](const char* n) { return noise_filter(n, true); };
  EXPECT_TRUE(keep("abc-def-123_456-78.o"));
  EXPECT_TRUE(keep("tool.exe"));
  EXPECT_TRUE(keep("lib-foo"));
  EXPECT_TRUE(keep("a-working-copy"));
  EXPECT_TRUE(keep("x.d"));
  EXPECT_FALSE(keep("s-hi"));       // exactly "s-hi"
  EXPECT_FALSE(keep("s-hi-x"));
  EXPECT_TRUE(keep("rust"));
  EXPECT_FALSE(keep("rustc-x"));
  EXPECT_FALSE(keep("a.rmeta"));
  EXPECT_FALSE(keep("INVOKED.TIMESTAMP"));
  EXPECT_FALSE(keep("quillon.log"));
  EXPECT_FALSE(keep("dep-graph.bin"));
  EXPECT_FALSE(keep("0123456789ABCDEF0123456789abcdef"));
  EXPECT_FALSE(keep(""));
  EXPECT_FALSE(keep("a/b"));
}

}  // namespace
}  // namespace quillon
