#include "platform/collection/assembled_volume.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cerrno>
#include <cstring>
#include <filesystem>

#include "common/bytes.h"
#include "common/ntfs_decode.h"
#include "common/ntfs_layout.h"
#include "platform/image/boot_sector.h"
#include "platform/image/file_record.h"
#include "platform/image/ntfs_volume.h"

namespace quillon::platform::collection {

namespace {

using image::Attribute;
using image::ImageFile;
using image::Run;

constexpr std::uint64_t kMaxClusters = std::uint64_t{1} << 48;  // bound for run lists before the volume is known
constexpr std::uint64_t kSector = 512;
constexpr std::uint64_t kLogFileRecord = 2, kBitmapRecord = 6, kBootRecord = 7, kMirrorRecord = 1;
constexpr std::size_t kScanChunk = 1u << 20;

Error bad(const std::string& what, const std::string& path, const std::string& why) {
  return Error::generic(what + " " + path + ": " + why, ErrorKind::invalid_input);
}

std::optional<std::uint64_t> mul(std::uint64_t a, std::uint64_t b) {
  if (a != 0 && b > UINT64_MAX / a) return std::nullopt;
  return a * b;
}

// A cluster that was not collected reads as an unreadable sector would.
Error not_collected() { return win32::error(win32::ERROR_READ_FAULT); }

// Reads from the pieces of a layout; every byte outside them fails.
class LayoutSource final : public image::ImageSource {
 public:
  explicit LayoutSource(std::shared_ptr<const VolumeLayout> layout) : layout_(std::move(layout)) {
    for (const auto& s : layout_->sources()) {
      std::optional<ImageFile> f;
      if (!s.path.empty())
        if (auto opened = ImageFile::open(s.path)) f = std::move(*opened);
      files_.push_back(std::move(f));
    }
  }
  Result<void> read(std::uint64_t offset, std::span<std::byte> out) override {
    const auto& pieces = layout_->pieces();
    std::size_t done = 0;
    while (done < out.size()) {
      const std::uint64_t pos = offset + done;
      auto it = std::upper_bound(pieces.begin(), pieces.end(), pos,
                                 [](std::uint64_t p, const VolumeLayout::Piece& x) { return p < x.at; });
      if (it == pieces.begin()) return fail(not_collected());
      --it;
      if (pos - it->at >= it->length) return fail(not_collected());
      const std::uint64_t within = pos - it->at;
      const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(out.size() - done, it->length - within));
      auto piece = out.subspan(done, n);
      const auto& src = layout_->sources()[it->source];
      if (src.zeros) {
        std::fill(piece.begin(), piece.end(), std::byte{0});
      } else if (src.path.empty()) {
        std::memcpy(piece.data(), src.bytes.data() + it->from + within, n);
      } else {
        auto& f = files_[it->source];
        if (!f) return fail(image::read_failure(EIO));
        if (auto r = f->read(it->from + within, piece); !r) return r;
      }
      done += n;
    }
    return {};
  }
  std::unique_ptr<ImageSource> reopen() const override { return std::make_unique<LayoutSource>(layout_); }

