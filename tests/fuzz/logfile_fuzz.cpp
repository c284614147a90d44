#include <vector>

#include "engine/windows/ntfs_logfile.h"
#include "fuzz/fuzz_targets.h"

namespace quillon::fuzz {

int logfile(const std::uint8_t* data, std::size_t size) {
  Bytes in(reinterpret_cast<const std::byte*>(data), size);
  if (auto r = parse_restart_page(in)) {
    (void)lsn_to_offset(r->current_lsn, r->seq_number_bits);
  }
  (void)newest_restart(in);
  // The input as a whole $LogFile stream, read through the newest-part logic.
  auto part = read_newest_log_part(size, [&](std::uint64_t offset, std::uint64_t length)
                                             -> std::optional<std::vector<std::byte>> {
    if (!in_bounds(size, offset, length) || length > (64u << 20)) return std::nullopt;
    return std::vector<std::byte>(in.begin() + static_cast<std::ptrdiff_t>(offset),
                                  in.begin() + static_cast<std::ptrdiff_t>(offset + length));
  });
  std::vector<std::byte> log(in.begin(), in.end());
  (void)apply_log_page_fixups(log);
  const std::unordered_set<std::uint64_t> scope{5, 40, 41};
  NamesByFrn names{{70, {"a.txt"}}};
  (void)scan_logfile(log, 4096, 1024, scope, &names);
  (void)scan_logfile(log, 512, 4096, scope, nullptr);
  if (part) {
    (void)apply_log_page_fixups(part->bytes);
    (void)scan_logfile(part->bytes, 4096, 1024, scope, nullptr, part->runs_on);
  }
  return 0;
}

}  // namespace quillon::fuzz

QUILLON_FUZZ_ENTRY(logfile)
