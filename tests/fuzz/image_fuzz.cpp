// The image harness patches a small test volume instead of taking a whole
// image as input: each patch is [u32 where][u8 length][bytes]. The top two
// bits of `where` pick the area (the boot sector, the first 256 KiB of the
// $MFT, the volume's last sector, anywhere) and the rest is the offset in
// it. The patched copy lives in a temporary file and is put back after
// every run.
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "fuzz/fuzz_targets.h"
#include "fuzz/volume_exercise.h"
#include "platform/image/boot_sector.h"
#include "platform/image/image_platform.h"
#include "platform/platform.h"

namespace quillon::fuzz {

namespace {

struct Base {
  std::vector<char> bytes;
  std::string copy;  // the working copy the patches go to
  std::uint64_t mft = 0;
};

// The base volume (base_volume_path).
const Base* base() {
  static const Base* b = [] () -> Base* {
    const std::string path = base_volume_path();
    std::ifstream in(path, std::ios::binary);
    if (!in) return nullptr;
    auto* out = new Base;
    out->bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (out->bytes.size() < 4096) return nullptr;
    Bytes first(reinterpret_cast<const std::byte*>(out->bytes.data()), 512);
    if (auto boot = platform::image::parse_boot_sector(first)) out->mft = boot->mft_lcn * boot->bytes_per_cluster;
    auto dir = std::filesystem::temp_directory_path();
    out->copy = (dir / ("quillon-fuzz-" + std::to_string(std::random_device{}()) + ".img")).string();
    std::ofstream(out->copy, std::ios::binary).write(out->bytes.data(), static_cast<std::streamsize>(out->bytes.size()));
    std::atexit([] {
      std::error_code ec;
      std::filesystem::remove(base()->copy, ec);
    });
    return out;
  }();
  return b;
}

struct Patch {
  std::uint64_t at;
  std::string bytes;
};

std::vector<Patch> patches(const Base& b, const std::uint8_t* data, std::size_t size) {
  std::vector<Patch> out;
  const std::uint64_t n = b.bytes.size();
  std::size_t p = 0;
  while (p + 5 <= size && out.size() < 64) {
    std::uint32_t where = load_le<std::uint32_t>(reinterpret_cast<const std::byte*>(data + p));
    std::size_t len = data[p + 4];
    p += 5;
    len = std::min(len, size - p);
    std::uint64_t off = where & 0x3FFFFFFF, at = 0;
    switch (where >> 30) {
      case 0: at = off % 512; break;
      case 1: at = (b.mft + off % (256 * 1024)) % n; break;
      case 2: at = n - 512 + off % 512; break;
      default: at = off % n; break;
    }
    len = static_cast<std::size_t>(std::min<std::uint64_t>(len, n - at));
    out.push_back({at, std::string(reinterpret_cast<const char*>(data + p), len)});
    p += len;
  }
  return out;
}

void write_at(const std::string& path, std::uint64_t at, const char* bytes, std::size_t len) {
  std::fstream f(path, std::ios::binary | std::ios::in | std::ios::out);
  f.seekp(static_cast<std::streamoff>(at));
  f.write(bytes, static_cast<std::streamsize>(len));
}

}  // namespace

int image_volume(const std::uint8_t* data, std::size_t size) {
  const Base* b = base();
  if (!b) return 0;
  auto list = patches(*b, data, size);
  for (const auto& x : list) write_at(b->copy, x.at, x.bytes.data(), x.bytes.size());
  platform::ImageOptions o;
  o.file = b->copy;
  if (auto plat = platform::open_image_platform(o)) {
    platform::ScopedPlatform scoped(std::move(*plat));
    exercise_volume();
  }
  for (const auto& x : list) write_at(b->copy, x.at, b->bytes.data() + x.at, x.bytes.size());
  return 0;
}

}  // namespace quillon::fuzz

QUILLON_FUZZ_ENTRY(image_volume)
