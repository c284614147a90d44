#include "platform/win32/aligned_read.h"

#include <limits>

namespace quillon::platform::win32_backend {

std::uint32_t usable_sector_size(std::uint32_t reported) {
  bool power_of_two = reported != 0 && (reported & (reported - 1)) == 0;
  if (power_of_two && reported >= 512 && reported <= 65536) return reported;
  return kDefaultSectorSize;
}

AlignedPlan plan_aligned_read(std::uint64_t offset, std::uint64_t length, std::uint32_t sector_size,
                              bool buffer_aligned, std::optional<std::uint64_t> volume_end) {
  AlignedPlan plan;
  const std::uint64_t s = usable_sector_size(sector_size);
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  if (length > kMax - offset) {
    plan.failure = PlanFailure::beyond_end;
    return plan;
  }
  const std::uint64_t end = offset + length;
  if (volume_end && end > *volume_end) {
    plan.failure = PlanFailure::beyond_end;
    return plan;
  }
  AlignedRead r;
  if (offset % s == 0 && length % s == 0 && buffer_aligned) {
    r.direct = true;
    r.start = offset;
    r.length = length;
    plan.read = r;
    return plan;
  }
  r.start = offset - offset % s;
  std::uint64_t aligned_end = end;
  if (end % s != 0) {
    if (end > kMax - (s - end % s)) return plan;  // too_large
    aligned_end = end + (s - end % s);
  }
  // The last sector of a volume is whole, so the clamped end stays aligned on
  // a real device; an image of odd size simply ends early.
  if (volume_end && aligned_end > *volume_end) aligned_end = *volume_end;
  r.length = aligned_end - r.start;
  r.skip = offset - r.start;
  if (r.length > std::numeric_limits<std::size_t>::max() - s) return plan;  // too_large
  plan.read = r;
  return plan;
}

}  // namespace quillon::platform::win32_backend
