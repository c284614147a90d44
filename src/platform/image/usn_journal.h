// The change journal as the file system serves it: FSCTL_QUERY_USN_JOURNAL
// and FSCTL_READ_USN_JOURNAL answered from $Extend\$UsnJrnl ($J holds the
// records at their USNs, mostly sparse; $Max holds the journal's identity).
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "common/bytes.h"
#include "common/error.h"

namespace quillon::platform::image {

// USN_JOURNAL_DATA as the query returns it.
struct JournalInfo {
  std::uint64_t journal_id = 0;
  std::int64_t first_usn = 0;
  std::int64_t next_usn = 0;
  std::int64_t lowest_valid_usn = 0;
  std::int64_t max_usn = 0x7FFFFFFFFFFF0000;
  std::uint64_t maximum_size = 0;
  std::uint64_t allocation_delta = 0;
};

// The $J stream: its size (the next USN to be written) and the byte ranges
// that hold clusters (everything else is a hole that reads as zeros).
class JournalStream {
 public:
  virtual ~JournalStream() = default;
  virtual std::uint64_t size() const = 0;
  virtual const std::vector<std::pair<std::uint64_t, std::uint64_t>>& allocated() const = 0;
  virtual bool read(std::uint64_t offset, std::span<std::byte> out) = 0;
};

// The journal's numbers from $Max (32 bytes or more) and the shape of $J.
// FirstUsn is where the first allocated range of $J begins, never below
// LowestValidUsn. Nothing when $Max is too short.
std::optional<JournalInfo> journal_info(Bytes max, const JournalStream& j);

// FSCTL_QUERY_USN_JOURNAL: USN_JOURNAL_DATA_V1 (64 bytes) when `out` has room
// for it, V0 (56 bytes) when it has room for that only.
Result<std::size_t> query_usn_journal(const JournalInfo& info, std::span<std::byte> out);

// FSCTL_READ_USN_JOURNAL: `in` is READ_USN_JOURNAL_DATA_V0 (40 bytes) or V1
// (48); `out` receives the USN to continue from, then the records as stored.
Result<std::size_t> read_usn_journal(const JournalInfo& info, JournalStream& j, Bytes in, std::span<std::byte> out);

// The version range of a READ or ENUM input is acceptable.
bool versions_ok(std::uint16_t min_major, std::uint16_t max_major);

}  // namespace quillon::platform::image
