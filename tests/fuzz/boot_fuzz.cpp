#include <algorithm>
#include <cstring>
#include <span>
#include <string>

#include "fuzz/fuzz_targets.h"
#include "platform/image/boot_sector.h"
#include "platform/image/containers.h"
#include "platform/image/partition.h"

namespace quillon::fuzz {

int boot_and_partitions(const std::uint8_t* data, std::size_t size) {
  Bytes in(reinterpret_cast<const std::byte*>(data), size);
  std::string why;
  if (auto b = platform::image::parse_boot_sector(in, &why)) (void)b->volume_bytes();
  // The container signatures, the input's last 512 bytes as a VHD footer.
  (void)platform::image::detect_container(in.first(std::min<std::size_t>(size, 512)),
                                          size >= 512 ? in.last(512) : Bytes());
  if (size == 0) return 0;
  // A terabyte disk whose every sector comes from the input: partition
  // entries may point anywhere and still find bytes there.
  auto read = [&](std::uint64_t offset, std::span<std::byte> out) {
    for (std::size_t i = 0; i < out.size(); ++i) out[i] = in[(offset + i) % size];
    return true;
  };
  (void)platform::image::locate_ntfs_volume(read, std::uint64_t{1} << 40);
  // And the input as the whole disk, reads past its end failing.
  auto exact = [&](std::uint64_t offset, std::span<std::byte> out) {
    if (!in_bounds(size, offset, out.size())) return false;
    if (!out.empty()) std::memcpy(out.data(), data + offset, out.size());
    return true;
  };
  (void)platform::image::locate_ntfs_volume(exact, size);
  return 0;
}

}  // namespace quillon::fuzz

QUILLON_FUZZ_ENTRY(boot_and_partitions)
