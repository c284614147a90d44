// Test helpers of the MFT reader: FILE records built byte by byte the way
// NTFS lays them out, and a volume device over bytes or an image file that
// answers the two NTFS control codes the way Windows does.
#pragma once

#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "datasource/windows/volume.h"
#include "engine/windows/raw_mft.h"

namespace quillon::test::mft_fixture {

inline std::vector<std::byte> bytes(std::initializer_list<int> v) {
  std::vector<std::byte> out;
  for (int b : v) out.push_back(static_cast<std::byte>(b));
  return out;
}

inline void put16(std::vector<std::byte>& b, std::size_t at, std::uint64_t v) { store_le<std::uint16_t>(b.data() + at, static_cast<std::uint16_t>(v)); }
inline void put32(std::vector<std::byte>& b, std::size_t at, std::uint64_t v) { store_le<std::uint32_t>(b.data() + at, static_cast<std::uint32_t>(v)); }
inline void put64(std::vector<std::byte>& b, std::size_t at, std::uint64_t v) { store_le<std::uint64_t>(b.data() + at, v); }

// A $FILE_NAME value.
inline std::vector<std::byte> file_name_value(std::uint64_t parent, const std::u16string& name, int ns = 1,
                                              std::uint64_t allocated = 0, std::uint64_t time = 0) {
  std::vector<std::byte> v(66 + 2 * name.size());
  put64(v, 0, parent);
  put64(v, 16, time);
  put64(v, 40, allocated);
  v[64] = static_cast<std::byte>(name.size());
  v[65] = static_cast<std::byte>(ns);
  for (std::size_t i = 0; i < name.size(); ++i) put16(v, 66 + 2 * i, name[i]);
  return v;
}

// One index entry: FRN, lengths, flags, key (padded to 8 bytes).
inline std::vector<std::byte> index_entry(std::uint64_t frn, const std::vector<std::byte>& key, int flags = 0) {
  std::size_t len = (16 + key.size() + 7) / 8 * 8;
  std::vector<std::byte> e(len);
  put64(e, 0, frn);
  put16(e, 8, len);
  put16(e, 10, key.size());
  e[12] = static_cast<std::byte>(flags);
  if (!key.empty()) std::memcpy(e.data() + 16, key.data(), key.size());
  return e;
}

// A resident $INDEX_ROOT value holding `entries` (16-byte root header, then
// the index header whose first field is the first entry's offset).
inline std::vector<std::byte> index_root_value(const std::vector<std::vector<std::byte>>& entries) {
  std::vector<std::byte> v(32);
  put32(v, 0, 0x30);
  put32(v, 16, 16);
  for (const auto& e : entries) v.insert(v.end(), e.begin(), e.end());
  put32(v, 20, v.size() - 16);
  put32(v, 24, v.size() - 16);
  return v;
}

// Builds one FILE record: header with an update sequence array at 0x30,
// attributes from 0x38 on, the end marker.
class RecordBuilder {
 public:
  explicit RecordBuilder(std::uint32_t size = 1024, std::uint16_t flags = kRecordInUse, std::uint16_t seq = 1)
      : size_(size), flags_(flags), seq_(seq) {}

  RecordBuilder& resident(std::uint32_t type, const std::vector<std::byte>& value, std::u16string name = u"") {
    std::size_t name_off = 24, value_off = (24 + 2 * name.size() + 7) / 8 * 8;
    std::vector<std::byte> a((value_off + value.size() + 7) / 8 * 8);
    put32(a, 0, type);
    put32(a, 4, a.size());
    a[9] = static_cast<std::byte>(name.size());
    put16(a, 10, name_off);
    for (std::size_t i = 0; i < name.size(); ++i) put16(a, name_off + 2 * i, name[i]);
    put32(a, 16, value.size());
    put16(a, 20, value_off);
    if (!value.empty()) std::memcpy(a.data() + value_off, value.data(), value.size());
    attrs_.push_back(std::move(a));
    return *this;
  }
  RecordBuilder& file_name(std::uint64_t parent, const std::u16string& name, int ns = 1, std::uint64_t allocated = 0,
                           std::uint64_t time = 0) {
    return resident(kAttrFileName, file_name_value(parent, name, ns, allocated, time));
  }
  RecordBuilder& non_resident(std::uint32_t type, std::uint64_t data_size, const std::vector<std::byte>& pairs,
                              std::int64_t lowest_vcn = 0, std::u16string name = u"") {
    std::size_t name_off = 64, pairs_off = (64 + 2 * name.size() + 7) / 8 * 8;
    std::vector<std::byte> a((pairs_off + pairs.size() + 7) / 8 * 8);
    put32(a, 0, type);
    put32(a, 4, a.size());
    a[8] = std::byte{1};
    a[9] = static_cast<std::byte>(name.size());
    put16(a, 10, name_off);
    for (std::size_t i = 0; i < name.size(); ++i) put16(a, name_off + 2 * i, name[i]);
    put64(a, 16, static_cast<std::uint64_t>(lowest_vcn));
    put16(a, 32, pairs_off);
    put64(a, 40, data_size);
    put64(a, 48, data_size);
    put64(a, 56, data_size);
    if (!pairs.empty()) std::memcpy(a.data() + pairs_off, pairs.data(), pairs.size());
    attrs_.push_back(std::move(a));
    return *this;
  }
  RecordBuilder& base(std::uint64_t base_frn) {
    base_ = base_frn;
    return *this;
  }

