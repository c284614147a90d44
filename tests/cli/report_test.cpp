#include "cli/report.h"

#include <gtest/gtest.h>

#include "cli/args.h"
#include "common/text.h"

namespace quillon::cli {
namespace {

const char* kLegend =
    "     (LogFile=recent delete txn; Pending=deferred MFT; Unconfirmed=USN hint not flushed; Cache=session MFT "
    "cache)\n";

TEST(Report, SummaryLinesLegendAndTotal) {
  ProbeReport r;
  r.journal.read_count = 5;
  EXPECT_EQ(format_report(r),
            "USN: 变更日志发现5个删除记录\n"
            "Total 0 paths (deduplicated by FRN|path)\n"
            "Hint: if just Shift+Deleted, run as Administrator\n");

  r.mft_summary = "MFT Audit: x LogFile=0 retry=0 pending=0";
  EXPECT_EQ(format_report(r), "USN: 变更日志发现5个删除记录\nMFT: MFT Audit: x LogFile=0 retry=0 pending=0\n" +
                                  std::string(kLegend) +
                                  "Total 0 paths (deduplicated by FRN|path)\n"
                                  "Hint: if just Shift+Deleted, run as Administrator\n");

  // A failure text without either marker has no legend; with one it has.
  r.mft_summary.reset();
  r.mft_error = win32::error(win32::ERROR_ACCESS_DENIED);
  EXPECT_NE(format_report(r).find("MFT: MFT failed: Access is denied. (os error 5)\n"), std::string::npos);
  EXPECT_EQ(format_report(r).find("(LogFile="), std::string::npos);
  r.mft_error = Error::generic("pending=broken");
  EXPECT_NE(format_report(r).find(kLegend), std::string::npos);
  r.mft_error = Error::generic("logfile=lower case does not count");
  EXPECT_EQ(format_report(r).find("(LogFile="), std::string::npos);
}

TEST(Report, ItemLines) {
  ProbeReport r;
  r.items.push_back({41, 39, "E:\\2\\a.txt", 4096, 0});
  r.items.push_back({42, 39, "E:\\2\\b.txt", 0, std::nullopt});
  // An unpaired surrogate, as WTF-8, prints as U+FFFD.
  std::u16string name = u"E:\\2\\x";
  name.push_back(static_cast<char16_t>(0xD800));
  r.items.push_back({43, 39, utf16_to_wtf8(name), 7, 132000000000000000ULL});
  EXPECT_EQ(format_report(r),
            "USN: 变更日志中暂无删除记录\n"
            "Total 3 paths (deduplicated by FRN|path)\n"
            "  FRN 41 parent 39 size 4096 time=0 E:\\2\\a.txt\n"
            "  FRN 42 parent 39 size 0 E:\\2\\b.txt\n"
            "  FRN 43 parent 39 size 7 time=132000000000000000 E:\\2\\x\xEF\xBF\xBD\n");
}

TEST(Report, FactLinesCountHiddenNamesAndWhatCanComeBack) {
  ProbeReport r;
  EXPECT_EQ(facts_lines(r, 0), "");  // nothing hidden, nothing listed: no line
  EXPECT_EQ(facts_lines(r, 1), "Note: 1 deleted name was hidden as build or cache files (--all lists them)\n");
  for (RecordState state : {RecordState::intact, RecordState::intact, RecordState::reused, RecordState::unknown}) {
    DeletedItem it;
    it.record_state = state;
    it.clusters_free_pct = 100;
    r.items.push_back(it);
  }
  r.items[1].clusters_free_pct = 40;
  EXPECT_EQ(facts_lines(r, 7),
            "Note: 7 deleted names were hidden as build or cache files (--all lists them)\n"
            "Recoverable now: 1 yes, 1 partly, 1 no, 1 unknown\n");
  EXPECT_EQ(hidden_names({{".bin", 2}, {".exe", 3}}), 5u);
}

TEST(Arguments, FolderAndSwitches) {
  auto p = [](std::vector<std::string> a) { return parse_arguments(a); };
  EXPECT_EQ(p({"quillon"}).folder, "E:\\2");
  EXPECT_FALSE(p({"quillon"}).debug);
  EXPECT_TRUE(p({"--debug"}).debug);  // the program name itself counts
  EXPECT_EQ(p({"q", "a", "b"}).folder, "b");
  EXPECT_EQ(p({"q", "a", ""}).folder, "");
  EXPECT_EQ(p({"q", "-x", "-y"}).folder, "E:\\2");
  EXPECT_FALSE(p({"q", "--DEBUG"}).debug);
  EXPECT_FALSE(p({"q", "--debug=1"}).debug);
  auto o = p({"q", "--image=/x/disk.img", "--offset=0x10000", "F:\\y"});
  EXPECT_EQ(o.image, "/x/disk.img");
  EXPECT_EQ(o.image_offset, "0x10000");
  EXPECT_EQ(o.folder, "F:\\y");
  EXPECT_TRUE(p({"q", "--help"}).help);
  EXPECT_FALSE(p({"q", "--helpme"}).help);
}

}  // namespace
}  // namespace quillon::cli
