#include "platform/image/usn_journal.h"

#include <algorithm>
#include <cstring>

#include "common/ntfs_layout.h"
#include "platform/control_layout.h"

namespace quillon::platform::image {

namespace {

using win32::error;

constexpr std::uint32_t kReasonClose = 0x80000000;
namespace jd = layout::journal_data;
namespace rd = layout::read_journal;
constexpr std::uint32_t kMinRecord = layout::usn_record_v2::kFileName;  // a V2 header with an empty name
constexpr std::size_t kWindow = 64 * 1024;

// The reason field sits at a different place in each record version.
std::optional<std::uint64_t> reason_offset(std::uint16_t major) {
  switch (major) {
    case 2:
      return layout::usn_record_v2::kReason;
    case 3:
      return layout::usn_record_v3::kReason;
    case 4:
      return layout::usn_record_v4::kReason;
    default:
      return std::nullopt;
  }
}

// Reads $J through a window, so that walking it costs few reads.
class Window {
 public:
  explicit Window(JournalStream& j) : j_(j), buf_(kWindow) {}
  // The bytes [pos, pos + len) when they lie inside one allocated range.
  std::optional<Bytes> get(std::uint64_t pos, std::uint64_t len, std::uint64_t range_end) {
    if (pos < start_ || pos + len > start_ + size_) {
      if (len > kWindow) return std::nullopt;
      std::uint64_t n = std::min<std::uint64_t>(kWindow, range_end - pos);
      if (n < len || !j_.read(pos, std::span(buf_).first(static_cast<std::size_t>(n)))) return std::nullopt;
      start_ = pos;
      size_ = n;
    }
    return Bytes(buf_).subspan(static_cast<std::size_t>(pos - start_), static_cast<std::size_t>(len));
  }

 private:
  JournalStream& j_;
  std::vector<std::byte> buf_;
  std::uint64_t start_ = 0, size_ = 0;
};

}  // namespace

bool versions_ok(std::uint16_t min_major, std::uint16_t max_major) {
  return min_major <= max_major && max_major >= 2 && min_major <= 4;
}

std::optional<JournalInfo> journal_info(Bytes max, const JournalStream& j) {
  namespace mx = ntfs::usn_max;
  if (max.size() < mx::kSize) return std::nullopt;
  JournalInfo info;
  info.maximum_size = *u64_at(max, mx::kMaximumSize);
  info.allocation_delta = *u64_at(max, mx::kAllocationDelta);
  info.journal_id = *u64_at(max, mx::kUsnJournalId);
  info.lowest_valid_usn = *i64_at(max, mx::kLowestValidUsn);
  info.next_usn = static_cast<std::int64_t>(std::min<std::uint64_t>(j.size(), INT64_MAX));
  std::int64_t first = info.next_usn;
  for (const auto& [begin, end] : j.allocated())
    if (end > begin) {
      first = static_cast<std::int64_t>(std::min<std::uint64_t>(begin, INT64_MAX));
      break;
    }
  info.first_usn = std::min(std::max(first, info.lowest_valid_usn), info.next_usn);
  if (info.first_usn < 0) info.first_usn = 0;
  return info;
}

Result<std::size_t> query_usn_journal(const JournalInfo& info, std::span<std::byte> out) {
  // Too small for even the first version of the structure: the caller's
  // buffer cannot hold the answer (undocumented; the status Windows uses for
  // short fixed-size outputs).
  if (out.size() < jd::kSizeV0) return fail(error(win32::ERROR_INSUFFICIENT_BUFFER));
  std::size_t n = out.size() >= jd::kSizeV1 ? jd::kSizeV1 : jd::kSizeV0;
  std::fill(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(n), std::byte{0});
  std::byte* p = out.data();
  store_le<std::uint64_t>(p + jd::kUsnJournalId, info.journal_id);
  store_le<std::int64_t>(p + jd::kFirstUsn, info.first_usn);
  store_le<std::int64_t>(p + jd::kNextUsn, info.next_usn);
  store_le<std::int64_t>(p + jd::kLowestValidUsn, info.lowest_valid_usn);
  store_le<std::int64_t>(p + jd::kMaxUsn, info.max_usn);
  store_le<std::uint64_t>(p + jd::kMaximumSize, info.maximum_size);
  store_le<std::uint64_t>(p + jd::kAllocationDelta, info.allocation_delta);
  if (n == jd::kSizeV1) {
    store_le<std::uint16_t>(p + jd::kMinSupportedMajorVersion, 2);  // record versions this journal can deliver
    store_le<std::uint16_t>(p + jd::kMaxSupportedMajorVersion, 4);
  }
  return n;
}

namespace {

std::uint64_t align8(std::uint64_t v) { return (v + 7) & ~std::uint64_t{7}; }

// What a READ_USN_JOURNAL_DATA input asks for, checked against the journal.
struct ReadRequest {
  std::int64_t start = 0;  // 0 already replaced by FirstUsn
  std::uint32_t mask = 0;
  bool only_on_close = false;
  // The record versions the caller accepts; the V0 input knows V2 only.
  std::uint16_t min_major = 2, max_major = 2;

