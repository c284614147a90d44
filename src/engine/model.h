// The probe's result model: one recoverable candidate, the probe's report,
// its time budget, the merge key and the output order.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "common/error.h"
#include "engine/windows/mft_audit.h"

namespace quillon {

// The searches that found an item (bits of DeletedItem::sources).
inline constexpr std::uint8_t kFoundByJournal = 1;
inline constexpr std::uint8_t kFoundByIndex = 2;    // a folder's directory index
inline constexpr std::uint8_t kFoundByRecord = 4;   // its FILE record, read around the folder or in the paged scan
inline constexpr std::uint8_t kFoundByLogFile = 8;
inline constexpr std::uint8_t kFoundByRetry = 16;   // the deferred MFT retry

// Each search's bit with its name in the reports, in the order they list them.
struct Finder {
  std::uint8_t bit;
  std::string_view name;
};
inline constexpr std::array<Finder, 5> kFinders = {{{kFoundByJournal, "journal"},
                                                    {kFoundByIndex, "directory index"},
                                                    {kFoundByRecord, "MFT record"},
                                                    {kFoundByLogFile, "$LogFile"},
                                                    {kFoundByRetry, "retry"}}};

// What an item is.
enum class ItemKind : std::uint8_t { file, folder };

// What the item's own FILE record holds now.
enum class RecordState : std::uint8_t {
  unknown,  // no record was read for it
  intact,   // free, and still this file: its sequence, its name under its parent
  reused,   // it holds another file, or this file's record under another sequence
};

// How much of an item can come back now.
enum class Recoverable : std::uint8_t { unknown, yes, partly, no };

// The four times of a record's $STANDARD_INFORMATION (raw FILETIMEs).
struct RecordTimes {
  std::uint64_t created = 0;
  std::uint64_t modified = 0;
  std::uint64_t record_changed = 0;
  std::uint64_t accessed = 0;
  bool operator==(const RecordTimes&) const = default;
};

struct DeletedItem {
  std::uint64_t frn = 0;
  std::uint64_t parent_frn = 0;
  std::string path;  // WTF-8; shown with invalid sequences as U+FFFD
  std::uint64_t size = 0;
  std::optional<std::uint64_t> time;  // raw FILETIME; absent when unknown
  std::uint8_t sources = 0;           // kFoundBy* bits; not part of the item's identity
  // The parent's sequence number as the entry recorded it; 0 when unknown.
  std::uint16_t parent_sequence = 0;
  bool folder = false;                // a deleted folder of the tree

  // What the user needs to decide on the item, filled after the merge from
  // its own record, the volume's $Bitmap and the journal's delete records;
  // not part of the item's identity either.
  std::optional<std::uint16_t> sequence{};     // its file reference's sequence while it lived
  ItemKind kind = ItemKind::file;
  std::optional<std::uint64_t> deleted_time{};  // the journal's delete record, raw FILETIME
  std::optional<std::uint64_t> data_size{};     // unnamed $DATA length, from an intact record
  RecordState record_state = RecordState::unknown;
  std::optional<std::uint8_t> clusters_free_pct{};  // of an intact record's unnamed $DATA clusters
  std::optional<RecordTimes> record_times{};    // $STANDARD_INFORMATION of an intact record

  bool operator==(const DeletedItem& o) const {
    return frn == o.frn && parent_frn == o.parent_frn && path == o.path && size == o.size && time == o.time;
  }
};

// yes: intact and every cluster free (or nothing in clusters, or a folder);
// partly: intact, some clusters taken; no: reused, or intact with none free;
// unknown: no record read, or its clusters could not be told.
Recoverable recoverable(const DeletedItem& item);

// What the journal search saw, for the report's "USN:" line; its failures
// kept as the errors they were.
struct JournalSummary {
  std::optional<std::int64_t> first_usn;
  std::optional<std::int64_t> next_usn;
  std::optional<Error> failure;     // the search as a whole could not run
  std::optional<Error> enum_error;  // the ENUM pass failed
  std::optional<Error> read_error;  // a READ pass (or the second query) failed
  std::uint64_t enum_count = 0;
  std::uint64_t read_count = 0;
};

struct ProbeReport {
  std::vector<DeletedItem> items;
  JournalSummary journal;
  // The audit line; absent when the MFT half did not run or failed.
  std::optional<std::string> mft_summary;
  std::optional<Error> mft_error;  // why the MFT half failed
  std::optional<MftAudit> audit;  // the counters behind the "MFT Audit:" line
  // What the probe found of the folder itself that the user should know
  // (shown as "Note: " lines before the report).
  std::vector<std::string> notes;
};

// A span of time as whole seconds and nanoseconds (below 1e9).
struct Duration {
  std::uint64_t seconds = 0;
  std::uint32_t nanos = 0;

  bool is_zero() const { return seconds == 0 && nanos == 0; }
  auto operator<=>(const Duration&) const = default;
  static Duration from(std::chrono::nanoseconds ns);
};

class TimeBudget {
 public:
  using Clock = std::chrono::steady_clock;

  explicit TimeBudget(Duration limit) : TimeBudget(Clock::now(), limit) {}
  TimeBudget(Clock::time_point start, Duration limit) : start_(start), limit_(limit), limit_ns_(nanoseconds(limit)) {}

  Duration limit() const { return limit_; }
  Clock::time_point start() const { return start_; }
  Duration elapsed() const { return elapsed_at(Clock::now()); }
  bool expired() const { return expired_at(Clock::now()); }
  Duration remaining() const { return remaining_at(Clock::now()); }

  // The same questions at a given instant (for tests and for one-clock-read callers).
  Duration elapsed_at(Clock::time_point now) const;
  // Asked before each record: the nanoseconds since the start against the
  // limit's, without cutting them into seconds.
  bool expired_at(Clock::time_point now) const {
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(now - start_).count();
    return (ns > 0 ? static_cast<std::uint64_t>(ns) : 0) >= limit_ns_;
  }
  Duration remaining_at(Clock::time_point now) const;

 private:
  // The limit in nanoseconds; past what the clock can count, the largest.
  static std::uint64_t nanoseconds(Duration d) {
    constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
    return d.seconds > (kMax - d.nanos) / 1'000'000'000ULL ? kMax : d.seconds * 1'000'000'000ULL + d.nanos;
  }
  Clock::time_point start_;
  Duration limit_;
  std::uint64_t limit_ns_;
};

// Difference a − b of two durations, zero when b ≥ a.
Duration saturating_sub(Duration a, Duration b);

// The probe's merge key "{frn}|{path}".
std::string merge_key(const DeletedItem& item);

// Appends `item` unless its merge key is already in `keys` (first wins; the
// listed item then also counts the searches that found the other).
bool merge_item(std::vector<DeletedItem>& out, std::unordered_set<std::string>& keys, DeletedItem item);
// Adds `item`'s sources to the listed item of the same FRN and path.
void add_sources(std::vector<DeletedItem>& out, const DeletedItem& item);

// Component-wise path comparison as the platform parses Windows paths
// (prefix, root, then each name; both separators; repeated separators and
// "." skipped; names compared by their bytes).
bool path_less(std::string_view a, std::string_view b);
std::vector<std::string_view> path_components(std::string_view path);

// Stable ascending sort by path.
void sort_by_path(std::vector<DeletedItem>& items);

}  // namespace quillon
