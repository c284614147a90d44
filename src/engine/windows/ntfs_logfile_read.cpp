// Reading the newest part of $LogFile: the restart area, the choice of the
// newest record pages by what they hold, and the ranged read of the stream.
#include <algorithm>
#include <bit>
#include <limits>
#include <map>

#include "engine/windows/ntfs_logfile.h"

namespace quillon {
namespace {

bool sane_page_size(std::uint64_t size) {
  return size >= 512 && size <= 65536 && (size & (size - 1)) == 0;
}

bool is_record_page(Bytes page) { return has_tag(page, 0, "RCRD") || has_tag(page, 0, "CHKD"); }

namespace rp = ntfs::log_restart_page;
namespace ra = ntfs::log_restart_area;
namespace lp = ntfs::log_record_page;

// The restart pages are system pages and say their own size.
std::optional<std::uint32_t> system_page_size(Bytes page) {
  auto s = u32_at(page, rp::kSystemPageSize);
  if (!s || !sane_page_size(*s)) return std::nullopt;
  return *s;
}

}  // namespace

std::optional<LogRestart> parse_restart_page(Bytes page) {
  if (!has_tag(page, 0, "RSTR")) return std::nullopt;
  auto sys = system_page_size(page);
  if (!sys || *sys > page.size()) return std::nullopt;
  std::vector<std::byte> copy(page.begin(), page.begin() + *sys);
  ntfs::apply_update_sequence(copy, ntfs::TornStride::keep_as_read);  // an unsound array leaves the page as read
  const Bytes p(copy);
  LogRestart r;
  auto log_page = u32_at(p, rp::kLogPageSize);
  auto area = u16_at(p, rp::kRestartAreaOffset);
  auto minor = u16_at(p, rp::kMinorVersion);
  auto major = u16_at(p, rp::kMajorVersion);
  if (!log_page || !sane_page_size(*log_page) || !area || !minor || !major) return std::nullopt;
  auto lsn = u64_at(p, static_cast<std::uint64_t>(*area) + ra::kCurrentLsn);
  auto bits = u32_at(p, static_cast<std::uint64_t>(*area) + ra::kSeqNumberBits);
  if (!lsn || !bits || *bits < 3 || *bits > 63) return std::nullopt;
  r.log_page_size = *log_page;
  r.minor_version = *minor;
  r.major_version = *major;
  r.current_lsn = *lsn;
  r.seq_number_bits = *bits;
  return r;
}

std::optional<LogRestart> newest_restart(Bytes log_head) {
  auto first = parse_restart_page(log_head);
  const std::uint64_t second_at = system_page_size(log_head).value_or(4096);
  std::optional<LogRestart> second;
  if (second_at < log_head.size()) second = parse_restart_page(log_head.subspan(second_at));
  if (first && second) return second->current_lsn > first->current_lsn ? second : first;
  return first ? first : second;
}

std::optional<std::uint64_t> lsn_to_offset(std::uint64_t lsn, std::uint32_t seq_number_bits) {
  if (seq_number_bits < 3 || seq_number_bits > 63) return std::nullopt;
  return (lsn << seq_number_bits) >> (seq_number_bits - 3);
}

namespace {

// 67 minus the bit length of the log's size: the bits an LSN keeps for the
// file offset (divided by 8) leave the rest to the sequence number.
std::uint32_t bits_for_size(std::uint64_t log_size) {
  return static_cast<std::uint32_t>(67 - std::bit_width(log_size));
}

struct ChosenPage {
  std::uint64_t lsn = 0;
  std::uint64_t page = 0;
  std::vector<std::byte> bytes;
};

// Orders a min-heap: the oldest page on top.
struct NewerFirst {
  bool operator()(const ChosenPage& a, const ChosenPage& b) const {
    return a.lsn != b.lsn ? a.lsn > b.lsn : a.page > b.page;
  }
};

constexpr std::uint64_t kLogReadChunk = 1 << 20;
constexpr std::uint64_t kChunkPages = kLogReadChunk / kLogPageSize;
// Tail copies lie in the first pages (2 to 33 in the logs seen); from this
// page on, pages are record pages even if none has mapped to itself yet, so
// that a log whose LSNs make no sense is not held as copies.
constexpr std::uint64_t kLogCopyAreaLimit = 64;

bool expired(const TimeBudget* deadline) { return deadline && deadline->expired(); }

// The `pages` pages of the log from page `first`, read in one piece, or page
// by page when that fails, the unreadable pages left zero (which no page
// check passes). Nothing when the deadline ends the reading page by page.
std::optional<std::vector<std::byte>> read_log_chunk(const LogRangeReader& read, std::uint64_t first,
                                                     std::uint64_t pages, const TimeBudget* deadline) {
  const std::uint64_t P = kLogPageSize;
  auto bytes = read(first * P, pages * P);
  if (bytes && bytes->size() == pages * P) return bytes;
  bytes.emplace(static_cast<std::size_t>(pages * P), std::byte{0});
  for (std::uint64_t k = 0; k < pages; ++k) {
    if (expired(deadline)) return std::nullopt;
    auto one = read((first + k) * P, P);
    if (one && one->size() == P) std::copy(one->begin(), one->end(), bytes->begin() + static_cast<std::ptrdiff_t>(k * P));
  }
  return bytes;
}

// A log reset by a driver other than Windows' own (ntfs-3g does so on every
// mount) is all ones from its first byte to its last, written front to
// back. Both restart pages and the last page all ones: the reset went
// through, no page holds a record, and the rest need not be read. A log
// Windows wrote always has its restart pages.
bool reset_log(const LogRangeReader& read, std::uint64_t total) {
  const std::uint64_t P = kLogPageSize;
  if (total < 3) return false;
  auto all_ones = [](const std::optional<std::vector<std::byte>>& b, std::uint64_t size) {
    return b && b->size() == size &&
           std::all_of(b->begin(), b->end(), [](std::byte x) { return x == std::byte{0xFF}; });
  };
  return all_ones(read(0, 2 * P), 2 * P) && all_ones(read((total - 1) * P, P), P);
}

// The record pages chosen while the log is read page by page: the newest
// `keep` of them by last-LSN, and the tail copies by the page they copy.
class PageChoice {
 public:
  PageChoice(std::uint64_t total, std::uint32_t bits) : total_(total), bits_(bits) {}

