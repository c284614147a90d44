// The paged scan of the whole MFT: the page list ordered by distance from the
// probed folder's record; as many worker threads as the list would make
// consecutive pieces (at most 16), each with its own volume handle, each
// taking the next page of the list when it is free, under the deadline.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <vector>

#include "common/bytes.h"
#include "engine/model.h"
#include "engine/windows/mft_audit.h"
#include "engine/windows/raw_mft.h"
#include "engine/windows/scope.h"

namespace quillon {

inline constexpr std::uint64_t kMaxScanWorkers = 16;

// Stable ascending sort by |x / B − t / B|. `page_size` must not be 0.
void sort_by_block_distance(std::vector<std::uint64_t>& values, std::uint64_t target, std::uint64_t page_size);

// The page starts 0, B, 2B, … below `bound`, ordered by block distance from
// `target`.
std::vector<std::uint64_t> ordered_pages(std::uint64_t bound, std::uint64_t page_size, std::uint64_t target);

// Consecutive pieces of ceil(P / min(W, 16)) pages (W raised to 1 when 0).
std::vector<std::vector<std::uint64_t>> cut_pieces(const std::vector<std::uint64_t>& pages, std::uint64_t workers);

// What one page yielded: its items in record order and the number of records
// looked at.
struct PageYield {
  std::vector<DeletedItem> items;
  std::uint64_t records_scanned = 0;
  std::vector<FreedDir> freed_dirs;  // every directory record not in use
  std::vector<Orphan> orphans;
};

// Scans one page whose first record is `first_record`: its records as read,
// no fixups applied (the scanner applies them, in place, to the records it
// looks into; the page is the worker's own). Called from worker threads at
// once: it must only read shared state.
using PageScanner = std::function<PageYield(std::span<std::byte> page, std::uint64_t first_record)>;

struct PagedScanRequest {
  // Each worker opens the volume of `letter` again through `system` (which
  // must allow that from any thread); without a system no worker reads.
  platform::Platform* system = nullptr;
  char letter = 'E';
  MftGeometry geometry;       // with the $MFT's own run list
  std::uint64_t bound = 0;    // records the scan covers (record_scan_bound)
  std::uint64_t page_size = 4096;
  std::uint64_t workers = 4;  // requested
  std::uint64_t target = 0;   // the probed folder's record number
  TimeBudget deadline{Duration{}};
};

struct PagedScanResult {
  std::vector<DeletedItem> items;  // in the order pages finished
  std::vector<FreedDir> freed_dirs;
  std::vector<Orphan> orphans;     // at most kMaxOrphans
  ScanAudit audit;
};

// Freed records kept for a second look once the tree has grown.
inline constexpr std::size_t kMaxOrphans = std::size_t{1} << 21;

// Appends `more` to `to` while `to` holds fewer than kMaxOrphans.
void append_orphans(std::vector<Orphan>& to, std::span<const Orphan> more);

// The page list the workers of one scan share and what they count. A worker
// takes the next page when it is free, so that every worker has work while
// pages remain (consecutive pieces would leave all the pages that hold
// records to the first worker when the bound exceeds the $MFT).
struct PageWalk {
  std::vector<std::uint64_t> pages;  // nearest first (ordered_pages)
  std::atomic<std::size_t> next{0};
  std::atomic<std::uint64_t> pages_done{0};
  std::atomic<std::uint64_t> pages_failed{0};
  // Once set, no further page is taken, and a page being read is given up
  // before its next read (counted as failed).
  std::atomic<bool> stop{false};
  // While clear, a page being read is also given up once the deadline has
  // passed (a scan whose turn has not come is of no use past it); set, a
  // page taken in time is read whole.
  std::atomic<bool> finish_late_pages{true};
  // When set, hands out the place in `pages` of the next page to read
  // (nothing once every page is out) instead of the list's order; called
  // from the workers at once.
  std::function<std::optional<std::size_t>()> pick;
};

// Called for each page a worker has read: its place in the list, its first
// record and its records as read (no fixups applied; the worker's own).
using PageVisitor = std::function<void(std::size_t index, std::uint64_t first_record, std::span<std::byte> page)>;

// One worker: opens its own reader and takes pages until the list, the
// deadline or `walk.stop` ends, counting them in `walk` (a page that cannot
// be read as done and failed, without a visit). A visit that throws ends
// the worker, its page counted as done.
void walk_pages(const PagedScanRequest& request, PageWalk& walk, const PageVisitor& visit);

// How many workers a scan of `pages` pages starts for `workers` requested:
// one per piece cut_pieces would cut.
std::size_t worker_count(std::uint64_t workers, std::size_t pages);

// Runs the scan. Each worker reads its pages into one buffer of its own,
// allocated when it first takes a page that lies in the $MFT's runs and
// never cleared; a page past the runs is counted as failed without a read.
// A worker that cannot open the volume takes no page (the
// others take them all); a worker that fails while scanning ends there, its
// current page counted as done, and every page already appended by any
// worker is kept.
PagedScanResult parallel_mft_scan(const PagedScanRequest& request, const PageScanner& scan_page);

}  // namespace quillon
