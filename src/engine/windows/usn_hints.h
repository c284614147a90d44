// What the change-journal search learned about the FRNs it saw: their names
// and parents. Read by the MFT phases and the late phases.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

namespace quillon {

// One journal record that ends a name: a FILE_DELETE (the file's end) or a
// RENAME_OLD_NAME (an earlier name's end), as the item facts need it.
struct JournalDeletion {
  std::uint64_t reference = 0;  // full file reference, sequence included
  std::uint64_t parent = 0;     // parent record number
  std::uint64_t time = 0;       // the record's TimeStamp (FILETIME)
  std::uint32_t attributes = 0;
  std::string name;
  std::uint32_t reason = 0;
  bool operator==(const JournalDeletion&) const = default;
};

inline constexpr std::uint32_t kUsnReasonFileDelete = 0x200;
inline constexpr std::uint32_t kUsnReasonRenameOldName = 0x1000;

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
  // Record number -> its FILE_DELETE and RENAME_OLD_NAME records under a
  // folder in scope, in journal order, each once (both READ passes meet them).
  std::unordered_map<std::uint64_t, std::vector<JournalDeletion>> deletions_by_frn;
};

// Keeps `d` under its record number unless it is already there.
inline void note_deletion(UsnHints& hints, JournalDeletion d) {
  auto& list = hints.deletions_by_frn[d.reference & 0xFFFFFFFFFFFFULL];
  for (const auto& have : list)
    if (have == d) return;
  list.push_back(std::move(d));
}

// The sequence number of the journal's file reference for `frn`; 0 when the
// hints hold none.
inline std::uint16_t hinted_sequence(const UsnHints& hints, std::uint64_t frn) {
  auto it = hints.reference_by_frn.find(frn);
  return it == hints.reference_by_frn.end() ? 0 : static_cast<std::uint16_t>(it->second >> 48);
}

}  // namespace quillon
