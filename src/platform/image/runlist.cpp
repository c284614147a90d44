#include "platform/image/runlist.h"

#include <algorithm>

#include "common/ntfs_decode.h"

namespace quillon::platform::image {

std::optional<std::vector<Run>> decode_runs(Bytes b, std::uint64_t first_vcn, std::uint64_t total_clusters) {
  std::vector<Run> runs;
  std::uint64_t pos = 0, vcn = first_vcn;
  std::int64_t lcn = 0;
  // Strict: a malformed pair or a missing terminator refuses the whole list.
  while (true) {
    ntfs::MappingPair pair;
    const auto read = ntfs::read_mapping_pair(b, pos, pair);
    if (read == ntfs::PairRead::end) break;
    if (read != ntfs::PairRead::pair) return std::nullopt;
    const std::uint64_t length = pair.length;
    if (length == 0 || length > total_clusters || vcn > UINT64_MAX - length) return std::nullopt;
    Run r{vcn, length, std::nullopt};
    if (pair.has_offset) {
      const std::int64_t delta = pair.delta;
      if ((delta > 0 && lcn > INT64_MAX - delta) || (delta < 0 && lcn < INT64_MIN - delta)) return std::nullopt;
      lcn += delta;
      if (lcn < 0 || static_cast<std::uint64_t>(lcn) >= total_clusters ||
          length > total_clusters - static_cast<std::uint64_t>(lcn))
        return std::nullopt;
      r.lcn = static_cast<std::uint64_t>(lcn);
    }
    runs.push_back(r);
    vcn += length;
    pos += pair.size;
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
