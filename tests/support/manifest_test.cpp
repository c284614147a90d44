// The manifest parser: later tests trust what it returns, so a malformed
// line must be reported rather than half-read.
#include "support/manifest.h"

#include <gtest/gtest.h>

namespace quillon::test {
namespace {

TEST(Manifest, ParsesEveryKindOfLine) {
  auto m = parse_manifest(
      "# comment\n"
      "\n"
      "volume\toffset\t1048576\n"
      "deleted\t70\t1\t64\t98304\trecord,journal\tf\tbig.bin\tE:\\2\\big.bin\n"
      "deleted\t76\t1\t64\t2000\tnone\tf\thard link.txt\tE:\\2\\hard link.txt\r\n"
      "live\t64\t1\t5\t0\td\t2\tE:\\2\n"
      "usn\t0x100\t4\t70\t1\t64\t1\t0x80000200\t0x20\t\n"
      "logfile\t4096\t15\t14\t70\t64\tbig.bin\n"
      "short\t75\tANOTHE~1.TXT\tE:\\2\\Another Long Name.txt\n");
  ASSERT_TRUE(m.errors.empty()) << m.errors.front();
  EXPECT_EQ(m.volume_offset(), 1048576u);
  ASSERT_EQ(m.deleted.size(), 2u);
  EXPECT_TRUE(m.deleted[0].has("record"));
  EXPECT_TRUE(m.deleted[0].has("journal"));
  EXPECT_FALSE(m.deleted[0].has("logfile"));
  EXPECT_TRUE(m.deleted[1].evidence.empty());
  EXPECT_EQ(m.deleted[1].path, "E:\\2\\hard link.txt");  // trailing CR dropped, space kept
  ASSERT_EQ(m.live.size(), 1u);
  EXPECT_TRUE(m.live[0].directory);
  ASSERT_EQ(m.usn.size(), 1u);
  EXPECT_EQ(m.usn[0].usn, 0x100u);
  EXPECT_EQ(m.usn[0].reason, 0x80000200u);
  EXPECT_TRUE(m.usn[0].name.empty());  // a V4 record has no name
  ASSERT_EQ(m.logfile.size(), 1u);
  EXPECT_EQ(m.logfile[0].redo_op, 15u);
  ASSERT_EQ(m.lines("short").size(), 1u);
  EXPECT_EQ(m.lines("short")[0]->fields[1], "ANOTHE~1.TXT");
}

TEST(Manifest, ReportsMalformedLines) {
  auto m = parse_manifest(
      "deleted\t70\t1\t64\n"                                      // too few fields
      "deleted\t70\t99999\t64\t1\tnone\tf\tn\tE:\\n\n"            // sequence past 16 bits
      "live\t64\t1\t5\t0\tx\t2\tE:\\2\n"                          // kind neither f nor d
      "usn\t12z\t2\t1\t1\t5\t5\t0x1\t0x20\tn\n"                   // not a number
      "\tstray\n");
  EXPECT_EQ(m.errors.size(), 5u);
  EXPECT_TRUE(m.deleted.empty());
  EXPECT_TRUE(m.live.empty());
}

TEST(Manifest, TskPathDropsDriveAndTurnsSeparators) {
  EXPECT_EQ(tsk_path("E:\\2\\live\\a b.txt"), "2/live/a b.txt");
  EXPECT_EQ(tsk_path("E:\\"), "");
}

TEST(Manifest, CommittedManifestsParseWhole) {
  auto names = scenario_names();
  if (names.empty()) GTEST_SKIP() << "no manifests in tests/data";
  for (const auto& n : names) {
    auto m = load_manifest(n);
    ASSERT_TRUE(m) << n;
    EXPECT_TRUE(m->errors.empty()) << n << " line " << m->errors.front();
  }
}

}  // namespace
}  // namespace quillon::test
