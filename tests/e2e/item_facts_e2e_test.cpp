// Each item's facts (sequence, kind, deletion time, data length, record
// state, free clusters, recoverable) checked against The Sleuth Kit's own
// reading of the same volumes, the timeline mactime makes of the body file,
// and how scripts see failures in the machine formats.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "cli/formats.h"
#include "engine/item_facts.h"
#include "platform/image/image_platform.h"
#include "support/images.h"

namespace quillon {
namespace {

namespace fs = std::filesystem;

std::string run(const std::vector<std::string>& args, int* status = nullptr) {
  std::string cmd = test::shell_quote(QUILLON_BIN);
  for (const auto& a : args) cmd += " " + test::shell_quote(a);
  int raw = 0;
  std::string out = test::run_command(cmd + " 2>&1", &raw);
  if (status) *status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  return out;
}

std::string slurp(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

bool have(const char* tool) {
  int status = 1;
  test::run_command(std::string("command -v ") + tool + " >/dev/null 2>&1", &status);
  return status == 0;
}

// The items of a --format=json report, one per line, as field -> raw text.
using JsonItem = std::map<std::string, std::string>;
std::vector<JsonItem> json_items(const std::string& json) {
  std::vector<JsonItem> out;
  std::istringstream lines(json);
  static const std::regex field("\"([a-z_]+)\": (\"(?:[^\"\\\\]|\\\\.)*\"|\\[[^\\]]*\\]|[^,}]+)");
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("    {\"frn\": ", 0) != 0) continue;
    JsonItem item;
    for (std::sregex_iterator it(line.begin(), line.end(), field), end; it != end; ++it) item[(*it)[1]] = (*it)[2];
    out.push_back(std::move(item));
  }
  return out;
}

std::string unquoted(const std::string& v) { return v.size() >= 2 && v.front() == '"' ? v.substr(1, v.size() - 2) : v; }

// What istat says of one record: its sequence, and its unnamed $DATA.
struct Istat {
  std::uint64_t sequence = 0;
  bool has_data = false;
  bool resident = false;
  std::uint64_t size = 0;
  std::vector<std::uint64_t> clusters;
};
Istat istat(const fs::path& image, const std::string& record) {
  Istat r;
  const std::string out = test::run_command("istat " + test::shell_quote(image.string()) + " " + record + " 2>&1");
  std::smatch m;
  if (std::regex_search(out, m, std::regex("Sequence: ([0-9]+)"))) r.sequence = std::stoull(m[1]);
  std::istringstream lines(out);
  bool in_data = false;
  static const std::regex data("^Type: \\$DATA \\(128-[0-9]+\\)   Name: N/A   (Resident|Non-Resident)[^s]*size: ([0-9]+)");
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("Type: ", 0) == 0) {
      in_data = std::regex_search(line, m, data);
      if (in_data) {
        r.has_data = true;
        r.resident = m[1] == "Resident";
        r.size = std::stoull(m[2]);
      }
      continue;
    }
    if (!in_data) continue;
    std::istringstream numbers(line);
    for (std::uint64_t c; numbers >> c;) r.clusters.push_back(c);
  }
  return r;
}

bool cluster_free(const fs::path& image, std::uint64_t cluster) {
  const std::string out =
      test::run_command("blkstat " + test::shell_quote(image.string()) + " " + std::to_string(cluster) + " 2>&1");
  return out.find("Not Allocated") != std::string::npos;
}

JsonItem by_path(const std::vector<JsonItem>& items, const std::string& json_path) {
  for (const auto& i : items)
    if (i.at("path") == json_path) return i;
  ADD_FAILURE() << "no item " << json_path;
  return {};
}

