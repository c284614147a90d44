// The upper-case table a volume uses when its own $UpCase cannot be read
// (a damaged image, or a collection of copied metadata files that has no
// $UpCase): for each UTF-16 unit, its upper-case unit by Unicode's simple
// case mapping. Where it differs from the table Windows 10 writes at format
// time, the letter is one Windows' older table leaves as it is (capitals
// Unicode added later: Georgian Mtavruli, Latin Extended-D, ...).
#pragma once

#include <vector>

namespace quillon::platform::image {

// 65536 entries, one per UTF-16 unit.
const std::vector<char16_t>& default_upcase_table();

}  // namespace quillon::platform::image