 private:
  std::shared_ptr<const VolumeLayout> layout_;
  std::vector<std::optional<ImageFile>> files_;
};

// A copied file opened for reading, or the error line.
Result<ImageFile> open_copy(const std::string& what, const std::string& path) {
  std::error_code ec;
  const auto p = std::filesystem::path(std::u8string(path.begin(), path.end()));
  if (!std::filesystem::exists(p, ec)) return fail(bad("cannot read", what + " " + path, "no such file"));
  if (std::filesystem::is_directory(p, ec)) return fail(bad("cannot read", what + " " + path, "it is a directory"));
  auto f = ImageFile::open(path);
  if (!f) return fail(bad("cannot read", what + " " + path, "the file cannot be read (empty, or no read permission?)"));
  return f;
}

// Record `n` of the $MFT copy, fixups applied, or nothing.
std::optional<std::pair<std::vector<std::byte>, image::RecordHeader>> copy_record(ImageFile& mft, std::uint64_t n,
                                                                                   std::uint32_t rsize) {
  std::vector<std::byte> r(rsize);
  auto at = mul(n, rsize);
  if (!at || !mft.read(*at, r) || !has_tag(r, 0, "FILE") ||
      !ntfs::apply_update_sequence(r, ntfs::TornStride::refuse_block))
    return std::nullopt;
  auto h = image::parse_record_header(r);
  if (!h) return std::nullopt;
  return std::pair{std::move(r), *h};
}

const Attribute* unnamed(const std::vector<Attribute>& attrs, std::uint32_t type) {
  for (const auto& a : attrs)
    if (a.type == type && a.name.empty()) return &a;
  return nullptr;
}

// The cluster size a stream of one extent shows: its allocated bytes over
// its clusters. Only a record without an attribute list is sure to hold the
// whole run list.
std::optional<std::uint32_t> cluster_of(const std::vector<Attribute>& attrs) {
  if (unnamed(attrs, ntfs::kAttrAttributeList)) return std::nullopt;
  const Attribute* d = unnamed(attrs, ntfs::kAttrData);
  if (!d || d->resident || d->lowest_vcn != 0 || d->runs.empty()) return std::nullopt;
  std::uint64_t clusters = d->highest_vcn + 1, mapped = 0;
  for (const auto& r : d->runs) mapped += r.length;
  if (clusters == 0 || mapped != clusters || d->allocated_size % clusters != 0) return std::nullopt;
  const std::uint64_t c = d->allocated_size / clusters;
  if (!std::has_single_bit(c) || c < kSector || c > (std::uint64_t{1} << 21)) return std::nullopt;
  return static_cast<std::uint32_t>(c);
}

std::uint64_t run_end(const std::vector<Attribute>& attrs) {
  std::uint64_t end = 0;
  for (const auto& a : attrs)
    for (const auto& r : a.runs)
      if (r.lcn) end = std::max(end, *r.lcn + r.length);
  return end;
}

// An NTFS boot sector for the made-up geometry (sizes in the negative
// power-of-two form, which holds for any cluster size).
std::vector<std::byte> boot_sector(std::uint32_t cluster, std::uint32_t rsize, std::uint64_t clusters,
                                   std::uint64_t mft_lcn, std::uint64_t mirror_lcn) {
  std::vector<std::byte> s(kSector);
  std::memcpy(s.data() + 3, "NTFS    ", 8);
  store_le<std::uint16_t>(s.data() + 0x0B, static_cast<std::uint16_t>(kSector));
  const std::uint32_t spc = cluster / kSector;
  s[0x0D] = static_cast<std::byte>(spc <= 0x80 ? spc : 256 - std::countr_zero(spc));
  store_le<std::uint64_t>(s.data() + 0x28, clusters * spc);
  store_le<std::uint64_t>(s.data() + 0x30, mft_lcn);
  store_le<std::uint64_t>(s.data() + 0x38, mirror_lcn);
  s[0x40] = static_cast<std::byte>(256 - std::countr_zero(rsize));
  s[0x44] = static_cast<std::byte>(256 - 12);  // 4096-byte index blocks
  store_le<std::uint16_t>(s.data() + 0x1FE, 0xAA55);
  return s;
}

// One bit per record of the copy: set for a "FILE" record marked in use.
std::vector<std::byte> in_use_bits(ImageFile& mft, std::uint32_t rsize, std::uint64_t bytes) {
  std::vector<std::byte> bits(static_cast<std::size_t>(bytes));
  const std::uint64_t records = std::min<std::uint64_t>(mft.size() / rsize, bytes * 8);
  std::vector<std::byte> chunk(std::max<std::size_t>(kScanChunk / rsize, 1) * rsize);
  for (std::uint64_t n = 0; n < records;) {
    const std::uint64_t count = std::min<std::uint64_t>(chunk.size() / rsize, records - n);
    auto span = std::span(chunk).first(static_cast<std::size_t>(count * rsize));
    if (!mft.read(n * rsize, span)) break;
    for (std::uint64_t i = 0; i < count; ++i) {
      Bytes r = Bytes(span).subspan(static_cast<std::size_t>(i * rsize), rsize);
      if (has_tag(r, 0, "FILE") && (*u16_at(r, ntfs::record::kFlags) & ntfs::kRecordInUse)) {
        const std::uint64_t k = n + i;
        bits[static_cast<std::size_t>(k >> 3)] |= static_cast<std::byte>(1u << (k & 7));
      }
    }
    n += count;
  }
  return bits;
}

}  // namespace

