// The scan phases that read single records: the directory index phase, the
// vicinity of the probed folder's record, the local band and the records the
// journal named. Each takes the scan's session.
#pragma once

#include <cstdint>
#include <optional>
#include <unordered_set>
#include <vector>

#include "engine/model.h"
#include "engine/windows/ntfs_deleted_eval.h"
#include "engine/windows/scan_session.h"

namespace quillon {

// Whether a record still in use counts as gone once a name's path is missing
// on the live file system (see EvalFlags::verify_live).
enum class LiveCheck { off, by_path };
// How the caller walks the records: `ascending` through consecutive records,
// so they are read a block ahead.
enum class ReadOrder { any, ascending };

// The items of record `frn` (through the session's record cache when the
// options use it); nothing when it yields none.
std::optional<std::vector<DeletedItem>> read_candidates(ScanSession& s, std::uint64_t frn, const RecordHint* hint,
                                                        LiveCheck live, ReadOrder order = ReadOrder::any);
// Reads the ring inner < |f − centre| <= min(outer, 512) not yet visited.
void scan_window(ScanSession& s, std::uint64_t centre, std::uint64_t inner, std::uint64_t outer,
                 std::unordered_set<std::uint64_t>& visited);

// The phases before the paged scan; each returns how much the session's
// list grew.
// Each folder's index entries (and, when the options say so, the records
// around each folder); the records it reads are kept for the expansion.
std::size_t run_index_phase(ScanSession& s);
// Rings of growing radius around every folder while they still add items.
std::size_t run_expansion(ScanSession& s);
std::size_t run_root_vicinity(ScanSession& s);
std::size_t run_local_band(ScanSession& s);
std::size_t run_usn_hints(ScanSession& s);

}  // namespace quillon
