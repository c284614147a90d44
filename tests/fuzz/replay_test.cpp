// Every input a fuzz run ever crashed on (tests/fuzz/regressions/<harness>/)
// goes back through its harness here, in the sanitized build, together with
// inputs that reach the harnesses' deeper paths.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <vector>

#include "fuzz/fuzz_targets.h"
#include "support/images.h"

namespace quillon {
namespace {

using Harness = int (*)(const std::uint8_t*, std::size_t);

const std::map<std::string, Harness>& harnesses() {
  static const std::map<std::string, Harness> h{
      {"boot", fuzz::boot_and_partitions}, {"record", fuzz::file_record}, {"index", fuzz::index_block},
      {"usn", fuzz::usn_records},          {"logfile", fuzz::logfile},    {"image", fuzz::image_volume},
      {"collection", fuzz::collection}};
  return h;
}

std::vector<std::uint8_t> read_file(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST(FuzzRegressions, EveryCorpusFileGoesThroughItsHarness) {
  auto sample = test::scenario_image("sample");
  ASSERT_TRUE(sample);
  ::setenv("QUILLON_FUZZ_IMAGE", sample->c_str(), 1);
  const auto root = test::source_dir() / "tests" / "fuzz" / "regressions";
  std::size_t replayed = 0;
  for (const auto& dir : std::filesystem::directory_iterator(root)) {
    if (!dir.is_directory()) continue;
    auto h = harnesses().find(dir.path().filename().string());
    ASSERT_NE(h, harnesses().end()) << "no harness for " << dir.path();
    for (const auto& f : std::filesystem::directory_iterator(dir.path())) {
      SCOPED_TRACE(f.path().string());
      auto bytes = read_file(f.path());
      EXPECT_EQ(h->second(bytes.data(), bytes.size()), 0);
      ++replayed;
    }
  }
  EXPECT_GT(replayed, 0u);
}

}  // namespace
}  // namespace quillon
