// Text conversions. Paths and names are kept as WTF-8 in std::string: UTF-8
// that may also hold encoded lone surrogates, so that every name NTFS can
// store survives a round trip. Display converts such sequences to U+FFFD.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace quillon {

// UTF-16 code units to UTF-8; a lone or mismatched surrogate becomes U+FFFD.
std::string utf16_to_utf8_lossy(std::span<const char16_t> units);
// UTF-16LE bytes (an odd trailing byte is dropped) to UTF-8, lossy as above.
std::string utf16le_to_utf8_lossy(std::span<const std::byte> bytes);
// UTF-16 code units to WTF-8: lone surrogates are kept, encoded as three bytes.
std::string utf16_to_wtf8(std::span<const char16_t> units);
// WTF-8 (or UTF-8) to UTF-16; invalid bytes become U+FFFD.
std::u16string wtf8_to_utf16(std::string_view text);

// True when `text` is well-formed UTF-8 (no surrogates, no overlongs).
bool is_valid_utf8(std::string_view text);
// The display form: every invalid sequence (and every encoded surrogate)
// replaced by U+FFFD.
std::string lossy_utf8(std::string_view text);

// Decodes one code point of WTF-8 at `pos`, advancing it; invalid bytes give
// U+FFFD and advance by one.
char32_t decode_wtf8(std::string_view text, std::size_t& pos);
void append_utf8(std::string& out, char32_t cp);

// Unicode White_Space.
bool is_white_space(char32_t cp);
// `text` without leading and trailing Unicode White_Space.
std::string_view trim_white_space(std::string_view text);

// ASCII letters A..Z turned to a..z; everything else unchanged.
std::string ascii_lower(std::string_view text);

std::string hex_lower(std::uint64_t value);           // no leading zeros, no prefix
std::string hex_lower_padded(std::uint64_t value, int digits);

}  // namespace quillon
