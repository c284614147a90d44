// $UsnJrnl:$J as collection tools copy it. On the volume $J is mostly sparse:
// its records sit at their own USNs (byte offsets of the stream) after a
// long hole. A copy may keep the hole as zeros, or leave it out, or start a
// little later, in the middle of a record. Each record carries its USN, so
// the first whole record found in the copy tells which offset of the
// stream the copy's first byte stands for.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "common/bytes.h"
#include "common/error.h"
#include "platform/image/image_file.h"
#include "platform/image/usn_journal.h"

namespace quillon::platform::collection {

// Where a copy of $J lies in the stream.
struct JournalPlacement {
  std::uint64_t first_record = 0;  // offset in the copy of the first whole record
  std::uint64_t base = 0;          // stream offset of the copy's byte 0
};

// A whole USN record (V2, V3 or V4) at `at` of `b`, consistent with the
// record that follows it when that one is in `b` too: its USN, or nothing.
std::optional<std::uint64_t> usn_record_at(Bytes b, std::uint64_t at);

// The placement of the copy `file`, or nothing when no whole record is in it.
std::optional<JournalPlacement> place_journal(image::ImageFile& file);

// The copy read as the $J stream: the bytes before its first record read as
// the hole they were.
class CopiedJournal final : public image::JournalStream {
 public:
  CopiedJournal(image::ImageFile file, JournalPlacement at);
  std::uint64_t size() const override { return at_.base + file_.size(); }
  const std::vector<std::pair<std::uint64_t, std::uint64_t>>& allocated() const override { return ranges_; }
  bool read(std::uint64_t offset, std::span<std::byte> out) override;

 private:
  image::ImageFile file_;
  JournalPlacement at_;
  std::vector<std::pair<std::uint64_t, std::uint64_t>> ranges_;
};

}  // namespace quillon::platform::collection
