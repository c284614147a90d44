// The MFT half of a probe: opens the volume, reads the geometry and the MFT
// bitmap, runs the phases in their fixed order under one deadline, then the
// late phases with whatever time is left.
#pragma once

#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/model.h"
#include "engine/progress.h"
#include "engine/scan_options.h"
#include "engine/windows/mft_audit.h"
#include "engine/windows/scope.h"
#include "engine/windows/usn_hints.h"

namespace quillon {

struct ScanOutcome {
  std::vector<DeletedItem> items;
  MftAudit audit;
};

// The error is the text the probe prints after "MFT failed: ".
using ScanResult = std::expected<ScanOutcome, std::string>;

ScanResult run_phased_scan(ScopeContext scope, char letter, Duration limit, const UsnHints* hints,
                           const ScanOptions& options, const Progress& progress);
ScanResult run_phased_scan_unscoped(std::string_view folder, char letter, Duration limit, const UsnHints* hints,
                                    const ScanOptions& options, const Progress& progress);

}  // namespace quillon
