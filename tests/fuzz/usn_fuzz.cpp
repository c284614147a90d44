#include <algorithm>
#include <cstring>
#include <vector>

#include "engine/windows/usn_journal.h"
#include "fuzz/fuzz_targets.h"
#include "platform/image/usn_journal.h"

namespace quillon::fuzz {

namespace {

namespace img = platform::image;

// A $J stream held in memory: allocated where the input gives bytes.
class MemoryJournal final : public img::JournalStream {
 public:
  explicit MemoryJournal(Bytes b) : bytes_(b.begin(), b.end()) {
    if (!bytes_.empty()) ranges_.emplace_back(bytes_.size() / 2, bytes_.size());
  }
  std::uint64_t size() const override { return bytes_.size(); }
  const std::vector<std::pair<std::uint64_t, std::uint64_t>>& allocated() const override { return ranges_; }
  bool read(std::uint64_t offset, std::span<std::byte> out) override {
    if (!in_bounds(bytes_.size(), offset, out.size())) return false;
    if (!out.empty()) std::memcpy(out.data(), bytes_.data() + offset, out.size());
    return true;
  }

 private:
  std::vector<std::byte> bytes_;
  std::vector<std::pair<std::uint64_t, std::uint64_t>> ranges_;
};

void walk(Bytes area) {
  walk_records(area, [](const UsnEntry& e) { (void)e.name.size(); });
  for (std::size_t off = 0; off < std::min<std::size_t>(area.size(), 64); off += 8) (void)parse_record(area, off);
}

}  // namespace

int usn_records(const std::uint8_t* data, std::size_t size) {
  Bytes in(reinterpret_cast<const std::byte*>(data), size);
  walk(in);
  // $Max (32 bytes), READ_USN_JOURNAL_DATA (48), then the $J stream.
  if (size < 80) return 0;
  MemoryJournal j(in.subspan(80));
  auto info = img::journal_info(in.first(32), j);
  if (!info) return 0;
  std::vector<std::byte> out(4096);
  (void)img::query_usn_journal(*info, out);
  std::vector<std::byte> request(in.begin() + 32, in.begin() + 80);
  for (int round = 0; round < 8; ++round) {
    auto n = img::read_usn_journal(*info, j, request, out);
    if (!n || *n < 8 || *n > out.size()) break;
    walk(Bytes(out).subspan(8, *n - 8));
    std::memcpy(request.data(), out.data(), 8);  // continue from the USN it returned
  }
  return 0;
}

}  // namespace quillon::fuzz

QUILLON_FUZZ_ENTRY(usn_records)
