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
#include "platform/memory/memory_platform.h"

namespace quillon::test {

constexpr std::uint32_t kRecordSize = 1024;
constexpr std::uint32_t kClusterSize = 4096;

inline void put16(std::vector<std::byte>& b, std::size_t at, std::uint64_t v) {
  store_le<std::uint16_t>(b.data() + at, static_cast<std::uint16_t>(v));
}
inline void put32(std::vector<std::byte>& b, std::size_t at, std::uint64_t v) {
  store_le<std::uint32_t>(b.data() + at, static_cast<std::uint32_t>(v));
}
inline void put64(std::vector<std::byte>& b, std::size_t at, std::uint64_t v) { store_le<std::uint64_t>(b.data() + at, v); }

// A $FILE_NAME value (also the key of an index entry).
inline std::vector<std::byte> file_name_value(std::uint64_t parent, const std::u16string& name, int ns,
                                              std::uint64_t allocated) {
  std::vector<std::byte> v(66 + 2 * name.size());
  put64(v, 0, parent);
  put64(v, 40, allocated);
  v[64] = static_cast<std::byte>(name.size());
  v[65] = static_cast<std::byte>(ns);
  for (std::size_t i = 0; i < name.size(); ++i) put16(v, 66 + 2 * i, name[i]);
  return v;
}

struct IndexChild {
  std::uint64_t frn;  // full, with sequence
  std::uint64_t parent;
  std::u16string name;
};

class RecordBuilder {
 public:
  explicit RecordBuilder(std::uint16_t flags = kRecordInUse) : flags_(flags) {}

  RecordBuilder& resident(std::uint32_t type, const std::vector<std::byte>& value) {
    std::vector<std::byte> a((24 + value.size() + 7) / 8 * 8);
    put32(a, 0, type);
    put32(a, 4, a.size());
    put32(a, 16, value.size());
    put16(a, 20, 24);
    if (!value.empty()) std::memcpy(a.data() + 24, value.data(), value.size());
    attrs_.push_back(std::move(a));
    return *this;
  }
  RecordBuilder& name(std::uint64_t parent, const std::u16string& n, std::uint64_t allocated = 0, int ns = 1) {
    return resident(kAttrFileName, file_name_value(parent, n, ns, allocated));
  }
  RecordBuilder& data(std::size_t length) { return resident(kAttrData, std::vector<std::byte>(length, std::byte{'x'})); }
  RecordBuilder& sequence(std::uint16_t seq) {
    seq_ = seq;
    return *this;
  }
  RecordBuilder& index(const std::vector<IndexChild>& children) {
    std::vector<std::byte> v(32);
    put32(v, 0, kAttrFileName);
    put32(v, 16, 16);  // first entry right after the index header
    for (const auto& c : children) {
      auto key = file_name_value(c.parent, c.name, 1, 0);
      std::vector<std::byte> e((16 + key.size() + 7) / 8 * 8);
      put64(e, 0, c.frn);
      put16(e, 8, e.size());
      put16(e, 10, key.size());
      std::memcpy(e.data() + 16, key.data(), key.size());
      v.insert(v.end(), e.begin(), e.end());
    }
    std::vector<std::byte> end(16);
    put16(end, 8, 16);
    end[12] = std::byte{0x03};  // last entry, ends the walk
    v.insert(v.end(), end.begin(), end.end());
    put32(v, 20, v.size() - 16);
    put32(v, 24, v.size() - 16);
    return resident(kAttrIndexRoot, v);
  }

  MftRecord build() const {
    std::vector<std::byte> r(kRecordSize);
    std::size_t total = 0x38 + 8;
    for (const auto& a : attrs_) total += a.size();
    if (total > kRecordSize) throw std::length_error("test record too large");
    std::memcpy(r.data(), "FILE", 4);
    put16(r, 0x10, seq_);
    put16(r, 0x14, 0x38);
    put16(r, 0x16, flags_);
    std::size_t off = 0x38;
    for (const auto& a : attrs_) {
      std::memcpy(r.data() + off, a.data(), a.size());
      off += a.size();
    }
    put32(r, off, kAttrEnd);
    put32(r, 0x18, off + 8);
    put32(r, 0x1C, kRecordSize);
    return r;
  }

 private:
  std::uint16_t flags_;
  std::uint16_t seq_ = 1;
  std::vector<std::vector<std::byte>> attrs_;
};

// Records by number, laid out from byte 0 of the volume.
class FakeMft {
 public:
  void put(std::uint64_t number, const MftRecord& record) { records_[number] = record; }

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
