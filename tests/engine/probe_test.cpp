#include "cli/report.h"
#include "engine/probe.h"

#include <gtest/gtest.h>

#include "platform/memory/memory_platform.h"

namespace quillon {
namespace {

struct Captured {
  std::string lines;
  Progress progress{[this](std::string_view l) { lines += l; }};
};

TEST(Probe, NoDriveLetterFailsAtOnce) {
  platform::ScopedPlatform scoped(std::make_unique<platform::MemoryPlatform>());
  Captured c;
  auto r = probe_folder(platform::current(), "relative\\dir", Duration{60, 0}, c.progress);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().text(), "Cannot identify drive letter: the folder needs its drive letter, as in E:\\2");
  EXPECT_EQ(c.lines, "");
}

TEST(Probe, MissingFolder) {
  platform::ScopedPlatform scoped(std::make_unique<platform::MemoryPlatform>());
  Captured c;
  auto r = probe_folder(platform::current(), "E:\\nope", Duration{60, 0}, c.progress);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().text(),
            "Cannot locate directory: The system cannot find the file specified. (os error 2)");
  EXPECT_EQ(c.lines, "  [0/1] Locating directory...\n");
}

// Without the rights to open the volume every search fails; the journal's
// failure reads "Access denied" for error 5 and for 10013, the MFT's as the
// system's own text.
TEST(Probe, VolumeWithoutRights) {
  for (std::uint32_t code : {5u, 10013u}) {
    SCOPED_TRACE(code);
    auto mem = std::make_unique<platform::MemoryPlatform>();
    mem->add_directory("E:\\2", 0x0001000000000040);
    platform::MemoryPlatform::Volume v;
    v.open_error = code;
    mem->set_volume('E', std::move(v));
    platform::ScopedPlatform scoped(std::move(mem));
    Captured c;
    auto r = probe_folder(platform::current(), "E:\\2", Duration{60, 0}, c.progress);
    ASSERT_TRUE(r);
    EXPECT_EQ(cli::journal_summary_line(r->journal), "\xE8\xAF\xBB\xE5\x8F\x96\xE5\x88\xA0\xE9\x99\xA4\xE6\x97\xA5\xE5\xBF\x97\xE5\xA4\xB1"
                              "\xE8\xB4\xA5:Access denied");
    ASSERT_TRUE(r->mft_error);
    EXPECT_EQ(cli::mft_summary_line(*r)->rfind("MFT failed: ", 0), 0u);
    EXPECT_TRUE(r->items.empty());
    // No scope could be built: the unscoped progress line names the file id.
    EXPECT_NE(c.lines.find("Directory FRN=64 ref=0x1000000000040, querying USN..."), std::string::npos) << c.lines;
  }
}

TEST(Probe, BudgetSpentBeforeTheScanLeavesNoMftSummary) {
  auto mem = std::make_unique<platform::MemoryPlatform>();
  mem->add_directory("E:\\2", 0x0001000000000040);
  platform::MemoryPlatform::Volume v;
  v.open_error = 5;
  mem->set_volume('E', std::move(v));
  platform::ScopedPlatform scoped(std::move(mem));
  Captured c;
  auto r = probe_folder(platform::current(), "E:\\2", Duration{}, c.progress);
  ASSERT_TRUE(r);
  EXPECT_FALSE(r->mft_summary);
  EXPECT_FALSE(r->mft_error);
  EXPECT_EQ(c.lines.find("MFT phased scan"), std::string::npos);
}

}  // namespace
}  // namespace quillon
