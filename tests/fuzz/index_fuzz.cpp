#include <vector>

#include "fuzz/fuzz_targets.h"
#include "platform/image/file_record.h"
#include "platform/image/ntfs_volume.h"

namespace quillon::fuzz {

int index_block(const std::uint8_t* data, std::size_t size) {
  namespace img = platform::image;
  std::vector<std::byte> block(reinterpret_cast<const std::byte*>(data), reinterpret_cast<const std::byte*>(data) + size);
  // As $INDEX_ROOT's value (no fixups), then as an INDX block.
  for (const auto& e : img::parse_index_node(block, 0x10))
    if (e.entry) (void)e.entry->key.name.size();
  (void)img::parse_index_node(block, 0x18);
  if (has_tag(block, 0, "INDX") && ntfs::apply_update_sequence(block, ntfs::TornStride::refuse_block)) (void)img::parse_index_node(block, 0x18);
  return 0;
}

}  // namespace quillon::fuzz

QUILLON_FUZZ_ENTRY(index_block)
