#include "engine/windows/ntfs_paged_scan.h"

#include <algorithm>
#include <atomic>
#include <limits>
#include <memory>
#include <mutex>
#include <thread>

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

namespace {

struct Shared {
  // The nearest-first page list and the index of the next page to hand out:
  // a worker takes the next page when it is free, so that every worker has
  // work while pages remain (consecutive pieces would leave all the pages
  // that hold records to the first worker when the bound exceeds the $MFT).
  std::vector<std::uint64_t> pages;
  std::atomic<std::size_t> next{0};
  std::atomic<std::uint64_t> pages_done{0};
  std::atomic<std::uint64_t> pages_failed{0};
  std::atomic<std::uint64_t> records_scanned{0};
  std::atomic<std::uint64_t> items_found{0};
  std::mutex lock;
  std::vector<DeletedItem> items;
  std::vector<FreedDir> freed_dirs;
  std::vector<Orphan> orphans;
};

void run_worker(const PagedScanRequest& req, const PageScanner& scan_page, Shared& shared) {
  if (!req.system) return;
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
  std::unique_ptr<std::byte[]> buffer;
  bool page_open = false;
  try {
    for (;;) {
      if (req.deadline.expired()) return;
      const std::size_t index = shared.next.fetch_add(1);
      if (index >= shared.pages.size()) return;
      const std::uint64_t start = shared.pages[index];
      page_open = true;
      std::uint64_t count = start >= req.bound ? 0 : std::min(req.bound - start, req.page_size);
      std::optional<std::span<std::byte>> block;
      if (count > 0 && record_offset(req.geometry, start)) {
        if (!buffer && buffer_size > 0) buffer = std::make_unique_for_overwrite<std::byte[]>(buffer_size);
        block = read_record_page(req.geometry, *reader, start, count, {buffer.get(), buffer_size});
      }
      if (!block) {
        shared.pages_failed.fetch_add(1);
        shared.pages_done.fetch_add(1);
        page_open = false;
        continue;
      }
      PageYield y = scan_page(*block, start);
      shared.records_scanned.fetch_add(y.records_scanned);
      shared.items_found.fetch_add(y.items.size());
      {
        std::lock_guard guard(shared.lock);
        // Move-insertion at the end: either every item of the page lands or,
        // if growing the list fails, none does and the list is unchanged.
        shared.items.insert(shared.items.end(), std::make_move_iterator(y.items.begin()),
                            std::make_move_iterator(y.items.end()));
        shared.freed_dirs.insert(shared.freed_dirs.end(), std::make_move_iterator(y.freed_dirs.begin()),
                                 std::make_move_iterator(y.freed_dirs.end()));
        const std::size_t room = kMaxOrphans - std::min(kMaxOrphans, shared.orphans.size());
        shared.orphans.insert(shared.orphans.end(), y.orphans.begin(),
                              y.orphans.begin() + static_cast<std::ptrdiff_t>(std::min(room, y.orphans.size())));
      }
      shared.pages_done.fetch_add(1);
      page_open = false;
    }
  } catch (...) {
    // A failure ends this worker only; the page it was on counts as done and
    // what every worker appended so far stays.
    if (page_open) shared.pages_done.fetch_add(1);
  }
}

}  // namespace

PagedScanResult parallel_mft_scan(const PagedScanRequest& req, const PageScanner& scan_page) {
  PagedScanResult result;
  std::uint64_t w = std::max<std::uint64_t>(req.workers, 1);
  result.audit.threads = w;
  if (req.page_size == 0) return result;
  auto pages = ordered_pages(req.bound, req.page_size, req.target);
  result.audit.pages_total = pages.size();
  // As many workers as the pieces of the page list would be, each taking the
  // next page from the shared list.
  const std::size_t workers = cut_pieces(pages, w).size();

  Shared shared;
  shared.pages = std::move(pages);
  {
    std::vector<std::jthread> threads;
    threads.reserve(workers);
    for (std::size_t i = 0; i < workers; ++i)
      threads.emplace_back([&req, &scan_page, &shared] { run_worker(req, scan_page, shared); });
  }  // every worker joined here

  result.audit.pages_done = shared.pages_done.load();
  result.audit.pages_failed = shared.pages_failed.load();
  result.audit.records_scanned = shared.records_scanned.load();
  result.audit.items_found = shared.items_found.load();
  result.items = std::move(shared.items);
  result.freed_dirs = std::move(shared.freed_dirs);
  result.orphans = std::move(shared.orphans);
  return result;
}

}  // namespace quillon
