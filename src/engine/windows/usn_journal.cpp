#include "engine/windows/usn_journal.h"

#include <algorithm>
#include <array>
#include <vector>

#include "common/text.h"
#include "platform/control_layout.h"
#include "platform/platform.h"

namespace quillon {

namespace {

namespace rd = platform::layout::read_journal;
namespace en = platform::layout::enum_data;

constexpr std::size_t kJournalDataSize = platform::layout::journal_data::kSizeV1;
constexpr std::uint32_t kHresultFail = 0x80004005;
constexpr std::uint32_t kHresultJournalEntryDeleted = 0x80070000u | win32::ERROR_JOURNAL_ENTRY_DELETED;

// READ and ENUM are METHOD_NEITHER codes: the file system reads the caller's
// input buffer in place, so it is given the alignment of its 64-bit fields.
template <std::size_t N>
struct alignas(8) ControlInput {
  std::array<std::byte, N> bytes{};
  std::byte* data() { return bytes.data(); }
  operator std::span<const std::byte>() const { return bytes; }
};

// The journal operations report their failures with the control code's name
// before the platform's own error.
Error journal_error(const char* op, const Error& cause) { return cause.with_context(op); }

bool is_end_of_file(std::uint32_t hr) { return hr == kHresultHandleEof || hr == win32::ERROR_HANDLE_EOF; }

// The bytes a control call returned, never more than the buffer holds.
Bytes returned_bytes(const std::vector<std::byte>& buffer, std::size_t count) {
  return Bytes(buffer).first(std::min(count, buffer.size()));
}

}  // namespace

std::uint32_t hresult_of(const Error& error) {
  if (error.origin() != Error::Origin::os || error.os_code() == 0) return kHresultFail;
  // A code that already is an HRESULT stays as it is.
  if (error.os_code() & 0x80000000u) return error.os_code();
  return 0x80070000u | (error.os_code() & 0xFFFFu);
}

std::int64_t recent_window_start(const UsnJournalInfo& info) {
  // NextUsn - window, without overflowing for journals near the bottom of
  // the i64 range.
  std::int64_t back = info.next_usn < INT64_MIN + kUsnRecentWindow ? INT64_MIN : info.next_usn - kUsnRecentWindow;
  return std::max(info.first_usn, back);
}

Result<UsnJournalInfo> query_journal(VolumeReader& volume) {
  std::array<std::byte, kJournalDataSize> out{};
  auto n = volume.control(platform::FSCTL_QUERY_USN_JOURNAL, {}, out);
  if (!n) return fail(journal_error("QUERY_USN_JOURNAL", n.error()));
  Bytes b(out);
  // The identity and the range are the fields read; a shorter answer (the
  // 56-byte V0 structure included) leaves the rest zero.
  if (*n < 24) return fail(journal_error("QUERY_USN_JOURNAL", win32::error(win32::ERROR_INVALID_DATA)));
  UsnJournalInfo info;
  namespace jd = platform::layout::journal_data;
  info.journal_id = load_le<std::uint64_t>(b.data() + jd::kUsnJournalId);
  info.first_usn = load_le<std::int64_t>(b.data() + jd::kFirstUsn);
  info.next_usn = load_le<std::int64_t>(b.data() + jd::kNextUsn);
  info.lowest_valid_usn = load_le<std::int64_t>(b.data() + jd::kLowestValidUsn);
  info.max_usn = load_le<std::int64_t>(b.data() + jd::kMaxUsn);
  info.maximum_size = load_le<std::uint64_t>(b.data() + jd::kMaximumSize);
  info.allocation_delta = load_le<std::uint64_t>(b.data() + jd::kAllocationDelta);
  info.min_supported_major = load_le<std::uint16_t>(b.data() + jd::kMinSupportedMajorVersion);
  info.max_supported_major = load_le<std::uint16_t>(b.data() + jd::kMaxSupportedMajorVersion);
  return info;
}

Result<std::uint64_t> read_journal(VolumeReader& volume, const UsnJournalInfo& info, std::int64_t start,
                                   const UsnBufferProcessor& process) {
  if (info.next_usn <= info.first_usn || start >= info.next_usn) return std::uint64_t{0};
  std::int64_t position = std::max(start, info.first_usn);

  std::vector<std::byte> buffer(kUsnOutputBufferSize);
  std::uint16_t max_major = 4;
  bool may_downgrade = true;
  bool restarted = false;
  std::uint64_t added = 0;

  while (position < info.next_usn) {
    ControlInput<rd::kSizeV1> in;
    store_le<std::int64_t>(in.data() + rd::kStartUsn, position);
    store_le<std::uint32_t>(in.data() + rd::kReasonMask, 0xFFFFFFFFu);  // every reason
    store_le<std::uint32_t>(in.data() + rd::kReturnOnlyOnClose, 0);      // not only on close
    store_le<std::uint64_t>(in.data() + rd::kTimeout, 0);                // no timeout
    store_le<std::uint64_t>(in.data() + rd::kBytesToWaitFor, 0);         // never wait for more
    store_le<std::uint64_t>(in.data() + rd::kUsnJournalId, info.journal_id);
    store_le<std::uint16_t>(in.data() + rd::kMinMajorVersion, 2);
    store_le<std::uint16_t>(in.data() + rd::kMaxMajorVersion, max_major);

    auto n = volume.control(platform::FSCTL_READ_USN_JOURNAL, in, buffer);
    if (!n) {
      std::uint32_t hr = hresult_of(n.error());
      if (hr == kHresultInvalidParameter && may_downgrade) {
        max_major = 2;
        may_downgrade = false;
        continue;
      }
      if (hr == kHresultJournalEntryDeleted) {
        // The journal was trimmed past the position since it was queried:
        // once more from the first record it holds now (a StartUsn of 0
        // asks for exactly that), since the FirstUsn we know is gone too.
        if (restarted) break;
        position = 0;
        restarted = true;
        continue;
      }
      if (hr == kHresultInvalidParameter) {
        if (position == info.first_usn || restarted) break;
        // The start fell out of the journal: once more from its beginning.
        position = info.first_usn;
        restarted = true;
        continue;
      }
      if (is_end_of_file(hr)) break;
      return fail(journal_error("READ_USN_JOURNAL", n.error()));
    }
    Bytes out = returned_bytes(buffer, *n);
    if (out.size() < 8) break;
    auto continuation = load_le<std::int64_t>(out.data());
    added += process(out.subspan(8));
    if (continuation <= position) break;
    position = continuation;
  }
  return added;
}

Result<void> enumerate_records(VolumeReader& volume, std::uint64_t folder_record, bool whole_volume,
                               std::int64_t high_usn, const UsnBufferProcessor& process) {
  std::uint64_t position = 0;
  std::uint64_t limit = UINT64_MAX;
  if (!whole_volume) {
    position = folder_record > kUsnEnumBandBelow ? folder_record - kUsnEnumBandBelow : 0;
    limit = folder_record > UINT64_MAX - kUsnEnumBandAbove ? UINT64_MAX : folder_record + kUsnEnumBandAbove;
  }

  std::vector<std::byte> buffer(kUsnOutputBufferSize);
  std::uint16_t max_major = 4;
  for (;;) {
    ControlInput<en::kSizeV1> in;
    store_le<std::uint64_t>(in.data() + en::kStartFileReferenceNumber, position);
    // Only files whose last USN lies in LowUsn..HighUsn are returned.
    store_le<std::int64_t>(in.data() + en::kLowUsn, 0);
    store_le<std::int64_t>(in.data() + en::kHighUsn, high_usn);
    store_le<std::uint16_t>(in.data() + en::kMinMajorVersion, 2);
    store_le<std::uint16_t>(in.data() + en::kMaxMajorVersion, max_major);

    auto n = volume.control(platform::FSCTL_ENUM_USN_DATA, in, buffer);
    if (!n) {
      std::uint32_t hr = hresult_of(n.error());
      // Enumeration is documented for versions 2 and 3 only; a system that
      // refuses 4 is asked again with 3, then with 2.
      if (hr == kHresultInvalidParameter && max_major > 2) {
        --max_major;
        continue;
      }
      if (is_end_of_file(hr)) return {};
      return fail(journal_error("ENUM_USN_DATA", n.error()));
    }
    Bytes out = returned_bytes(buffer, *n);
    if (out.size() < 8) return {};
    auto continuation = load_le<std::uint64_t>(out.data());
    process(out.subspan(8));
    if (continuation == 0 || continuation == position) return {};
    // The enumeration only moves forward; a continuation that points back
    // would repeat the same records for ever.
    if ((continuation & kRecordMask) < (position & kRecordMask)) return {};
    if (!whole_volume && (continuation & kRecordMask) > limit) return {};
    position = continuation;
  }
}

namespace {

// Where one major version keeps the fields the search reads.
struct UsnFieldOffsets {
  std::size_t reason = 0;
  std::size_t parent = 0;
  std::size_t time = 0;
  std::size_t name_length = 0;
  std::size_t name_offset = 0;
  std::size_t attributes = 0;
  bool named = true;  // V4 records carry no name, time or attributes
};

std::optional<UsnFieldOffsets> usn_field_offsets(std::uint16_t major) {
  namespace v2 = platform::layout::usn_record_v2;
  namespace v3 = platform::layout::usn_record_v3;
  namespace v4 = platform::layout::usn_record_v4;
  switch (major) {
    case 2:
      return UsnFieldOffsets{v2::kReason,         v2::kParentFileReferenceNumber, v2::kTimeStamp,
                             v2::kFileNameLength, v2::kFileNameOffset,            v2::kFileAttributes};
    case 3:
      return UsnFieldOffsets{v3::kReason,         v3::kParentFileReferenceNumber, v3::kTimeStamp,
                             v3::kFileNameLength, v3::kFileNameOffset,            v3::kFileAttributes};
    case 4: {
      UsnFieldOffsets f;
      f.reason = v4::kReason;
      f.parent = v4::kParentFileReferenceNumber;
      f.named = false;
      return f;
    }
    default:
      return std::nullopt;
  }
}

}  // namespace

std::optional<UsnEntry> parse_record(Bytes area, std::size_t offset) {
  const std::uint64_t size = area.size();
  if (!in_bounds(size, offset, kUsnMinRecordLength)) return std::nullopt;
  const std::byte* r = area.data() + offset;
  namespace v2 = platform::layout::usn_record_v2;
  std::uint32_t length = load_le<std::uint32_t>(r + v2::kRecordLength);
  if (length < kUsnMinRecordLength || !in_bounds(size, offset, length)) return std::nullopt;

  std::uint16_t major = load_le<std::uint16_t>(r + v2::kMajorVersion);
  const auto at = usn_field_offsets(major);
  if (!at) return std::nullopt;
  if (major == 3 && (!in_bounds(size, offset, kUsnV3HeaderLength) || length < kUsnV3HeaderLength)) return std::nullopt;

  UsnEntry e;
  e.record_length = length;
  // The low 64 bits of V3's and V4's 128-bit ids sit where V2's id does.
  e.file_reference = load_le<std::uint64_t>(r + v2::kFileReferenceNumber);
  e.frn = e.file_reference & kRecordMask;
  e.parent_reference = load_le<std::uint64_t>(r + at->parent);
  e.parent = e.parent_reference & kRecordMask;
  e.reason = load_le<std::uint32_t>(r + at->reason);
  if (!at->named) return e;
  // Inside the header length checked above, as the attributes are.
  e.timestamp = load_le<std::uint64_t>(r + at->time);
  e.attributes = load_le<std::uint32_t>(r + at->attributes);

  std::uint16_t name_length = load_le<std::uint16_t>(r + at->name_length);
  std::uint16_t name_offset = load_le<std::uint16_t>(r + at->name_offset);
  if (name_length == 0) return std::nullopt;
  std::uint64_t start = static_cast<std::uint64_t>(offset) + name_offset;
  std::uint64_t end = start + name_length;
  if (end > size || end > static_cast<std::uint64_t>(offset) + length) return std::nullopt;
  e.name = utf16le_to_utf8_lossy(area.subspan(static_cast<std::size_t>(start), name_length));
  if (e.name.empty()) return std::nullopt;
  return e;
}

namespace {

// How far the walk moves on from a record header at `offset` (a version of
// 2 to 4, a RecordLength of at least a V2 header that stays inside the
// area): its RecordLength, but never past the end of its own fields (the
// name of a V2 or V3 record, the extents of a V4 one, padded to the 8 bytes
// every record is; at least the version's header). Bytes past the fields
// belong to no field: a length that covers them is damaged, and would hide
// the records it covers. Nothing when there is no such header.
std::optional<std::uint64_t> record_step(Bytes area, std::uint64_t offset) {
  namespace v2 = platform::layout::usn_record_v2;
  namespace v3 = platform::layout::usn_record_v3;
  namespace v4 = platform::layout::usn_record_v4;
  auto length = u32_at(area, offset + v2::kRecordLength);
  auto major = u16_at(area, offset + v2::kMajorVersion);
  if (!length || !major || *length < kUsnMinRecordLength || !in_bounds(area.size(), offset, *length))
    return std::nullopt;
  Bytes r = area.subspan(static_cast<std::size_t>(offset), *length);
  std::uint64_t header = 0, end = 0;
  std::optional<std::uint16_t> a, b;
  switch (*major) {
    case 2:
      header = v2::kFileName;
      a = u16_at(r, v2::kFileNameOffset), b = u16_at(r, v2::kFileNameLength);
      break;
    case 3:
      header = v3::kFileName;
      a = u16_at(r, v3::kFileNameOffset), b = u16_at(r, v3::kFileNameLength);
      break;
    case 4:
      header = v4::kExtents;
      a = u16_at(r, v4::kNumberOfExtents), b = u16_at(r, v4::kExtentSize);
      if (a && b) end = v4::kExtents + std::uint64_t{*a} * *b;
      break;
    default:
      return std::nullopt;
  }
  if (*major != 4 && a && b) end = std::uint64_t{*a} + *b;
  const std::uint64_t fields = std::max((end + 7) & ~std::uint64_t{7}, (header + 7) & ~std::uint64_t{7});
  return std::min<std::uint64_t>(*length, fields);
}

}  // namespace

void walk_records(Bytes area, const std::function<void(const UsnEntry&)>& visit) {
  const std::uint64_t size = area.size();
  std::uint64_t offset = 0;
  while (in_bounds(size, offset, kUsnMinRecordLength)) {
    if (auto e = parse_record(area, static_cast<std::size_t>(offset))) visit(*e);
    // After a record, or a header that gives none, the walk goes on where
    // its fields end; elsewhere it slides to the next 8-byte boundary.
    offset += record_step(area, offset).value_or(8);
  }
}

}  // namespace quillon
