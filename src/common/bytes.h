// Little-endian reads over disk bytes with explicit, overflow-safe bounds
// checks. Every read either fits wholly inside the span or yields nothing.
#pragma once

#include <bit>
#include <cstddef>
#include <cstring>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace quillon {

using Bytes = std::span<const std::byte>;

// True when [offset, offset + length) lies inside a buffer of `size` bytes,
// without overflowing.
constexpr bool in_bounds(std::uint64_t size, std::uint64_t offset, std::uint64_t length) {
  return offset <= size && length <= size - offset;
}

// The bits set in `bytes` (a bitmap's used clusters or records).
std::uint64_t count_set_bits(std::span<const std::byte> bytes);

// Unchecked form for callers that have already checked the whole range. On
// a little-endian machine one load (GCC does not always fuse the byte loop,
// and the paged scan reads a header field of every record this way).
template <class T>
constexpr T load_le(const std::byte* p) {
  static_assert(sizeof(T) <= 8);
  if !consteval {
    if constexpr (std::endian::native == std::endian::little) {
      T v;
      std::memcpy(&v, p, sizeof(T));
      return v;
    }
  }
  std::uint64_t v = 0;
  for (std::size_t i = 0; i < sizeof(T); ++i)
    v |= static_cast<std::uint64_t>(std::to_integer<std::uint8_t>(p[i])) << (8 * i);
  return static_cast<T>(v);
}

template <class T>
constexpr std::optional<T> read_le(Bytes b, std::uint64_t offset) {
  if (!in_bounds(b.size(), offset, sizeof(T))) return std::nullopt;
  return load_le<T>(b.data() + offset);
}

inline std::optional<std::uint8_t> u8_at(Bytes b, std::uint64_t o) { return read_le<std::uint8_t>(b, o); }
inline std::optional<std::uint16_t> u16_at(Bytes b, std::uint64_t o) { return read_le<std::uint16_t>(b, o); }
inline std::optional<std::uint32_t> u32_at(Bytes b, std::uint64_t o) { return read_le<std::uint32_t>(b, o); }
inline std::optional<std::uint64_t> u64_at(Bytes b, std::uint64_t o) { return read_le<std::uint64_t>(b, o); }
inline std::optional<std::int64_t> i64_at(Bytes b, std::uint64_t o) { return read_le<std::int64_t>(b, o); }


template <class T>
inline void store_le(std::byte* p, T value) {
  auto v = static_cast<std::uint64_t>(value);
  for (std::size_t i = 0; i < sizeof(T); ++i) p[i] = static_cast<std::byte>((v >> (8 * i)) & 0xFF);
}

// The bytes [offset, offset + length) when they lie inside `b`.
inline std::optional<Bytes> sub(Bytes b, std::uint64_t offset, std::uint64_t length) {
  if (!in_bounds(b.size(), offset, length)) return std::nullopt;
  return b.subspan(static_cast<std::size_t>(offset), static_cast<std::size_t>(length));
}

// True when the bytes at `offset` spell `tag` (e.g. "FILE").
inline bool has_tag(Bytes b, std::uint64_t offset, std::string_view tag) {
  if (!in_bounds(b.size(), offset, tag.size())) return false;
  return tag.empty() || std::memcmp(b.data() + offset, tag.data(), tag.size()) == 0;
}

inline Bytes as_bytes(std::string_view s) {
  return {reinterpret_cast<const std::byte*>(s.data()), s.size()};
}

}  // namespace quillon