  // The restart area, when readable, gives the sequence-number bits.
  void use_restart_area(Bytes log_head) {
    auto restart = newest_restart(log_head);
    if (restart && restart->seq_number_bits >= 3 && restart->seq_number_bits <= 63) bits_ = restart->seq_number_bits;
  }

  // Page `p` of the log.
  void look_at(std::uint64_t p, Bytes page) {
    constexpr std::uint64_t P = kLogPageSize;
    if (!is_record_page(page)) return;
    const std::uint64_t lsn = *u64_at(page, lp::kLastLsn);
    if (lsn == 0 || lsn == std::numeric_limits<std::uint64_t>::max()) return;
    if (!record_start_ && lsn >> (64 - bits_) == 0 && lsn % P == 0 && lsn / P < total_ && lsn / P != p) {
      // A tail copy that names the page it copies by its file offset (the
      // two copies of version 1.x logs); its last-end LSN says how new it is.
      keep_copy(lsn / P, *u64_at(page, lp::kLastEndLsn), page);
      return;
    }
    auto offset = lsn_to_offset(lsn, bits_);
    if (!offset || *offset >= total_ * P) return;  // never written, or absurd
    const std::uint64_t home = *offset / P;
    if (!record_start_ && (home == p || p >= kLogCopyAreaLimit)) record_start_ = p;
    if (!record_start_) {
      keep_copy(home, lsn, page);  // a tail copy: kept only as the newest copy of its page
      return;
    }
    if (auto copy = copies_.find(p); copy != copies_.end()) {
      ChosenPage c = std::move(copy->second);
      copies_.erase(copy);
      if (c.lsn > lsn) {
        offer(std::move(c));
        return;
      }
    }
    if (heap_.size() == kKeep && heap_.front().lsn >= lsn) return;
    offer({lsn, p, {page.begin(), page.end()}});
  }

  // Copies of pages that were never written or could not be read stand in
  // for them; copies of pages inside the copy area itself mean nothing.
  void add_copies() {
    for (auto& [home, c] : copies_)
      if (!record_start_ || home >= *record_start_) offer(std::move(c));
  }

  // The pages kept, oldest first; nothing when none was.
  std::optional<LogPart> part() {
    if (heap_.empty()) return std::nullopt;
    std::sort(heap_.begin(), heap_.end(), [](const ChosenPage& a, const ChosenPage& b) { return NewerFirst{}(b, a); });
    const std::uint64_t ring_start = record_start_.value_or(0);
    LogPart part;
    part.bytes.reserve(heap_.size() * kLogPageSize);
    for (std::size_t i = 0; i < heap_.size(); ++i) {
      const auto& c = heap_[i];
      bool follows = false;
      if (i > 0) {
        const std::uint64_t before = heap_[i - 1].page;
        follows = c.page == before + 1 || (before == total_ - 1 && c.page == ring_start);
      }
      part.bytes.insert(part.bytes.end(), c.bytes.begin(), c.bytes.end());
      part.pages.push_back(c.page);
      part.runs_on.push_back(follows ? 1 : 0);
    }
    return part;
  }

 private:
  static constexpr std::uint64_t kKeep = kLogTailSize / kLogPageSize;

