// The report: one probe with a 60-second budget, printed.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "cli/formats.h"
#include "engine/model.h"

namespace quillon::cli {

// Where the run's text goes: standard output, or a buffer for --output.
using Emit = std::function<void(std::string_view)>;

struct ReportOptions {
  Format format = Format::text;
  bool quiet = false;          // no progress lines
  bool noise_line = false;     // the debug run's count of what the noise filter dropped
  ReportContext context;       // what the machine formats add
};

enum class ReportOutcome { written, probe_failed };

// Runs the probe of `folder` and prints its report (or the probe's error).
void run_report(std::string_view folder);
ReportOutcome run_report(std::string_view folder, const ReportOptions& options, const Emit& emit);
// The report's text for a finished probe (what run_report prints after the
// probe's own progress lines).
std::string format_report(const ProbeReport& report);
// The "USN:" line's words for the journal search's outcome: lack of rights
// for the whole search reads as "Access denied", any other failure as its
// error's own text.
std::string journal_summary_line(const JournalSummary& summary);
// The "MFT:" line's words: the audit line, or why the MFT half failed;
// nothing when it did not run.
std::optional<std::string> mft_summary_line(const ProbeReport& report);
// The lines after the list: how many deleted names the noise filter hid
// (none when it hid none) and how many items can come back now.
std::string facts_lines(const ProbeReport& report, std::uint64_t hidden_names);
// The names the noise filter dropped, over all its rules.
std::uint64_t hidden_names(const std::map<std::string, std::uint64_t>& drops);
// "Noise filter dropped: 3 names (.exe 2, tmp. 1)\n" and its variants.
std::string noise_line(const std::map<std::string, std::uint64_t>& drops, bool keep_all);

}  // namespace quillon::cli
