// The image formats examiners hold, made from the basic scenario volume with
// the tools of the trade (ewfacquire, qemu-img, split): each lists exactly
// what the raw volume lists, or, where this build cannot read the format,
// says so in one line that names the way to mount it.
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "support/images.h"

namespace quillon {
namespace {

namespace fs = std::filesystem;


std::string probe(const fs::path& image) {
  std::string out = test::run_command(test::shell_quote(QUILLON_BIN) + " --image=" + test::shell_quote(image.string()) + " 'E:\\2' 2>&1");
  return std::regex_replace(out, std::regex(" thread[0-9]+ [0-9]+ms "), " threadN Nms ");
}

bool have(const char* tool) {
  int status = 1;
  test::run_command(std::string("command -v ") + tool + " >/dev/null 2>&1", &status);
  return status == 0;
}

TEST(ContainerImages, EveryCopyListsWhatTheRawVolumeLists) {
  auto raw = test::scenario_image("basic");
  if (!raw) GTEST_SKIP() << "tests/data/basic.img.gz is absent";
  const fs::path dir = test::binary_dir() / "containers";
  fs::remove_all(dir);
  fs::create_directories(dir);
  const std::string expected = probe(*raw);
  ASSERT_NE(expected.find("\nTotal 20 paths"), std::string::npos) << expected;

  struct Copy {
    const char* tool;
    std::string make;  // shell command; $R is the raw image, $D the directory
    const char* file;  // what to examine
    const char* format;
  };
  const std::vector<Copy> copies = {
      {"split", "split -b 3000000 -d -a 3 --numeric-suffixes=1 \"$R\" \"$D/basic.raw.\"", "basic.raw.001", ""},
      {"qemu-img", "qemu-img convert -f raw -O vpc -o subformat=fixed \"$R\" \"$D/fixed.vhd\"", "fixed.vhd", ""},
      {"ewfacquire", "ewfacquire -u -q -t \"$D/basic\" -c none -f encase6 -S 4MiB \"$R\" >/dev/null", "basic.E01",
       "EWF (E01)"},
      {"qemu-img", "qemu-img convert -f raw -O vpc \"$R\" \"$D/dynamic.vhd\"", "dynamic.vhd", "VHD"},
      {"qemu-img", "qemu-img convert -f raw -O vhdx \"$R\" \"$D/basic.vhdx\"", "basic.vhdx", "VHDX"},
      {"qemu-img", "qemu-img convert -f raw -O qcow2 \"$R\" \"$D/basic.qcow2\"", "basic.qcow2", "QCOW2"},
      {"qemu-img", "qemu-img convert -f raw -O vmdk \"$R\" \"$D/basic.vmdk\"", "basic.vmdk", "VMDK"},
  };
  for (const auto& c : copies) {
    SCOPED_TRACE(c.file);
    if (!have(c.tool)) {
      std::printf("SKIPPED: %s: %s is not installed\n", c.file, c.tool);
      continue;
    }
    int status = -1;
    std::string made = test::run_command("R=" + test::shell_quote(raw->string()) + " D=" + test::shell_quote(dir.string()) + "; " + c.make +
                                             " 2>&1",
                                         &status);
    ASSERT_EQ(status, 0) << made;
    const std::string out = probe(dir / c.file);
    const std::string refusal = std::string("Error: cannot use image ") + (dir / c.file).string() + ": it is " +
                                (std::string(c.format).starts_with("EWF") ? "an " : "a ") + c.format +
                                " image, which this build does not read; ";
    if (out.rfind("Error: ", 0) == 0 && *c.format) {
      // A format this build does not read: one line, with the way to mount it.
      EXPECT_EQ(out.rfind(refusal, 0), 0u) << out;
      EXPECT_TRUE(out.find("ewfmount") != std::string::npos || out.find("vhdimount") != std::string::npos ||
                  out.find("qemu-nbd") != std::string::npos)
          << out;
      EXPECT_EQ(out.find('\n'), out.size() - 1) << out;
      continue;
    }
    EXPECT_EQ(out, expected);
  }
  // A container cut short: one line from the library, never a crash.
  if (fs::exists(dir / "basic.vhdx")) {
    fs::resize_file(dir / "basic.vhdx", 2000000);
    const std::string out = probe(dir / "basic.vhdx");
    EXPECT_EQ(out.rfind("Error: cannot use image ", 0), 0u) << out;
    EXPECT_EQ(out.find('\n'), out.size() - 1) << out;
  }
}

}  // namespace
}  // namespace quillon