TEST(ItemFactsVolume, RecoverableVolumeReadsAsTheSleuthKitReadsIt) {
  auto image = test::scenario_image("recoverable");
  if (!image) GTEST_SKIP() << "tests/data/recoverable.img.gz is absent";
  if (!have("istat") || !have("blkstat")) GTEST_SKIP() << "The Sleuth Kit is not installed";
  const std::string img = "--image=" + image->string();
  const auto items = json_items(run({img, "--all", "--format=json", "E:\\2"}));
  ASSERT_GE(items.size(), 9u);
  int intact = 0;
  for (const auto& item : items) {
    SCOPED_TRACE(item.at("path"));
    const Istat tsk = istat(*image, item.at("record"));
    const std::string state = unquoted(item.at("record_state"));
    if (state != "intact") {
      EXPECT_EQ(item.at("data_size"), "null");
      EXPECT_EQ(item.at("clusters_free_pct"), "null");
      continue;
    }
    ++intact;
    // The sequence it lived under: one before the one NTFS gave the freed record.
    EXPECT_EQ(item.at("sequence"), std::to_string(tsk.sequence - 1));
    if (item.at("kind") == "\"folder\"") {
      EXPECT_FALSE(tsk.has_data);
      EXPECT_EQ(item.at("data_size"), "null");
      EXPECT_EQ(item.at("recoverable"), "\"yes\"");
      continue;
    }
    ASSERT_TRUE(tsk.has_data);
    EXPECT_EQ(item.at("data_size"), std::to_string(tsk.size));
    std::uint64_t free = 0;
    for (auto c : tsk.clusters) free += cluster_free(*image, c);
    EXPECT_EQ(item.at("clusters_free_pct"), std::to_string(free_percent(free, tsk.clusters.size())));
    const char* verdict = free == tsk.clusters.size() ? "\"yes\"" : free == 0 ? "\"no\"" : "\"partly\"";
    EXPECT_EQ(item.at("recoverable"), verdict);
  }
  EXPECT_GE(intact, 9);

  // The scenario's own cases.
  auto expect = [&](const std::string& name, const char* state, const char* pct, const char* verdict) {
    const JsonItem i = by_path(items, "\"E:\\\\2\\\\" + name + "\"");
    if (i.empty()) return;
    EXPECT_EQ(i.at("record_state"), state) << name;
    EXPECT_EQ(i.at("clusters_free_pct"), pct) << name;
    EXPECT_EQ(i.at("recoverable"), verdict) << name;
  };
  expect("untouched.dat", "\"intact\"", "100", "\"yes\"");
  expect("overwritten.dat", "\"intact\"", "50", "\"partly\"");  // half its clusters taken by took-space.dat
  expect("resident.txt", "\"intact\"", "100", "\"yes\"");
  expect("empty.txt", "\"intact\"", "100", "\"yes\"");
  // The folder removed with rm -rf and its files, where listed.
  for (const auto& i : items)
    if (i.at("path").find("\\\\project") != std::string::npos) {
      EXPECT_EQ(i.at("recoverable"), "\"yes\"") << i.at("path");
      if (i.at("path") == "\"E:\\\\2\\\\project\"") {
        EXPECT_EQ(i.at("kind"), "\"folder\"");
      }
    }
  EXPECT_EQ(by_path(items, "\"E:\\\\2\\\\resident.txt\"")["data_size"], "300");

  // The text report keeps its item lines and adds two lines after them.
  const std::string text = run({img, "--quiet", "E:\\2"});
  EXPECT_NE(text.find("\nNote: 5 deleted names were hidden as build or cache files (--all lists them)\n"),
            std::string::npos)
      << text;
  EXPECT_TRUE(std::regex_search(text, std::regex("\nRecoverable now: [0-9]+ yes, 1 partly, 0 no, 0 unknown\n$")))
      << text;
  EXPECT_NE(text.find(" filtered-cross-dir=5 "), std::string::npos) << text;
  // --all hides nothing and says nothing of it.
  EXPECT_EQ(run({img, "--quiet", "--all", "E:\\2"}).find("\nNote: "), std::string::npos);
}

