// Path helpers: the comparison form of a path, folder containment, the
// volume-root test and the noise filter for build and cache artefacts.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>

namespace quillon::platform {
class Platform;
}

namespace quillon {

std::string strip_verbatim_prefix(std::string_view text);
// Full Unicode lower-case mapping of UTF-8/WTF-8 text.
std::string unicode_lower(std::string_view text);
std::string comparison_form(std::string_view path);
// The form a root folder is compared in: the comparison form of its
// canonical path when it is an existing directory, else of the text given.
// Asks the file system, so a probe computes it once.
std::string root_comparison_form(platform::Platform& system, std::string_view root);
// `candidate` is the root or lies below it; `root_form` is
// root_comparison_form's result. A string test, no file-system query.
bool inside_root_form(std::string_view candidate, std::string_view root_form);
// The same against the root's text as written (not resolved).
bool inside_root(std::string_view candidate, std::string_view root);
bool is_volume_root(std::string_view path);
// True: keep the name; false: drop it. `loose` selects the whole-volume mode.
// Every name a rule drops is recorded for noise_drops().
bool noise_filter(std::string_view name, bool loose);

// For the whole process: the filter keeps every name that is a name (not
// empty, no separator) and records nothing (the --all switch).
void set_keep_all_names(bool keep);
// How many distinct names each rule dropped so far, by the rule's literal
// (".exe", "tmp.", "32+ hex digits", "long .o", ...).
std::map<std::string, std::uint64_t> noise_drops();
void clear_noise_drops();

}  // namespace quillon
