#include "platform/image/control_codes.h"

#include <algorithm>
#include <cstring>

#include "platform/platform.h"

namespace quillon::platform::image {

namespace {

using win32::error;

constexpr std::size_t kVolumeDataSize = 96;
constexpr std::size_t kRecordOutputHeader = 12;
constexpr std::size_t kUsnRecordV2Header = 60;

// $J read through the reader that found it.
class ImageJournalStream final : public JournalStream {
 public:
  ImageJournalStream(NtfsReader& r, Attribute j) : r_(r), j_(std::move(j)) {
    const std::uint64_t cluster = r.volume().boot().bytes_per_cluster;
    if (j_.resident) {
      ranges_.emplace_back(0, j_.value.size());
      return;
    }
    for (const auto& run : j_.runs) {
      if (!run.lcn) continue;
      std::uint64_t b = run.vcn * cluster, e = b + run.length * cluster;
      e = std::min(e, j_.data_size);
      if (b >= e) continue;
      if (!ranges_.empty() && ranges_.back().second == b)
        ranges_.back().second = e;
      else
        ranges_.emplace_back(b, e);
    }
  }
  std::uint64_t size() const override { return j_.size(); }
  const std::vector<std::pair<std::uint64_t, std::uint64_t>>& allocated() const override { return ranges_; }
  bool read(std::uint64_t offset, std::span<std::byte> out) override { return r_.read_attribute(j_, offset, out); }

