// The built program on scenario volumes: every spelling of one folder lists
// the same items; the switches as people type them; an image shorter than
// its volume examined as far as it goes.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "support/images.h"
#include "support/manifest.h"

namespace quillon {
namespace {


std::string run(const std::vector<std::string>& args, int* status = nullptr) {
  std::string cmd = test::shell_quote(QUILLON_BIN);
  for (const auto& a : args) cmd += " " + test::shell_quote(a);
  return test::run_command(cmd + " 2>&1", status);
}

std::string image(const std::string& name) {
  auto p = test::scenario_image(name);
  return p ? p->string() : std::string();
}

// The output without the one figure that differs between runs: the
// milliseconds of the audit line.
std::string stable(std::string out) {
  auto at = out.find("ms Completed\n");
  if (at == std::string::npos) return out;
  auto start = out.rfind(' ', at);
  return out.replace(start + 1, at - start - 1, "N");
}

std::string run_stable(const std::vector<std::string>& args) { return stable(run(args)); }

// Everything after the first line (which shows the folder as typed).
std::string after_first_line(const std::string& out) { return stable(out.substr(out.find('\n') + 1)); }

std::vector<std::string> item_lines(const std::string& out) {
  std::vector<std::string> lines;
  std::istringstream in(out);
  for (std::string s; std::getline(in, s);)
    if (s.rfind("  FRN ", 0) == 0) lines.push_back(s);
  return lines;
}

TEST(FolderSpelling, EverySpellingListsTheSameItemsUnderTheSamePaths) {
  const std::string img = image("basic");
  if (img.empty()) GTEST_SKIP() << "tests/data/basic.img.gz is absent";
  const std::string reference = run({"--image=" + img, "E:\\2"});
  ASSERT_GE(item_lines(reference).size(), 5u) << reference;
  for (const std::string spelling :
       {"E:2", "E:\\.\\2", "E:\\2.", "E:\\2 ", "E:/2", "e:\\2\\", "E:\\live\\..\\2", "E:\\2\\live\\..", "\\\\?\\E:\\2"}) {
    SCOPED_TRACE(spelling);
    int status = -1;
    std::string out = run({"--image=" + img, spelling}, &status);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(out.substr(0, out.find('\n')), "Probing NTFS deleted under: " + spelling);
    EXPECT_EQ(after_first_line(out), after_first_line(reference));
  }
  // A junction and a directory symbolic link stand for the folder they name.
  const std::string live = run({"--image=" + img, "E:\\2\\live"});
  ASSERT_EQ(item_lines(live).size(), 2u) << live;
  for (const std::string link : {"E:\\2\\junction", "E:\\2\\dirlink\\"})
    EXPECT_EQ(after_first_line(run({"--image=" + img, link})), after_first_line(live)) << link;
  // The debug run counts the same records for every spelling.
  std::string debug_ref = after_first_line(run({"--image=" + img, "--debug", "E:\\2"}));
  std::string debug_alt = after_first_line(run({"--image=" + img, "--debug", "E:/2."}));
  EXPECT_EQ(debug_alt.substr(debug_alt.find('\n')), debug_ref.substr(debug_ref.find('\n')));
}

TEST(FolderSpelling, AFolderWithoutItsDriveLetterIsAskedFor) {
  const std::string img = image("basic");
  if (img.empty()) GTEST_SKIP() << "tests/data/basic.img.gz is absent";
  for (const std::string folder : {"2", "\\2", "", ".\\2"}) {
    SCOPED_TRACE(folder);
    std::string out = run({"--image=" + img, folder});
    EXPECT_NE(out.find("\nError: Cannot identify drive letter: the folder needs its drive letter, as in E:\\2\n"),
              std::string::npos)
        << out;
  }
}

TEST(Switches, ValuesAfterAnEqualsSignOrAsTheNextArgument) {
  const std::string img = image("partitioned-mbr");
  if (img.empty()) GTEST_SKIP() << "tests/data/partitioned-mbr.img.gz is absent";
  auto manifest = test::load_manifest("partitioned-mbr");
  ASSERT_TRUE(manifest);
  const std::string offset = std::to_string(manifest->volume_offset());
  const std::string sectors = std::to_string(manifest->volume_offset() / 512) + "s";
  const std::string reference = run_stable({"--image=" + img, "E:\\2"});
  ASSERT_NE(reference.find("\nTotal "), std::string::npos) << reference;
  const std::vector<std::vector<std::string>> same = {
      {"--image", img, "E:\\2"},
      {"--image=" + img, "--offset=" + offset, "E:\\2"},
      {"--image", img, "--offset", offset, "E:\\2"},
      {"--image=" + img, "--offset=" + sectors, "E:\\2"},
      {"--image=" + img, "--offset", sectors, "E:\\2"},
      {"--image=" + img, "--partition=1", "E:\\2"},
      {"E:\\2", "--partition", "1", "--image", img},
  };
  for (const auto& args : same) {
    SCOPED_TRACE(args[1] + " " + args[2]);
    EXPECT_EQ(run_stable(args), reference);
  }
  for (const std::string help : {"-h", "-?", "/?", "--help"}) {
    std::string out = run({help, "E:\\2"});
    EXPECT_EQ(out.rfind("quillon " QUILLON_VERSION, 0), 0u) << help;
    for (const char* needle : {"--partition=N", "2048s", "-h, -?"}) EXPECT_NE(out.find(needle), std::string::npos);
  }
}

// A partition whose boot sector is damaged is still named by --partition
// and --offset: its backup, in the partition's last sector, is read.
TEST(Switches, APartitionWithADamagedBootSector) {
  const std::string img = image("partitioned-mbr");
  if (img.empty()) GTEST_SKIP() << "tests/data/partitioned-mbr.img.gz is absent";
  auto manifest = test::load_manifest("partitioned-mbr");
  ASSERT_TRUE(manifest);
  const std::uint64_t at = manifest->volume_offset();
  const auto copy = test::binary_dir() / "scratch" / "partition-boot-damaged.img";
  std::filesystem::create_directories(copy.parent_path());
  std::filesystem::remove(copy);
  std::filesystem::copy_file(img, copy);
  {
    std::fstream f(copy, std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(static_cast<std::streamoff>(at + 11));  // bytes per sector: 0xFFFF
    f.write("\xff\xff", 2);
  }
  const std::string reference = after_first_line(run({"--image=" + img, "E:\\2"}));
  for (const std::string& how : {std::string("--partition=1"), "--offset=" + std::to_string(at / 512) + "s"}) {
    SCOPED_TRACE(how);
    std::string out = run({"--image=" + copy.string(), how, "E:\\2"});
    EXPECT_EQ(out.rfind("Note: the boot sector is damaged (", 0), 0u) << out;
    EXPECT_EQ(after_first_line(out.substr(out.find('\n') + 1)), reference);
  }
}

TEST(Switches, BadValuesGiveOneClearLine) {
  const std::string img = image("partitioned-gpt");
  if (img.empty()) GTEST_SKIP() << "tests/data/partitioned-gpt.img.gz is absent";
  const std::string parts = "partitions found: 1 at byte 1048576 (sector 2048, ";
  struct Case {
    std::vector<std::string> args;
    std::string line;  // the start of the one line
  };
  const std::vector<Case> cases = {
      {{"--image=" + img, "--offset=512"}, "Error: cannot use image " + img + ": no NTFS volume at byte 512; " + parts},
      {{"--image=" + img, "--offset", "1s"}, "Error: cannot use image " + img + ": no NTFS volume at byte 512; " + parts},
      {{"--image=" + img, "--partition=7"}, "Error: cannot use image " + img + ": it has no partition 7; " + parts},
      {{"--image=" + img, "--offset=12x"}, "Error: --offset wants a byte offset (or sectors, as in 2048s), not \"12x\""},
      {{"--image=" + img, "--offset=s"}, "Error: --offset wants a byte offset (or sectors, as in 2048s), not \"s\""},
      {{"--image=" + img, "--offset=99999999999999999999s"}, "Error: --offset wants a byte offset"},
      {{"--image=" + img, "--partition=0"}, "Error: --partition wants a partition number from 1, not \"0\""},
      {{"--image=" + img, "--partition=one"}, "Error: --partition wants a partition number from 1, not \"one\""},
      {{"--image=" + img, "--partition=1", "--offset=0"}, "Error: --offset and --partition name the volume twice"},
      {{"--partition=1", "E:\\2"}, "Error: --partition works with --image only"},
      {{"E:\\2", "--image"}, "Error: --image wants a value"},
      {{"--image=" + img, "--offset"}, "Error: --offset wants a value"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args.back());
    int status = -1;
    std::string out = run(c.args, &status);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(out.rfind(c.line, 0), 0u) << out;
    EXPECT_EQ(out.find('\n'), out.size() - 1) << out;
  }
}

// The truncated scenario: the image ends at 5/8 of its volume. Everything
// whose records lie before the cut is still listed (the scenario test checks
// the list against the manifest); here, the one line that says what is
// missing, in the normal and the debug run.
TEST(PartialImage, SaysHowMuchOfTheVolumeIsMissing) {
  const std::string img = image("damaged-truncated");
  if (img.empty()) GTEST_SKIP() << "tests/data/damaged-truncated.img.gz is absent";
  auto manifest = test::load_manifest("damaged-truncated");
  ASSERT_TRUE(manifest);
  const auto& cut = manifest->lines("damage").at(0)->fields;  // truncated KEEP FULL
  // The volume's boot sector counts every sector but the last, which holds
  // its backup.
  const std::uint64_t keep = std::stoull(cut.at(1)), full = std::stoull(cut.at(2)) - 512;
  const std::string note = "Note: the image ends before its volume does: " + std::to_string(full - keep) +
                           " of its " + std::to_string(full) + " bytes are missing (37.5%, from byte " +
                           std::to_string(keep) + " of the volume on); what lay there reads as unreadable sectors\n";
  std::string out = run({"--image=" + img, "E:\\2"});
  EXPECT_NE(out.find("scope)\n" + note + "  [0/1] Locating directory...\n"), std::string::npos) << out;
  EXPECT_NE(out.find("\nMFT: MFT Audit: folder=E:\\2 "), std::string::npos) << out;
  EXPECT_FALSE(item_lines(out).empty()) << out;
  std::string debug = run({"--image=" + img, "--debug", "E:\\2"});
  EXPECT_NE(debug.find("=== Debug: E:\\2 ===\n\n" + note), std::string::npos) << debug;
  // A whole image says nothing of the kind.
  EXPECT_EQ(run({"--image=" + image("basic"), "E:\\2"}).find("Note: the image ends"), std::string::npos);
}

}  // namespace
}  // namespace quillon
