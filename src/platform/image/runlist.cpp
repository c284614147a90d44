#include "platform/image/runlist.h"

#include <algorithm>

namespace quillon::platform::image {

std::optional<std::vector<Run>> decode_runs(Bytes b, std::uint64_t first_vcn, std::uint64_t total_clusters) {
  std::vector<Run> runs;
  std::uint64_t pos = 0, vcn = first_vcn;
  std::int64_t lcn = 0;
  while (true) {
    auto head = u8_at(b, pos);
    if (!head) return std::nullopt;  // no terminating zero inside the attribute
    if (*head == 0) break;
    unsigned len_size = *head & 0x0F, off_size = *head >> 4;
    if (len_size == 0 || len_size > 8 || off_size > 8 || !in_bounds(b.size(), pos + 1, len_size + off_size))
      return std::nullopt;
    std::uint64_t length = 0;
    for (unsigned i = 0; i < len_size; ++i)
      length |= static_cast<std::uint64_t>(std::to_integer<std::uint8_t>(b[pos + 1 + i])) << (8 * i);
    if (length == 0 || length > total_clusters || vcn > UINT64_MAX - length) return std::nullopt;
    Run r{vcn, length, std::nullopt};
    if (off_size != 0) {
      std::uint64_t raw = 0;
      for (unsigned i = 0; i < off_size; ++i)
        raw |= static_cast<std::uint64_t>(std::to_integer<std::uint8_t>(b[pos + 1 + len_size + i])) << (8 * i);
      if (off_size < 8 && (raw >> (8 * off_size - 1)) & 1) raw |= ~std::uint64_t{0} << (8 * off_size);
      auto delta = static_cast<std::int64_t>(raw);
      if ((delta > 0 && lcn > INT64_MAX - delta) || (delta < 0 && lcn < INT64_MIN - delta)) return std::nullopt;
      lcn += delta;
      if (lcn < 0 || static_cast<std::uint64_t>(lcn) >= total_clusters ||
          length > total_clusters - static_cast<std::uint64_t>(lcn))
        return std::nullopt;
      r.lcn = static_cast<std::uint64_t>(lcn);
    }
    runs.push_back(r);
    vcn += length;
    pos += 1 + len_size + off_size;
  }
  return runs;
}

bool runs_disjoint(const std::vector<Run>& runs) {
  std::vector<std::pair<std::uint64_t, std::uint64_t>> spans;
  for (const auto& r : runs)
    if (r.lcn) spans.emplace_back(*r.lcn, *r.lcn + r.length);
  std::sort(spans.begin(), spans.end());
  for (std::size_t i = 1; i < spans.size(); ++i)
    if (spans[i].first < spans[i - 1].second) return false;
  return true;
}

}  // namespace quillon::platform::image
