// NTFS data runs (mapping pairs): where the clusters of a non-resident
// attribute lie on the volume.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "common/bytes.h"

namespace quillon::platform::image {

struct Run {
  std::uint64_t vcn = 0;     // first cluster of the run inside the attribute
  std::uint64_t length = 0;  // clusters
  std::optional<std::uint64_t> lcn;  // none: a sparse run (reads as zeros)
};

// Decodes the mapping pairs at the start of `b`, the first run at
// `first_vcn`. Nothing when a pair is malformed, a cluster number goes
// negative or past `total_clusters`, or the runs overflow.
std::optional<std::vector<Run>> decode_runs(Bytes b, std::uint64_t first_vcn, std::uint64_t total_clusters);

// True when no two allocated runs share a cluster.
bool runs_disjoint(const std::vector<Run>& runs);

}  // namespace quillon::platform::image
