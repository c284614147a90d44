// The arithmetic behind exact reads on a volume handle. Windows opens volume
// handles without caching, so the device accepts only reads whose offset,
// length and buffer address are whole multiples of the sector size. A read
// that is not aligned is served from the enclosing sector range, read into
// an aligned bounce buffer; this header works out that range. No OS calls.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

namespace quillon::platform::win32_backend {

inline constexpr std::uint32_t kDefaultSectorSize = 512;

// The sector size to align on: `reported` when it is a power of two from 512
// to 64 KiB, otherwise 512.
std::uint32_t usable_sector_size(std::uint32_t reported);

struct AlignedRead {
  bool direct = false;        // the request itself is aligned: read it as it is
  std::uint64_t start = 0;    // device offset of the read (sector-aligned)
  std::uint64_t length = 0;   // bytes to read from the device
  std::uint64_t skip = 0;     // where the requested bytes begin inside the read
};

enum class PlanFailure {
  beyond_end,  // the request reaches past the end of the volume
  too_large,   // offsets overflow, or the bounce buffer could not be addressed
};

struct AlignedPlan {
  std::optional<AlignedRead> read;
  PlanFailure failure = PlanFailure::too_large;
};

// Plans the read of `length` bytes at `offset` (`buffer_aligned`: the
// caller's buffer address is a multiple of the sector size). `volume_end`,
// when known, is the volume's size in bytes: a request beyond it fails, and
// the enclosing range is clamped at it.
AlignedPlan plan_aligned_read(std::uint64_t offset, std::uint64_t length, std::uint32_t sector_size,
                              bool buffer_aligned, std::optional<std::uint64_t> volume_end);

}  // namespace quillon::platform::win32_backend