std::size_t VolumeLayout::add_file(std::string path) {
  sources_.push_back({std::move(path), {}});
  return sources_.size() - 1;
}

std::size_t VolumeLayout::add_bytes(std::vector<std::byte> bytes) {
  sources_.push_back({{}, std::move(bytes)});
  return sources_.size() - 1;
}

std::size_t VolumeLayout::add_zeros() {
  sources_.push_back({{}, {}, true});
  return sources_.size() - 1;
}

bool VolumeLayout::place(std::uint64_t at, std::uint64_t length, std::size_t source, std::uint64_t from) {
  if (length == 0 || source >= sources_.size() || at > UINT64_MAX - length || from > UINT64_MAX - length)
    return false;
  if (sources_[source].path.empty() && !sources_[source].zeros && !in_bounds(sources_[source].bytes.size(), from, length)) return false;
  auto it = std::upper_bound(pieces_.begin(), pieces_.end(), at, [](std::uint64_t p, const Piece& x) { return p < x.at; });
  if (it != pieces_.end() && it->at < at + length) return false;
  if (it != pieces_.begin() && std::prev(it)->at + std::prev(it)->length > at) return false;
  pieces_.insert(it, Piece{at, length, source, from});
  return true;
}

std::uint64_t VolumeLayout::place_stream(const std::vector<Run>& runs, std::uint64_t cluster, std::size_t source,
                                         std::uint64_t begin, std::uint64_t end) {
  std::uint64_t placed = 0;
  for (const auto& r : runs) {
    if (!r.lcn) continue;
    auto from = mul(r.vcn, cluster), at = mul(*r.lcn, cluster), len = mul(r.length, cluster);
    if (!from || !at || !len || *from > UINT64_MAX - *len || *at > UINT64_MAX - *len) continue;
    // The part of the run inside [begin, end).
    const std::uint64_t lo = std::max(*from, begin), hi = std::min(*from + *len, end);
    if (lo >= hi) continue;
    if (place(*at + (lo - *from), hi - lo, source, lo)) placed += hi - lo;
  }
  return placed;
}

Result<ImageFile> open_layout(std::shared_ptr<const VolumeLayout> layout, std::uint64_t length) {
  return ImageFile::from_source("the collection", std::make_unique<LayoutSource>(std::move(layout)), length);
}

