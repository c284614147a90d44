#include "platform/collection/collected_journal.h"

#include <algorithm>
#include <cstring>

#include "platform/control_layout.h"

namespace quillon::platform::collection {

namespace {

namespace u2 = layout::usn_record_v2;
namespace u3 = layout::usn_record_v3;
namespace u4 = layout::usn_record_v4;

constexpr std::uint32_t kMaxRecord = 64 * 1024;
constexpr std::size_t kChunk = 1u << 20;

// The record's length and USN when its header is whole and sound.
std::optional<std::pair<std::uint32_t, std::uint64_t>> header_at(Bytes b, std::uint64_t at) {
  auto len = u32_at(b, at + u2::kRecordLength);
  auto major = u16_at(b, at + u2::kMajorVersion);
  if (!len || !major || *len % 8 != 0 || *len > kMaxRecord || !in_bounds(b.size(), at, *len)) return std::nullopt;
  std::uint64_t usn_at = 0, name_len_at = 0, name_off_at = 0, header = 0;
  switch (*major) {
    case 2:
      usn_at = u2::kUsn, name_len_at = u2::kFileNameLength, name_off_at = u2::kFileNameOffset, header = u2::kFileName;
      break;
    case 3:
      usn_at = u3::kUsn, name_len_at = u3::kFileNameLength, name_off_at = u3::kFileNameOffset, header = u3::kFileName;
      break;
    case 4:
      usn_at = u4::kUsn, header = u4::kExtents;
      break;
    default:
      return std::nullopt;
  }
  if (*len < header) return std::nullopt;
  if (name_len_at) {
    const std::uint16_t nlen = *u16_at(b, at + name_len_at), noff = *u16_at(b, at + name_off_at);
    if (nlen == 0 || nlen % 2 != 0 || noff != header || noff + std::uint64_t{nlen} > *len) return std::nullopt;
  }
  auto usn = i64_at(b, at + usn_at);
  if (!usn || *usn < 0 || *usn % 8 != 0) return std::nullopt;
  return std::pair{*len, static_cast<std::uint64_t>(*usn)};
}

bool all_zero(Bytes b) {
  return std::all_of(b.begin(), b.end(), [](std::byte x) { return x == std::byte{0}; });
}

}  // namespace

std::optional<std::uint64_t> usn_record_at(Bytes b, std::uint64_t at) {
  auto h = header_at(b, at);
  if (!h) return std::nullopt;
  // The record after it, when there is room for one: the next USN, or the
  // zeros that pad a journal page.
  const std::uint64_t next = at + h->first;
  if (in_bounds(b.size(), next, u2::kFileName)) {
    auto n = header_at(b, next);
    if (n ? n->second != h->second + h->first : !all_zero(b.subspan(next, 8))) return std::nullopt;
  }
  return h->second;
}

std::optional<JournalPlacement> place_journal(image::ImageFile& file) {
  std::vector<std::byte> buf;
  // Chunks overlap by one largest record, so that a record is always seen
  // whole in some chunk, with the header of the one after it.
  for (std::uint64_t pos = 0; pos < file.size();) {
    const std::uint64_t n = std::min<std::uint64_t>(kChunk + 2 * kMaxRecord, file.size() - pos);
    buf.resize(static_cast<std::size_t>(n));
    if (!file.read(pos, buf)) return std::nullopt;
    const Bytes b(buf);
    const bool last = pos + n == file.size();
    const std::uint64_t limit = last ? n : std::min<std::uint64_t>(n, kChunk);
    for (std::uint64_t i = 0; i < limit; ++i) {
      if (b[static_cast<std::size_t>(i)] == std::byte{0}) {
        // Skip the hole a word at a time.
        if (i % 8 == 0 && i + 8 <= limit && all_zero(b.subspan(static_cast<std::size_t>(i), 8))) i += 7;
        continue;
      }
      // A record's first byte may be 0 (a length of 0x100): try the bytes
      // just before the first non-zero one too.
      for (std::uint64_t at = i >= 7 ? i - 7 : 0; at <= i; ++at)
        if (auto usn = usn_record_at(b, at); usn && *usn >= pos + at) return JournalPlacement{pos + at, *usn - (pos + at)};
    }
    if (last) break;
    pos += kChunk;
  }
  return std::nullopt;
}

CopiedJournal::CopiedJournal(image::ImageFile file, JournalPlacement at) : file_(std::move(file)), at_(at) {
  if (at_.first_record < file_.size()) ranges_.emplace_back(at_.base + at_.first_record, at_.base + file_.size());
}

bool CopiedJournal::read(std::uint64_t offset, std::span<std::byte> out) {
  if (!in_bounds(size(), offset, out.size())) return false;
  const std::uint64_t start = at_.base + at_.first_record;
  std::size_t hole = offset >= start ? 0 : static_cast<std::size_t>(std::min<std::uint64_t>(out.size(), start - offset));
  std::fill(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(hole), std::byte{0});
  if (hole == out.size()) return true;
  return file_.read(offset + hole - at_.base, out.subspan(hole)).has_value();
}

}  // namespace quillon::platform::collection
