#include "engine/progress.h"

#include <gtest/gtest.h>

#include <string>

namespace quillon {
namespace {

TEST(Progress, PrintsMultiplesOf5000AndTheLast) {
  std::string out;
  Progress p([&](std::string_view line) { out += line; });
  for (std::uint64_t i = 0; i < 10002; ++i) p(i, 10002, "m");
  EXPECT_EQ(out, "  [0/10002] m\n  [5000/10002] m\n  [10000/10002] m\n  [10001/10002] m\n");
  out.clear();
  p.step("Locating directory...");
  EXPECT_EQ(out, "  [0/1] Locating directory...\n");
  out.clear();
  p(3, 1, "x");  // neither rule
  EXPECT_EQ(out, "");
}

}  // namespace
}  // namespace quillon
