#include "platform/image/default_upcase.h"

#include <cstdint>

namespace quillon::platform::image {

namespace {

struct LowerCase {
  std::uint32_t code_point, lower, second;
};

// The full lower-case mapping of the Unicode Character Database; the
// upper-case table is its inverse over the Basic Multilingual Plane.
constexpr LowerCase kLowerCase[] = {
#include "engine/windows/casemap_table.inc"
};

std::vector<char16_t> build() {
  std::vector<char16_t> t(65536);
  for (std::size_t c = 0; c < t.size(); ++c) t[c] = static_cast<char16_t>(c);
  std::vector<bool> mapped(t.size());
  for (const auto& m : kLowerCase) {
    // One-unit mappings only: a letter whose lower case is two code points
    // (U+0130) has no single-unit inverse. Where several capitals share a
    // lower-case letter (K and the Kelvin sign), the letter's own capital,
    // the lowest code point, is its upper case.
    if (m.second != 0 || m.code_point > 0xFFFF || m.lower > 0xFFFF || m.lower == m.code_point) continue;
    // U+1E9E (capital sharp s) lowers to U+00DF, whose upper case is itself.
    if (m.code_point == 0x1E9E) continue;
    if (mapped[m.lower] && t[m.lower] < m.code_point) continue;
    t[m.lower] = static_cast<char16_t>(m.code_point);
    mapped[m.lower] = true;
  }
  return t;
}

}  // namespace

const std::vector<char16_t>& default_upcase_table() {
  static const std::vector<char16_t> table = build();
  return table;
}

}  // namespace quillon::platform::image
