#include "common/text.h"

#include <cstdio>

namespace quillon {

void append_utf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

namespace {

constexpr char32_t kReplacement = 0xFFFD;

bool is_high(char16_t u) { return u >= 0xD800 && u <= 0xDBFF; }
bool is_low(char16_t u) { return u >= 0xDC00 && u <= 0xDFFF; }

template <class Next>
std::string convert16(std::size_t count, Next next, bool keep_surrogates) {
  std::string out;
  out.reserve(count);
  for (std::size_t i = 0; i < count; ++i) {
    char16_t u = next(i);
    if (is_high(u) && i + 1 < count && is_low(next(i + 1))) {
      char32_t cp = 0x10000 + ((static_cast<char32_t>(u) - 0xD800) << 10) +
                    (static_cast<char32_t>(next(i + 1)) - 0xDC00);
      append_utf8(out, cp);
      ++i;
    } else if (is_high(u) || is_low(u)) {
      append_utf8(out, keep_surrogates ? static_cast<char32_t>(u) : kReplacement);
    } else {
      append_utf8(out, u);
    }
  }
  return out;
}

}  // namespace

std::string utf16_to_utf8_lossy(std::span<const char16_t> units) {
  return convert16(units.size(), [&](std::size_t i) { return units[i]; }, false);
}

std::string utf16le_to_utf8_lossy(std::span<const std::byte> bytes) {
  auto at = [&](std::size_t i) {
    return static_cast<char16_t>(std::to_integer<unsigned>(bytes[2 * i]) |
                                 (std::to_integer<unsigned>(bytes[2 * i + 1]) << 8));
  };
  return convert16(bytes.size() / 2, at, false);
}

std::string utf16_to_wtf8(std::span<const char16_t> units) {
  return convert16(units.size(), [&](std::size_t i) { return units[i]; }, true);
}

// Decodes WTF-8: like UTF-8, but three-byte encodings of surrogates are
// accepted (and returned as the surrogate code point).
char32_t decode_wtf8(std::string_view s, std::size_t& pos) {
  auto byte = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
  unsigned char b0 = byte(pos);
  if (b0 < 0x80) {
    ++pos;
    return b0;
  }
  int len = 0;
  char32_t cp = 0;
  char32_t min = 0;
  if ((b0 & 0xE0) == 0xC0) {
    len = 2, cp = b0 & 0x1F, min = 0x80;
  } else if ((b0 & 0xF0) == 0xE0) {
    len = 3, cp = b0 & 0x0F, min = 0x800;
  } else if ((b0 & 0xF8) == 0xF0) {
    len = 4, cp = b0 & 0x07, min = 0x10000;
  } else {
    ++pos;
    return kReplacement;
  }
  if (pos + len > s.size()) {
    ++pos;
    return kReplacement;
  }
  for (int i = 1; i < len; ++i) {
    unsigned char b = byte(pos + i);
    if ((b & 0xC0) != 0x80) {
      ++pos;
      return kReplacement;
    }
    cp = (cp << 6) | (b & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF) {
    ++pos;
    return kReplacement;
  }
  pos += len;
  return cp;
}

std::u16string wtf8_to_utf16(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  std::size_t pos = 0;
  while (pos < text.size()) {
    char32_t cp = decode_wtf8(text, pos);
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(cp));
    }
  }
  return out;
}

bool is_valid_utf8(std::string_view text) {
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t before = pos;
    char32_t cp = decode_wtf8(text, pos);
    if (cp >= 0xD800 && cp <= 0xDFFF) return false;
    if (cp == kReplacement) {
      // A genuine U+FFFD is three bytes EF BF BD; a replacement for bad input
      // advances by one byte only.
      if (pos - before != 3) return false;
    }
  }
  return true;
}

std::string lossy_utf8(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  std::size_t pos = 0;
  while (pos < text.size()) {
    char32_t cp = decode_wtf8(text, pos);
    if (cp >= 0xD800 && cp <= 0xDFFF) cp = kReplacement;
    append_utf8(out, cp);
  }
  return out;
}

bool is_white_space(char32_t c) {
  switch (c) {
    case 0x09: case 0x0A: case 0x0B: case 0x0C: case 0x0D: case 0x20:
    case 0x85: case 0xA0: case 0x1680: case 0x2028: case 0x2029:
    case 0x202F: case 0x205F: case 0x3000:
      return true;
    default:
      return c >= 0x2000 && c <= 0x200A;
  }
}

std::string_view trim_white_space(std::string_view text) {
  std::size_t begin = 0;
  while (begin < text.size()) {
    std::size_t pos = begin;
    if (!is_white_space(decode_wtf8(text, pos))) break;
    begin = pos;
  }
  std::size_t end = text.size();
  while (end > begin) {
    // Step back to the start of the last code point.
    std::size_t start = end - 1;
    while (start > begin && (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80 && end - start < 4)
      --start;
    std::size_t pos = start;
    char32_t cp = decode_wtf8(text, pos);
    if (pos != end || !is_white_space(cp)) break;
    end = start;
  }
  return text.substr(begin, end - begin);
}

std::string ascii_lower(std::string_view text) {
  std::string out(text);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
  return out;
}

std::string hex_lower(std::uint64_t value) {
  char buf[17];
  std::snprintf(buf, sizeof buf, "%llx", static_cast<unsigned long long>(value));
  return buf;
}

std::string hex_lower_padded(std::uint64_t value, int digits) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%0*llx", digits, static_cast<unsigned long long>(value));
  return buf;
}

}  // namespace quillon
