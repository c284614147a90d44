// The tests' one set of byte writers and one NTFS record builder: FILE
// records, $FILE_NAME values and index entries laid out through the same
// named offsets the readers use.
#pragma once

#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/bytes.h"
#include "common/ntfs_layout.h"
#include "engine/windows/raw_mft.h"

namespace quillon::test {

template <class Buf>
void put16(Buf& b, std::size_t at, std::uint64_t v) {
  store_le<std::uint16_t>(b.data() + at, static_cast<std::uint16_t>(v));
}
template <class Buf>
void put32(Buf& b, std::size_t at, std::uint64_t v) {
  store_le<std::uint32_t>(b.data() + at, static_cast<std::uint32_t>(v));
}
template <class Buf>
void put64(Buf& b, std::size_t at, std::uint64_t v) {
  store_le<std::uint64_t>(b.data() + at, v);
}

inline std::vector<std::byte> bytes(std::initializer_list<int> v) {
  std::vector<std::byte> out;
  for (int b : v) out.push_back(static_cast<std::byte>(b));
  return out;
}

// A $FILE_NAME value (also the key of an index entry).
inline std::vector<std::byte> file_name_value(std::uint64_t parent, const std::u16string& name, int ns = 1,
                                              std::uint64_t allocated = 0, std::uint64_t time = 0) {
  namespace fn = ntfs::file_name;
  std::vector<std::byte> v(fn::kName + 2 * name.size());
  put64(v, fn::kParent, parent);
  put64(v, fn::kModified, time);
  put64(v, fn::kAllocatedSize, allocated);
  v[fn::kNameLength] = static_cast<std::byte>(name.size());
  v[fn::kNamespace] = static_cast<std::byte>(ns);
  for (std::size_t i = 0; i < name.size(); ++i) put16(v, fn::kName + 2 * i, name[i]);
  return v;
}

// One index entry: file reference, lengths, flags, key (padded to 8 bytes).
inline std::vector<std::byte> index_entry(std::uint64_t frn, const std::vector<std::byte>& key, int flags = 0) {
  namespace ie = ntfs::index_entry;
  std::size_t len = (ie::kKey + key.size() + 7) / 8 * 8;
  std::vector<std::byte> e(len);
  put64(e, ie::kFileReference, frn);
  put16(e, ie::kLength, len);
  put16(e, ie::kKeyLength, key.size());
  e[ie::kFlags] = static_cast<std::byte>(flags);
  if (!key.empty()) std::memcpy(e.data() + ie::kKey, key.data(), key.size());
  return e;
}

// A resident $INDEX_ROOT value holding `entries` (16-byte root header, then
// the index header whose first field is the first entry's offset).
inline std::vector<std::byte> index_root_value(const std::vector<std::vector<std::byte>>& entries) {
  namespace ih = ntfs::index_header;
  constexpr std::size_t h = ntfs::index_root::kHeader;
  std::vector<std::byte> v(h + ih::kSize);
  put32(v, ntfs::index_root::kAttributeType, kAttrFileName);
  put32(v, h + ih::kFirstEntry, ih::kSize);
  for (const auto& e : entries) v.insert(v.end(), e.begin(), e.end());
  put32(v, h + ih::kBytesInUse, v.size() - h);
  put32(v, h + ih::kBytesAllocated, v.size() - h);
  return v;
}

struct IndexChild {
  std::uint64_t frn;  // full, with sequence
  std::uint64_t parent;
  std::u16string name;
};

// `r` placed as record `n`: a "FILE" or "BAAD" record gets that number in
// its header, as NTFS writes it.
inline std::vector<std::byte> numbered(std::vector<std::byte> r, std::uint64_t n) {
  if (r.size() >= ntfs::record::kNumberedUsaOffset && (has_tag(r, 0, "FILE") || has_tag(r, 0, "BAAD")))
    put32(r, ntfs::record::kRecordNumber, n);
  return r;
}

// Builds one FILE record: header with an update sequence array at 0x30,
// attributes from 0x38 on, the end marker.
class RecordBuilder {
 public:
  explicit RecordBuilder(std::uint32_t size = 1024, std::uint16_t flags = kRecordInUse, std::uint16_t seq = 1)
      : size_(size), flags_(flags), seq_(seq) {}

