#include "engine/scan_options.h"

#include <algorithm>
#include <thread>

namespace quillon {

std::uint64_t standard_worker_count(std::optional<std::uint64_t> parallelism) {
  if (!parallelism || *parallelism == 0) return 4;
  return std::clamp<std::uint64_t>(*parallelism, 2, 8);
}

ScanOptions standard_scan_options() {
  ScanOptions o;
  unsigned n = std::thread::hardware_concurrency();  // 0 when it cannot be told
  o.worker_threads = standard_worker_count(n ? std::optional<std::uint64_t>(n) : std::nullopt);
  return o;
}

}  // namespace quillon
