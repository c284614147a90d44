#include "engine/windows/ntfs_paged_early.h"

#include <algorithm>
#include <chrono>

namespace quillon {

namespace {

// Bytes of freed records the workers of one scan keep for the paged phase.
constexpr std::size_t kKeepBytes = std::size_t{8} << 20;
// Records read again in one request when a freed file's bytes were not kept.
constexpr std::uint64_t kRereadBlock = 64;

bool takes_room(std::atomic<std::size_t>& room, std::size_t bytes) {
  std::size_t left = room.load();
  while (left >= bytes)
    if (room.compare_exchange_weak(left, left - bytes)) return true;
  return false;
}

// One record of a held page: its kept bytes, or read again.
class RecordSource {
 public:
  RecordSource(const PageHoldings& page, const ScanContext& ctx, VolumeReader& reader)
      : page_(page), g_(ctx.geometry), reader_(reader) {}

  std::optional<Bytes> bytes(std::uint64_t record) {
    const std::size_t size = g_.record_size;
    auto kept = std::lower_bound(page_.kept.begin(), page_.kept.end(), record);
    if (kept != page_.kept.end() && *kept == record)
      return Bytes(page_.kept_bytes).subspan(static_cast<std::size_t>(kept - page_.kept.begin()) * size, size);
    const std::uint64_t end = page_.first + page_.count;
    if (record < page_.first || record >= end) return std::nullopt;
    if (!block_ || record < block_first_ || record - block_first_ >= block_count_) {
      block_first_ = record;
      block_count_ = std::min(kRereadBlock, end - record);
      buffer_.resize(static_cast<std::size_t>(block_count_) * size);
      block_ = read_record_block_into(g_, reader_, block_first_, block_count_, buffer_);
    }
    if (block_) return Bytes(*block_).subspan(static_cast<std::size_t>(record - block_first_) * size, size);
    auto one = read_record_raw(g_, reader_, record);
    if (!one) return std::nullopt;
    single_ = std::move(*one);
    return Bytes(single_);
  }

