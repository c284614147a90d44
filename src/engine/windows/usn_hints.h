// What the change-journal search learned about the FRNs it saw: their names
// and parents. Read by the MFT phases and the late phases.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <unordered_map>

namespace quillon {

struct UsnHints {
  // Record number -> the names seen for it. Ordered sets, so that "the first
  // name" is well defined.
  std::unordered_map<std::uint64_t, std::set<std::string>> names_by_frn;
  // Record number -> parent record number; a later write replaces an earlier.
  std::unordered_map<std::uint64_t, std::uint64_t> parent_by_frn;
};

}  // namespace quillon
