// Triage collections: the metadata files copied out of each scenario volume
// with The Sleuth Kit's icat ($MFT is record 0, $LogFile record 2, $Bitmap
// record 6, $J the $J stream of $Extend\$UsnJrnl), probed with --mft beside
// the same probe of the whole image. Without the volume there are no
// directory index blocks and nothing to retry from, so the collection may
// miss what only the directory index or the retry found; everything it
// lists must be an item of the image probe, with the same record, parent
// and path. Then the same for the real Windows volumes, and copies that
// are cut, shifted or damaged.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include <unistd.h>

#include "support/images.h"

namespace quillon::test {
namespace {

namespace fs = std::filesystem;

struct Copied {
  fs::path dir;
  bool journal = false;         // the volume keeps a journal and $J was copied
  std::set<std::string> missing;  // "log", "bitmap": copies icat could not make
  std::string switches() const {
    std::string s = "--mft " + shell_quote((dir / "mft").string());
    if (!missing.contains("log")) s += " --logfile " + shell_quote((dir / "log").string());
    if (!missing.contains("bitmap")) s += " --bitmap " + shell_quote((dir / "bitmap").string());
    if (journal) s += " --usnjrnl " + shell_quote((dir / "J").string());
    return s;
  }
};

// The collection of `image` (its volume `sectors` 512-byte sectors in),
// copied with icat into <build>/collections/<name>.
std::optional<Copied> copy_collection(const fs::path& image, const std::string& name, std::uint64_t sectors) {
  Copied c;
  c.dir = binary_dir() / "collections" / name;
  fs::create_directories(c.dir);
  const std::string img = (sectors ? "-o " + std::to_string(sectors) + " " : "") + shell_quote(image.string());
  int status = 0;
  for (auto [record, file] : {std::pair{"0", "mft"}, {"2", "log"}, {"6", "bitmap"}}) {
    run_command("icat " + img + " " + record + " > " + shell_quote((c.dir / file).string()) + " 2>/dev/null", &status);
    if (status != 0 && record == std::string("0")) return std::nullopt;
    if (status != 0) c.missing.insert(file);  // what icat cannot read is not collected
  }
  // fls of $Extend (record 11) names $UsnJrnl's $J stream: "r/r 64-128-4:\t$UsnJrnl:$J".
  std::istringstream extend(run_command("fls " + img + " 11 2>/dev/null"));
  for (std::string line; std::getline(extend, line);)
    if (line.ends_with("\t$UsnJrnl:$J") && line.size() > 4) {
      const std::string id = line.substr(4, line.find(':') - 4);
      run_command("icat " + img + " " + id + " > " + shell_quote((c.dir / "J").string()), &status);
      c.journal = status == 0;
    }
  return c;
}

using Key = std::tuple<std::uint64_t, std::uint64_t, std::string>;

// The report's rows by (frn, parent_frn, path), each with its found_by
// column and the whole row; the columns are found by the header's names.
struct Row {
  std::string found_by, line;
  bool operator==(const Row&) const = default;
};
std::vector<std::string> csv_fields(const std::string& line) {
  std::vector<std::string> f(1);
  bool quoted = false;
  for (char c : line) {
    if (c == '"') quoted = !quoted;
    else if (c == ',' && !quoted) f.emplace_back();
    else f.back() += c;
  }
  return f;
}
std::map<Key, Row> parse_csv(const std::string& csv) {
  std::map<Key, Row> rows;
  std::istringstream in(csv);
  std::string line;
  std::getline(in, line);
  if (line.starts_with("\xEF\xBB\xBF")) line.erase(0, 3);  // the byte order mark
  if (!line.empty() && line.back() == '\r') line.pop_back();
  const auto header = csv_fields(line);
  auto column = [&](const char* name) {
    return static_cast<std::size_t>(std::find(header.begin(), header.end(), name) - header.begin());
  };
  const std::size_t frn = column("frn"), parent = column("parent_frn"), path = column("path"), by = column("found_by");
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const auto f = csv_fields(line);
    if (f.size() != header.size() || std::max({frn, parent, path, by}) >= f.size()) {
      ADD_FAILURE() << "not a report row: " << line;
      continue;
    }
    rows[{std::stoull(f[frn]), std::stoull(f[parent]), f[path]}] = Row{f[by], line};
  }
  return rows;
}

// The program's standard output; standard error must stay empty, and the
// exit status be `status` (a machine format's failures end with 2 to 5).
std::string run_quiet(const std::string& args, int status_wanted = 0) {
  // Tests run in parallel processes: each its own file.
  const fs::path err = binary_dir() / "collections" / ("stderr." + std::to_string(::getpid()) + ".txt");
  int status = 0;
  std::string out = run_command(shell_quote(QUILLON_BIN) + " " + args + " 2>" + shell_quote(err.string()), &status);
  EXPECT_EQ(WEXITSTATUS(status), status_wanted) << args;
  std::ifstream e(err);
  std::string text((std::istreambuf_iterator<char>(e)), std::istreambuf_iterator<char>());
  EXPECT_EQ(text, "") << args;
  std::error_code ec;
  fs::remove(err, ec);
  return out;
}

struct Scenario {
  const char* volume;
  std::uint64_t sectors;  // where the volume starts in the image
  // Items of the image probe the collection does not list: each found
  // only by a folder's index blocks or by the retry.
  std::size_t missing;
  const char* why;
};

void PrintTo(const Scenario& s, std::ostream* os) { *os << s.volume; }

const Scenario kScenarios[] = {
    {"basic", 0, 0, "every deleted item's record is in the $MFT copy"},
    {"bigdir", 0, 0, "the folders with index blocks are listed from the $MFT's names; each item has its record"},
    {"cluster512", 0, 0, "512-byte clusters, told by $Boot's record"},
    {"cluster64k", 0, 0, "64 KiB clusters, told by $Boot's record"},
    {"damaged-records", 0, 0, "the damaged records read as damaged in the copy too"},
    {"damaged-truncated", 0, 0, "the image's missing tail holds $LogFile, which is not collected"},
    {"deltree", 0, 0, "folder trees found through their freed records"},
    {"deltree-wide", 0, 0, "5,050 folders, their names from the $MFT"},
    {"deltree-journal", 0, 0, "the journal copy names each child before its folder"},
    {"fragmented", 0, 0, "the $MFT copy placed at each of its runs"},
    {"journal", 0, 0, "the $J copy with its sparse part as zeros"},
    {"logfile", 0, 0, "a $LogFile with restart and record pages"},
    {"partitioned-gpt", 2048, 0, "the volume copied out of its partition"},
    {"partitioned-mbr", 2048, 0, "the volume copied out of its partition"},
    {"records4k", 0, 0, "4096-byte records, told by record 0's header"},
    {"recoverable", 0, 0, "the items' clusters judged from the $Bitmap copy"},
    {"sample", 0, 0, "the README's sample volume"},
    // damaged-boot is left out: icat cannot read a volume whose boot
    // sector is damaged, so no collection can be copied from it.
};

class CollectionProbe : public ::testing::TestWithParam<Scenario> {};

TEST(CollectionProbe, EveryScenarioVolumeIsCopied) {
  std::set<std::string> listed{"damaged-boot"}, present;
  for (const auto& s : kScenarios) listed.insert(s.volume);
  for (const auto& f : fs::directory_iterator(source_dir() / "tests" / "data"))
    if (const std::string n = f.path().filename().string(); n.ends_with(".img.gz")) present.insert(n.substr(0, n.size() - 7));
  EXPECT_EQ(listed, present);
}

TEST_P(CollectionProbe, ListsWhatTheImageProbeListsAndNothingElse) {
  const Scenario& s = GetParam();
  auto image = scenario_image(s.volume);
  ASSERT_TRUE(image) << s.volume;
  auto copied = copy_collection(*image, s.volume, s.sectors);
  ASSERT_TRUE(copied) << "icat failed on " << s.volume;
  const std::string offset = s.sectors ? "--offset " + std::to_string(s.sectors * 512) + " " : "";
  const auto whole = parse_csv(run_quiet("--all --format=csv " + offset + "--image " + shell_quote(image->string()) + " 'E:\\2'"));
  const auto collected = parse_csv(run_quiet("--all --format=csv " + copied->switches() + " 'E:\\2'"));
  ASSERT_FALSE(whole.empty()) << s.volume;
  for (const auto& [key, row] : collected) {
    EXPECT_TRUE(whole.contains(key)) << s.volume << ": only the collection lists " << std::get<2>(key);
    // What each item is and how much of it can come back reads the same
    // from the copies.
    if (whole.contains(key)) {
      EXPECT_EQ(row.line, whole.at(key).line) << s.volume;
    }
  }
  std::size_t missing = 0;
  for (const auto& [key, row] : whole) {
    if (collected.contains(key)) continue;
    ++missing;
    const std::string& found_by = row.found_by;
    EXPECT_TRUE(found_by == "directory index" || found_by == "retry" || found_by == "directory index;retry")
        << s.volume << ": the collection misses " << std::get<2>(key) << ", found by " << found_by;
  }
  EXPECT_EQ(missing, s.missing) << s.volume << ": " << s.why;
}

INSTANTIATE_TEST_SUITE_P(ScenarioVolumes, CollectionProbe, ::testing::ValuesIn(kScenarios),
                         [](const auto& info) {
                           std::string n = info.param.volume;
                           for (auto& c : n)
                             if (c == '-') c = '_';
                           return n;
                         });

// The debug run prints the journal's and the MFT's counters around the
// folder, the phases and the audit: on a real Windows volume all of it must
// be the same from the collection, but for the notes that say what a
// collection lacks and the time taken.
std::string comparable(const std::string& out) {
  std::istringstream in(out);
  std::string line, kept;
  while (std::getline(in, line)) {
    if (line.starts_with("Note: ")) continue;
    if (auto ms = line.find("ms Completed"); ms != std::string::npos) {
      auto space = line.rfind(' ', ms);
      line.replace(space + 1, ms - space - 1, "N");
    }
    kept += line + "\n";
  }
  return kept;
}

TEST(CollectionProbe, RealWindowsVolumesGiveTheImageProbesOutput) {
  for (const auto& [name, folder] : {std::pair{"ntfs-lastaccess", "E:\\test"}, {"ntfs-ptrn", "E:\\"}}) {
    auto image = real_volume(name);
    if (!image) GTEST_SKIP() << "../shared/real-volumes is absent";
    auto copied = copy_collection(*image, name, 128);
    ASSERT_TRUE(copied) << name;
    EXPECT_FALSE(copied->journal) << name << " keeps no journal";
    const std::string f = shell_quote(folder);
    const std::string whole = run_quiet("--debug --quiet --offset 65536 --image " + shell_quote(image->string()) + " " + f);
    const std::string collected = run_quiet("--debug --quiet " + copied->switches() + " " + f);
    EXPECT_NE(whole.find("MFT Audit:"), std::string::npos) << whole;
    EXPECT_EQ(comparable(collected), comparable(whole)) << name;
    EXPECT_EQ(run_quiet("--all --format=csv " + copied->switches() + " " + f),
              run_quiet("--all --format=csv --offset 65536 --image " + shell_quote(image->string()) + " " + f))
        << name;
  }
}

// ------------------------------------------------------------ bad copies

class BadCopies : public ::testing::Test {
 protected:
  void SetUp() override {
    auto image = scenario_image("journal");
    ASSERT_TRUE(image);
    // Each test its own copies: ctest runs the tests in parallel processes.
    auto c = copy_collection(*image, std::string("journal-bad-") +
                                         ::testing::UnitTest::GetInstance()->current_test_info()->name(), 0);
    ASSERT_TRUE(c && c->journal);
    copied_ = *c;
    whole_ = parse_csv(run_quiet("--all --format=csv " + copied_.switches() + " 'E:\\2'"));
    ASSERT_FALSE(whole_.empty());
  }
  fs::path file(const std::string& name) const { return copied_.dir / name; }
  // A copy of `from` holding its bytes [begin, end), with `patch` written at `at`.
  fs::path cut(const std::string& from, std::uint64_t begin, std::uint64_t end, const std::string& to,
               std::uint64_t at = 0, const std::string& patch = "") const {
    std::ifstream in(file(from), std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    bytes = bytes.substr(begin, end - begin);
    if (!patch.empty()) bytes.replace(at, patch.size(), patch);
    std::ofstream(file(to), std::ios::binary) << bytes;
    return file(to);
  }
  std::uint64_t size(const std::string& name) const { return fs::file_size(file(name)); }
 std::string probe(const std::string& mft, const std::string& j, const std::string& log,
                    const std::string& folder = "E:\\2", int status = 0) {
    return run_quiet("--all --format=csv --mft " + shell_quote(file(mft).string()) + " --usnjrnl " +
                     shell_quote(file(j).string()) + " --logfile " + shell_quote(file(log).string()) + " " +
                     shell_quote(folder), status);
  }
  // The same probe of a collection that cannot be opened (exit status 3).
  std::string refused(const std::string& mft, const std::string& j, const std::string& log) {
    return probe(mft, j, log, "E:\\2", 3);
  }
  // One line, an error naming the file at fault.
  static void expect_error_line(const std::string& out, const std::string& what) {
    EXPECT_TRUE(out.starts_with("Error: ")) << out;
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1) << out;
    EXPECT_NE(out.find(what), std::string::npos) << out;
  }
  // Rows of a shorter list: none that the whole copy does not list.
  void expect_subset(const std::string& csv) const {
    for (const auto& [key, row] : parse_csv(csv))
      EXPECT_TRUE(whole_.contains(key)) << "only a damaged copy lists " << std::get<2>(key);
  }

