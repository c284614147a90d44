// Path text as the image platform understands it, in the manner of
// GetFullPathNameW: the image is drive `letter`, and its root is the current
// directory, so relative and root-relative paths resolve against it.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quillon::platform::image {

// The full path: separators turned to '\', "." and ".." folded (never above
// the root), trailing dots and spaces of each name dropped, a trailing
// separator kept. Verbatim ("\\?\") and device ("\\.\") paths come back as
// given. Nothing for an empty path.
std::optional<std::string> full_path(std::string_view path, char letter);

struct SplitPath {
  char letter = 0;                  // upper case
  std::vector<std::string> names;   // below the root
};

// The drive letter and names of a path; verbatim paths ("\\?\E:\a") are taken
// literally. Nothing for paths that do not name a drive (UNC, devices).
std::optional<SplitPath> split_path(std::string_view path, char letter);

}  // namespace quillon::platform::image
