// Text at the edge of the Win32 API: WTF-8 paths widened to the UTF-16 the
// W functions take, system messages trimmed, console output cut into pieces.
// No OS calls, so that all of it is tested on every platform.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quillon::platform::win32_backend {

// Paths of this many UTF-16 units or more get the "\\?\" prefix, which lifts
// the MAX_PATH limit (the longest directory CreateDirectoryW accepts without
// it is 248 units).
inline constexpr std::size_t kLongPathThreshold = 248;

// The UTF-16 form of a WTF-8 path, ready for a W function (the caller adds
// the terminating NUL through c_str()). Absolute drive and UNC paths of
// kLongPathThreshold units or more are turned into their verbatim form
// ("\\?\E:\…", "\\?\UNC\server\share\…") with '/' made '\'; paths that hold
// "." or ".." components stay as they are (the verbatim form would not
// resolve them). Nothing is returned for a path holding a NUL character,
// which the API would silently cut short.
std::optional<std::u16string> widen_path(std::string_view wtf8);

// The plain UTF-16 form of WTF-8 text (no prefix added), or nothing when it
// holds a NUL character.
std::optional<std::u16string> widen_text(std::string_view wtf8);

// The FindFirstFileExW pattern that lists `directory`: a '\' unless the
// path already ends in a separator or a bare drive ("E:"), then '*'.
std::u16string search_pattern(std::u16string directory);

// A system message as FormatMessageW gives it, without the trailing line
// break (and trailing blanks) Windows appends.
std::u16string trim_system_message(std::u16string_view message);

// Splits UTF-16 text into pieces of at most `max_units` units without
// cutting a surrogate pair in two (each piece goes to one WriteConsoleW).
std::vector<std::u16string_view> console_pieces(std::u16string_view text, std::size_t max_units);

}  // namespace quillon::platform::win32_backend
