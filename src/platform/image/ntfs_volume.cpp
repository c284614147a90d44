#include "platform/image/ntfs_volume.h"

#include "common/ntfs_layout.h"
#include "platform/image/default_upcase.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <map>
#include <iterator>
#include <set>
#include <tuple>

namespace quillon::platform::image {

namespace {

constexpr std::size_t kMaxExtensionRecords = 4096;

// Each whole entry of an $ATTRIBUTE_LIST value; a malformed length ends it.
template <class Each>
void for_each_list_entry(const std::vector<std::byte>& list, Each each) {
  namespace le = ntfs::attribute_list_entry;
  for (std::size_t p = 0; p + le::kMinLength <= list.size();) {
    Bytes e = Bytes(list).subspan(p);
    std::uint16_t len = *u16_at(e, le::kLength);
    if (len < le::kMinLength || len % 8 != 0 || len > e.size()) break;
    each(e);
    p += len;
  }
}
constexpr int kMaxIndexDepth = 32;

std::optional<std::uint64_t> mul(std::uint64_t a, std::uint64_t b) {
  if (a != 0 && b > UINT64_MAX / a) return std::nullopt;
  return a * b;
}

const Run* run_at(const std::vector<Run>& runs, std::uint64_t vcn) {
  auto it = std::upper_bound(runs.begin(), runs.end(), vcn, [](std::uint64_t v, const Run& r) { return v < r.vcn; });
  if (it == runs.begin()) return nullptr;
  --it;
  if (vcn - it->vcn >= it->length) return nullptr;
  return &*it;
}

// What the file system says of a file whose structures do not hold together.
Error corrupt() { return win32::error(win32::ERROR_FILE_CORRUPT); }

// Record `n` as read, when it is a "FILE" record holding its own number (one
// the $MFT's runs put where another belongs is not it) whose fixups and
// header hold.
Result<std::vector<std::byte>> checked_record(std::vector<std::byte> rec, std::uint64_t n) {
  if (!has_tag(rec, 0, "FILE") || ntfs::misplaced_record(rec, n) ||
      !ntfs::apply_update_sequence(rec, ntfs::TornStride::refuse_block) || !parse_record_header(rec))
    return fail(corrupt());
  return rec;
}

Error image_error(const ImageFile& f, const std::string& why) {
  return Error::generic("cannot use image " + f.path() + ": " + why, ErrorKind::invalid_input);
}

constexpr std::uint64_t kMirroredRecords = 4;  // $MFT, $MFTMirr, $LogFile, $Volume

// NTFS keeps a copy of the boot sector in the sector after the last one the
// volume counts: the last sector of its partition (of a bare image, the end
// of the image). It is taken only where its own sector count places it.
std::optional<std::pair<BootSector, std::uint64_t>> backup_boot_sector(ImageFile& file, VolumeExtent extent) {
  if (extent.offset >= file.size()) return std::nullopt;
  const std::uint64_t end = extent.offset + std::min(extent.length, file.size() - extent.offset);
  for (std::uint64_t sector : {std::uint64_t{512}, std::uint64_t{4096}}) {
    if (end < extent.offset + 2 * sector) continue;
    const std::uint64_t at = end - sector;
    std::array<std::byte, 512> s;
    if (!file.read(at, s)) continue;
    auto b = parse_boot_sector(s);
    if (b && b->bytes_per_sector == sector && b->volume_bytes() == at - extent.offset) return std::pair{*b, at};
  }
  return std::nullopt;
}

// The pieces of each non-resident attribute, joined in VCN order.
std::vector<Attribute> join_pieces(std::vector<Attribute> in) {
  std::vector<Attribute> out;
  std::map<std::pair<std::uint32_t, std::u16string>, std::size_t> slot;
  std::stable_sort(in.begin(), in.end(), [](const Attribute& a, const Attribute& b) {
    return !a.resident && !b.resident && a.lowest_vcn < b.lowest_vcn;
  });
  for (auto& a : in) {
    if (a.resident) {
      out.push_back(std::move(a));
      continue;
    }
    auto key = std::make_pair(a.type, a.name);
    auto it = slot.find(key);
    if (it == slot.end()) {
      slot.emplace(key, out.size());
      out.push_back(std::move(a));
      continue;
    }
    Attribute& whole = out[it->second];
    if (a.lowest_vcn == 0) continue;  // a duplicate first piece: keep the first seen
    whole.highest_vcn = std::max(whole.highest_vcn, a.highest_vcn);
    for (const auto& r : a.runs)
      if (whole.runs.empty() || r.vcn >= whole.runs.back().vcn + whole.runs.back().length) whole.runs.push_back(r);
  }
  return out;
}

}  // namespace

Result<void> read_runs(ImageFile& file, std::uint64_t volume_offset, std::uint64_t volume_length,
                       std::uint64_t cluster, const std::vector<Run>& runs, std::uint64_t offset,
                       std::span<std::byte> out) {
  if (cluster == 0) return fail(corrupt());
  std::size_t done = 0;
  while (done < out.size()) {
    std::uint64_t pos = offset + done;
    if (pos < offset) return fail(corrupt());
    const Run* r = run_at(runs, pos / cluster);
    if (!r) return fail(corrupt());
    std::uint64_t within = pos - r->vcn * cluster;
    std::uint64_t n = std::min<std::uint64_t>(out.size() - done, r->length * cluster - within);
    auto piece = out.subspan(done, static_cast<std::size_t>(n));
    if (!r->lcn) {
      std::fill(piece.begin(), piece.end(), std::byte{0});
    } else {
      auto at = mul(*r->lcn, cluster);
      if (!at || *at > UINT64_MAX - within || !in_bounds(volume_length, *at + within, n)) return fail(corrupt());
      if (auto read = file.read(volume_offset + *at + within, piece); !read) return read;
    }
    done += static_cast<std::size_t>(n);
  }
  return {};
}

// ---------------------------------------------------------------- FileRecord

const Attribute* FileRecord::find(std::uint32_t type, std::u16string_view name) const {
  for (const auto& a : attributes)
    if (a.type == type && a.name == name) return &a;
  return nullptr;
}

std::vector<FileName> FileRecord::names() const {
  std::vector<FileName> out;
  for (const auto& a : attributes)
    if (a.type == kAttrFileName && a.resident)
      if (auto f = parse_file_name(a.value)) out.push_back(std::move(*f));
  return out;
}

std::uint32_t FileRecord::si_attributes() const {
  const Attribute* si = find(kAttrStandardInformation);
  return si && si->resident ? u32_at(si->value, 0x20).value_or(0) : 0;
}

std::uint64_t FileRecord::si_usn() const {
  const Attribute* si = find(kAttrStandardInformation);
  return si && si->resident ? u64_at(si->value, 0x40).value_or(0) : 0;
}

std::optional<std::uint32_t> FileRecord::reparse_tag() const {
  for (const auto& a : attributes) {
    if (a.type != kAttrReparsePoint) continue;
    if (a.resident) return u32_at(a.value, 0);
    // A large reparse point: the tag is duplicated in the file name.
    for (const auto& n : names()) return n.reparse_tag;
  }
  return std::nullopt;
}

std::uint32_t FileRecord::win32_attributes() const {
  constexpr std::uint32_t kDirectory = 0x10, kReparse = 0x400, kNormal = 0x80;
  std::uint32_t a = si_attributes() & 0x0FFFFFFF & ~kDirectory;
  if (header.directory()) a |= kDirectory;
  if (reparse_tag()) a |= kReparse;
  else a &= ~kReparse;
  if (a == 0) a = kNormal;
  return a;
}

// ---------------------------------------------------------------- NtfsVolume

bool NtfsVolume::record_in_use(std::uint64_t n) const {
  if (n >= mft_records_ || (n >> 3) >= mft_bitmap_.size()) return false;
  return (mft_bitmap_[static_cast<std::size_t>(n >> 3)] >> (n & 7)) & 1;
}

int NtfsVolume::compare_names(std::u16string_view a, std::u16string_view b) const {
  std::size_t n = std::min(a.size(), b.size());
  for (std::size_t i = 0; i < n; ++i) {
    char16_t x = upcase(a[i]), y = upcase(b[i]);
    if (x != y) return x < y ? -1 : 1;
  }
  return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

Result<std::shared_ptr<const NtfsVolume>> NtfsVolume::open(ImageFile& file, VolumeExtent extent) {
  std::array<std::byte, 512> sector;
  if (!file.read(extent.offset, sector))
    return fail(image_error(file, "the image ends before the volume's boot sector"));
  std::string why;
  auto boot = parse_boot_sector(sector, &why);
  auto backup_note = [](std::string what, std::uint64_t at) {
    return "the boot sector " + what + "; its backup at byte " + std::to_string(at) + " of the image is used";
  };
  if (!boot) {
    auto backup = backup_boot_sector(file, extent);
    if (!backup) return fail(image_error(file, why));
    return open_with(file, extent, backup->first, {backup_note("is damaged (" + why + ")", backup->second)});
  }
  auto v = open_with(file, extent, *boot, {});
  if (v) return v;
  // A boot sector that reads well but places the $MFT where it is not: the
  // backup may still know where it is.
  if (auto backup = backup_boot_sector(file, extent); backup && !(backup->first == *boot))
    if (auto w = open_with(file, extent, backup->first,
                           {backup_note("does not lead to the $MFT", backup->second)}))
      return w;
  return v;
}

namespace {

// The bytes of a volume being opened: its extent of the image file.
struct VolumeSpan {
  ImageFile& file;
  std::uint64_t offset = 0;  // of the volume in the image
  std::uint64_t length = 0;  // what the volume device reads
  std::uint64_t cluster = 0;
  bool read(const std::vector<Run>& runs, std::uint64_t at, std::span<std::byte> out) const {
    return read_runs(file, offset, length, cluster, runs, at, out).has_value();
  }
};

bool is_unnamed_data(const Attribute& a) { return a.type == kAttrData && a.name.empty() && !a.resident; }

// FILE record 0 read at cluster `lcn`, when it is the $MFT's own: in use,
// its data beginning where the boot sector puts the $MFT.
std::optional<std::vector<std::byte>> mft_record_at(const VolumeSpan& v, const BootSector& boot, std::uint64_t lcn) {
  std::vector<std::byte> r(boot.record_size);
  auto at = mul(lcn, v.cluster);
  if (!at || !in_bounds(v.length, *at, r.size()) || !v.file.read(v.offset + *at, r) || !has_tag(r, 0, "FILE") ||
      !ntfs::apply_update_sequence(r, ntfs::TornStride::refuse_block))
    return std::nullopt;
  auto h = parse_record_header(r);
  if (!h || !h->in_use()) return std::nullopt;
  for (const auto& a : parse_attributes(r, boot.total_clusters))
    if (is_unnamed_data(a) && a.lowest_vcn == 0 && !a.runs.empty() && a.runs[0].lcn == boot.mft_lcn) return r;
  return std::nullopt;
}

// An $ATTRIBUTE_LIST's bytes: its resident value, or its first MiB read
// through its runs.
std::optional<std::vector<std::byte>> attribute_list_bytes(const VolumeSpan& v, const Attribute& a) {
  std::vector<std::byte> list = a.value;
  if (!a.resident) {
    list.resize(static_cast<std::size_t>(std::min<std::uint64_t>(a.data_size, 1u << 20)));
    if (!v.read(a.runs, 0, list)) return std::nullopt;
  }
  return list;
}

// (lowest VCN, record) of every later piece of the unnamed $DATA a list names.
std::vector<std::pair<std::uint64_t, std::uint64_t>> listed_data_pieces(const std::vector<std::byte>& list) {
  namespace le = ntfs::attribute_list_entry;
  std::vector<std::pair<std::uint64_t, std::uint64_t>> out;
  for_each_list_entry(list, [&](Bytes e) {
    if (*u32_at(e, le::kType) == kAttrData && *u8_at(e, le::kNameLength) == 0 && *u64_at(e, le::kLowestVcn) > 0)
      out.emplace_back(*u64_at(e, le::kLowestVcn), *u64_at(e, le::kReference) & kRecordNumberMask);
  });
  return out;
}

// The pieces of the $MFT's data starting at `vcn` in its extension record
// `record`, read through the runs known so far; nothing while that record
// cannot be read through them.
std::optional<std::vector<Attribute>> data_pieces_in(const VolumeSpan& v, const BootSector& boot,
                                                     const std::vector<Run>& known, std::uint64_t vcn,
                                                     std::uint64_t record) {
  std::vector<std::byte> r(boot.record_size);
  auto off = mul(record, boot.record_size);
  if (!off || !v.read(known, *off, r) || !ntfs::apply_update_sequence(r, ntfs::TornStride::refuse_block) ||
      !parse_record_header(r))
    return std::nullopt;
  std::vector<Attribute> found;
  for (auto& x : parse_attributes(r, boot.total_clusters))
    if (is_unnamed_data(x) && x.lowest_vcn == vcn) found.push_back(std::move(x));
  return found;
}

// The $MFT's unnamed $DATA whole: its first piece in record 0 and the pieces
// a fragmented $MFT lists in extension records, which are found through the
// pieces already known.
Result<Attribute> mft_data(const VolumeSpan& v, const BootSector& boot, const std::vector<Attribute>& attrs) {
  const Attribute* data = nullptr;
  for (const auto& a : attrs)
    if (is_unnamed_data(a) && a.lowest_vcn == 0) data = &a;
  if (!data) return fail(image_error(v.file, "the $MFT's record has no readable data runs"));
  std::vector<Attribute> pieces{*data};
  for (const auto& a : attrs) {
    if (a.type != kAttrAttributeList) continue;
    auto list = attribute_list_bytes(v, a);
    if (!list) return fail(image_error(v.file, "the $MFT's attribute list cannot be read"));
    auto wanted = listed_data_pieces(*list);
    for (bool progress = true; !wanted.empty() && progress;) {
      progress = false;
      const std::vector<Run> known = join_pieces(pieces)[0].runs;
      for (auto it = wanted.begin(); it != wanted.end();) {
        auto found = data_pieces_in(v, boot, known, it->first, it->second);
        if (!found) {
          ++it;
          continue;
        }
        std::move(found->begin(), found->end(), std::back_inserter(pieces));
        it = wanted.erase(it);
        progress = true;
      }
    }
    if (!wanted.empty()) return fail(image_error(v.file, "a piece of the $MFT's data runs cannot be found"));
  }
  return join_pieces(pieces)[0];
}

// The number of VCNs the $MFT's runs map, when they run from VCN 0 without
// holes, apart from each other and inside the volume.
Result<std::uint64_t> mapped_mft_vcns(const VolumeSpan& v, const std::vector<Run>& runs) {
  std::uint64_t next_vcn = 0;
  for (const auto& r : runs) {
    if (r.vcn != next_vcn || !r.lcn) return fail(image_error(v.file, "the $MFT's data runs have holes"));
    next_vcn = r.vcn + r.length;
  }
  if (!runs_disjoint(runs)) return fail(image_error(v.file, "the $MFT's data runs overlap"));
  for (const auto& r : runs)
    if (!in_bounds(v.length / v.cluster, *r.lcn, r.length))
      return fail(image_error(v.file, "the $MFT's data runs run past the end of the volume"));
  return next_vcn;
}

// $MFT:$BITMAP, one bit per record, at most as many bytes as `records`
// need; empty when it cannot be read.
std::vector<std::uint8_t> mft_bitmap(const VolumeSpan& v, const std::vector<Attribute>& attrs, std::uint64_t records) {
  std::vector<std::uint8_t> out;
  for (const auto& a : attrs) {
    if (a.type != kAttrBitmap || !a.name.empty()) continue;
    const std::size_t at = out.size();
    if (a.resident) {
      const auto* first = reinterpret_cast<const std::uint8_t*>(a.value.data());
      out.insert(out.end(), first, first + a.value.size());
      continue;
    }
    // Read straight into place; an unreadable piece adds nothing.
    out.resize(at + static_cast<std::size_t>(std::min<std::uint64_t>(a.data_size, (records + 7) / 8)));
    if (!v.read(a.runs, 0, std::as_writable_bytes(std::span(out).subspan(at)))) out.resize(at);
  }
  return out;
}

// $UpCase; without it, names fold by Unicode's simple case mapping.
std::vector<char16_t> upcase_table(NtfsReader& reader) {
  if (auto f = reader.load(kUpCaseRecord)) {
    // Read in place: each entry is decoded from its own two bytes.
    std::vector<char16_t> up(65536);
    const auto table = std::as_writable_bytes(std::span(up));
    const Attribute* d = f->find(kAttrData);
    if (d && d->size() >= table.size() && reader.read_attribute(*d, 0, table)) {
      for (std::size_t c = 0; c < up.size(); ++c)
        up[c] = static_cast<char16_t>(load_le<std::uint16_t>(table.data() + 2 * c));
      return up;
    }
  }
  return default_upcase_table();
}

// NTFS's version from $Volume (major, minor); 0.0 when unreadable.
std::pair<std::uint8_t, std::uint8_t> ntfs_version(NtfsReader& reader) {
  if (auto v = reader.load(3))
    if (const Attribute* info = v->find(kAttrVolumeInformation); info && info->resident)
      return {u8_at(info->value, 8).value_or(0), u8_at(info->value, 9).value_or(0)};
  return {0, 0};
}

// Record 5 is a directory in use. Its index is not asked for: a damaged
// $INDEX_ROOT leaves paths through the root unresolved, and the folders are
// then found through the $MFT as under any other damaged index.
bool root_directory_readable(NtfsReader& reader) {
  auto root = reader.load(kRootRecord);
  return root && root->header.in_use() && root->header.directory();
}

// The note on the mirrored records that are read from $MFTMirr, if any.
std::optional<std::string> mirrored_records_note(NtfsReader& reader) {
  std::string mirrored;
  for (std::uint64_t n = 0; n < kMirroredRecords; ++n)
    if (!reader.read_primary_record(n) && reader.read_mirror_record(n))
      mirrored += (mirrored.empty() ? "" : ", ") + std::to_string(n);
  if (mirrored.empty()) return std::nullopt;
  return "$MFT record" + std::string(mirrored.size() > 1 ? "s " : " ") + mirrored +
         " cannot be read; the copy in $MFTMirr is used";
}

}  // namespace

Result<std::shared_ptr<const NtfsVolume>> NtfsVolume::open_with(ImageFile& file, VolumeExtent extent,
                                                                const BootSector& boot,
                                                                std::vector<std::string> notes) {
  auto vol = std::shared_ptr<NtfsVolume>(new NtfsVolume());
  vol->boot_ = boot;
  vol->extent_ = extent;
  // An image that ends before its volume does (imaging a failing disk often
  // stops short) is examined as far as it goes: reads past its end fail as
  // unreadable sectors would.
  vol->extent_.length = std::max(std::min(extent.length, file.size() - extent.offset), boot.volume_bytes());
  const VolumeSpan v{file, extent.offset, vol->extent_.length, boot.bytes_per_cluster};

  // Record 0 describes the $MFT; read it where the boot sector says, else
  // its copy in $MFTMirr.
  auto rec0 = mft_record_at(v, boot, boot.mft_lcn);
  if (!rec0) rec0 = mft_record_at(v, boot, boot.mft_mirror_lcn);
  if (!rec0) return fail(image_error(file, "the $MFT's first record cannot be read, nor its copy in $MFTMirr"));
  const auto attrs = parse_attributes(*rec0, boot.total_clusters);
  auto mft = mft_data(v, boot, attrs);
  if (!mft) return fail(mft.error());
  auto vcns = mapped_mft_vcns(v, mft->runs);
  if (!vcns) return fail(vcns.error());
  vol->mft_runs_ = mft->runs;
  vol->mft_valid_length_ = mft->initialized_size;
  vol->mft_records_ =
      std::min({mft->initialized_size, mft->data_size, mul(*vcns, v.cluster).value_or(0)}) / boot.record_size;
  if (vol->mft_records_ < kFirstUserRecord) return fail(image_error(file, "the $MFT is too small"));
  vol->mft_bitmap_ = mft_bitmap(v, attrs, vol->mft_records_);
  if (vol->mft_bitmap_.empty()) return fail(image_error(file, "the $MFT's bitmap cannot be read"));

  // The metadata files, read through the volume as now known.
  auto second = file.reopen();
  if (!second) return fail(second.error());
  NtfsReader reader(vol, std::move(*second));
  vol->upcase_ = upcase_table(reader);
  std::tie(vol->major_version_, vol->minor_version_) = ntfs_version(reader);
  if (!root_directory_readable(reader)) return fail(image_error(file, "the root directory's record cannot be read"));
  if (auto note = mirrored_records_note(reader)) notes.push_back(std::move(*note));
  vol->notes_ = std::move(notes);
  return std::shared_ptr<const NtfsVolume>(std::move(vol));
}

// ---------------------------------------------------------------- NtfsReader

std::uint64_t NtfsReader::free_clusters() {
  const NtfsVolume& v = *vol_;
  std::call_once(v.free_once_, [&] {
    std::uint64_t used = 0, total = v.boot_.total_clusters;
    auto bm = load(6);
    const Attribute* data = bm ? bm->find(kAttrData) : nullptr;
    if (!data) return;
    std::uint64_t bytes = std::min<std::uint64_t>(data->size(), (total + 7) / 8);
    // Chunks that stay in the processor's cache between the read and the count.
    std::vector<std::byte> chunk(static_cast<std::size_t>(std::min<std::uint64_t>(bytes, 1u << 16)));
    for (std::uint64_t pos = 0; pos < bytes; pos += chunk.size()) {
      std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(chunk.size(), bytes - pos));
      if (!read_attribute(*data, pos, std::span(chunk).first(n))) return;  // unreadable: report none free
      // Bytes wholly inside the volume at once, the last one's bits past the
      // volume's end cleared.
      const std::uint64_t inside = total / 8 > pos ? std::min<std::uint64_t>(n, total / 8 - pos) : 0;
      used += count_set_bits(std::span(chunk).first(static_cast<std::size_t>(inside)));
      for (std::size_t i = static_cast<std::size_t>(inside); i < n; ++i) {
        auto b = std::to_integer<std::uint8_t>(chunk[i]);
        std::uint64_t first = (pos + i) * 8;
        if (first + 8 > total) b &= static_cast<std::uint8_t>((1u << (total - first)) - 1);
        used += static_cast<unsigned>(std::popcount(b));
      }
    }
    v.free_clusters_ = total > used ? total - used : 0;
  });
  return v.free_clusters_;
}

Result<void> NtfsReader::read_volume(std::uint64_t offset, std::span<std::byte> out) {
  if (!in_bounds(vol_->extent_.length, offset, out.size())) return fail(end_of_image());
  return file_.read(vol_->extent_.offset + offset, out);
}

Result<std::vector<std::byte>> NtfsReader::read_record(std::uint64_t n) {
  auto r = read_primary_record(n);
  if (!r && n < kMirroredRecords)
    if (auto copy = read_mirror_record(n)) return copy;
  return r;
}

Result<std::vector<std::byte>> NtfsReader::read_mirror_record(std::uint64_t n) {
  const std::uint64_t rsize = vol_->boot_.record_size;
  auto base = mul(vol_->boot_.mft_mirror_lcn, vol_->boot_.bytes_per_cluster);
  if (n >= kMirroredRecords || !base) return fail(win32::error(win32::ERROR_INVALID_PARAMETER));
  std::vector<std::byte> rec(static_cast<std::size_t>(rsize));
  if (auto read = read_volume(*base + n * rsize, rec); !read) return fail(read.error());
  return checked_record(std::move(rec), n);
}

Result<std::vector<std::byte>> NtfsReader::read_primary_record(std::uint64_t n) {
  if (n >= vol_->mft_records_) return fail(win32::error(win32::ERROR_INVALID_PARAMETER));
  const std::uint64_t rsize = vol_->boot_.record_size;
  std::vector<std::byte> rec(static_cast<std::size_t>(rsize));
  if (auto read = read_runs(file_, vol_->extent_.offset, vol_->extent_.length, vol_->boot_.bytes_per_cluster,
                            vol_->mft_runs_, n * rsize, rec);
      !read)
    return fail(read.error());
  return checked_record(std::move(rec), n);
}

std::optional<FileRecord> NtfsReader::load(std::uint64_t n) {
  auto rec = read_record(n);
  if (!rec) return std::nullopt;
  FileRecord f;
  f.number = n;
  f.header = *parse_record_header(*rec);
  const std::uint64_t clusters = vol_->boot_.total_clusters;
  auto attrs = parse_attributes(*rec, clusters);
  std::vector<std::uint64_t> extensions;
  for (const auto& a : attrs) {
    if (a.type != kAttrAttributeList) continue;
    auto list = attribute_value(a, 1u << 20);
    if (!list) continue;
    for_each_list_entry(*list, [&](Bytes e) {
      std::uint64_t r = *u64_at(e, ntfs::attribute_list_entry::kReference) & kRecordNumberMask;
      if (r != n && std::find(extensions.begin(), extensions.end(), r) == extensions.end() &&
          extensions.size() < kMaxExtensionRecords)
        extensions.push_back(r);
    });
  }
  for (std::uint64_t x : extensions) {
    auto xr = read_record(x);
    if (!xr) continue;
    auto xh = parse_record_header(*xr);
    if ((xh->base_reference & kRecordNumberMask) != n || !xh->in_use()) continue;
    for (auto& a : parse_attributes(*xr, clusters))
      if (a.type != kAttrAttributeList) attrs.push_back(std::move(a));
  }
  f.attributes = extensions.empty() ? std::move(attrs) : join_pieces(std::move(attrs));
  return f;
}

namespace {

// The base record of a file that is in use with the reference's sequence
// number (any, when the reference carries 0).
bool names_file(const RecordHeader& h, std::uint64_t reference) {
  const auto seq = static_cast<std::uint16_t>(reference >> 48);
  return h.in_use() && h.base_reference == 0 && (seq == 0 || h.sequence == seq);
}

}  // namespace

std::optional<FileRecord> NtfsReader::load_reference(std::uint64_t reference) {
  std::uint64_t n = reference & kRecordNumberMask;
  if (!vol_->record_in_use(n)) return std::nullopt;
  auto f = load(n);
  if (!f || !names_file(f->header, reference)) return std::nullopt;
  return f;
}

std::optional<bool> NtfsReader::reference_in_use(std::uint64_t reference) {
  std::uint64_t n = reference & kRecordNumberMask;
  if (!vol_->record_in_use(n)) return false;
  auto rec = read_record(n);
  if (!rec) return std::nullopt;
  const RecordHeader h = *parse_record_header(*rec);
  // In use with sequence number 0 (never given to a record in use), or an
  // extension record where the reference's own sequence number says its
  // file is: a header that does not hold together.
  const auto seq = static_cast<std::uint16_t>(reference >> 48);
  if (h.in_use() && (h.sequence == 0 || (h.base_reference != 0 && (seq == 0 || h.sequence == seq))))
    return std::nullopt;
  return names_file(h, reference);
}

bool NtfsReader::read_attribute(const Attribute& a, std::uint64_t offset, std::span<std::byte> out) {
  if (a.resident) {
    if (!in_bounds(a.value.size(), offset, out.size())) return false;
    if (!out.empty()) std::memcpy(out.data(), a.value.data() + offset, out.size());
    return true;
  }
  if (a.compressed() || !in_bounds(a.allocated_size, offset, out.size())) return false;
  // Bytes past the initialized size read as zeros whatever the clusters hold.
  std::uint64_t init = std::min(a.initialized_size, a.data_size);
  std::size_t live = offset >= init ? 0 : static_cast<std::size_t>(std::min<std::uint64_t>(out.size(), init - offset));
  std::fill(out.begin() + static_cast<std::ptrdiff_t>(live), out.end(), std::byte{0});
  if (live == 0) return true;
  return read_runs(file_, vol_->extent_.offset, vol_->extent_.length, vol_->boot_.bytes_per_cluster, a.runs, offset,
                   out.first(live))
      .has_value();
}

std::optional<std::vector<std::byte>> NtfsReader::attribute_value(const Attribute& a, std::uint64_t limit) {
  if (a.size() > limit) return std::nullopt;
  std::vector<std::byte> v(static_cast<std::size_t>(a.size()));
  if (!read_attribute(a, 0, v)) return std::nullopt;
  return v;
}

// ---------------------------------------------------------------- indexes

std::vector<IndexNodeEntry> parse_index_node(Bytes b, std::uint64_t h) {
  std::vector<IndexNodeEntry> out;
  auto first = u32_at(b, h + ntfs::index_header::kFirstEntry), length = u32_at(b, h + ntfs::index_header::kBytesInUse);
  if (!first || !length) return out;
  std::uint64_t pos = h + *first, end = std::min<std::uint64_t>(h + *length, b.size());
  namespace ie = ntfs::index_entry;
  while (in_bounds(end, pos, ie::kHeaderSize)) {
    std::uint16_t len = *u16_at(b, pos + ie::kLength), key_len = *u16_at(b, pos + ie::kKeyLength),
                  flags = *u16_at(b, pos + ie::kFlags);
    if (len < ie::kHeaderSize || len % 8 != 0 || !in_bounds(end, pos, len)) break;
    IndexNodeEntry e;
    if (flags & ie::kHasSubnode) {
      if (len < ie::kHeaderSize + 8) break;
      e.child = *u64_at(b, pos + len - 8);  // the subnode's VCN ends the entry
    }
    e.last = flags & ie::kLast;
    if (!e.last && key_len <= len - ie::kHeaderSize) {
      if (auto key = parse_file_name(b.subspan(pos + ie::kKey, key_len)))
        e.entry = IndexEntry{*u64_at(b, pos + ie::kFileReference), *key};
    }
    const bool last = e.last;
    out.push_back(std::move(e));
    if (last) break;
    pos += len;
  }
  return out;
}

DirectoryListing::DirectoryListing(std::vector<IndexEntry> all, const NtfsVolume& volume) : entries(std::move(all)) {
  by_name.resize(entries.size());
  for (std::size_t i = 0; i < by_name.size(); ++i) by_name[i] = static_cast<std::uint32_t>(i);
  std::stable_sort(by_name.begin(), by_name.end(), [&](std::uint32_t a, std::uint32_t b) {
    return volume.compare_names(entries[a].key.name, entries[b].key.name) < 0;
  });
}

const IndexEntry* DirectoryListing::find(std::u16string_view name, const NtfsVolume& volume) const {
  auto it = std::lower_bound(by_name.begin(), by_name.end(), name, [&](std::uint32_t i, std::u16string_view n) {
    return volume.compare_names(entries[i].key.name, n) < 0;
  });
  if (it == by_name.end() || !volume.names_equal(entries[*it].key.name, name)) return nullptr;
  return &entries[*it];
}

namespace {

bool bit_set(const std::vector<std::byte>& bits, std::uint64_t i) {
  if ((i >> 3) >= bits.size()) return false;
  return (std::to_integer<std::uint8_t>(bits[static_cast<std::size_t>(i >> 3)]) >> (i & 7)) & 1;
}

// Whole listings kept by one reader, in entries.
constexpr std::size_t kMaxKeptEntries = std::size_t{1} << 18;

}  // namespace

// What reading the blocks of one directory's $I30 index needs.
struct NtfsReader::IndexContext {
  const Attribute* root = nullptr;        // $INDEX_ROOT (resident)
  const Attribute* allocation = nullptr;  // $INDEX_ALLOCATION, when the index has blocks
  std::vector<std::byte> bitmap;          // which blocks are in use
  std::uint32_t block_size = 0;           // 0 when the root gives no usable size
  std::uint32_t vcn_unit = 0;             // bytes per VCN of a child pointer
};

std::optional<NtfsReader::IndexContext> NtfsReader::index_context(const FileRecord& dir) {
  IndexContext ctx;
  ctx.root = dir.find(kAttrIndexRoot, u"$I30");
  if (!ctx.root || !ctx.root->resident) return std::nullopt;
  const std::uint32_t block_size = u32_at(ctx.root->value, 8).value_or(0);
  ctx.allocation = dir.find(kAttrIndexAllocation, u"$I30");
  if (ctx.allocation && std::has_single_bit(block_size) && block_size >= 512 && block_size <= 65536) {
    ctx.block_size = block_size;
    if (const Attribute* bm = dir.find(kAttrBitmap, u"$I30"))
      if (auto v = attribute_value(*bm, 1u << 24)) ctx.bitmap = std::move(*v);
  }
  ctx.vcn_unit = vol_->boot_.bytes_per_cluster <= block_size ? vol_->boot_.bytes_per_cluster : 512;
  return ctx;
}

// The INDX block at `vcn`, its fixups applied; nothing when the bitmap says
// it is free, or it cannot be read, is no INDX block, fails its fixups or
// names another VCN.
std::optional<std::vector<std::byte>> NtfsReader::read_index_block(const IndexContext& ctx, std::uint64_t vcn) {
  if (!ctx.allocation || ctx.block_size == 0) return std::nullopt;
  auto offset = mul(vcn, ctx.vcn_unit);
  if (!offset || !bit_set(ctx.bitmap, *offset / ctx.block_size)) return std::nullopt;
  std::vector<std::byte> block(ctx.block_size);
  ++index_blocks_read_;
  if (!read_attribute(*ctx.allocation, *offset, block) || !has_tag(block, 0, "INDX") ||
      !ntfs::apply_update_sequence(block, ntfs::TornStride::refuse_block) || u64_at(block, ntfs::indx::kVcn) != vcn)
    return std::nullopt;
  return block;
}

std::vector<IndexEntry> NtfsReader::list_index(const FileRecord& dir) {
  std::vector<IndexEntry> out;
  auto ctx = index_context(dir);
  if (!ctx) return out;
  std::set<std::uint64_t> visited;
  // In-order walk: an entry's subtree comes before the entry itself.
  auto walk = [&](auto& self, const std::vector<IndexNodeEntry>& entries, int depth) -> void {
    for (const auto& e : entries) {
      if (e.child && depth < kMaxIndexDepth && visited.insert(*e.child).second)
        if (auto block = read_index_block(*ctx, *e.child))
          self(self, parse_index_node(*block, ntfs::indx::kHeader), depth + 1);
      if (e.entry) out.push_back(*e.entry);
    }
  };
  walk(walk, parse_index_node(ctx->root->value, ntfs::index_root::kHeader), 0);
  return out;
}

std::shared_ptr<const DirectoryListing> NtfsReader::listing(const FileRecord& dir) {
  const std::uint64_t key = dir.reference();
  if (keep_listings_)
    if (auto it = listings_.find(key); it != listings_.end()) return it->second;
  auto made = std::make_shared<const DirectoryListing>(list_index(dir), *vol_);
  if (keep_listings_) {
    if (kept_entries_ + made->entries.size() > kMaxKeptEntries) {
      listings_.clear();
      kept_entries_ = 0;
    }
    listings_.emplace(key, made);
    kept_entries_ += made->entries.size();
  }
  return made;
}

void NtfsReader::keep_listings(bool keep) {
  keep_listings_ = keep;
  if (!keep) {
    listings_.clear();
    kept_entries_ = 0;
  }
}

// Down the B-tree from $INDEX_ROOT: in each node, the first entry whose name
// does not sort before `name` (or the end entry) leads to the node below.
// Every name equal to `name` sorts at or below that entry, so the last equal
// entry met on the way down is the first in index order. One block is read
// per level. The descent gives up (and says what it found so far) at a block
// it cannot read, a block met twice, a key it cannot read and a node whose
// entries are out of order.
std::optional<IndexEntry> NtfsReader::descend(const FileRecord& dir, std::u16string_view name) {
  auto ctx = index_context(dir);
  if (!ctx) return std::nullopt;
  const NtfsVolume& v = *vol_;
  std::optional<IndexEntry> found;
  std::set<std::uint64_t> visited;
  auto node = parse_index_node(ctx->root->value, ntfs::index_root::kHeader);
  for (int depth = 0;; ++depth) {
    const IndexNodeEntry* next = nullptr;
    const std::u16string* previous = nullptr;
    for (const auto& e : node) {
      if (!e.entry) {
        if (e.last) next = &e;
        break;
      }
      const std::u16string& here = e.entry->key.name;
      if (previous && v.compare_names(*previous, here) > 0) break;
      if (int c = v.compare_names(here, name); c >= 0) {
        if (c == 0) found = *e.entry;
        next = &e;
        break;
      }
      previous = &here;
    }
    if (!next || !next->child || depth >= kMaxIndexDepth || !visited.insert(*next->child).second) return found;
    auto block = read_index_block(*ctx, *next->child);
    if (!block) return found;
    node = parse_index_node(*block, ntfs::indx::kHeader);
  }
}

std::optional<IndexEntry> NtfsReader::find_in_index(const FileRecord& dir, std::u16string_view name) {
  if (keep_listings_)
    if (auto it = listings_.find(dir.reference()); it != listings_.end()) {
      const IndexEntry* e = it->second->find(name, *vol_);
      return e ? std::optional(*e) : std::nullopt;
    }
  if (auto e = descend(dir, name)) return e;
  // The descent can miss a name that is there: below a damaged block, in a
  // node it cannot read past or in a tree whose entries are out of order. A
  // miss is therefore checked against the whole listing, so that a lookup
  // finds every name a listing of the directory shows.
  const auto all = listing(dir);
  const IndexEntry* e = all->find(name, *vol_);
  return e ? std::optional(*e) : std::nullopt;
}

}  // namespace quillon::platform::image