namespace {

// The --mft copy, checked: its record size and record 0's attributes.
struct MftCopy {
  ImageFile file;
  std::uint32_t rsize = 0;
  std::vector<Attribute> attrs0;
  Attribute data0;  // record 0's unnamed $DATA, non-resident
};

Result<MftCopy> open_mft_copy(const CollectionFiles& files) {
  auto mft = open_copy("--mft", files.mft);
  if (!mft) return fail(mft.error());
  const auto not_mft = [&](const std::string& why) { return fail(bad("--mft", files.mft, "not an $MFT (" + why + ")")); };

  // Record 0 is $MFT's own; its header gives the record size.
  std::array<std::byte, 1024> head{};
  if (mft->size() < head.size() || !mft->read(0, head) || !has_tag(head, 0, "FILE"))
    return not_mft("no FILE record at its start");
  const std::uint32_t rsize = load_le<std::uint32_t>(head.data() + ntfs::record::kBytesAllocated);
  if (!std::has_single_bit(rsize) || rsize < 1024 || rsize > 4096)
    return not_mft("its first record gives the record size " + std::to_string(rsize));
  auto rec0 = copy_record(*mft, 0, rsize);
  if (!rec0 || !rec0->second.in_use()) return not_mft("its first record is cut short or damaged");
  auto attrs0 = image::parse_attributes(rec0->first, kMaxClusters);
  const Attribute* data0 = unnamed(attrs0, ntfs::kAttrData);
  if (!data0 || data0->resident || data0->lowest_vcn != 0 || data0->runs.empty() || !data0->runs[0].lcn ||
      *data0->runs[0].lcn == 0)
    return not_mft("its first record describes no $MFT data");

  // A copy that ends before the records record 0 counts is cut short: the
  // records past the cut are unknown, not free, and a live file among them
  // would look deleted. Such a copy is refused.
  const std::uint64_t records = std::min(data0->initialized_size, data0->data_size) / rsize;
  if (mft->size() / rsize < records)
    return fail(bad("--mft", files.mft,
                    "the copy is cut short: it holds " + std::to_string(mft->size() / rsize) + " whole records of the " +
                        std::to_string(records) + " its first record counts"));
  Attribute data = *data0;
  return MftCopy{std::move(*mft), rsize, std::move(attrs0), std::move(data)};
}

// The cluster size (when a record tells it), how far the volume reaches and
// where the $MFT's mirror starts, from the system files' records.
struct VolumeExtent {
  std::optional<std::uint32_t> cluster;
  std::uint64_t clusters = 0;
  std::uint64_t mirror_lcn = 0;
};

VolumeExtent volume_extent(MftCopy& mft) {
  VolumeExtent v;
  v.clusters = run_end(mft.attrs0);
  for (std::uint64_t n : {kBootRecord, std::uint64_t{0}, kBitmapRecord, kLogFileRecord, kMirrorRecord}) {
    auto r = copy_record(mft.file, n, mft.rsize);
    if (!r || !r->second.in_use()) continue;
    auto attrs = image::parse_attributes(r->first, kMaxClusters);
    if (!v.cluster && n != kMirrorRecord) v.cluster = cluster_of(attrs);
    v.clusters = std::max(v.clusters, run_end(attrs));
    const Attribute* d = unnamed(attrs, ntfs::kAttrData);
    if (n == kMirrorRecord && d && !d->resident && !d->runs.empty() && d->runs[0].lcn) v.mirror_lcn = *d->runs[0].lcn;
    if (n == kBitmapRecord && d) v.clusters = std::max(v.clusters, mul(d->size(), 8).value_or(0));
  }
  return v;
}

// The --logfile copy, checked: both restart pages lead the file ("RSTR", or
// "CHKD" after a check); a log emptied by a reset is all 0xFF, restart pages
// included, and NTFS starts it afresh at the next mount.
struct LogCopy {
  ImageFile file;
  bool emptied = false;
};

Result<LogCopy> open_log_copy(const std::string& path) {
  auto l = open_copy("--logfile", path);
  if (!l) return fail(l.error());
  std::array<std::byte, 2 * 4096> pages{};
  const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(pages.size(), l->size()));
  bool restart = false, emptied = false;
  if (l->read(0, std::span(pages).first(n))) {
    const Bytes b = Bytes(pages).first(n);
    for (std::size_t at : {std::size_t{0}, std::size_t{4096}})
      if (has_tag(b, at, "RSTR") || has_tag(b, at, "CHKD")) restart = true;
    if (std::all_of(b.begin(), b.end(), [](std::byte x) { return x == std::byte{0xFF}; })) {
      restart = true;
      emptied = true;
    }
  }
  if (!restart) return fail(bad("--logfile", path, "not a $LogFile (no restart page at its start)"));
  return LogCopy{std::move(*l), emptied};
}

// What the layout is made of, gathered once.
struct LayoutParts {
  const CollectionFiles& files;
  MftCopy& mft;
  std::uint32_t csize = 0;
  std::uint64_t clusters = 0;
  std::uint64_t mirror_lcn = 0;
  std::vector<std::byte> bits;  // the $MFT's bitmap, made from the records; empty when resident
  std::optional<ImageFile> bitmap_copy;
  std::optional<LogCopy> log_copy;
};

