// The late phases of the phased scan: phase 4 turns the recent delete
// transactions of $LogFile into items, phase 5 reads the journal's records
// once more in case their freed FILE records reached the disk late.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_set>
#include <vector>

#include "datasource/windows/volume.h"
#include "engine/model.h"
#include "engine/progress.h"
#include "engine/windows/mft_audit.h"
#include "engine/windows/ntfs_deleted.h"
#include "engine/windows/ntfs_deleted_eval.h"
#include "engine/windows/ntfs_logfile.h"
#include "engine/windows/scan_session.h"
#include "engine/windows/scope.h"
#include "engine/windows/usn_hints.h"

namespace quillon {

inline constexpr int kRetryAttempts = 3;
inline constexpr std::uint64_t kRetryPauseMs = 200;
inline constexpr std::uint64_t kRetryBand = 8192;

// Re-reads the candidate's FILE record (or builds an item from the log data
// alone) and accepts what it yields into the scan's shared lists. A name
// taken from a deleted index entry whose record is still in use with the
// same sequence number and one of whose current names exists is a rename or
// a move, not a delete: nothing. So is one the log itself shows renamed (an
// added entry for the same file reference followed the deleted one).
void process_log_candidate(ScanSession& s, const LogCandidate& candidate, LogScanStats& stats);

// Up to three passes over the retry list (the hints' record numbers not in
// `exclusion` nor accepted, else root ± 8192), 200 ms apart, on a volume
// that can change; one pass without a pause on one that cannot (an image
// file, where a freed record cannot reach the disk late). The limit,
// counted from the call, is tested before every read and cuts a pause
// short. Returns the number of reads that added an item.
std::uint64_t retry_deferred_records(ScanSession& s, const std::unordered_set<std::uint64_t>& exclusion,
                                     Duration limit);

// Phase 4 when the options switch it on; returns how much the list grew.
std::size_t run_logfile_phase(ScanSession& s);
// Phase 5 when the options switch it on and more than 0.2 s remain,
// excluding the records accepted when the late phases began.
std::size_t run_retry_phase(ScanSession& s);
// The hint FRNs that neither the FRN set nor any output item holds.
std::uint32_t count_pending(const ScanSession& s);



}  // namespace quillon
