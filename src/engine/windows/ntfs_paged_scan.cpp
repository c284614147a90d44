#include "engine/windows/ntfs_paged_scan.h"

#include <algorithm>
#include <atomic>
#include <limits>
#include <memory>
#include <mutex>
#include <thread>

#include "common/large_buffer.h"
#include "datasource/windows/volume.h"

namespace quillon {

void sort_by_block_distance(std::vector<std::uint64_t>& values, std::uint64_t target, std::uint64_t page_size) {
  const std::uint64_t t = target / page_size;
  auto distance = [&](std::uint64_t x) {
    std::uint64_t b = x / page_size;
    return b > t ? b - t : t - b;
  };
  std::stable_sort(values.begin(), values.end(),
                   [&](std::uint64_t a, std::uint64_t b) { return distance(a) < distance(b); });
}

std::vector<std::uint64_t> ordered_pages(std::uint64_t bound, std::uint64_t page_size, std::uint64_t target) {
  std::vector<std::uint64_t> pages;
  if (page_size == 0) return pages;
  std::uint64_t count = bound / page_size + (bound % page_size != 0);
  pages.reserve(static_cast<std::size_t>(count));
  for (std::uint64_t i = 0; i < count; ++i) pages.push_back(i * page_size);
  sort_by_block_distance(pages, target, page_size);
  return pages;
}

std::vector<std::vector<std::uint64_t>> cut_pieces(const std::vector<std::uint64_t>& pages, std::uint64_t workers) {
  std::vector<std::vector<std::uint64_t>> pieces;
  if (pages.empty()) return pieces;
  std::uint64_t w = std::min<std::uint64_t>(std::max<std::uint64_t>(workers, 1), kMaxScanWorkers);
  std::size_t per = static_cast<std::size_t>((pages.size() + w - 1) / w);
  for (std::size_t i = 0; i < pages.size(); i += per)
    pieces.emplace_back(pages.begin() + static_cast<std::ptrdiff_t>(i),
                        pages.begin() + static_cast<std::ptrdiff_t>(std::min(pages.size(), i + per)));
  return pieces;
}

void walk_pages(const PagedScanRequest& req, PageWalk& walk, const PageVisitor& visit) {
  if (walk.stop.load() || !req.system) return;
  auto reader = open_volume(*req.system, req.letter);
  if (!reader) return;
  // One page buffer for the worker's life, not cleared between pages:
  // read_record_page hands on only the front a page fills.
  // A size that does not fit leaves it empty, and every page then fails.
  std::uint64_t bytes = 0;
  if (__builtin_mul_overflow(std::min(req.page_size, req.bound), std::uint64_t{req.geometry.record_size}, &bytes) ||
      bytes > std::numeric_limits<std::size_t>::max())
    bytes = 0;
  const std::size_t buffer_size = static_cast<std::size_t>(bytes);
  LargeBuffer buffer;
  const std::function<bool()> give_up = [&] {
    return walk.stop.load() || (!walk.finish_late_pages.load() && req.deadline.expired());
  };
  bool page_open = false;
  try {
    for (;;) {
      if (req.deadline.expired() || walk.stop.load()) return;
      std::size_t index = 0;
      if (walk.pick) {
        auto picked = walk.pick();
        if (!picked || *picked >= walk.pages.size()) return;
        index = *picked;
      } else if ((index = walk.next.fetch_add(1)) >= walk.pages.size()) {
        return;
      }
      const std::uint64_t start = walk.pages[index];
      page_open = true;
      std::uint64_t count = start >= req.bound ? 0 : std::min(req.bound - start, req.page_size);
      std::optional<std::span<std::byte>> block;
      if (count > 0 && record_offset(req.geometry, start)) {
        if (!buffer && buffer_size > 0) buffer = LargeBuffer(buffer_size);
        block = read_record_page(req.geometry, *reader, start, count, buffer.span(), give_up);
      }
      if (!block) {
        walk.pages_failed.fetch_add(1);
        walk.pages_done.fetch_add(1);
        page_open = false;
        continue;
      }
      visit(index, start, *block);
      walk.pages_done.fetch_add(1);
      page_open = false;
    }
  } catch (...) {
    // A failure ends this worker only; the page it was on counts as done and
    // what every worker gathered so far stays.
    if (page_open) walk.pages_done.fetch_add(1);
  }
}

std::size_t worker_count(std::uint64_t workers, std::size_t pages) {
  // As many workers as cut_pieces would cut pieces, each taking the next
  // page from the shared list.
  if (pages == 0) return 0;
  const std::uint64_t w = std::min<std::uint64_t>(std::max<std::uint64_t>(workers, 1), kMaxScanWorkers);
  const std::uint64_t per = (pages + w - 1) / w;
  return static_cast<std::size_t>((pages + per - 1) / per);
}

namespace {

// What the workers of one scan gather, behind one lock taken once per page.
struct Gathered {
  std::atomic<std::uint64_t> records_scanned{0};
  std::atomic<std::uint64_t> items_found{0};
  std::mutex lock;
  std::vector<DeletedItem> items;
  std::vector<FreedDir> freed_dirs;
  std::vector<Orphan> orphans;
};

}  // namespace

PagedScanResult parallel_mft_scan(const PagedScanRequest& req, const PageScanner& scan_page) {
  PagedScanResult result;
  std::uint64_t w = std::max<std::uint64_t>(req.workers, 1);
  result.audit.threads = w;
  if (req.page_size == 0) return result;
  PageWalk walk;
  walk.pages = ordered_pages(req.bound, req.page_size, req.target);
  result.audit.pages_total = walk.pages.size();
  const std::size_t workers = worker_count(req.workers, walk.pages.size());

  Gathered g;
  const PageVisitor visit = [&](std::size_t, std::uint64_t start, std::span<std::byte> page) {
    PageYield y = scan_page(page, start);
    g.records_scanned.fetch_add(y.records_scanned);
    g.items_found.fetch_add(y.items.size());
    std::lock_guard guard(g.lock);
    // Move-insertion at the end: either every item of the page lands or,
    // if growing the list fails, none does and the list is unchanged.
    g.items.insert(g.items.end(), std::make_move_iterator(y.items.begin()), std::make_move_iterator(y.items.end()));
    g.freed_dirs.insert(g.freed_dirs.end(), std::make_move_iterator(y.freed_dirs.begin()),
                        std::make_move_iterator(y.freed_dirs.end()));
    append_orphans(g.orphans, y.orphans);
  };
  {
    std::vector<std::jthread> threads;
    threads.reserve(workers);
    for (std::size_t i = 0; i < workers; ++i)
      threads.emplace_back([&req, &walk, &visit] { walk_pages(req, walk, visit); });
  }  // every worker joined here

  result.audit.pages_done = walk.pages_done.load();
  result.audit.pages_failed = walk.pages_failed.load();
  result.audit.records_scanned = g.records_scanned.load();
  result.audit.items_found = g.items_found.load();
  result.items = std::move(g.items);
  result.freed_dirs = std::move(g.freed_dirs);
  result.orphans = std::move(g.orphans);
  return result;
}

void append_orphans(std::vector<Orphan>& to, std::span<const Orphan> more) {
  const std::size_t room = kMaxOrphans - std::min(kMaxOrphans, to.size());
  to.insert(to.end(), more.begin(), more.begin() + static_cast<std::ptrdiff_t>(std::min(room, more.size())));
}

}  // namespace quillon