// Puts the pieces in place. The first pass knows the runs of record 0's own
// $DATA; the volume opened on it joins the pieces of a fragmented $MFT and
// reads records 2 and 6, whose runs place the other copies.
std::shared_ptr<VolumeLayout> lay_out(const LayoutParts& p, const std::vector<Run>& mft_runs,
                                      const std::vector<Run>* log_runs, const std::vector<Run>* bm_runs) {
  auto l = std::make_shared<VolumeLayout>();
  const std::uint32_t rsize = p.mft.rsize;
  l->place(0, kSector, l->add_bytes(boot_sector(p.csize, rsize, p.clusters, *p.mft.data0.runs[0].lcn, p.mirror_lcn)), 0);
  // The $MFT's whole records from the copy; the rest of its clusters (past
  // its data, or past where the copy was cut) holds no record the copy can
  // give, and reads as zeros.
  const std::uint64_t whole = p.mft.file.size() / rsize * rsize;
  l->place_stream(mft_runs, p.csize, l->add_file(p.files.mft), 0, whole);
  l->place_stream(mft_runs, p.csize, l->add_zeros(), whole, UINT64_MAX);
  if (!p.bits.empty()) {
    // Past the copy's records the bitmap is clear.
    const Attribute* bitmap0 = unnamed(p.mft.attrs0, ntfs::kAttrBitmap);
    const std::uint64_t n = p.bits.size();
    l->place_stream(bitmap0->runs, p.csize, l->add_bytes(p.bits), 0, n);
    l->place_stream(bitmap0->runs, p.csize, l->add_zeros(), n, UINT64_MAX);
  }
  if (log_runs && p.log_copy)
    l->place_stream(*log_runs, p.csize, l->add_file(*p.files.logfile), 0, p.log_copy->file.size());
  if (bm_runs && p.bitmap_copy)
    l->place_stream(*bm_runs, p.csize, l->add_file(*p.files.bitmap), 0, p.bitmap_copy->size());
  return l;
}

using OpenedLayout = std::pair<ImageFile, std::shared_ptr<const image::NtfsVolume>>;

Result<OpenedLayout> open_on(const std::shared_ptr<VolumeLayout>& l, std::uint64_t length, const std::string& mft_path) {
  auto file = open_layout(l, length);
  if (!file) return fail(file.error());
  auto v = image::NtfsVolume::open(*file, {0, length});
  if (!v) {
    // "cannot use image NAME: why" from the image reader: the why is about
    // the $MFT copy here.
    std::string why = v.error().text();
    if (auto colon = why.find(": "); colon != std::string::npos) why.erase(0, colon + 2);
    return fail(bad("--mft", mft_path, why));
  }
  return OpenedLayout{std::move(*file), *v};
}

}  // namespace

Result<AssembledVolume> assemble_volume(const CollectionFiles& files) {
  auto mft = open_mft_copy(files);
  if (!mft) return fail(mft.error());
  const VolumeExtent extent = volume_extent(*mft);
  LayoutParts parts{files, *mft, extent.cluster.value_or(kDefaultCluster), extent.clusters, extent.mirror_lcn, {}, {}, {}};
  if (files.bitmap) {
    auto b = open_copy("--bitmap", *files.bitmap);
    if (!b) return fail(b.error());
    parts.clusters = std::max(parts.clusters, mul(b->size(), 8).value_or(0));
    parts.bitmap_copy = std::move(*b);
  }
  if (files.logfile) {
    auto l = open_log_copy(*files.logfile);
    if (!l) return fail(l.error());
    parts.log_copy = std::move(*l);
  }
  parts.clusters = std::max<std::uint64_t>(parts.clusters, 16);
  if (!mul(parts.clusters, parts.csize) || parts.clusters * parts.csize > (std::uint64_t{1} << 60))
    return fail(bad("--mft", files.mft, "not an $MFT (its records place data beyond any volume)"));
  const std::uint64_t length = parts.clusters * parts.csize;
  const Attribute* bitmap0 = unnamed(mft->attrs0, ntfs::kAttrBitmap);
  if (bitmap0 && !bitmap0->resident)
    parts.bits = in_use_bits(mft->file, mft->rsize, (mft->file.size() / mft->rsize + 7) / 8);

  auto first = open_on(lay_out(parts, mft->data0.runs, nullptr, nullptr), length, files.mft);
  if (!first) return fail(first.error());
  image::NtfsReader reader(first->second, std::move(first->first));
  std::vector<Run> log_runs, bm_runs;
  if (auto r = reader.load(kLogFileRecord))
    if (const Attribute* d = r->find(ntfs::kAttrData); d && !d->resident) log_runs = d->runs;
  if (auto r = reader.load(kBitmapRecord))
    if (const Attribute* d = r->find(ntfs::kAttrData); d && !d->resident) bm_runs = d->runs;
  auto second = open_on(lay_out(parts, first->second->mft_runs(), &log_runs, &bm_runs), length, files.mft);
  if (!second) return fail(second.error());
  const bool log_emptied = parts.log_copy && parts.log_copy->emptied;
  return AssembledVolume{std::move(second->first), length, mft->rsize, parts.csize, extent.cluster.has_value(),
                         log_emptied};
}

}  // namespace quillon::platform::collection