  RecordBuilder& resident(std::uint32_t type, const std::vector<std::byte>& value, std::u16string name = u"") {
    namespace at = ntfs::attribute;
    std::size_t name_off = at::kMinLength, value_off = (at::kMinLength + 2 * name.size() + 7) / 8 * 8;
    std::vector<std::byte> a((value_off + value.size() + 7) / 8 * 8);
    put32(a, at::kType, type);
    put32(a, at::kLength, a.size());
    a[at::kNameLength] = static_cast<std::byte>(name.size());
    put16(a, at::kNameOffset, name_off);
    for (std::size_t i = 0; i < name.size(); ++i) put16(a, name_off + 2 * i, name[i]);
    put32(a, at::kValueLength, value.size());
    put16(a, at::kValueOffset, value_off);
    if (!value.empty()) std::memcpy(a.data() + value_off, value.data(), value.size());
    attrs_.push_back(std::move(a));
    return *this;
  }
  RecordBuilder& file_name(std::uint64_t parent, const std::u16string& name, int ns = 1, std::uint64_t allocated = 0,
                           std::uint64_t time = 0) {
    return resident(kAttrFileName, file_name_value(parent, name, ns, allocated, time));
  }
  // A resident unnamed $DATA of `length` bytes.
  RecordBuilder& data(std::size_t length) { return resident(kAttrData, std::vector<std::byte>(length, std::byte{'x'})); }
  // A resident $INDEX_ROOT listing `children` (then the closing entry).
  RecordBuilder& index(const std::vector<IndexChild>& children) {
    std::vector<std::vector<std::byte>> entries;
    for (const auto& c : children) entries.push_back(index_entry(c.frn, file_name_value(c.parent, c.name)));
    entries.push_back(index_entry(0, {}, ntfs::index_entry::kHasSubnode | ntfs::index_entry::kLast));
    return resident(kAttrIndexRoot, index_root_value(entries));
  }
  RecordBuilder& non_resident(std::uint32_t type, std::uint64_t data_size, const std::vector<std::byte>& pairs,
                              std::int64_t lowest_vcn = 0, std::u16string name = u"") {
    namespace at = ntfs::attribute;
    std::size_t name_off = at::kNonResidentHeader, pairs_off = (at::kNonResidentHeader + 2 * name.size() + 7) / 8 * 8;
    std::vector<std::byte> a((pairs_off + pairs.size() + 7) / 8 * 8);
    put32(a, at::kType, type);
    put32(a, at::kLength, a.size());
    a[at::kNonResident] = std::byte{1};
    a[at::kNameLength] = static_cast<std::byte>(name.size());
    put16(a, at::kNameOffset, name_off);
    for (std::size_t i = 0; i < name.size(); ++i) put16(a, name_off + 2 * i, name[i]);
    put64(a, at::kLowestVcn, static_cast<std::uint64_t>(lowest_vcn));
    put16(a, at::kMappingPairsOffset, pairs_off);
    put64(a, at::kAllocatedSize, data_size);
    put64(a, at::kDataSize, data_size);
    put64(a, at::kInitializedSize, data_size);
    if (!pairs.empty()) std::memcpy(a.data() + pairs_off, pairs.data(), pairs.size());
    attrs_.push_back(std::move(a));
    return *this;
  }
  RecordBuilder& base(std::uint64_t base_frn) {
    base_ = base_frn;
    return *this;
  }
  RecordBuilder& sequence(std::uint16_t seq) {
    seq_ = seq;
    return *this;
  }

  // `protect`: the last two bytes of every 512-byte stride replaced by the
  // update sequence number, as the record lies on disk.
  MftRecord build(bool protect = false, std::uint16_t usn = 0x0005) const {
    namespace rh = ntfs::record;
    constexpr std::size_t kUsa = 0x30, kFirst = 0x38;
    std::vector<std::byte> r(size_);
    std::size_t total = kFirst + 8;
    for (const auto& a : attrs_) total += a.size();
    if (total > size_) throw std::length_error("test record too large");
    std::memcpy(r.data(), "FILE", 4);
    const std::size_t strides = size_ / ntfs::multi_sector::kStride;
    put16(r, ntfs::multi_sector::kUsaOffset, kUsa);
    put16(r, ntfs::multi_sector::kUsaCount, strides + 1);
    put16(r, rh::kSequence, seq_);
    put16(r, rh::kFirstAttribute, kFirst);
    put16(r, rh::kFlags, flags_);
    put64(r, rh::kBaseReference, base_);
    std::size_t off = kFirst;
    for (const auto& a : attrs_) {
      std::memcpy(r.data() + off, a.data(), a.size());
      off += a.size();
    }
    put32(r, off, kAttrEnd);
    put32(r, rh::kBytesInUse, off + 8);
    put32(r, rh::kBytesAllocated, size_);
    put16(r, kUsa, usn);
    if (protect) {
      for (std::size_t i = 1; i <= strides; ++i) {
        r[kUsa + 2 * i] = r[i * 512 - 2];
        r[kUsa + 2 * i + 1] = r[i * 512 - 1];
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

}  // namespace quillon::test
