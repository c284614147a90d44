// The report as scripts and timelines read it (--format, --output, --quiet,
// --all), and the default output of every scenario volume kept as it was.
//
// The golden files under tests/e2e/golden are the program's own output with
// the two figures that vary between machines and runs (the paged scan's
// thread count and the milliseconds) replaced by N. After a change that is
// meant to alter the output, rewrite them with QUILLON_UPDATE_GOLDEN=1 and
// read the diff.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "support/images.h"

namespace quillon {
namespace {

namespace fs = std::filesystem;


std::string run(const std::vector<std::string>& args) {
  std::string cmd = test::shell_quote(QUILLON_BIN);
  for (const auto& a : args) cmd += " " + test::shell_quote(a);
  return test::run_command(cmd + " 2>&1");
}

std::string read_file(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

std::string normalized(std::string out, const std::string& image) {
  out = std::regex_replace(out, std::regex(" thread[0-9]+ [0-9]+ms "), " threadN Nms ");
  out = std::regex_replace(out, std::regex("\"threads\": [0-9]+, \"elapsed_ms\": [0-9]+"),
                           "\"threads\": N, \"elapsed_ms\": N");
  for (std::size_t at; !image.empty() && (at = out.find(image)) != std::string::npos;)
    out.replace(at, image.size(), "IMAGE");
  return out;
}

// Compares with the golden file, or rewrites it when asked to.
void expect_golden(const std::string& out, const std::string& name) {
  const fs::path golden = test::source_dir() / "tests" / "e2e" / "golden" / name;
  if (std::getenv("QUILLON_UPDATE_GOLDEN")) {
    std::ofstream(golden, std::ios::binary) << out;
    return;
  }
  ASSERT_TRUE(fs::exists(golden)) << golden;
  EXPECT_EQ(out, read_file(golden)) << name;
}

fs::path scratch(const std::string& name) {
  fs::path dir = test::binary_dir() / "scratch";
  fs::create_directories(dir);
  fs::remove(dir / name);
  return dir / name;
}

TEST(DefaultOutput, EveryScenarioVolumeAsBefore) {
  int checked = 0;
  for (const auto& entry : fs::directory_iterator(test::source_dir() / "tests" / "e2e" / "golden")) {
    if (entry.path().extension() != ".txt") continue;
    const std::string name = entry.path().stem().string();
    SCOPED_TRACE(name);
    auto image = test::scenario_image(name);
    if (!image) continue;
    expect_golden(normalized(run({"--image=" + image->string(), "E:\\2"}), image->string()), name + ".txt");
    ++checked;
  }
  if (checked == 0) GTEST_SKIP() << "no scenario volumes under tests/data";
}

TEST(MachineFormats, GoldenFilesThatMactimeAndAJsonParserRead) {
  auto image = test::scenario_image("basic");
  if (!image) GTEST_SKIP() << "tests/data/basic.img.gz is absent";
  const std::string img = "--image=" + image->string();
  for (const std::string format : {"csv", "json", "bodyfile"}) {
    SCOPED_TRACE(format);
    const std::string out = run({img, "--format=" + format, "E:\\2"});
    EXPECT_EQ(out.find("  ["), std::string::npos) << "progress lines in a machine format";
    expect_golden(normalized(out, image->string()), "basic." + format);
    // The same report through --output, and the value as the next argument.
    const fs::path file = scratch("basic." + format);
    EXPECT_EQ(run({img, "--format", format, "--output", file.string(), "E:\\2"}), "");
    EXPECT_EQ(normalized(read_file(file), image->string()), normalized(out, image->string()));
  }
  // Which searches found each item: the journal with the records, and the
  // $LogFile with and without them.
  for (const std::string name : {"journal", "logfile"}) {
    auto other = test::scenario_image(name);
    if (other) expect_golden(run({"--image=" + other->string(), "--format=csv", "E:\\2"}), name + ".csv");
  }
  const fs::path json = scratch("parsed.json");
  std::ofstream(json) << run({img, "--format=json", "E:\\2"});
  int status = -1;
  std::string parsed = test::run_command("python3 -m json.tool " + test::shell_quote(json.string()) + " 2>&1", &status);
  EXPECT_EQ(status, 0) << parsed;

  int have_mactime = 1;
  test::run_command("command -v mactime >/dev/null 2>&1", &have_mactime);
  if (have_mactime != 0) GTEST_SKIP() << "mactime (The Sleuth Kit) is not installed";
  const fs::path body = scratch("timeline.body");
  std::ofstream(body) << run({img, "--format=bodyfile", "E:\\2"});
  std::string timeline = test::run_command("TZ=UTC mactime -b " + test::shell_quote(body.string()) + " -d -z UTC 2>&1", &status);
  EXPECT_EQ(status, 0) << timeline;
  // One line per item: its time, its data's length, the four times of its
  // intact record at once, a file's mode, its name.
  EXPECT_NE(timeline.find("Tue Dec 08 2026 07:43:01,1500,macb,r/rrwxrwxrwx,0,0,74,"
                          "\"E:\\2\\LongFileName Report.txt (deleted)\"\n"),
            std::string::npos)
      << timeline;
}

TEST(MachineFormats, OutputFileIsNewAndNeverOverwritten) {
  auto image = test::scenario_image("basic");
  if (!image) GTEST_SKIP() << "tests/data/basic.img.gz is absent";
  const fs::path file = scratch("kept.txt");
  std::ofstream(file) << "already here\n";
  for (const std::string format : {"text", "csv"}) {
    EXPECT_EQ(run({"--image=" + image->string(), "--format=" + format, "--output=" + file.string(), "E:\\2"}),
              "Error: --output: " + file.string() + " already exists; quillon never writes over a file\n");
  }
  EXPECT_EQ(read_file(file), "already here\n");
  // The image itself is an existing file too.
  EXPECT_NE(run({"--image=" + image->string(), "--output", image->string()}).find("already exists"),
            std::string::npos);
  EXPECT_EQ(run({"--image=" + image->string(), "--format=xml"}),
            "Error: --format wants text, csv, json or bodyfile, not \"xml\"\n");
  EXPECT_EQ(run({"--image=" + image->string(), "--output"}), "Error: --output wants a value\n");
  // The text report to a file: exactly what standard output shows.
  const fs::path text = scratch("report.txt");
  EXPECT_EQ(run({"--image=" + image->string(), "--output=" + text.string(), "E:\\2"}), "");
  EXPECT_EQ(normalized(read_file(text), ""), normalized(run({"--image=" + image->string(), "E:\\2"}), ""));
}

// What was read from NTFS's spare copies (here the backup boot sector): a
// Note line first in the text report, a JSON field, and nothing in the CSV
// or the body file, which stay what their readers take.
TEST(MachineFormats, SpareCopyNotes) {
  auto image = test::scenario_image("damaged-boot");
  if (!image) GTEST_SKIP() << "tests/data/damaged-boot.img.gz is absent";
  const std::string img = "--image=" + image->string();
  EXPECT_EQ(run({img, "--quiet", "E:\\2"}).rfind("Note: the boot sector is damaged (", 0), 0u);
  const std::string json = run({img, "--format=json", "E:\\2"});
  EXPECT_NE(json.find(", \"notes\": [\"the boot sector is damaged ("), std::string::npos) << json;
  for (const std::string format : {"csv", "bodyfile"}) {
    const std::string out = run({img, "--format=" + format, "E:\\2"});
    EXPECT_EQ(out.find("Note:"), std::string::npos) << out;
    EXPECT_NE(out.find("\\2\\"), std::string::npos) << out;
  }
}

TEST(MachineFormats, QuietAllAndTheNoiseFilterCounts) {
  auto image = test::scenario_image("basic");
  if (!image) GTEST_SKIP() << "tests/data/basic.img.gz is absent";
  const std::string img = "--image=" + image->string();
  const std::string normal = run({img, "E:\\2"});
  const std::string quiet = run({img, "--quiet", "E:\\2"});
  std::string without_progress = std::regex_replace(normal, std::regex("  \\[[0-9]+/[0-9]+\\] [^\n]*\n"), "");
  EXPECT_EQ(normalized(quiet, ""), normalized(without_progress, ""));

  // big.bin was deleted with its record intact; the noise filter drops it
  // (".bin") unless --all keeps every name.
  const std::string big = " E:\\2\\big.bin\n";
  EXPECT_EQ(normal.find(big), std::string::npos);
  const std::string all = run({img, "--all", "E:\\2"});
  EXPECT_NE(all.find(big), std::string::npos) << all;
  const std::string json = run({img, "--format=json", "E:\\2"});
  EXPECT_NE(json.find("\"noise_filter\": {\"keep_all\": false, \"dropped\": {\".bin\": "), std::string::npos) << json;
  const std::string json_all = run({img, "--format=json", "--all", "E:\\2"});
  EXPECT_NE(json_all.find("\"noise_filter\": {\"keep_all\": true, \"dropped\": {}}"), std::string::npos);
  EXPECT_NE(json_all.find("\"path\": \"E:\\\\2\\\\big.bin\""), std::string::npos);
  // The debug run says what the filter dropped, after the list.
  const std::string debug = run({img, "--debug", "E:\\2"});
  EXPECT_TRUE(std::regex_search(debug, std::regex("\nNoise filter dropped: [0-9]+ names? \\([^\n]*\\.bin [0-9]+[^\n]*\\); "
                                                  "--all keeps them\n$")))
      << debug;
}

}  // namespace
}  // namespace quillon