// The cluster bitmap read through a real Windows volume's $Bitmap record
// says of each cluster what blkstat says.
TEST(ItemFactsVolume, ClusterBitmapOfARealVolumeIsTheSleuthKits) {
  auto image = test::real_volume("ntfs-ptrn");
  if (!image) GTEST_SKIP() << "../shared/real-volumes/ntfs-ptrn.raw.gz is not available";
  if (!have("blkstat")) GTEST_SKIP() << "The Sleuth Kit is not installed";
  auto platform = platform::open_image_platform({image->string(), 'E', std::nullopt});
  ASSERT_TRUE(platform);
  platform::ScopedPlatform scoped(std::move(*platform));
  auto reader = open_volume(platform::current(), 'E');
  ASSERT_TRUE(reader);
  auto mft = load_mft_context(*reader);
  ASSERT_TRUE(mft);
  auto bitmap = ClusterBitmap::open(*reader, *mft);
  ASSERT_TRUE(bitmap);
  const std::uint64_t total = mft->volume.total_clusters();
  std::vector<std::uint64_t> sample;
  for (std::uint64_t c = 0; c < 24; ++c) sample.push_back(c);
  const std::uint64_t mft_start = mft->volume.mft_start_lcn();
  for (std::uint64_t c = mft_start - 4; c < mft_start + 80; c += 3) sample.push_back(c);
  for (std::uint64_t c = 5; c < total; c += total / 37) sample.push_back(c);
  sample.push_back(total - 1);
  int free_seen = 0, used_seen = 0;
  for (std::uint64_t c : sample) {
    const std::string out = test::run_command("blkstat -o 128 " + test::shell_quote(image->string()) + " " +
                                              std::to_string(c) + " 2>&1");
    const bool tsk_free = out.find("Not Allocated") != std::string::npos;
    auto ours = bitmap->free_clusters(c, 1);
    ASSERT_TRUE(ours) << c;
    EXPECT_EQ(*ours == 1, tsk_free) << "cluster " << c;
    (tsk_free ? free_seen : used_seen)++;
  }
  EXPECT_GT(free_seen, 0);
  EXPECT_GT(used_seen, 0);
  EXPECT_FALSE(bitmap->free_clusters((total + 7) / 8 * 8, 1));  // past the bitmap's last byte
}

