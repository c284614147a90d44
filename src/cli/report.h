// The report: one probe with a 60-second budget, printed.
#pragma once

#include <string_view>

#include "engine/model.h"

namespace quillon::cli {

// Runs the probe of `folder` and prints its report.
void run_report(std::string_view folder);
// The report's text for a finished probe (what run_report prints after the
// probe's own progress lines).
std::string format_report(const ProbeReport& report);

}  // namespace quillon::cli
