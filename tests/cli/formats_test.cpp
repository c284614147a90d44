// The machine formats' pieces that a golden file cannot vary enough: the
// calendar arithmetic of the times, quoting, and the sources an item names.
#include "cli/formats.h"

#include <gtest/gtest.h>

namespace quillon::cli {
namespace {

TEST(Formats, FiletimeAsIso8601Utc) {
  struct Case {
    std::uint64_t filetime;
    const char* iso;
    std::uint64_t unix;
  };
  const Case cases[] = {
      {0, "1601-01-01T00:00:00.0000000Z", 0},
      {116444736000000000ULL, "1970-01-01T00:00:00.0000000Z", 0},
      {116444736000000001ULL, "1970-01-01T00:00:00.0000001Z", 0},
      {134411893817569580ULL, "2026-12-08T07:43:01.7569580Z", 1796715781},
      {125911584000000000ULL, "2000-01-01T00:00:00.0000000Z", 946684800},       // a leap century
      {125963423990000000ULL, "2000-02-29T23:59:59.0000000Z", 951868799},
      {132223104000000000ULL, "2020-01-01T00:00:00.0000000Z", 1577836800},
      {116444735990000000ULL, "1969-12-31T23:59:59.0000000Z", 0},  // before 1970: no body-file time
  };
  for (const auto& c : cases) {
    EXPECT_EQ(iso8601_utc(c.filetime), c.iso) << c.filetime;
    EXPECT_EQ(unix_seconds(c.filetime), c.unix) << c.filetime;
  }
  EXPECT_EQ(iso8601_utc(UINT64_MAX), "60056-05-28T05:36:10.9551615Z");
}

TEST(Formats, FieldsThatNeedQuotingAndEveryFinder) {
  ProbeReport report;
  report.items.push_back(DeletedItem{0x0002000000000043ULL, 64, "E:\\2\\a, \"b\".txt", 7, 134411893817569580ULL,
                                     kFoundByJournal | kFoundByRetry});
  report.items.push_back(DeletedItem{70, 64, std::string("E:\\2\\x|\xFF\n.txt"), 0, std::nullopt,
                                     kFoundByIndex | kFoundByRecord | kFoundByLogFile});
  EXPECT_EQ(format_csv(report),
            "\xEF\xBB\xBF" "frn,record,sequence,parent_frn,size,time_utc,filetime,path,found_by,"
            "kind,deleted_utc,data_size,record_state,clusters_free_pct,recoverable\r\n"
            "562949953421379,67,2,64,7,2026-12-08T07:43:01.7569580Z,134411893817569580,"
            "\"E:\\2\\a, \"\"b\"\".txt\",journal;retry,file,,,unknown,,unknown\r\n"
            "70,70,,64,0,,,\"E:\\2\\x|\xEF\xBF\xBD\n.txt\",directory index;MFT record;$LogFile,file,,,unknown,,unknown\r\n");
  EXPECT_EQ(format_bodyfile(report),
            "0|E:\\2\\a, \"b\".txt (deleted)|67|r/rrwxrwxrwx|0|0|7|0|1796715781|0|0\n"
            "0|E:\\2\\x_\xEF\xBF\xBD_.txt (deleted)|70|r/rrwxrwxrwx|0|0|0|0|0|0|0\n");
  ReportContext context;
  context.folder = "E:\\2";
  const std::string json = format_json(report, context);
  EXPECT_NE(json.find("\"path\": \"E:\\\\2\\\\a, \\\"b\\\".txt\", \"found_by\": [\"journal\", \"retry\"]"),
            std::string::npos)
      << json;
  EXPECT_NE(json.find("\"path\": \"E:\\\\2\\\\x|\xEF\xBF\xBD\\n.txt\""), std::string::npos) << json;
  EXPECT_NE(json.find("\"audit\": null"), std::string::npos);
  EXPECT_EQ(format_json_error("Cannot \"x\"", context),
            "{\n  \"folder\": \"E:\\\\2\",\n  \"error\": \"Cannot \\\"x\\\"\"\n}\n");
  EXPECT_FALSE(parse_format("JSON"));
  EXPECT_EQ(parse_format("bodyfile"), Format::bodyfile);
}

// The facts of an intact record and of a journal-only deletion, as each
// format writes them.
TEST(Formats, ItemFactsInEveryFormat) {
  ProbeReport report;
  DeletedItem intact{80, 64, "E:\\2\\doc.txt", 4096, 134411893817569580ULL, kFoundByRecord};
  intact.sequence = 3;
  intact.data_size = 1800;
  intact.record_state = RecordState::intact;
  intact.clusters_free_pct = 50;
  intact.record_times = RecordTimes{125911584000000000ULL, 132223104000000000ULL, 134411893817569580ULL,
                                    125963423990000000ULL};
  intact.deleted_time = 134411893827569580ULL;  // one second after its record last changed
  DeletedItem folder{81, 64, "E:\\2\\dir", 0, std::nullopt, kFoundByJournal};
  folder.kind = ItemKind::folder;
  folder.record_state = RecordState::reused;
  report.items = {intact, folder};
  const std::string csv = format_csv(report);
  EXPECT_NE(csv.find("\r\n80,80,3,64,4096,2026-12-08T07:43:01.7569580Z,134411893817569580,E:\\2\\doc.txt,MFT record,"
                     "file,2026-12-08T07:43:02.7569580Z,1800,intact,50,partly\r\n"),
            std::string::npos)
      << csv;
  EXPECT_NE(csv.find("\r\n81,81,,64,0,,,E:\\2\\dir,journal,folder,,,reused,,no\r\n"), std::string::npos) << csv;
  const std::string json = format_json(report, ReportContext{});
  EXPECT_NE(json.find("\"sequence\": 3,"), std::string::npos) << json;
  EXPECT_NE(json.find("\"kind\": \"file\", \"deleted_utc\": \"2026-12-08T07:43:02.7569580Z\", \"data_size\": 1800, "
                      "\"record_state\": \"intact\", \"clusters_free_pct\": 50, \"recoverable\": \"partly\"}"),
            std::string::npos)
      << json;
  EXPECT_NE(json.find("\"sequence\": null,"), std::string::npos) << json;
  EXPECT_NE(json.find("\"kind\": \"folder\", \"deleted_utc\": null, \"data_size\": null, \"record_state\": \"reused\", "
                      "\"clusters_free_pct\": null, \"recoverable\": \"no\"}"),
            std::string::npos)
      << json;
  // atime, mtime, ctime (the deletion) and crtime of the intact record; the
  // data's length as the size; d/d... for a folder.
  EXPECT_EQ(format_bodyfile(report),
            "0|E:\\2\\doc.txt (deleted)|80|r/rrwxrwxrwx|0|0|1800|951868799|1577836800|1796715782|946684800\n"
            "0|E:\\2\\dir (deleted)|81|d/drwxrwxrwx|0|0|0|0|0|0|0\n");
}

}  // namespace
}  // namespace quillon::cli
