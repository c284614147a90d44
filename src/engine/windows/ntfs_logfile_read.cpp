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
// Tail copies lie in the first pages (2 to 33 in the logs seen); from this
// page on, pages are record pages even if none has mapped to itself yet, so
// that a log whose LSNs make no sense is not held as copies.
constexpr std::uint64_t kLogCopyAreaLimit = 64;

}  // namespace

std::optional<LogPart> read_newest_log_part(std::uint64_t log_size, const LogRangeReader& read,
                                            const TimeBudget* deadline) {
  const std::uint64_t P = kLogPageSize;
  const std::uint64_t total = log_size / P;
  if (total == 0) return std::nullopt;
  const std::uint64_t keep = kLogTailSize / P;
  auto expired = [&] { return deadline && deadline->expired(); };

  std::uint32_t bits = bits_for_size(log_size);
  std::vector<ChosenPage> heap;  // the newest `keep` record pages so far
  std::map<std::uint64_t, ChosenPage> copies;  // tail copies by the page they copy
  std::optional<std::uint64_t> record_start;   // the first page whose last-LSN maps to itself

  auto offer = [&](ChosenPage page) {
    if (heap.size() == keep) {
      if (!NewerFirst{}(page, heap.front())) return;  // older than all kept
      std::pop_heap(heap.begin(), heap.end(), NewerFirst{});
      heap.pop_back();
    }
    heap.push_back(std::move(page));
    std::push_heap(heap.begin(), heap.end(), NewerFirst{});
  };

  bool stopped = false;
  for (std::uint64_t chunk = 0; chunk < total && !stopped; chunk += kLogReadChunk / P) {
    if (expired()) break;
    const std::uint64_t pages = std::min(kLogReadChunk / P, total - chunk);
    auto bytes = read(chunk * P, pages * P);
    if (!bytes || bytes->size() != pages * P) {
      // Unreadable somewhere: page by page, the unreadable pages left zero
      // (which no page check passes).
      bytes.emplace(static_cast<std::size_t>(pages * P), std::byte{0});
      for (std::uint64_t k = 0; k < pages && !stopped; ++k) {
        if (expired()) stopped = true;
        auto one = stopped ? std::nullopt : read((chunk + k) * P, P);
        if (one && one->size() == P) std::copy(one->begin(), one->end(), bytes->begin() + static_cast<std::ptrdiff_t>(k * P));
      }
      if (stopped) break;
    }
    const Bytes all(*bytes);
    if (chunk == 0) {
      // The restart area, when readable, gives the sequence-number bits.
      auto restart = newest_restart(all);
      if (restart && restart->seq_number_bits >= 3 && restart->seq_number_bits <= 63) bits = restart->seq_number_bits;
    }
    for (std::uint64_t k = 0; k < pages; ++k) {
      if (expired()) {
        stopped = true;
        break;
      }
      const std::uint64_t p = chunk + k;
      const Bytes page = all.subspan(k * P, P);
      if (!is_record_page(page)) continue;
      const std::uint64_t lsn = *u64_at(page, lp::kLastLsn);
      if (lsn == 0 || lsn == std::numeric_limits<std::uint64_t>::max()) continue;
      if (!record_start && lsn >> (64 - bits) == 0 && lsn % P == 0 && lsn / P < total && lsn / P != p) {
        // A tail copy that names the page it copies by its file offset (the
        // two copies of version 1.x logs); its last-end LSN says how new it is.
        const std::uint64_t end = *u64_at(page, lp::kLastEndLsn);
        auto [it, inserted] = copies.try_emplace(lsn / P);
        if (inserted || end > it->second.lsn) it->second = {end, lsn / P, {page.begin(), page.end()}};
        continue;
      }
      auto offset = lsn_to_offset(lsn, bits);
      if (!offset || *offset >= total * P) continue;  // never written, or absurd
      const std::uint64_t home = *offset / P;
      if (!record_start && (home == p || p >= kLogCopyAreaLimit)) record_start = p;
      if (!record_start) {
        // A tail copy: kept only as the newest copy of its page.
        auto [it, inserted] = copies.try_emplace(home);
        if (inserted || lsn > it->second.lsn) it->second = {lsn, home, {page.begin(), page.end()}};
        continue;
      }
      auto copy = copies.find(p);
      if (copy != copies.end()) {
        ChosenPage c = std::move(copy->second);
        copies.erase(copy);
        if (c.lsn > lsn) {
          offer(std::move(c));
          continue;
        }
      }
      if (heap.size() == keep && heap.front().lsn >= lsn) continue;
      offer({lsn, p, {page.begin(), page.end()}});
    }
  }
  // Copies of pages that were never written or could not be read stand in
  // for them; copies of pages inside the copy area itself mean nothing.
  for (auto& [home, c] : copies)
    if (!stopped && (!record_start || home >= *record_start)) offer(std::move(c));
  if (heap.empty()) return std::nullopt;

  std::sort(heap.begin(), heap.end(), [](const ChosenPage& a, const ChosenPage& b) { return NewerFirst{}(b, a); });
  const std::uint64_t ring_start = record_start.value_or(0);
  LogPart part;
  part.bytes.reserve(heap.size() * P);
  for (std::size_t i = 0; i < heap.size(); ++i) {
    const auto& c = heap[i];
    bool follows = false;
    if (i > 0) {
      const std::uint64_t before = heap[i - 1].page;
      follows = c.page == before + 1 || (before == total - 1 && c.page == ring_start);
    }
    part.bytes.insert(part.bytes.end(), c.bytes.begin(), c.bytes.end());
    part.pages.push_back(c.page);
    part.runs_on.push_back(follows ? 1 : 0);
  }
  return part;
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

Result<LogPart> read_logfile_tail(char letter, const TimeBudget* deadline) {
  auto reader = open_volume(letter);
  if (!reader) return fail(reader.error());
  auto volume = query_volume_data(*reader);
  if (!volume) return fail(volume.error());
  return read_logfile_tail(*reader, load_mft_context(*reader, *volume), deadline);
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