  // `protect`: the last two bytes of every 512-byte stride replaced by the
  // update sequence number, as the record lies on disk.
  MftRecord build(bool protect = false, std::uint16_t usn = 0x0005) const {
    std::vector<std::byte> r(size_);
    std::memcpy(r.data(), "FILE", 4);
    const std::size_t strides = size_ / 512;
    put16(r, 0x04, 0x30);
    put16(r, 0x06, strides + 1);
    put16(r, 0x10, seq_);
    put16(r, 0x14, 0x38);
    put16(r, 0x16, flags_);
    put64(r, 0x20, base_);
    std::size_t off = 0x38;
    for (const auto& a : attrs_) {
      std::memcpy(r.data() + off, a.data(), a.size());
      off += a.size();
    }
    put32(r, off, kAttrEnd);
    put32(r, 0x18, off + 8);
    put32(r, 0x1C, size_);
    put16(r, 0x30, usn);
    if (protect) {
      for (std::size_t i = 1; i <= strides; ++i) {
        r[0x30 + 2 * i] = r[i * 512 - 2];
        r[0x30 + 2 * i + 1] = r[i * 512 - 1];
        put16(r, i * 512 - 2, usn);
      }
    }
    return r;
  }

 private:
  std::uint32_t size_;
  std::uint16_t flags_;
  std::uint16_t seq_;
  std::uint64_t base_ = 0;
  std::vector<std::vector<std::byte>> attrs_;
};

// The 96-byte volume data of an NTFS boot sector.
inline std::optional<NtfsVolumeData> volume_data_of_boot(Bytes boot) {
  if (boot.size() < 512 || !has_tag(boot, 3, "NTFS    ")) return std::nullopt;
  const std::uint64_t bps = load_le<std::uint16_t>(boot.data() + 0x0B);
  const std::int8_t spc = static_cast<std::int8_t>(boot[0x0D]);
  const std::uint64_t bpc = spc < 0 ? (1ull << -spc) : bps * static_cast<std::uint64_t>(spc);
  const std::int8_t cpr = static_cast<std::int8_t>(boot[0x40]);
  const std::uint64_t rec = cpr < 0 ? (1ull << -cpr) : bpc * static_cast<std::uint64_t>(cpr);
  NtfsVolumeData vd;
  const std::uint64_t sectors = load_le<std::uint64_t>(boot.data() + 0x28);
  store_le<std::uint64_t>(vd.raw.data() + 0, load_le<std::uint64_t>(boot.data() + 0x48));
  store_le<std::uint64_t>(vd.raw.data() + 8, sectors);
  store_le<std::uint64_t>(vd.raw.data() + 16, sectors * bps / bpc);
  store_le<std::uint32_t>(vd.raw.data() + 40, static_cast<std::uint32_t>(bps));
  store_le<std::uint32_t>(vd.raw.data() + 44, static_cast<std::uint32_t>(bpc));
  store_le<std::uint32_t>(vd.raw.data() + 48, static_cast<std::uint32_t>(rec));
  store_le<std::uint64_t>(vd.raw.data() + 64, load_le<std::uint64_t>(boot.data() + 0x30));
  store_le<std::uint64_t>(vd.raw.data() + 72, load_le<std::uint64_t>(boot.data() + 0x38));
  return vd;
}

// A volume device over bytes in memory or over an image file (from a byte
// offset), answering FSCTL_GET_NTFS_VOLUME_DATA from the boot sector and
// FSCTL_GET_NTFS_FILE_RECORD as Windows does: the nearest in-use record at
// or below the one asked for, fixups applied. Counts what it is asked.
class FakeVolume final : public platform::VolumeDevice {
 public:
  struct Log {
    std::size_t reads = 0;
    std::vector<std::uint64_t> record_queries;  // FRNs asked of FSCTL_GET_NTFS_FILE_RECORD
    std::size_t volume_queries = 0;
  };
  using Handler = std::function<Result<std::size_t>(std::uint32_t, Bytes, std::span<std::byte>)>;

  FakeVolume(std::vector<std::byte> bytes, std::shared_ptr<Log> log) : mem_(std::move(bytes)), log_(std::move(log)) {}
  FakeVolume(const std::filesystem::path& file, std::uint64_t base, std::shared_ptr<Log> log)
      : file_(std::make_shared<std::ifstream>(file, std::ios::binary)), base_(base), log_(std::move(log)) {
    file_->seekg(0, std::ios::end);
    file_size_ = static_cast<std::uint64_t>(file_->tellg());
  }
  // Replaces the control-code answers (nullptr: the NTFS emulation).
  void set_handler(Handler h) { handler_ = std::move(h); }

  Result<void> read_exact_at(std::uint64_t offset, std::span<std::byte> out) override {
    ++log_->reads;
    return raw_read(offset, out);
  }