// usnjls's "ref\tparent\ttime\treasons\tname": the FILE_DELETE records by
// record number, as (sequence, FILETIME).
std::multimap<std::string, std::pair<std::string, std::uint64_t>> usnjls_deletes(const fs::path& image) {
  std::multimap<std::string, std::pair<std::string, std::uint64_t>> out;
  std::istringstream lines(test::run_command("usnjls " + test::shell_quote(image.string()) + " 2>/dev/null"));
  static const std::regex row("^([0-9]+)-([0-9]+)\t[0-9]+-[0-9]+\t([0-9]+)\\.([0-9]{9})\t([^\t]*)\t(.*)$");
  std::smatch m;
  for (std::string line; std::getline(lines, line);) {
    if (!std::regex_match(line, m, row) || m[5].str().find("FILE_DELETE") == std::string::npos) continue;
    const std::uint64_t filetime =
        (std::stoull(m[3]) + 11'644'473'600ULL) * 10'000'000ULL + std::stoull(m[4]) / 100;
    out.emplace(m[1], std::pair{m[2].str(), filetime});
  }
  return out;
}

TEST(ItemFactsVolume, JournalTimesAndSequencesAreUsnjlssAndEveryItemIsOnTheTimeline) {
  auto image = test::scenario_image("journal");
  if (!image) GTEST_SKIP() << "tests/data/journal.img.gz is absent";
  if (!have("usnjls") || !have("mactime")) GTEST_SKIP() << "The Sleuth Kit is not installed";
  const std::string img = "--image=" + image->string();
  const auto deletes = usnjls_deletes(*image);
  ASSERT_FALSE(deletes.empty());
  const auto items = json_items(run({img, "--format=json", "E:\\2"}));
  ASSERT_FALSE(items.empty());
  int compared = 0;
  for (const auto& item : items) {
    SCOPED_TRACE(item.at("path"));
    EXPECT_NE(item.at("sequence"), "0");
    if (item.at("found_by").find("journal") == std::string::npos) continue;
    // The deletion of the item's own file reference (record and sequence).
    auto [first, last] = deletes.equal_range(item.at("record"));
    if (first == last) continue;
    bool matched = false;
    for (auto it = first; it != last; ++it)
      if (it->second.first == item.at("sequence")) {
        EXPECT_EQ(item.at("deleted_utc"), "\"" + cli::iso8601_utc(it->second.second) + "\"");
        matched = true;
      }
    EXPECT_TRUE(matched) << "sequence " << item.at("sequence");
    compared += matched;
  }
  // usnjls reads the V2 records (it steps over V3 and V4): every journal
  // item but v3-deleted.txt, temp name.txt (renamed, then deleted as
  // renamed-then-deleted.txt) among them.
  EXPECT_GE(compared, 8);

  const fs::path body = test::binary_dir() / "scratch" / "facts-timeline.body";
  fs::create_directories(body.parent_path());
  std::ofstream(body, std::ios::binary) << run({img, "--format=bodyfile", "E:\\2"});
  const std::string timeline =
      test::run_command("TZ=UTC mactime -b " + test::shell_quote(body.string()) + " -d -z UTC 2>&1");
  for (const auto& item : items) {
    std::string path = std::regex_replace(unquoted(item.at("path")), std::regex("\\\\\\\\"), "\\");
    EXPECT_NE(timeline.find("\"" + path + " (deleted)\""), std::string::npos) << path << "\n" << timeline;
  }
  // A journal-only item shows its deletion as its change time, with a file's mode.
  EXPECT_TRUE(std::regex_search(timeline, std::regex(",[0-9]+,..c.,r/rrwxrwxrwx,0,0,83,\"E:\\\\2\\\\reused-old.txt \\(deleted\\)\"")))
      << timeline;
  EXPECT_NE(timeline.find(",d/drwxrwxrwx,0,0,67,\"E:\\2\\gone (deleted)\""), std::string::npos) << timeline;
}

// Every failure of a machine format: its exit status, nothing half-made,
// and with JSON one object that parses.
TEST(ItemFactsVolume, FailuresInMachineFormatsEndWithTheirStatus) {
  auto image = test::scenario_image("basic");
  if (!image) GTEST_SKIP() << "tests/data/basic.img.gz is absent";
  const fs::path dir = test::binary_dir() / "scratch" / "failures";
  fs::remove_all(dir);
  fs::create_directories(dir);
  const fs::path existing = dir / "existing.txt";
  std::ofstream(existing) << "kept\n";
  const std::string img = "--image=" + image->string();
  struct Case {
    const char* what;
    std::vector<std::string> args;
    int status;
  };
  const std::vector<Case> cases = {
      {"image not opened", {"--image=" + (dir / "missing.img").string(), "E:\\2"}, 3},
      {"folder not found", {img, "E:\\no such folder"}, 4},
      {"folder without its drive letter", {img, "2"}, 4},
      {"--output refused", {img, "--output=" + existing.string(), "E:\\2"}, 5},
      {"--offset without --image", {"--offset=0", "E:\\2"}, 2},
  };
  int file_number = 0;
  for (const std::string format : {"csv", "json", "bodyfile"}) {
    for (const auto& c : cases) {
      SCOPED_TRACE(format + ": " + c.what);
      auto args = c.args;
      args.insert(args.begin(), "--format=" + format);
      int status = -1;
      const std::string out = run(args, &status);
      EXPECT_EQ(status, c.status) << out;
      if (format == "json") {
        const fs::path saved = dir / ("out" + std::to_string(++file_number) + ".json");
        std::ofstream(saved, std::ios::binary) << out;
        int parsed = -1;
        test::run_command("python3 -c 'import json,sys; d=json.load(open(sys.argv[1])); assert d[\"error\"]' " +
                              test::shell_quote(saved.string()) + " 2>&1",
                          &parsed);
        EXPECT_EQ(parsed, 0) << out;
      } else {
        EXPECT_EQ(out.rfind("Error: ", 0), 0u) << out;
        EXPECT_EQ(out.find('\n'), out.size() - 1) << out;  // one line, no report
      }
      // The text format reports the same failure and ends with 0.
      auto text = c.args;
      text.insert(text.begin(), "--quiet");
      run(text, &status);
      EXPECT_EQ(status, 0);
    }
    // With a writable --output: JSON's error object goes into it; a CSV or
    // body file is never made for a failed run.
    const fs::path target = dir / ("failed." + format);
    int status = -1;
    const std::string out =
        run({"--format=" + format, "--output=" + target.string(), img, "E:\\no such folder"}, &status);
    EXPECT_EQ(status, 4);
    if (format == "json") {
      EXPECT_EQ(out, "");
      const std::string written = slurp(target);
      EXPECT_NE(written.find("\"error\": \"Cannot locate directory"), std::string::npos) << written;
    } else {
      EXPECT_FALSE(fs::exists(target)) << format;
    }
  }
  int status = -1;
  EXPECT_EQ(run({"--format=xml", "E:\\2"}, &status), "Error: --format wants text, csv, json or bodyfile, not \"xml\"\n");
  EXPECT_EQ(status, 2);
  run({img, "--format"}, &status);
  EXPECT_EQ(status, 2);
  EXPECT_EQ(slurp(existing), "kept\n");
}

}  // namespace
}  // namespace quillon
