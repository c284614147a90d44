// Reading the newest part of $LogFile: the restart area, the position of
// CurrentLsn in the circular record area, and the ranged read of the stream.
#include <algorithm>
#include <limits>

#include "engine/windows/ntfs_logfile.h"

namespace quillon {
namespace {

bool sane_page_size(std::uint64_t size) {
  return size >= 512 && size <= 65536 && (size & (size - 1)) == 0;
}

bool is_record_page(Bytes page) { return has_tag(page, 0, "RCRD") || has_tag(page, 0, "CHKD"); }

// The restart pages are system pages; their own size is at +0x10.
std::optional<std::uint32_t> system_page_size(Bytes page) {
  auto s = u32_at(page, 0x10);
  if (!s || !sane_page_size(*s)) return std::nullopt;
  return *s;
}

}  // namespace

std::optional<LogRestart> parse_restart_page(Bytes page) {
  if (!has_tag(page, 0, "RSTR")) return std::nullopt;
  auto sys = system_page_size(page);
  if (!sys || *sys > page.size()) return std::nullopt;
  std::vector<std::byte> copy(page.begin(), page.begin() + *sys);
  apply_fixups(copy);  // an unsound array leaves the page as read
  const Bytes p(copy);
  LogRestart r;
  auto log_page = u32_at(p, 0x14);
  auto area = u16_at(p, 0x18);
  auto minor = u16_at(p, 0x1A);
  auto major = u16_at(p, 0x1C);
  if (!log_page || !sane_page_size(*log_page) || !area || !minor || !major) return std::nullopt;
  auto lsn = u64_at(p, *area);
  auto bits = u32_at(p, static_cast<std::uint64_t>(*area) + 0x10);
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

std::uint64_t first_record_page(const LogRestart& restart) {
  // Version 1.x keeps two tail copies of the newest page after the two
  // restart pages; version 2.x keeps a buffer of 32.
  return restart.major_version >= 2 ? 2 + 32 : 2 + 2;
}

std::optional<std::vector<std::byte>> read_newest_log_part(std::uint64_t log_size, const LogRangeReader& read) {
  if (log_size == 0) return std::nullopt;
  if (log_size <= kLogTailSize) return read(0, log_size);
  auto tail = [&] { return read(log_size - kLogTailSize, kLogTailSize); };

  auto head = read(0, std::min<std::uint64_t>(log_size, 2 * 65536));
  if (!head) return tail();
  auto restart = newest_restart(*head);
  if (!restart || restart->log_page_size != kLogPageSize) return tail();
  const std::uint64_t P = restart->log_page_size;
  const std::uint64_t total = log_size / P;
  const std::uint64_t first = first_record_page(*restart);
  auto lsn_offset = lsn_to_offset(restart->current_lsn, restart->seq_number_bits);
  if (first >= total || !lsn_offset) return tail();
  const std::uint64_t current = *lsn_offset / P;
  if (current < first || current >= total) return tail();

  // Ring positions count from the first record page.
  const std::uint64_t area = total - first;
  const std::uint64_t ring_current = current - first;
  const std::uint64_t window = std::min(kLogTailSize / P, area);
  const std::uint64_t ring_start = (ring_current + area - (window - 1)) % area;

  std::vector<std::byte> out;
  out.reserve(static_cast<std::size_t>(window * P));
  auto append = [&](std::uint64_t ring_pos, std::uint64_t pages) {
    auto bytes = read((first + ring_pos) * P, pages * P);
    if (!bytes || bytes->size() != pages * P) return false;
    out.insert(out.end(), bytes->begin(), bytes->end());
    return true;
  };
  const std::uint64_t before_wrap = std::min(window, area - ring_start);
  if (!append(ring_start, before_wrap)) return tail();
  if (window > before_wrap && !append(0, window - before_wrap)) return tail();

  // CurrentLsn lags the newest records on a live volume: go on while the
  // following pages' last-LSN fields keep rising.
  auto last_lsn = [](Bytes page) { return u64_at(page, 8).value_or(0); };
  std::uint64_t previous = last_lsn(Bytes(out).subspan(out.size() - P, P));
  for (std::uint64_t n = window, pos = (ring_current + 1) % area; n < area; ++n, pos = (pos + 1) % area) {
    auto page = read((first + pos) * P, P);
    if (!page || page->size() != P || !is_record_page(*page)) break;
    const std::uint64_t lsn = last_lsn(*page);
    if (lsn <= previous) break;
    previous = lsn;
    out.insert(out.end(), page->begin(), page->end());
  }
  return out;
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

Result<std::vector<std::byte>> read_logfile_tail(char letter) {
  auto reader = open_volume(letter);
  if (!reader) return fail(reader.error());
  auto volume = query_volume_data(*reader);
  if (!volume) return fail(volume.error());
  const MftContext ctx = load_mft_context(*reader, *volume);
  auto record = fetch_record(ctx, *reader, kLogFileRecord);
  if (!record) return fail(Error::generic("无法读取 $LogFile MFT 记录", ErrorKind::not_found));
  auto stream = data_runs(*record);
  const std::uint64_t C = volume->bytes_per_cluster();
  std::optional<std::vector<std::byte>> bytes;
  if (stream && !stream->runs.empty()) {
    bytes = read_newest_log_part(stream->data_size, [&](std::uint64_t offset, std::uint64_t length) {
      return read_stream_range(C, *reader, stream->runs, offset, length);
    });
  }
  if (!bytes || bytes->empty()) return fail(Error::generic("无法读取 $LogFile 数据流", ErrorKind::unexpected_eof));
  return std::move(*bytes);
}

}  // namespace quillon
