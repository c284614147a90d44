// The counters of one phased MFT scan: what each phase contributed, what the
// paged scan did, how long the scan took and why it stopped. The probe prints
// them as one "MFT Audit:" line.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace quillon {

// The paged scan's own figures.
struct ScanAudit {
  std::uint64_t pages_total = 0;
  std::uint64_t pages_done = 0;
  std::uint64_t pages_failed = 0;
  std::uint64_t records_scanned = 0;
  std::uint64_t items_found = 0;
  std::uint64_t threads = 0;
};

// Item counts are the growth of the scan's shared output list across a
// phase's acceptance calls, so duplicates never count.
struct MftAudit {
  std::string folder;                  // the scope's root path
  std::string note;                    // stop reason; empty until set
  std::uint64_t directory_count = 0;   // entries of the scope's dir_frns
  std::uint64_t mft_record_estimate = 0;
  ScanAudit scan;
  std::uint64_t expansion_radius = 0;  // last expansion pass; not printed
  std::uint64_t elapsed_ms = 0;
  std::uint32_t index = 0;
  std::uint32_t deleted_dir = 0;       // no phase adds to it
  std::uint32_t local_band = 0;
  std::uint32_t expand = 0;
  std::uint32_t usn = 0;
  std::uint32_t paged = 0;
  std::uint32_t logfile = 0;
  std::uint32_t retry = 0;
  std::uint32_t pending = 0;
  std::uint32_t cache_read = 0;
  std::uint32_t cache_hits = 0;        // not printed
  std::uint32_t filtered_cross_dir = 0;
};

// The counters of the audit, each named once: as the "MFT Audit:" line
// writes it and as the JSON report does, in the order both show them.
struct AuditCounter {
  std::string_view line_label;  // " index=" ...
  std::string_view json_name;   // "index" ...
  std::uint32_t MftAudit::*value;
};

inline constexpr std::array<AuditCounter, 11> kAuditCounters = {{
    {" index=", "index", &MftAudit::index},
    {" deleted-dir=", "deleted_dir", &MftAudit::deleted_dir},
    {" local-band=", "local_band", &MftAudit::local_band},
    {" expand=", "expand", &MftAudit::expand},
    {" USN=", "usn", &MftAudit::usn},
    {" paged=", "paged", &MftAudit::paged},
    {" LogFile=", "logfile", &MftAudit::logfile},
    {" retry=", "retry", &MftAudit::retry},
    {" pending=", "pending", &MftAudit::pending},
    {" cache-read=", "cache_read", &MftAudit::cache_read},
    {" filtered-cross-dir=", "filtered_cross_dir", &MftAudit::filtered_cross_dir},
}};

}  // namespace quillon
