// Path helpers: the comparison form of a path, folder containment, the
// volume-root test and the noise filter for build and cache artefacts.
#pragma once

#include <string>
#include <string_view>

namespace quillon {

std::string strip_verbatim_prefix(std::string_view text);
// Full Unicode lower-case mapping of UTF-8/WTF-8 text.
std::string unicode_lower(std::string_view text);
std::string comparison_form(std::string_view path);
bool inside_root(std::string_view candidate, std::string_view root);
bool is_volume_root(std::string_view path);
// True: keep the name; false: drop it. `loose` selects the whole-volume mode.
bool noise_filter(std::string_view name, bool loose);

}  // namespace quillon
