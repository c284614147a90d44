// Test helpers of the MFT reader: a volume device over bytes or an image file that
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
#include "support/ntfs_builder.h"

namespace quillon::test::mft_fixture {

// The shared builder under the names these tests use.
using test::bytes;
using test::file_name_value;
using test::index_entry;
using test::index_root_value;
using test::put16;
using test::put32;
using test::put64;
using test::RecordBuilder;

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
      ntfs::apply_update_sequence(r0, ntfs::TornStride::keep_as_read);
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
      ntfs::apply_update_sequence(rec, ntfs::TornStride::keep_as_read);
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