  Copied copied_;
  std::map<Key, Row> whole_;
};

TEST_F(BadCopies, CutOrShiftedCopiesGiveAShorterListOrOneLine) {
  // The $MFT cut in the middle of a record: the records past the cut are
  // unknown, and a live file among them would look deleted.
  for (std::uint64_t records : {std::uint64_t{1}, std::uint64_t{17}, std::uint64_t{66}, std::uint64_t{91}})
    expect_error_line(refused(cut("mft", 0, records * 1024 + 300, "mft-cut").filename(), "J", "log"),
                      "the copy is cut short: it holds " + std::to_string(records) + " whole records of the 92");
  // The journal copy starting inside a record, at odd and even places, and
  // without its sparse part (as some tools copy it).
  const std::uint64_t j = size("J");
  std::uint64_t first = 0;
  {
    std::ifstream in(file("J"), std::ios::binary);
    for (char c; in.get(c) && c == 0;) ++first;
  }
  for (std::uint64_t skip : {first, first + 3, first + 8, first + 100, first + 1001}) {
    const std::string out = probe("mft", cut("J", skip, j, "J-shifted").filename(), "log");
    EXPECT_FALSE(out.starts_with("Error")) << skip << ": " << out;
    const auto rows = parse_csv(out);
    expect_subset(out);
    if (skip == first) {
      EXPECT_EQ(rows.size(), whole_.size()) << "a $J copy without its sparse part lists all";
      for (const auto& [key, row] : rows)
        if (whole_.contains(key)) {
          EXPECT_EQ(row.found_by, whole_.at(key).found_by) << std::get<2>(key);
        }
    }
  }
  // A $J cut short: the records it still holds.
  expect_subset(probe("mft", cut("J", 0, first + 500, "J-short").filename(), "log"));
}

TEST_F(BadCopies, BadFilesGetOneClearLine) {
  const std::uint64_t log = size("log");
  expect_error_line(refused("log", "J", "log"), "not an $MFT (no FILE record at its start)");
  expect_error_line(refused(cut("mft", 0, 700, "mft-tiny").filename(), "J", "log"), "not an $MFT");
  expect_error_line(refused(cut("mft", 0, size("mft"), "mft-bad0", 0x1C, std::string("\x00\x03\x00\x00", 4)).filename(),
                          "J", "log"),
                    "not an $MFT (its first record gives the record size 768)");
  expect_error_line(refused("mft", cut("J", 0, 8 * 1024 * 1024, "J-zeros").filename(), "log"),
                    "not a $J copy (no whole USN record in it)");
  expect_error_line(refused("mft", "J", cut("log", 0, log, "log-damaged", 0, std::string(8192, 'A')).filename()),
                    "not a $LogFile (no restart page at its start)");
  expect_error_line(refused("mft", "J", "missing-file"), "cannot read --logfile");
  const std::string absent = probe("mft", "J", "log", "E:\\no such folder", 4);
  EXPECT_NE(absent.find("Cannot locate directory"), std::string::npos) << absent;
  // Copies given without the $MFT, or beside an image.
  expect_error_line(run_quiet("--usnjrnl " + shell_quote(file("J").string()) + " 'E:\\2'"), "works with --mft only");
  expect_error_line(run_quiet("--mft " + shell_quote(file("mft").string()) + " --image x.img 'E:\\2'"),
                    "--mft and --image");
}

TEST_F(BadCopies, WhatIsNotCollectedIsSaidNotFaked) {
  const std::string out =
      run_quiet("--all --mft " + shell_quote(file("mft").string()) + " 'E:\\2'");
  for (const char* note : {"Note: no --usnjrnl: the change journal is not read\n",
                           "Note: no --logfile: $LogFile is not read\n",
                           "Note: no --bitmap: which clusters are free is not known\n",
                           "($INDEX_ALLOCATION) and file contents are not read\n"})
    EXPECT_NE(out.find(note), std::string::npos) << note << out;
  // The journal's own failure text in its summary line.
  EXPECT_NE(out.find("USN: 读取删除日志失败:ENUM_USN_DATA: The volume change journal is not active."),
            std::string::npos)
      << out;
  // From the $MFT alone: every item the records name, none the journal alone does.
  const auto rows = parse_csv(run_quiet("--all --format=csv --mft " + shell_quote(file("mft").string()) + " 'E:\\2'"));
  EXPECT_FALSE(rows.empty());
  for (const auto& [key, row] : rows) {
    EXPECT_TRUE(whole_.contains(key)) << std::get<2>(key);
    EXPECT_EQ(row.found_by.find("journal"), std::string::npos) << std::get<2>(key);
  }
}

}  // namespace
}  // namespace quillon::test