  void keep_copy(std::uint64_t home, std::uint64_t lsn, Bytes page) {
    auto [it, inserted] = copies_.try_emplace(home);
    if (inserted || lsn > it->second.lsn) it->second = {lsn, home, {page.begin(), page.end()}};
  }

  void offer(ChosenPage page) {
    if (heap_.size() == kKeep) {
      if (!NewerFirst{}(page, heap_.front())) return;  // older than all kept
      std::pop_heap(heap_.begin(), heap_.end(), NewerFirst{});
      heap_.pop_back();
    }
    heap_.push_back(std::move(page));
    std::push_heap(heap_.begin(), heap_.end(), NewerFirst{});
  }

  std::uint64_t total_;
  std::uint32_t bits_;
  std::vector<ChosenPage> heap_;                // the newest kKeep record pages so far
  std::map<std::uint64_t, ChosenPage> copies_;  // tail copies by the page they copy
  std::optional<std::uint64_t> record_start_;   // the first page whose last-LSN maps to itself
};

}  // namespace

std::optional<LogPart> read_newest_log_part(std::uint64_t log_size, const LogRangeReader& read,
                                            const TimeBudget* deadline) {
  const std::uint64_t total = log_size / kLogPageSize;
  if (total == 0 || reset_log(read, total)) return std::nullopt;
  PageChoice choice(total, bits_for_size(log_size));
  bool stopped = false;  // the deadline ended the read inside a chunk
  for (std::uint64_t chunk = 0; chunk < total && !stopped; chunk += kChunkPages) {
    if (expired(deadline)) break;
    const std::uint64_t pages = std::min(kChunkPages, total - chunk);
    auto bytes = read_log_chunk(read, chunk, pages, deadline);
    if (!bytes) {
      stopped = true;
      break;
    }
    const Bytes all(*bytes);
    if (chunk == 0) choice.use_restart_area(all);
    for (std::uint64_t k = 0; k < pages && !stopped; ++k) {
      stopped = expired(deadline);
      if (!stopped) choice.look_at(chunk + k, all.subspan(k * kLogPageSize, kLogPageSize));
    }
  }
  if (!stopped) choice.add_copies();
  return choice.part();
}

std::optional<std::vector<std::byte>> read_stream_range(std::uint64_t bytes_per_cluster, VolumeReader& reader,
                                                        const std::vector<DataRun>& runs, std::uint64_t offset,
                                                        std::uint64_t length) {
  const std::uint64_t C = bytes_per_cluster;
  std::uint64_t end = 0;
  if (C == 0 || __builtin_add_overflow(offset, length, &end) || length > std::numeric_limits<std::size_t>::max())
    return std::nullopt;
  std::vector<std::byte> out(static_cast<std::size_t>(length));
  for (const auto& r : runs) {
    if (r.vcn < 0 || r.length <= 0 || r.lcn < 0) continue;
    std::uint64_t run_start, run_bytes, run_end, disk;
    if (__builtin_mul_overflow(static_cast<std::uint64_t>(r.vcn), C, &run_start) ||
        __builtin_mul_overflow(static_cast<std::uint64_t>(r.length), C, &run_bytes) ||
        __builtin_add_overflow(run_start, run_bytes, &run_end))
      return std::nullopt;
    if (run_end <= offset || run_start >= end) continue;
    const std::uint64_t begin = std::max(run_start, offset);
    const std::uint64_t stop = std::min(run_end, end);
    if (__builtin_mul_overflow(static_cast<std::uint64_t>(r.lcn), C, &disk) ||
        __builtin_add_overflow(disk, begin - run_start, &disk))
      return std::nullopt;
    auto dest = std::span<std::byte>(out).subspan(static_cast<std::size_t>(begin - offset),
                                                  static_cast<std::size_t>(stop - begin));
    if (!read_exact_into(reader, disk, dest)) return std::nullopt;
  }
  return out;
}

Result<LogPart> read_logfile_tail(VolumeReader& reader, const MftContext& ctx, const TimeBudget* deadline) {
  auto record = fetch_record(ctx, reader, kLogFileRecord);
  if (!record) return fail(Error::generic("无法读取 $LogFile MFT 记录", ErrorKind::not_found));
  auto stream = data_runs(*record);
  const std::uint64_t C = ctx.volume.bytes_per_cluster();
  std::optional<LogPart> part;
  if (stream && !stream->runs.empty()) {
    part = read_newest_log_part(
        stream->data_size,
        [&](std::uint64_t offset, std::uint64_t length) {
          return read_stream_range(C, reader, stream->runs, offset, length);
        },
        deadline);
  }
  if (!part || part->bytes.empty()) return fail(Error::generic("无法读取 $LogFile 数据流", ErrorKind::unexpected_eof));
  return std::move(*part);
}

}  // namespace quillon
