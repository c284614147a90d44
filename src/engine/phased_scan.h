// The MFT half of a probe: on the probe's volume (its reader and the MFT
// context read once when the probe began), runs the phases in their fixed
// order under one deadline, then the late phases with whatever time is left.
// Only the paged scan's workers open readers of their own.
#pragma once

#include <expected>
#include <optional>
#include <span>
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

// The late phases run after every early one, with what is left of the
// deadline, and only when some is left.
enum class PhaseStage { early, late };

// One phase of the scan: its name, what runs it (returning how much the
// session's list grew), the audit counter that growth is added to (none: the
// phase keeps its own count), the finder its items are marked with, and its
// stage. A new phase is one entry of the table plus its own function.
struct MftPhase {
  std::string_view name;
  std::size_t (*run)(ScanSession&);
  std::uint32_t MftAudit::*counter;
  std::uint8_t found_by;
  PhaseStage stage;
};

// The phases in their fixed order.
std::span<const MftPhase> mft_phases();

// The late stage alone (phases 4 and 5, then the count of hint records still
// unconfirmed) within the session's deadline; nothing at all when no time
// remains. Returns the audit's logfile, retry and pending counters.
MftAudit run_late_phases(ScanSession& s);

// Every phase in order within the session's deadline; the session's accepted
// items and audit are moved into the outcome.
ScanResult run_phased_scan(ScanSession& session);
}  // namespace quillon
