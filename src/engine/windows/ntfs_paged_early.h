// The paged scan and the $LogFile read started as soon as the probe has
// found its folder, on threads of their own, while the folder tree is built
// and the other searches run on the probing thread; the disk stays busy
// throughout.
//
// What a record yields depends on the folder tree and on the records
// accepted before the paged phase, both of which grow until that phase's
// turn. So the workers keep of each page only what holds whatever the tree
// becomes: its freed folders, the parent of every name of its freed files,
// and the bytes of those freed files named under the tree as it stood when
// the page was read (of every freed file while the tree is not built yet).
// A freed file named elsewhere yields no item unless its parent joins the
// tree, and is then read again. At the paged phase's turn every page is
// judged against the tree and the accepted records of that moment, with the
// evaluation the scan would have run then: the same items, freed folders,
// set-aside records and counters.
//
// The pages are read in ascending order, which a disk serves fastest (read
// nearest the folder first, a folder near the $MFT's end has it read
// backwards), for as long as the pace of the pages read so far finishes the
// scan within half the time left; once it would not, the pages left are
// read nearest the folder first, so that the deadline cuts the farthest.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <thread>
#include <vector>

#include "common/error.h"
#include "datasource/windows/volume.h"
#include "engine/scan_options.h"
#include "engine/windows/ntfs_deleted_eval.h"
#include "engine/windows/ntfs_logfile.h"
#include "engine/windows/ntfs_paged_scan.h"
#include "engine/windows/probe_volume.h"
#include "engine/windows/raw_mft.h"
#include "engine/windows/scope.h"

namespace quillon {

// The paged scan of `mft` as the options ask for it, nearest `target` first,
// its workers opening the volume through `access`.
PagedScanRequest paged_scan_request(const MftContext& mft, const ScanOptions& options, std::uint64_t target,
                                    const TimeBudget& deadline, const VolumeAccess& access);

// What one page holds for the paged scan whatever the folder tree.
struct PageHoldings {
  std::uint64_t first = 0;          // its first record
  std::uint64_t count = 0;          // records it read
  bool read = false;                // false: never read (or its reading failed)
  std::vector<FreedDir> freed_dirs;  // its directory records not in use
  // The parent of every name of its file records not in use, by record in
  // ascending order (a record with two names under one parent twice).
  std::vector<Orphan> names;
  // Of those records, the ones whose bytes (fixups applied) follow in
  // `kept_bytes`, ascending.
  std::vector<std::uint64_t> kept;
  std::vector<std::byte> kept_bytes;
};

// Looks into one page as read (fixups applied in place to the records
// looked into). A freed file with a name under `tree` (any freed file when
// `tree` is null) keeps its bytes while `keep_room` (bytes, shared by the
// workers) allows.
PageHoldings hold_page(std::span<std::byte> page, std::uint64_t first, std::uint32_t record_size,
                       const FrnSet* tree, std::atomic<std::size_t>& keep_room);

// The yield scan_record_buffer gives for the page under `ctx` (no journal
// hints, records in use passed over), `skipped` being how many records of
// the page `ctx.skip` holds. A freed file whose bytes were not kept and
// that now has a name under the tree is read again through `reader` (and
// counted in `read_again` when given).
PageYield judge_page(const PageHoldings& page, std::uint64_t skipped, const ScanContext& ctx,
                     VolumeReader& reader, std::uint64_t* read_again = nullptr);

// Hands out the pages of `walk` (nearest first) in ascending order while
// the scan keeps ahead of `deadline`, then nearest first.
class AscendingWhileAhead {
 public:
  AscendingWhileAhead(const PageWalk& walk, std::size_t workers, const TimeBudget& deadline);
  std::optional<std::size_t> operator()();
  bool nearest_first() const;  // it has turned to the nearest-first order

 private:
  bool falling_behind() const;

  const PageWalk& walk_;
  const std::size_t workers_;
  const TimeBudget deadline_;
  const TimeBudget::Clock::time_point start_;  // when the walk began
  mutable std::mutex lock_;
  std::vector<std::size_t> order_;  // places in walk_.pages, in taking order
  std::size_t next_ = 0;
  bool nearest_ = false;
};

// The paged scan running ahead. Its workers start when it is made and end
// when it is finished or destroyed.
class EarlyPagedScan {
 public:
  // `tree`: the parent set of the folder tree as it stands now, when built.
  explicit EarlyPagedScan(PagedScanRequest request, std::optional<FrnSet> tree = std::nullopt);
  ~EarlyPagedScan();
  EarlyPagedScan(const EarlyPagedScan&) = delete;
  EarlyPagedScan& operator=(const EarlyPagedScan&) = delete;

  // The folder tree once built: pages read from now on keep the bytes of
  // the freed files named under it only.
  void set_tree(FrnSet tree);
  // The probe no longer needs the pages: the workers end before their next
  // read.
  void stop() { walk_.stop.store(true); }
  // Whether its pages can stand for a scan under `ctx`: one that passes over
  // the records in use and has no journal hints, of the same request.
  bool serves(const ScanContext& ctx, const PagedScanRequest& request) const;
  // Waits for the workers, then judges every page they read against `ctx`
  // in the order of the page list: the result parallel_mft_scan gives under
  // `ctx` (its items in page-list order). Once only.
  PagedScanResult finish(const ScanContext& ctx, VolumeReader& reader);
  // Freed files that finish read again (their bytes not kept).
  std::uint64_t records_read_again() const { return read_again_; }

 private:
  std::shared_ptr<const FrnSet> tree() const;

  PagedScanRequest request_;
  mutable std::mutex tree_lock_;
  std::shared_ptr<const FrnSet> tree_;  // null until the tree is built
  PageWalk walk_;
  std::unique_ptr<AscendingWhileAhead> order_;
  std::vector<std::unique_ptr<PageHoldings>> held_;  // by page number (first record / page size)
  std::atomic<std::size_t> keep_room_;
  std::uint64_t read_again_ = 0;
  std::vector<std::jthread> workers_;
};

// The newest part of $LogFile read ahead on a thread of its own, through a
// reader of its own.
class EarlyLogRead {
 public:
  // `mft` and `access`'s system must outlive the read.
  EarlyLogRead(const VolumeAccess& access, const MftContext& mft, const TimeBudget& deadline);
  ~EarlyLogRead() = default;  // joins
  EarlyLogRead(const EarlyLogRead&) = delete;
  EarlyLogRead& operator=(const EarlyLogRead&) = delete;

  // Waits for the read: read_logfile_tail's answer, or the volume's open
  // error. Once only.
  Result<LogPart> take();

 private:
  Result<LogPart> part_ = std::unexpected(Error::generic("not read"));
  std::jthread reader_;
};

// What a probe reads ahead; either may be absent. Dropped, the paged scan's
// workers are stopped first, then both are waited for.
struct EarlyReads {
  std::unique_ptr<EarlyPagedScan> pages;
  std::unique_ptr<EarlyLogRead> log;

  EarlyReads() = default;
  EarlyReads(EarlyReads&&) = default;
  EarlyReads& operator=(EarlyReads&&) = default;
  ~EarlyReads() {
    if (pages) pages->stop();
  }
};

// Starts the paged scan nearest the folder's record `target` (when the
// options run it and pass over records in use; its tree comes later) and
// the $LogFile read (when they run phase 4), both under `deadline`. `mft`
// must outlive what is returned.
EarlyReads read_ahead(const MftContext& mft, const ScanOptions& options, std::uint64_t target,
                      const TimeBudget& deadline, const VolumeAccess& access);

}  // namespace quillon
