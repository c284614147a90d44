// The probed folder tree by FRN, built once per probe and read-only after.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <unordered_set>

namespace quillon {

struct DirEntry {
  std::string name;          // empty for the root's own entry
  std::uint64_t parent = 0;  // parent FRN as recorded (5 for the root's entry)
};

using DirMap = std::unordered_map<std::uint64_t, DirEntry>;

struct ScopeContext {
  std::string root_path;
  // root_comparison_form(root_path), resolved once; empty when the scope was
  // built by hand (then containment resolves the root itself).
  std::string root_form;
  std::unordered_set<std::uint64_t> dir_frns;
  std::unordered_set<std::uint64_t> parent_match_frns;
  DirMap dir_map;
  std::unordered_set<std::uint64_t> deleted_dirs;
  std::uint64_t root_frn = 0;      // 48-bit
  std::uint64_t root_file_id = 0;  // full 64-bit file id
  bool strict_parent = true;
  bool noise_flag = false;
};

}  // namespace quillon
