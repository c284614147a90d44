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
  // Record number -> the full file reference (sequence included) of the
  // newest named record that left a hint for it; absent when the journal
  // gave no sequence. It tells a record that still holds the same file (a
  // rename or a move: the file lives) from one reused by another file.
  std::unordered_map<std::uint64_t, std::uint64_t> reference_by_frn;
};

// The sequence number of the journal's file reference for `frn`; 0 when the
// hints hold none.
inline std::uint16_t hinted_sequence(const UsnHints& hints, std::uint64_t frn) {
  auto it = hints.reference_by_frn.find(frn);
  return it == hints.reference_by_frn.end() ? 0 : static_cast<std::uint16_t>(it->second >> 48);
}

}  // namespace quillon
