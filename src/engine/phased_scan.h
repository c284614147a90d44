// The MFT half of a probe: on the probe's volume (its reader and the MFT
// context read once when the probe began), runs the phases in their fixed
// order under one deadline, then the late phases with whatever time is left.
// Only the paged scan's workers open readers of their own.
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
#include "engine/windows/probe_volume.h"
#include "engine/windows/scan_session.h"
#include "engine/windows/scope.h"
#include "engine/windows/usn_hints.h"

namespace quillon {

struct ScanOutcome {
  std::vector<DeletedItem> items;
  MftAudit audit;
};

// The probe prints the error's text after "MFT failed: ".
using ScanResult = Result<ScanOutcome>;

// Every phase in order within the session's deadline; the session's accepted
// items and audit are moved into the outcome.
ScanResult run_phased_scan(ScanSession& session);
}  // namespace quillon
