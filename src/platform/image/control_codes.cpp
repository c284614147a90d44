#include "platform/image/control_codes.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "common/ntfs_layout.h"
#include "platform/control_layout.h"
#include "platform/platform.h"

namespace quillon::platform::image {

namespace {

using win32::error;
namespace vd = layout::volume_data;
namespace xvd = layout::extended_volume_data;
namespace fr = layout::file_record;
namespace en = layout::enum_data;
namespace u2 = layout::usn_record_v2;

constexpr std::size_t kVolumeDataSize = vd::kSize;
constexpr std::size_t kRecordOutputHeader = fr::kFileRecordBuffer;
constexpr std::size_t kUsnRecordV2Header = u2::kFileName;
constexpr std::uint64_t kLogFileRecord = 2;

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

// The version of the log file service from $LogFile's first restart page
// (minor, major), 0.0 when it cannot be read.
std::pair<std::uint16_t, std::uint16_t> lfs_version(NtfsReader& r) {
  auto log = r.load(kLogFileRecord);
  if (!log) return {0, 0};
  const Attribute* data = log->find(kAttrData);
  std::array<std::byte, 0x20> head{};
  if (!data || !r.read_attribute(*data, 0, head) || !has_tag(head, 0, "RSTR")) return {0, 0};
  namespace rp = ntfs::log_restart_page;
  return {load_le<std::uint16_t>(head.data() + rp::kMajorVersion), load_le<std::uint16_t>(head.data() + rp::kMinorVersion)};
}

Result<std::size_t> volume_data(NtfsReader& r, std::span<std::byte> out) {
  if (out.size() < kVolumeDataSize) return fail(error(win32::ERROR_INSUFFICIENT_BUFFER));
  const NtfsVolume& v = r.volume();
  const BootSector& b = v.boot();
  std::byte* p = out.data();
  std::fill(p, p + kVolumeDataSize, std::byte{0});
  std::uint64_t mft_end = b.mft_lcn;
  for (const auto& run : v.mft_runs())
    if (run.vcn == 0) mft_end = *run.lcn + run.length;
  store_le<std::uint64_t>(p + vd::kVolumeSerialNumber, b.serial);
  store_le<std::uint64_t>(p + vd::kNumberSectors, b.total_sectors);
  store_le<std::uint64_t>(p + vd::kTotalClusters, b.total_clusters);
  store_le<std::uint64_t>(p + vd::kFreeClusters, r.free_clusters());
  // TotalReserved counts clusters the running file system holds back for
  // pending allocations; an image at rest has none.
  store_le<std::uint64_t>(p + vd::kTotalReserved, 0);
  store_le<std::uint32_t>(p + vd::kBytesPerSector, b.bytes_per_sector);
  store_le<std::uint32_t>(p + vd::kBytesPerCluster, b.bytes_per_cluster);
  store_le<std::uint32_t>(p + vd::kBytesPerFileRecordSegment, b.record_size);
  store_le<std::uint32_t>(p + vd::kClustersPerFileRecordSegment,
                          b.record_size >= b.bytes_per_cluster ? b.record_size / b.bytes_per_cluster : 0);
  store_le<std::uint64_t>(p + vd::kMftValidDataLength, v.mft_valid_length());
  store_le<std::uint64_t>(p + vd::kMftStartLcn, b.mft_lcn);
  store_le<std::uint64_t>(p + vd::kMft2StartLcn, b.mft_mirror_lcn);
  // The MFT zone lives only in the running file system's memory. We place it
  // as a freshly mounted NTFS does: right after the $MFT's first extent, one
  // eighth of the volume long, clipped to the volume.
  std::uint64_t zone_end = std::min(b.total_clusters, mft_end + b.total_clusters / 8);
  store_le<std::uint64_t>(p + vd::kMftZoneStart, mft_end);
  store_le<std::uint64_t>(p + vd::kMftZoneEnd, std::max(zone_end, mft_end));

  // NTFS_EXTENDED_VOLUME_DATA right after, as far as the buffer has room:
  // ByteCount says how many of its bytes were filled.
  const std::size_t room = std::min(out.size() - kVolumeDataSize, xvd::kSize);
  if (room < xvd::kMajorVersion) return kVolumeDataSize;
  std::array<std::byte, xvd::kSize> x{};
  const auto [lfs_major, lfs_minor] = lfs_version(r);
  store_le<std::uint32_t>(x.data() + xvd::kByteCount, static_cast<std::uint32_t>(room));
  store_le<std::uint16_t>(x.data() + xvd::kMajorVersion, v.major_version());
  store_le<std::uint16_t>(x.data() + xvd::kMinorVersion, v.minor_version());
  // An image knows only its logical sector size.
  store_le<std::uint32_t>(x.data() + xvd::kBytesPerPhysicalSector, b.bytes_per_sector);
  store_le<std::uint16_t>(x.data() + xvd::kLfsMajorVersion, lfs_major);
  store_le<std::uint16_t>(x.data() + xvd::kLfsMinorVersion, lfs_minor);
  // The trim limits stay 0: an image file has no device that trims.
  std::memcpy(p + kVolumeDataSize, x.data(), room);
  return kVolumeDataSize + room;
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
  // below it. An in-use record that cannot be read fails the request, as the
  // file system fails it: with the read's error, or as corrupt.
  for (std::uint64_t m = n + 1; m-- > 0;) {
    if (!v.record_in_use(m)) continue;
    auto rec = r.read_record(m);
    if (!rec) return fail(rec.error());
    std::uint16_t seq = *u16_at(*rec, 0x10);
    store_le<std::uint64_t>(out.data() + fr::kFileReferenceNumber, m | (std::uint64_t{seq} << 48));
    store_le<std::uint32_t>(out.data() + fr::kFileRecordLength, static_cast<std::uint32_t>(rec->size()));
    std::memcpy(out.data() + kRecordOutputHeader, rec->data(), rec->size());
    return kRecordOutputHeader + rec->size();
  }
  return fail(error(win32::ERROR_INVALID_PARAMETER));
}

// The USN_RECORD_V2 of an enumeration for file `f` under `name`, filling
// `record` (its header and name, padded to 8 bytes).
void write_enum_record(const FileRecord& f, const FileName& name, std::int64_t usn, std::span<std::byte> record) {
  std::uint32_t security = 0;
  if (const Attribute* si = f.find(kAttrStandardInformation); si && si->resident)
    security = u32_at(si->value, 0x34).value_or(0);
  std::byte* p = record.data();
  std::fill(record.begin(), record.end(), std::byte{0});
  store_le<std::uint32_t>(p + u2::kRecordLength, static_cast<std::uint32_t>(record.size()));
  store_le<std::uint16_t>(p + u2::kMajorVersion, 2);
  store_le<std::uint16_t>(p + u2::kMinorVersion, 0);
  store_le<std::uint64_t>(p + u2::kFileReferenceNumber, f.reference());
  store_le<std::uint64_t>(p + u2::kParentFileReferenceNumber, name.parent);
  store_le<std::int64_t>(p + u2::kUsn, usn);
  // TimeStamp, Reason and SourceInfo stay 0: an enumeration describes
  // files, not changes.
  store_le<std::uint32_t>(p + u2::kSecurityId, security);
  store_le<std::uint32_t>(p + u2::kFileAttributes, f.win32_attributes());
  store_le<std::uint16_t>(p + u2::kFileNameLength, static_cast<std::uint16_t>(2 * name.name.size()));
  store_le<std::uint16_t>(p + u2::kFileNameOffset, static_cast<std::uint16_t>(kUsnRecordV2Header));
  for (std::size_t i = 0; i < name.name.size(); ++i)
    store_le<std::uint16_t>(p + kUsnRecordV2Header + 2 * i, name.name[i]);
}

Result<std::size_t> enum_usn_data(NtfsReader& r, Bytes in, std::span<std::byte> out, const JournalOpener& journal) {
  if (!journal(r)) return fail(error(win32::ERROR_JOURNAL_NOT_ACTIVE));
  if (in.size() < en::kSizeV0) return fail(error(win32::ERROR_INVALID_PARAMETER));
  if (in.size() >= en::kSizeV1 &&
      !versions_ok(*u16_at(in, en::kMinMajorVersion), *u16_at(in, en::kMaxMajorVersion)))
    return fail(error(win32::ERROR_INVALID_PARAMETER));
  if (out.size() < 8) return fail(error(win32::ERROR_INSUFFICIENT_BUFFER));
  const NtfsVolume& v = r.volume();
  std::uint64_t n = *u64_at(in, en::kStartFileReferenceNumber) & kRecordNumberMask;
  const auto low = *i64_at(in, en::kLowUsn), high = *i64_at(in, en::kHighUsn);
  const std::uint64_t last = std::min(v.mft_records(), v.bitmap_records());
  std::size_t written = 8;
  bool full = false;
  for (; n < last; ++n) {
    if (!v.record_in_use(n)) continue;
    auto f = r.load(n);
    if (!f || !f->header.in_use() || f->header.base_reference != 0) continue;
    auto usn = static_cast<std::int64_t>(f->si_usn());
    if (usn < low || usn > high) continue;
    // One record per file, whatever its number of hard links: the first
    // name outside the DOS namespace, in the record's order.
    std::optional<FileName> name;
    for (auto& nm : f->names())
      if (!nm.dos_only()) {
        name = std::move(nm);
        break;
      }
    if (!name) continue;
    const std::size_t len = (kUsnRecordV2Header + 2 * name->name.size() + 7) & ~std::size_t{7};
    if (len > out.size() - written) {
      full = true;
      break;
    }
    write_enum_record(*f, *name, usn, out.subspan(written, len));
    written += len;
  }
  if (written == 8) {
    // Nothing left from the starting record on: the end of the enumeration.
    if (!full) return fail(error(win32::ERROR_HANDLE_EOF));
    // A file whose record does not fit at all (undocumented; see READ).
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
  return answer_control(r, code, in, out, open_journal);
}

Result<std::size_t> answer_control(NtfsReader& r, std::uint32_t code, Bytes in, std::span<std::byte> out,
                                   const JournalOpener& journal) {
  switch (code) {
    case FSCTL_GET_NTFS_VOLUME_DATA:
      return volume_data(r, out);
    case FSCTL_GET_NTFS_FILE_RECORD:
      return file_record(r, in, out);
    case FSCTL_QUERY_USN_JOURNAL: {
      auto j = journal(r);
      if (!j) return fail(error(win32::ERROR_JOURNAL_NOT_ACTIVE));
      return query_usn_journal(j->info, out);
    }
    case FSCTL_READ_USN_JOURNAL: {
      auto j = journal(r);
      if (!j) return fail(error(win32::ERROR_JOURNAL_NOT_ACTIVE));
      return read_usn_journal(j->info, *j->stream, in, out);
    }
    case FSCTL_ENUM_USN_DATA:
      return enum_usn_data(r, in, out, journal);
    default:
      return fail(error(win32::ERROR_INVALID_FUNCTION));
  }
}

}  // namespace quillon::platform::image