 private:
  const PageHoldings& page_;
  const MftGeometry& g_;
  VolumeReader& reader_;
  std::vector<std::byte> buffer_;
  std::optional<std::span<std::byte>> block_;
  std::uint64_t block_first_ = 0;
  std::uint64_t block_count_ = 0;
  MftRecord single_;
};

}  // namespace

AscendingWhileAhead::AscendingWhileAhead(const PageWalk& walk, std::size_t workers, const TimeBudget& deadline)
    : walk_(walk),
      workers_(std::max<std::size_t>(workers, 1)),
      deadline_(deadline),
      start_(TimeBudget::Clock::now()),
      order_(walk.pages.size()) {
  for (std::size_t i = 0; i < order_.size(); ++i) order_[i] = i;
  std::sort(order_.begin(), order_.end(), [&](std::size_t a, std::size_t b) { return walk.pages[a] < walk.pages[b]; });
}

std::optional<std::size_t> AscendingWhileAhead::operator()() {
  std::lock_guard guard(lock_);
  if (!nearest_ && falling_behind()) {
    // The list is nearest first: its places in ascending order are the
    // pages left nearest first.
    std::sort(order_.begin() + static_cast<std::ptrdiff_t>(next_), order_.end());
    nearest_ = true;
  }
  if (next_ >= order_.size()) return std::nullopt;
  return order_[next_++];
}

bool AscendingWhileAhead::nearest_first() const {
  std::lock_guard guard(lock_);
  return nearest_;
}

// The pages done so far, at their pace, against half the time left; judged
// once each worker has finished a page or two.
bool AscendingWhileAhead::falling_behind() const {
  const std::uint64_t done = walk_.pages_done.load();
  if (done < 2 * workers_ || done >= order_.size()) return false;
  const auto now = TimeBudget::Clock::now();
  const Duration left = deadline_.remaining_at(now);
  const long double spent = std::chrono::duration<long double, std::nano>(now - start_).count();
  const long double needed = spent / done * static_cast<long double>(order_.size() - done);
  return needed > (static_cast<long double>(left.seconds) * 1e9L + left.nanos) / 2;
}

PagedScanRequest paged_scan_request(const MftContext& mft, const ScanOptions& options, std::uint64_t target,
                                    const TimeBudget& deadline, const VolumeAccess& access) {
  PagedScanRequest req;
  req.system = access.system;
  req.letter = access.letter;
  req.geometry = mft.geometry;
  req.bound = record_scan_bound(mft.bitmap_ptr());
  req.page_size = options.page_size;
  req.workers = options.worker_threads;
  req.target = target & kRecordMask;
  req.deadline = deadline;
  return req;
}

PageHoldings hold_page(std::span<std::byte> page, std::uint64_t first, std::uint32_t record_size,
                       const FrnSet* tree, std::atomic<std::size_t>& keep_room) {
  PageHoldings out;
  out.first = first;
  out.read = true;
  if (record_size == 0) return out;
  out.count = page.size() / record_size;
  for (std::uint64_t i = 0; i < out.count; ++i) {
    const std::uint64_t number = first + i;
    auto record = page.subspan(static_cast<std::size_t>(i * record_size), record_size);
    // As scan_record_buffer: signature and in-use flag judged before any
    // fixup; a record in use (a "BAAD" one too) is passed over.
    if (!freed_file_record(record) || ntfs::misplaced_record(record, number)) continue;
    apply_record_fixups(record);
    if (auto dir = freed_dir_of(record, number)) {
      out.freed_dirs.push_back(std::move(*dir));
      continue;
    }
    // Directories yield no item, nor are they set aside; neither is a
    // record without names.
    auto flags = record_flags(record);
    if (!flags || (*flags & kRecordDirectory)) continue;
    const auto names = view_record(record).names;
    if (names.empty()) continue;
    bool keep = !tree;
    for (const auto& n : names) {
      out.names.push_back(Orphan{number & kRecordMask, n.parent});
      keep = keep || tree->contains(n.parent);
    }
    if (keep && takes_room(keep_room, record.size())) {
      out.kept.push_back(number & kRecordMask);
      out.kept_bytes.insert(out.kept_bytes.end(), record.begin(), record.end());
    }
  }
  return out;
}

PageYield judge_page(const PageHoldings& page, std::uint64_t skipped, const ScanContext& ctx,
                     VolumeReader& reader, std::uint64_t* read_again) {
  PageYield out;
  if (!page.read) return out;
  out.records_scanned = page.count - std::min(page.count, skipped);
  auto skip = [&](std::uint64_t record) { return ctx.skip && ctx.skip->contains(record); };
  for (const auto& d : page.freed_dirs)
    if (!skip(d.record)) out.freed_dirs.push_back(d);
  const ScopeContext& scope = *ctx.scope;
  RecordSource source(page, ctx, reader);
  for (auto it = page.names.begin(); it != page.names.end();) {
    const std::uint64_t record = it->record;
    auto end = std::find_if(it, page.names.end(), [&](const Orphan& o) { return o.record != record; });
    const std::span<const Orphan> names(it, end);
    it = end;
    if (skip(record)) continue;
    // A freed file yields an item only through a name under a folder of the
    // tree; otherwise all its names are set aside.
    const bool in_tree =
        std::any_of(names.begin(), names.end(), [&](const Orphan& o) { return ctx.parents().contains(o.parent); });
    if (!in_tree) {
      for (const auto& o : names)
        if (!scope.in_tree(o.parent)) out.orphans.push_back(o);
      continue;
    }
    if (read_again && !std::binary_search(page.kept.begin(), page.kept.end(), record)) ++*read_again;
    auto bytes = source.bytes(record);
    if (!bytes) continue;
    auto items = evaluate_record(*bytes, record, ctx, ctx.flags(false));
    if (items.empty()) collect_orphans(*bytes, record, scope, out.orphans);
    for (auto& item : items) out.items.push_back(std::move(item));
  }
  return out;
}

EarlyPagedScan::EarlyPagedScan(PagedScanRequest request, std::optional<FrnSet> tree)
    : request_(std::move(request)), keep_room_(kKeepBytes) {
  if (tree) set_tree(std::move(*tree));
  if (request_.page_size == 0) return;
  walk_.pages = ordered_pages(request_.bound, request_.page_size, request_.target);
  held_.resize(walk_.pages.size());
  const std::size_t workers = worker_count(request_.workers, walk_.pages.size());
  order_ = std::make_unique<AscendingWhileAhead>(walk_, workers, request_.deadline);
  walk_.pick = [order = order_.get()] { return (*order)(); };
  walk_.finish_late_pages = false;
  const PageVisitor visit = [this](std::size_t, std::uint64_t first, std::span<std::byte> page) {
    const auto tree = this->tree();
    held_[static_cast<std::size_t>(first / request_.page_size)] =
        std::make_unique<PageHoldings>(hold_page(page, first, request_.geometry.record_size, tree.get(), keep_room_));
  };
  workers_.reserve(workers);
  for (std::size_t i = 0; i < workers; ++i)
    workers_.emplace_back([this, visit] { walk_pages(request_, walk_, visit); });
}

void EarlyPagedScan::set_tree(FrnSet tree) {
  auto shared = std::make_shared<const FrnSet>(std::move(tree));
  std::lock_guard guard(tree_lock_);
  tree_ = std::move(shared);
}

std::shared_ptr<const FrnSet> EarlyPagedScan::tree() const {
  std::lock_guard guard(tree_lock_);
  return tree_;
}

EarlyPagedScan::~EarlyPagedScan() {
  walk_.stop.store(true);
  workers_.clear();  // joins
}

bool EarlyPagedScan::serves(const ScanContext& ctx, const PagedScanRequest& r) const {
  const PagedScanRequest& mine = request_;
  return !ctx.include_in_use && !ctx.hints && r.system == mine.system && r.letter == mine.letter && r.bound == mine.bound &&
         r.page_size == mine.page_size && r.workers == mine.workers && r.target == mine.target &&
         r.geometry.record_size == mine.geometry.record_size && ctx.geometry.record_size == mine.geometry.record_size;
}

PagedScanResult EarlyPagedScan::finish(const ScanContext& ctx, VolumeReader& reader) {
  // Its turn has come: from now on a page taken in time is read whole.
  walk_.finish_late_pages = true;
  workers_.clear();  // joins
  PagedScanResult result;
  result.audit.threads = std::max<std::uint64_t>(request_.workers, 1);
  result.audit.pages_total = walk_.pages.size();
  result.audit.pages_done = walk_.pages_done.load();
  result.audit.pages_failed = walk_.pages_failed.load();
  if (request_.page_size == 0) return result;
  std::vector<std::uint64_t> skipped(held_.size());
  if (ctx.skip)
    for (std::uint64_t r : *ctx.skip)
      if (r < request_.bound && r / request_.page_size < skipped.size()) ++skipped[r / request_.page_size];
  for (std::uint64_t first : walk_.pages) {
    const std::size_t n = static_cast<std::size_t>(first / request_.page_size);
    if (!held_[n]) continue;
    try {
      PageYield y = judge_page(*held_[n], skipped[n], ctx, reader, &read_again_);
      result.audit.records_scanned += y.records_scanned;
      result.audit.items_found += y.items.size();
      result.items.insert(result.items.end(), std::make_move_iterator(y.items.begin()),
                          std::make_move_iterator(y.items.end()));
      result.freed_dirs.insert(result.freed_dirs.end(), std::make_move_iterator(y.freed_dirs.begin()),
                               std::make_move_iterator(y.freed_dirs.end()));
      append_orphans(result.orphans, y.orphans);
    } catch (...) {
      // As a worker that fails on a page: that page's yield is lost.
    }
    held_[n].reset();
  }
  return result;
}

EarlyLogRead::EarlyLogRead(const VolumeAccess& access, const MftContext& mft, const TimeBudget& deadline)
    : reader_([this, system = access.system, letter = access.letter, &mft, deadline] {
        try {
          if (!system) {
            part_ = fail(Error::generic("volume not opened"));
            return;
          }
          auto reader = open_volume(*system, letter);
          part_ = reader ? read_logfile_tail(*reader, mft, &deadline) : fail(reader.error());
        } catch (...) {
          part_ = fail(Error::generic("无法读取 $LogFile 数据流", ErrorKind::unexpected_eof));
        }
      }) {}

Result<LogPart> EarlyLogRead::take() {
  if (reader_.joinable()) reader_.join();
  return std::move(part_);
}

EarlyReads read_ahead(const MftContext& mft, const ScanOptions& options, std::uint64_t target,
                      const TimeBudget& deadline, const VolumeAccess& access) {
  EarlyReads early;
  if (options.paged_scan && !options.include_in_use)
    early.pages = std::make_unique<EarlyPagedScan>(paged_scan_request(mft, options, target, deadline, access));
  if (options.logfile_phase) early.log = std::make_unique<EarlyLogRead>(access, mft, deadline);
  return early;
}

}  // namespace quillon