  bool wants(std::uint32_t reason, std::uint16_t major) const {
    return (reason & mask) != 0 && (!only_on_close || (reason & kReasonClose)) && major >= min_major &&
           major <= max_major;
  }
};

Result<ReadRequest> read_request(const JournalInfo& info, Bytes in, std::span<std::byte> out) {
  if (in.size() < rd::kSizeV0) return fail(error(win32::ERROR_INVALID_PARAMETER));
  ReadRequest req;
  req.start = *i64_at(in, rd::kStartUsn);
  req.mask = *u32_at(in, rd::kReasonMask);
  req.only_on_close = *u32_at(in, rd::kReturnOnlyOnClose) != 0;
  const std::uint64_t id = *u64_at(in, rd::kUsnJournalId);
  if (in.size() >= rd::kSizeV1) {
    req.min_major = *u16_at(in, rd::kMinMajorVersion);
    req.max_major = *u16_at(in, rd::kMaxMajorVersion);
    if (!versions_ok(req.min_major, req.max_major)) return fail(error(win32::ERROR_INVALID_PARAMETER));
  }
  // A journal id other than the current one: the journal the caller knew is
  // gone. Windows' documentation only says the call fails; we answer as for
  // any other bad parameter.
  if (id != info.journal_id || req.start < 0) return fail(error(win32::ERROR_INVALID_PARAMETER));
  if (out.size() < 8) return fail(error(win32::ERROR_INSUFFICIENT_BUFFER));
  if (req.start == 0) req.start = info.first_usn;  // 0 means "from the first record"
  if (req.start < info.first_usn) return fail(error(win32::ERROR_JOURNAL_ENTRY_DELETED));
  // At the end the answer is just the USN to wait at; beyond it there is
  // nothing to read (our choice: end of file).
  if (req.start > info.next_usn) return fail(error(win32::ERROR_HANDLE_EOF));
  return req;
}

// The records a request wants, copied into the output buffer after its
// first 8 bytes (the USN to continue from) until one no longer fits.
class RecordCopy {
 public:
  RecordCopy(JournalStream& j, const ReadRequest& req, std::span<std::byte> out) : win_(j), req_(req), out_(out) {}

  // Walks the records of one allocated stretch [pos, end) of $J; returns
  // where the walk stopped (at a record that did not fit, when full()).
  std::uint64_t copy_stretch(std::uint64_t pos, std::uint64_t end) {
    while (pos + 8 <= end) {
      auto head = win_.get(pos, 8, end);
      if (!head) {
        pos += 8;
        continue;
      }
      std::uint32_t len = *u32_at(*head, layout::usn_record_v2::kRecordLength);
      std::uint16_t major = *u16_at(*head, layout::usn_record_v2::kMajorVersion);
      auto reason_at = reason_offset(major);
      // Zero padding at the end of a journal page, or bytes that are no
      // record: slide on to the next 8-byte boundary.
      auto rec = len < kMinRecord || len % 8 != 0 || !reason_at || len > end - pos ? std::nullopt
                                                                                   : win_.get(pos, len, end);
      if (!rec) {
        pos += 8;
        continue;
      }
      // Records of a version outside the caller's range are left out (V4
      // range records reach only callers that accept version 4).
      if (req_.wants(*u32_at(*rec, *reason_at), major)) {
        if (len > out_.size() - written_) {
          full_ = true;
          break;
        }
        std::memcpy(out_.data() + written_, rec->data(), len);
        written_ += len;
      }
      pos += len;
    }
    return pos;
  }

  bool full() const { return full_; }
  std::size_t written() const { return written_; }

 private:
  Window win_;
  const ReadRequest& req_;
  std::span<std::byte> out_;
  std::size_t written_ = 8;
  bool full_ = false;
};

}  // namespace

Result<std::size_t> read_usn_journal(const JournalInfo& info, JournalStream& j, Bytes in, std::span<std::byte> out) {
  auto req = read_request(info, in, out);
  if (!req) return fail(req.error());
  const auto next_usn = static_cast<std::uint64_t>(info.next_usn);
  std::uint64_t pos = align8(static_cast<std::uint64_t>(req->start));
  RecordCopy copy(j, *req, out);
  const auto& ranges = j.allocated();
  auto range = ranges.begin();
  while (pos < next_usn && !copy.full()) {
    while (range != ranges.end() && range->second <= pos) ++range;
    if (range == ranges.end()) {
      pos = next_usn;
      break;
    }
    if (pos < range->first) pos = align8(range->first);  // skip the hole
    const std::uint64_t end = std::min(range->second, next_usn);
    pos = copy.copy_stretch(pos, end);
    if (!copy.full() && pos + 8 > end) pos = std::max(pos, end);
  }
  // Not even one record fits: the caller's buffer is too small for the answer
  // (undocumented; returning no record would make the caller spin in place).
  if (copy.full() && copy.written() == 8) return fail(error(win32::ERROR_INSUFFICIENT_BUFFER));
  store_le<std::int64_t>(out.data(), static_cast<std::int64_t>(std::min<std::uint64_t>(pos, next_usn)));
  return copy.written();
}

}  // namespace quillon::platform::image
