// Synthetic change-journal records and a journal that answers the three
// journal control codes from them, for MemoryPlatform volumes.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/bytes.h"
#include "common/error.h"
#include "platform/control_layout.h"
#include "platform/memory/memory_platform.h"
#include "platform/platform.h"
#include "support/ntfs_builder.h"

namespace quillon::test {

using Buffer = std::vector<std::byte>;

inline constexpr std::uint32_t kUsnDelete = 0x200;
inline constexpr std::uint32_t kUsnRenameOld = 0x1000;
inline constexpr std::uint32_t kUsnRenameNew = 0x2000;
inline constexpr std::uint32_t kUsnClose = 0x80000000;
inline constexpr std::uint32_t kUsnDataOverwrite = 0x1;
inline constexpr std::uint32_t kUsnFileCreate = 0x100;


inline Buffer utf16le(const std::u16string& s) {
  Buffer b(s.size() * 2);
  for (std::size_t i = 0; i < s.size(); ++i) put16(b, i * 2, static_cast<std::uint16_t>(s[i]));
  return b;
}

// USN_RECORD_V2, its length padded to 8.
inline Buffer usn_v2(std::uint64_t frn, std::uint64_t parent, std::uint32_t reason, const std::u16string& name,
                     std::int64_t usn = 0) {
  namespace v2 = platform::layout::usn_record_v2;
  Buffer n = utf16le(name);
  std::size_t len = (v2::kFileName + n.size() + 7) & ~std::size_t{7};
  Buffer r(len);
  put32(r, v2::kRecordLength, static_cast<std::uint32_t>(len));
  put16(r, v2::kMajorVersion, 2);
  put64(r, v2::kFileReferenceNumber, frn);
  put64(r, v2::kParentFileReferenceNumber, parent);
  put64(r, v2::kUsn, static_cast<std::uint64_t>(usn));
  put32(r, v2::kReason, reason);
  put16(r, v2::kFileNameLength, static_cast<std::uint16_t>(n.size()));
  put16(r, v2::kFileNameOffset, v2::kFileName);
  std::copy(n.begin(), n.end(), r.begin() + v2::kFileName);
  return r;
}

// USN_RECORD_V3: 128-bit ids.
inline Buffer usn_v3(std::uint64_t frn, std::uint64_t parent, std::uint32_t reason, const std::u16string& name) {
  namespace v3 = platform::layout::usn_record_v3;
  Buffer n = utf16le(name);
  std::size_t len = (v3::kFileName + n.size() + 7) & ~std::size_t{7};
  Buffer r(len);
  put32(r, v3::kRecordLength, static_cast<std::uint32_t>(len));
  put16(r, v3::kMajorVersion, 3);
  put64(r, v3::kFileReferenceNumber, frn);
  put64(r, v3::kFileReferenceNumber + 8, 0xAAAAAAAAAAAAAAAAull);  // high half of the 128-bit id, never read
  put64(r, v3::kParentFileReferenceNumber, parent);
  put64(r, v3::kParentFileReferenceNumber + 8, 0xBBBBBBBBBBBBBBBBull);
  put32(r, v3::kReason, reason);
  put16(r, v3::kFileNameLength, static_cast<std::uint16_t>(n.size()));
  put16(r, v3::kFileNameOffset, v3::kFileName);
  std::copy(n.begin(), n.end(), r.begin() + v3::kFileName);
  return r;
}

// USN_RECORD_V4 with one (ignored) extent.
inline Buffer usn_v4(std::uint64_t frn, std::uint64_t parent, std::uint32_t reason) {
  namespace v4 = platform::layout::usn_record_v4;
  Buffer r(80);
  put32(r, v4::kRecordLength, 80);
  put16(r, v4::kMajorVersion, 4);
  put64(r, v4::kFileReferenceNumber, frn);
  put64(r, v4::kParentFileReferenceNumber, parent);
  put32(r, v4::kReason, reason);
  put16(r, v4::kNumberOfExtents, 1);
  put16(r, v4::kExtentSize, 16);
  return r;
}

inline Buffer concat(std::initializer_list<Buffer> parts) {
  Buffer out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

inline Bytes view(const Buffer& b) { return Bytes(b); }

// A journal held in memory. READ returns the records at or after StartUsn
// (each record's USN is its position in `records`), ENUM the `enum_records`
// whose FRN is at or after StartFileReferenceNumber and whose USN lies in
// LowUsn..HighUsn, as Windows does: continuation first, then as many whole
// records as fit.
struct FakeJournal {
  struct Entry {
    std::int64_t usn;
    Buffer bytes;
  };
  struct EnumEntry {
    std::uint64_t frn;
    Buffer bytes;
    std::int64_t usn = 0;  // the file's last USN
  };
  struct Call {
    std::uint32_t code;
    Buffer in;
    bool aligned = false;  // the input buffer sat on an 8-byte boundary
  };

  std::uint64_t journal_id = 0x1d0c0ffee;
  std::int64_t first_usn = 0;
  std::int64_t next_usn = 0;
  std::vector<Entry> records;
  std::vector<EnumEntry> enum_records;
  std::vector<Call> calls;
  int query_failures = 0;                           // the first N queries fail
  std::uint32_t query_error = win32::ERROR_JOURNAL_NOT_ACTIVE;
  std::optional<std::uint32_t> read_error;          // every READ fails with it
  std::optional<std::uint32_t> enum_error;          // every ENUM fails with it
  bool reject_v4_reads = false;                     // MaxMajorVersion 4 is an invalid parameter
  // ENUM with a MaxMajorVersion above this is an invalid parameter.
  std::uint16_t enum_max_major_accepted = 4;
  // The journal was trimmed after it was queried: a READ with a StartUsn
  // other than 0 below this fails with ERROR_JOURNAL_ENTRY_DELETED; 0 starts
  // at the first record kept.
  std::int64_t trimmed_to = INT64_MIN;
  std::size_t records_per_answer = SIZE_MAX;
  // Replaces the READ answer when set.
  std::function<Result<std::size_t>(std::int64_t start, std::span<std::byte> out)> read_override;

  // Appends a record at the next USN (records' USNs advance by their length).
  void add(Buffer bytes) {
    records.push_back({next_usn, bytes});
    next_usn += static_cast<std::int64_t>(bytes.size());
  }

  std::size_t count(std::uint32_t code) const {
    std::size_t n = 0;
    for (const auto& c : calls) n += c.code == code;
    return n;
  }

  Result<std::size_t> control(std::uint32_t code, std::span<const std::byte> in, std::span<std::byte> out) {
    calls.push_back({code, Buffer(in.begin(), in.end()), reinterpret_cast<std::uintptr_t>(in.data()) % 8 == 0});
    if (code == platform::FSCTL_QUERY_USN_JOURNAL) {
      if (query_failures > 0) {
        --query_failures;
        return fail(win32::error(query_error));
      }
      if (out.size() < 64) return fail(win32::error(win32::ERROR_INSUFFICIENT_BUFFER));
      std::fill(out.begin(), out.begin() + 64, std::byte{0});
      store_le<std::uint64_t>(out.data(), journal_id);
      store_le<std::int64_t>(out.data() + 8, first_usn);
      store_le<std::int64_t>(out.data() + 16, next_usn);
      store_le<std::uint16_t>(out.data() + 56, 2);
      store_le<std::uint16_t>(out.data() + 58, 4);
      return std::size_t{64};
    }
    if (code == platform::FSCTL_READ_USN_JOURNAL) {
      if (in.size() < 48) return fail(win32::error(win32::ERROR_INVALID_PARAMETER));
      if (read_error) return fail(win32::error(*read_error));
      auto start = load_le<std::int64_t>(in.data());
      if (reject_v4_reads && load_le<std::uint16_t>(in.data() + 42) > 2)
        return fail(win32::error(win32::ERROR_INVALID_PARAMETER));
      if (start != 0 && start < trimmed_to) return fail(win32::error(win32::ERROR_JOURNAL_ENTRY_DELETED));
      if (start == 0) start = std::max(first_usn, trimmed_to);
      if (read_override) return read_override(start, out);
      std::size_t pos = 8;
      std::int64_t continuation = next_usn;
      std::size_t given = 0;
      for (const auto& r : records) {
        if (r.usn < start) continue;
        if (pos + r.bytes.size() > out.size() || given == records_per_answer) {
          continuation = r.usn;
          break;
        }
        std::copy(r.bytes.begin(), r.bytes.end(), out.begin() + pos);
        pos += r.bytes.size();
        ++given;
      }
      store_le<std::int64_t>(out.data(), continuation);
      return pos;
    }
    if (code == platform::FSCTL_ENUM_USN_DATA) {
      if (in.size() < 32) return fail(win32::error(win32::ERROR_INVALID_PARAMETER));
      if (enum_error) return fail(win32::error(*enum_error));
      if (load_le<std::uint16_t>(in.data() + 26) > enum_max_major_accepted)
        return fail(win32::error(win32::ERROR_INVALID_PARAMETER));
      auto start = load_le<std::uint64_t>(in.data());
      const auto low = load_le<std::int64_t>(in.data() + 8), high = load_le<std::int64_t>(in.data() + 16);
      std::size_t pos = 8;
      std::uint64_t last = 0;
      bool any = false;
      for (const auto& r : enum_records) {
        if (r.frn < start || r.usn < low || r.usn > high) continue;
        if (pos + r.bytes.size() > out.size()) break;
        std::copy(r.bytes.begin(), r.bytes.end(), out.begin() + pos);
        pos += r.bytes.size();
        last = r.frn;
        any = true;
      }
      if (!any) return fail(win32::error(win32::ERROR_HANDLE_EOF));
      store_le<std::uint64_t>(out.data(), last + 1);
      return pos;
    }
    return fail(win32::error(win32::ERROR_INVALID_FUNCTION));
  }

  // A MemoryPlatform volume whose control codes this journal answers.
  static platform::MemoryPlatform::Volume volume_for(std::shared_ptr<FakeJournal> j) {
    platform::MemoryPlatform::Volume v;
    v.control = [j](std::uint32_t code, std::span<const std::byte> in, std::span<std::byte> out) {
      return j->control(code, in, out);
    };
    return v;
  }
};

}  // namespace quillon::test