 private:
  NtfsReader& r_;
  Attribute j_;
  std::vector<std::pair<std::uint64_t, std::uint64_t>> ranges_;
};

Result<std::size_t> volume_data(NtfsReader& r, std::span<std::byte> out) {
  if (out.size() < kVolumeDataSize) return fail(error(win32::ERROR_INSUFFICIENT_BUFFER));
  const NtfsVolume& v = r.volume();
  const BootSector& b = v.boot();
  std::byte* p = out.data();
  std::fill(p, p + kVolumeDataSize, std::byte{0});
  std::uint64_t mft_clusters = 0;
  std::uint64_t mft_end = b.mft_lcn;
  for (const auto& run : v.mft_runs()) {
    mft_clusters += run.length;
    if (run.vcn == 0) mft_end = *run.lcn + run.length;
  }
  store_le<std::uint64_t>(p + 0, b.serial);
  store_le<std::uint64_t>(p + 8, b.total_sectors);
  store_le<std::uint64_t>(p + 16, b.total_clusters);
  store_le<std::uint64_t>(p + 24, r.free_clusters());
  // TotalReserved counts clusters the running file system holds back for
  // pending allocations; an image at rest has none.
  store_le<std::uint64_t>(p + 32, 0);
  store_le<std::uint32_t>(p + 40, b.bytes_per_sector);
  store_le<std::uint32_t>(p + 44, b.bytes_per_cluster);
  store_le<std::uint32_t>(p + 48, b.record_size);
  store_le<std::uint32_t>(p + 52, b.record_size >= b.bytes_per_cluster ? b.record_size / b.bytes_per_cluster : 0);
  store_le<std::uint64_t>(p + 56, v.mft_valid_length());
  store_le<std::uint64_t>(p + 64, b.mft_lcn);
  store_le<std::uint64_t>(p + 72, b.mft_mirror_lcn);
  // The MFT zone lives only in the running file system's memory. We place it
  // as a freshly mounted NTFS does: right after the $MFT's first extent, one
  // eighth of the volume long, clipped to the volume.
  std::uint64_t zone_end = std::min(b.total_clusters, mft_end + b.total_clusters / 8);
  store_le<std::uint64_t>(p + 80, mft_end);
  store_le<std::uint64_t>(p + 88, std::max(zone_end, mft_end));
  (void)mft_clusters;
  return kVolumeDataSize;
}

Result<std::size_t> file_record(NtfsReader& r, Bytes in, std::span<std::byte> out) {
  if (in.size() < 8) return fail(error(win32::ERROR_INVALID_PARAMETER));
  const NtfsVolume& v = r.volume();
  const std::size_t rsize = v.boot().record_size;
  // Room for the header and one whole record is needed (undocumented; we
  // answer as NTFS does for short fixed-size outputs).
  if (out.size() < kRecordOutputHeader + rsize) return fail(error(win32::ERROR_INSUFFICIENT_BUFFER));
  std::uint64_t n = *u64_at(in, 0) & kRecordNumberMask;
  std::uint64_t last = std::min(v.mft_records(), v.bitmap_records());
  if (last == 0) return fail(error(win32::ERROR_INVALID_PARAMETER));
  if (n >= last) n = last - 1;
  // The record asked for when it is in use, else the nearest in-use record
  // below it; a record that cannot be read is passed over like a free one.
  for (std::uint64_t m = n + 1; m-- > 0;) {
    if (!v.record_in_use(m)) continue;
    auto rec = r.read_record(m);
    if (!rec) continue;
    std::uint16_t seq = *u16_at(*rec, 0x10);
    store_le<std::uint64_t>(out.data(), m | (std::uint64_t{seq} << 48));
    store_le<std::uint32_t>(out.data() + 8, static_cast<std::uint32_t>(rec->size()));
    std::memcpy(out.data() + kRecordOutputHeader, rec->data(), rec->size());
    return kRecordOutputHeader + rec->size();
  }
  return fail(error(win32::ERROR_INVALID_PARAMETER));
}

Result<std::size_t> enum_usn_data(NtfsReader& r, Bytes in, std::span<std::byte> out) {
  if (!open_journal(r)) return fail(error(win32::ERROR_JOURNAL_NOT_ACTIVE));
  if (in.size() < 24) return fail(error(win32::ERROR_INVALID_PARAMETER));
  if (in.size() >= 32 && !versions_ok(*u16_at(in, 24), *u16_at(in, 26)))
    return fail(error(win32::ERROR_INVALID_PARAMETER));
  if (out.size() < 8) return fail(error(win32::ERROR_INSUFFICIENT_BUFFER));
  const NtfsVolume& v = r.volume();
  std::uint64_t n = *u64_at(in, 0) & kRecordNumberMask;
  const auto low = *i64_at(in, 8), high = *i64_at(in, 16);
  const std::uint64_t last = std::min(v.mft_records(), v.bitmap_records());
  std::size_t written = 8;
  bool full = false;
  for (; n < last && !full; ++n) {
    if (!v.record_in_use(n)) continue;
    auto f = r.load(n);
    if (!f || !f->header.in_use() || f->header.base_reference != 0) continue;
    auto usn = static_cast<std::int64_t>(f->si_usn());
    if (usn < low || usn > high) continue;
    std::vector<FileName> names;
    for (auto& nm : f->names())
      if (!nm.dos_only()) names.push_back(std::move(nm));
    std::size_t need = 0;
    for (const auto& nm : names) need += (kUsnRecordV2Header + 2 * nm.name.size() + 7) & ~std::size_t{7};
    if (need > out.size() - written) {
      full = true;
      break;
    }
    const std::uint32_t attrs = f->win32_attributes();
    std::uint32_t security = 0;
    if (const Attribute* si = f->find(kAttrStandardInformation); si && si->resident)
      security = u32_at(si->value, 0x34).value_or(0);
    for (const auto& nm : names) {
      std::size_t len = (kUsnRecordV2Header + 2 * nm.name.size() + 7) & ~std::size_t{7};
      std::byte* p = out.data() + written;
      std::fill(p, p + len, std::byte{0});
      store_le<std::uint32_t>(p + 0, static_cast<std::uint32_t>(len));
      store_le<std::uint16_t>(p + 4, 2);
      store_le<std::uint16_t>(p + 6, 0);
      store_le<std::uint64_t>(p + 8, f->reference());
      store_le<std::uint64_t>(p + 16, nm.parent);
      store_le<std::int64_t>(p + 24, usn);
      // TimeStamp, Reason and SourceInfo stay 0: an enumeration describes
      // files, not changes.
      store_le<std::uint32_t>(p + 48, security);
      store_le<std::uint32_t>(p + 52, attrs);
      store_le<std::uint16_t>(p + 56, static_cast<std::uint16_t>(2 * nm.name.size()));
      store_le<std::uint16_t>(p + 58, static_cast<std::uint16_t>(kUsnRecordV2Header));
      for (std::size_t i = 0; i < nm.name.size(); ++i)
        store_le<std::uint16_t>(p + kUsnRecordV2Header + 2 * i, nm.name[i]);
      written += len;
    }
  }
  if (written == 8) {
    // Nothing left from the starting record on: the end of the enumeration.
    if (!full) return fail(error(win32::ERROR_HANDLE_EOF));
    // A file whose records do not fit at all (undocumented; see READ).
    return fail(error(win32::ERROR_INSUFFICIENT_BUFFER));
  }
  store_le<std::uint64_t>(out.data(), n);
  return written;
}

}  // namespace

std::optional<ImageJournal> open_journal(NtfsReader& r) {
  auto extend = r.load(kExtendRecord);
  if (!extend || !extend->header.directory()) return std::nullopt;
  auto entry = r.find_in_index(*extend, u"$UsnJrnl");
  if (!entry) return std::nullopt;
  auto jrnl = r.load_reference(entry->reference);
  if (!jrnl) return std::nullopt;
  const Attribute* j = jrnl->find(kAttrData, u"$J");
  const Attribute* max = jrnl->find(kAttrData, u"$Max");
  if (!j || !max) return std::nullopt;
  auto max_bytes = r.attribute_value(*max, 4096);
  if (!max_bytes) return std::nullopt;
  auto stream = std::make_unique<ImageJournalStream>(r, *j);
  auto info = journal_info(*max_bytes, *stream);
  if (!info) return std::nullopt;
  return ImageJournal{*info, std::move(stream)};
}

Result<std::size_t> answer_control(NtfsReader& r, std::uint32_t code, Bytes in, std::span<std::byte> out) {
  switch (code) {
    case FSCTL_GET_NTFS_VOLUME_DATA:
      return volume_data(r, out);
    case FSCTL_GET_NTFS_FILE_RECORD:
      return file_record(r, in, out);
    case FSCTL_QUERY_USN_JOURNAL: {
      auto j = open_journal(r);
      if (!j) return fail(error(win32::ERROR_JOURNAL_NOT_ACTIVE));
      return query_usn_journal(j->info, out);
    }
    case FSCTL_READ_USN_JOURNAL: {
      auto j = open_journal(r);
      if (!j) return fail(error(win32::ERROR_JOURNAL_NOT_ACTIVE));
      return read_usn_journal(j->info, *j->stream, in, out);
    }
    case FSCTL_ENUM_USN_DATA:
      return enum_usn_data(r, in, out);
    default:
      return fail(error(win32::ERROR_INVALID_FUNCTION));
  }
}

}  // namespace quillon::platform::image
