// The debug MFT query: the raw evidence around one folder's record, as text
// lines and counters for the --debug run.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/error.h"
#include "platform/platform.h"

namespace quillon {

struct MftFolderReport {
  std::vector<std::string> lines;  // index lines, then record lines
  std::uint64_t dir_record = 0;    // the folder's record number
  std::uint64_t dir_ref = 0;       // the folder's full FRN
  std::uint64_t range_start = 0;   // first record scanned
  std::uint64_t range_end = 0;     // record at which the scan stops (not scanned)
  std::uint32_t free_count = 0;    // "FILE" records of the range not in use
};

// The folder's index-root entries and every record of r - 4096 .. r + 32768
// whose $FILE_NAME points at the folder. No drive letter: an empty report.
Result<MftFolderReport> query_mft_folder(platform::Platform& system, std::string_view folder);

// The lines the --debug run prints for a report.
std::string format_mft_folder_report(const MftFolderReport& report);

}  // namespace quillon
