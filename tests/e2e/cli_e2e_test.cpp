// Runs the built program and compares its whole output.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/images.h"

namespace quillon {
namespace {


struct Outcome {
  std::string out;
  int status = 0;
};

Outcome run_quillon(const std::vector<std::string>& args) {
  std::string cmd = test::shell_quote(QUILLON_BIN);
  for (const auto& a : args) cmd += " " + test::shell_quote(a);
  cmd += " 2>&1";  // nothing may come on standard error: it would show up here
  Outcome r;
  r.out = test::run_command(cmd, &r.status);
  return r;
}

const std::string kHint =
    "Hint: only lists Shift+Delete in this folder and subfolders (parent dir FRN within directory tree scope)\n";
const std::string kRootNote =
    "Note: volume root won't list Shift+Delete inside subfolders; use a specific path, e.g. E:\\vale\n";
const std::string kNoVolume =
    "no Windows volume access on this system; examine a volume image with --image=FILE";

std::string normal(const std::string& folder, bool root_note = false) {
  return "Probing NTFS deleted under: " + folder + "\n" + (root_note ? kRootNote : "") + kHint +
         "  [0/1] Locating directory...\n"
         "Error: Cannot locate directory: " +
         kNoVolume + "\n";
}

std::string debug(const std::string& folder) {
  return "Warning: \"" + folder +
         "\" is not a valid directory\n"
         "  quillon --debug \"E:\\vale\"\n"
         "=== Debug: " +
         folder +
         " ===\n\n"
         "USN query failed: " +
         kNoVolume +
         "\n"
         "MFT query failed: " +
         kNoVolume +
         "\n"
         "\n=== Recoverable items in this folder (USN + MFT merged) ===\n\n"
         "  [0/1] Locating directory...\n"
         "Error: Cannot locate directory: " +
         kNoVolume + "\n";
}

TEST(CommandLine, FolderChoiceAndModes) {
  struct Case {
    std::vector<std::string> args;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {{}, normal("E:\\2")},
      {{"E:\\"}, normal("E:\\", true)},
      {{"e:"}, normal("e:", true)},
      {{"E:/"}, normal("E:/", true)},
      {{"E:\\a", "E:\\b"}, normal("E:\\b")},
      {{"-x", "E:\\vale"}, normal("E:\\vale")},
      {{"--DEBUG", "E:\\x"}, normal("E:\\x")},
      {{"--debug=1"}, normal("E:\\2")},
      {{"E:\\\xE6\x96\x87\xE6\xA1\xA3\\\xE7\x85\xA7\xE7\x89\x87"},
       normal("E:\\\xE6\x96\x87\xE6\xA1\xA3\\\xE7\x85\xA7\xE7\x89\x87")},
      {{"--debug"}, debug("E:\\2")},
      {{"E:\\x", "--debug"}, debug("E:\\x")},
  };
  for (const auto& c : cases) {
    Outcome r = run_quillon(c.args);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, c.expected) << "args: " << (c.args.empty() ? "(none)" : c.args.front());
  }
}

TEST(CommandLine, EmptyArgumentIsTheFolder) {
  Outcome r = run_quillon({"E:\\x", ""});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "Probing NTFS deleted under: \n" + kHint + "Error: Cannot identify drive letter: the folder needs its drive letter, as in E:\\2\n");
}

TEST(CommandLine, HelpAndVersion) {
  Outcome v = run_quillon({"--version"});
  EXPECT_EQ(v.status, 0);
  EXPECT_EQ(v.out, "quillon " QUILLON_VERSION "\n");
  Outcome h = run_quillon({"--help"});
  EXPECT_EQ(h.status, 0);
  EXPECT_EQ(h.out.rfind("quillon " QUILLON_VERSION, 0), 0u);
  for (const char* needle : {"--debug", "--image=FILE", "--offset=BYTES", "never", "FOLDER"})
    EXPECT_NE(h.out.find(needle), std::string::npos) << needle;
}

TEST(CommandLine, UnreadableImageIsOneErrorLine) {
  Outcome r = run_quillon({"--image=/nonexistent/disk.img", "E:\\2"});
  EXPECT_EQ(r.status, 0);
  ASSERT_FALSE(r.out.empty());
  EXPECT_EQ(r.out.rfind("Error: ", 0), 0u);
  EXPECT_EQ(r.out.find('\n'), r.out.size() - 1) << r.out;
  Outcome bad = run_quillon({"--image=/dev/null", "--offset=12x", "E:\\2"});
  EXPECT_EQ(bad.out, "Error: --offset wants a byte offset (or sectors, as in 2048s), not \"12x\"\n");
}

}  // namespace
}  // namespace quillon
