// Test helpers for the record evaluation and the scope walk: FILE records
// laid out as NTFS writes them, and an in-memory MFT (one extent from
// cluster 0, 4096-byte clusters, 1024-byte records) behind a volume device.
#pragma once

#include <cstring>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/bytes.h"
#include "engine/windows/raw_mft.h"
#include "support/ntfs_builder.h"
#include "platform/memory/memory_platform.h"

namespace quillon::test {

constexpr std::uint32_t kRecordSize = 1024;
constexpr std::uint32_t kClusterSize = 4096;

// Records by number, laid out from byte 0 of the volume.
class FakeMft {
 public:
  void put(std::uint64_t number, const MftRecord& record) { records_[number] = numbered(record, number); }

  std::vector<std::byte> volume_bytes() const {
    std::uint64_t n = records_.empty() ? 1 : records_.rbegin()->first + 1;
    std::vector<std::byte> bytes(n * kRecordSize);
    for (const auto& [k, r] : records_) std::memcpy(bytes.data() + k * kRecordSize, r.data(), kRecordSize);
    return bytes;
  }

  // A bitmap that shows every record free, so every lookup reads raw.
  MftContext context() const {
    MftContext ctx;
    store_le<std::uint32_t>(ctx.volume.raw.data() + 44, kClusterSize);
    store_le<std::uint32_t>(ctx.volume.raw.data() + 48, kRecordSize);
    ctx.geometry.bytes_per_cluster = kClusterSize;
    ctx.geometry.mft_start_lcn = 0;
    ctx.geometry.record_size = kRecordSize;
    std::uint64_t n = records_.empty() ? 1 : records_.rbegin()->first + 1;
    ctx.bitmap = std::make_shared<const MftBitmap>((n + 7) / 8, std::byte{0});
    return ctx;
  }

  // The volume for a memory platform: raw bytes, and the volume data query.
  platform::MemoryPlatform::Volume volume() const {
    platform::MemoryPlatform::Volume v;
    v.bytes = volume_bytes();
    auto data = context().volume;
    store_le<std::uint64_t>(data.raw.data() + 56, v.bytes.size());
    auto records = records_;
    v.control = [data, records](std::uint32_t code, std::span<const std::byte> in,
                                std::span<std::byte> out) -> Result<std::size_t> {
      if (code == platform::FSCTL_GET_NTFS_VOLUME_DATA && out.size() >= data.raw.size()) {
        std::memcpy(out.data(), data.raw.data(), data.raw.size());
        return data.raw.size();
      }
      // The file system's record query, for the exact record asked for.
      if (code == platform::FSCTL_GET_NTFS_FILE_RECORD && in.size() == 8 && out.size() >= 12 + kRecordSize) {
        auto it = records.find(load_le<std::uint64_t>(in.data()) & 0xFFFFFFFFFFFFULL);
        if (it == records.end()) return fail(win32::error(win32::ERROR_INVALID_PARAMETER));
        store_le<std::uint64_t>(out.data(), it->first);
        store_le<std::uint32_t>(out.data() + 8, kRecordSize);
        std::memcpy(out.data() + 12, it->second.data(), kRecordSize);
        return 12 + kRecordSize;
      }
      return fail(win32::error(win32::ERROR_INVALID_FUNCTION));
    };
    return v;
  }

 private:
  std::map<std::uint64_t, MftRecord> records_;
};

}  // namespace quillon::test
