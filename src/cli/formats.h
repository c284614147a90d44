// The report in the machine-readable formats: CSV, one JSON object, and the
// timeline body format that The Sleuth Kit's mactime reads.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/model.h"

namespace quillon::cli {

enum class Format { text, csv, json, bodyfile };

std::optional<Format> parse_format(std::string_view name);

// A FILETIME (100-ns ticks since 1601-01-01 UTC) as ISO 8601 UTC with its
// seven fractional digits: "2026-12-08T07:43:01.7569580Z".
std::string iso8601_utc(std::uint64_t filetime);
// Whole seconds since 1970 (times before 1970 give 0), as the body format wants.
std::uint64_t unix_seconds(std::uint64_t filetime);

// "journal", "directory index", "MFT record", "$LogFile", "retry" joined by `sep`.
std::string found_by_text(std::uint8_t sources, std::string_view sep);

// The names the machine formats write for an item's kind, record state and
// recoverability.
std::string_view kind_name(ItemKind kind);
std::string_view record_state_name(RecordState state);
std::string_view recoverable_name(Recoverable r);

// What a machine report holds besides the probe's own report.
struct ReportContext {
  std::string folder;                                 // as typed
  std::map<std::string, std::uint64_t> noise_drops;  // names the noise filter dropped, by rule
  bool keep_all = false;                              // --all
  std::uint64_t volume_bytes = 0;                     // an image's volume: its size ...
  std::uint64_t missing_bytes = 0;                    // ... and what the file lacks of it
  std::vector<std::string> notes;                     // what was read from NTFS's spare copies
};

std::string format_csv(const ProbeReport& report);
std::string format_json(const ProbeReport& report, const ReportContext& context);
std::string format_json_error(std::string_view error, const ReportContext& context);
std::string format_bodyfile(const ProbeReport& report);

}  // namespace quillon::cli