  Result<std::size_t> control(std::uint32_t code, std::span<const std::byte> in, std::span<std::byte> out) override {
    if (code == platform::FSCTL_GET_NTFS_FILE_RECORD && in.size() >= 8)
      log_->record_queries.push_back(load_le<std::uint64_t>(in.data()));
    if (code == platform::FSCTL_GET_NTFS_VOLUME_DATA) ++log_->volume_queries;
    if (handler_) return handler_(code, in, out);
    if (code == platform::FSCTL_GET_NTFS_VOLUME_DATA) {
      auto vd = volume();
      if (!vd) return fail(win32::error(win32::ERROR_INVALID_PARAMETER));
      std::memcpy(out.data(), vd->raw.data(), std::min(out.size(), vd->raw.size()));
      return std::min(out.size(), vd->raw.size());
    }
    if (code == platform::FSCTL_GET_NTFS_FILE_RECORD && in.size() >= 8) {
      auto vd = volume();
      if (!vd) return fail(win32::error(win32::ERROR_INVALID_PARAMETER));
      const std::uint32_t size = vd->record_size();
      if (out.size() < 12 + size) return fail(win32::error(win32::ERROR_INSUFFICIENT_BUFFER));
      for (std::uint64_t n = load_le<std::uint64_t>(in.data()) & kRecordMask;; --n) {
        auto rec = record(*vd, n);
        if (rec && record_flags(*rec) && record_in_use(*rec)) {
          store_le<std::uint64_t>(out.data(), n | (std::uint64_t{load_le<std::uint16_t>(rec->data() + 0x10)} << 48));
          store_le<std::uint32_t>(out.data() + 8, size);
          std::memcpy(out.data() + 12, rec->data(), size);
          return 12 + size;
        }
        if (n == 0) break;
      }
      return fail(win32::error(win32::ERROR_INVALID_PARAMETER));
    }
    return fail(win32::error(win32::ERROR_INVALID_FUNCTION));
  }

  std::optional<NtfsVolumeData> volume() {
    std::vector<std::byte> boot(512);
    if (!raw_read(0, boot)) return std::nullopt;
    return volume_data_of_boot(boot);
  }

  // Record n with its fixups, located through the runs of record 0.
  std::optional<MftRecord> record(const NtfsVolumeData& vd, std::uint64_t n) {
    const std::uint64_t C = vd.bytes_per_cluster(), size = vd.record_size();
    if (!mft_runs_) {
      MftRecord r0(size);
      if (!raw_read(C * vd.mft_start_lcn(), r0)) return std::nullopt;
      apply_fixups(r0);
      auto runs = data_runs(r0);
      mft_runs_ = runs ? runs->runs : std::vector<DataRun>{};
    }
    const std::uint64_t pos = n * size;
    for (const auto& r : *mft_runs_) {
      const std::uint64_t s = static_cast<std::uint64_t>(r.vcn) * C, e = s + static_cast<std::uint64_t>(r.length) * C;
      if (pos < s || pos + size > e) continue;
      MftRecord rec(size);
      if (!raw_read(static_cast<std::uint64_t>(r.lcn) * C + (pos - s), rec) || !has_tag(rec, 0, "FILE"))
        return std::nullopt;
      apply_fixups(rec);
      return rec;
    }
    return std::nullopt;
  }

 private:
  Result<void> raw_read(std::uint64_t offset, std::span<std::byte> out) {
    if (file_) {
      if (!in_bounds(file_size_ - std::min(file_size_, base_), offset, out.size()))
        return fail(win32::error(win32::ERROR_HANDLE_EOF));
      file_->clear();
      file_->seekg(static_cast<std::streamoff>(base_ + offset));
      file_->read(reinterpret_cast<char*>(out.data()), static_cast<std::streamsize>(out.size()));
      if (!*file_) return fail(win32::error(win32::ERROR_READ_FAULT));
      return {};
    }
    if (!in_bounds(mem_.size(), offset, out.size())) return fail(win32::error(win32::ERROR_HANDLE_EOF));
    std::memcpy(out.data(), mem_.data() + offset, out.size());
    return {};
  }

  std::vector<std::byte> mem_;
  std::shared_ptr<std::ifstream> file_;
  std::uint64_t base_ = 0, file_size_ = 0;
  std::shared_ptr<Log> log_;
  Handler handler_;
  std::optional<std::vector<DataRun>> mft_runs_;
};

inline VolumeReader fake_reader(std::vector<std::byte> bytes, std::shared_ptr<FakeVolume::Log> log,
                                FakeVolume** out = nullptr) {
  auto dev = std::make_unique<FakeVolume>(std::move(bytes), std::move(log));
  if (out) *out = dev.get();
  return VolumeReader(std::move(dev));
}

inline VolumeReader image_reader(const std::filesystem::path& file, std::uint64_t base,
                                 std::shared_ptr<FakeVolume::Log> log, FakeVolume** out = nullptr) {
  auto dev = std::make_unique<FakeVolume>(file, base, std::move(log));
  if (out) *out = dev.get();
  return VolumeReader(std::move(dev));
}

}  // namespace quillon::test::mft_fixture
