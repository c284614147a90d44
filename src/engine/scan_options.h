// The switches and sizes of the phased MFT scan, and the standard preset the
// probe uses.
#pragma once

#include <cstdint>
#include <optional>

namespace quillon {

struct ScanOptions {
  std::uint64_t expansion_limit = 32768;
  std::uint64_t band_below = 512;
  std::uint64_t band_above = 4096;
  std::uint64_t worker_threads = 4;
  std::uint32_t page_size = 4096;  // records per page
  bool per_directory_vicinity = false;
  bool expansion = false;
  bool paged_scan = true;
  bool local_band = false;
  bool logfile_phase = true;
  bool retry_phase = true;
  bool use_record_cache = true;
  bool root_vicinity = true;
  bool include_in_use = false;       // see EvalFlags
  bool follow_parent_chain = false;  // see EvalFlags
};

// Workers for a machine with `parallelism` processors (absent when it cannot
// be told): clamped to 2..8, 4 when unknown.
std::uint64_t standard_worker_count(std::optional<std::uint64_t> parallelism);

// The standard preset, with this machine's processor count.
ScanOptions standard_scan_options();

}  // namespace quillon
