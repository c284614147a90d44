// The collection harness: copies of a small test volume's metadata files,
// taken from the input. The input is [u16 n][n bytes of patches to the $MFT
// copy, each [u32 where][u8 length][bytes], where taken modulo the copy's
// size][the rest]; the rest is the $J copy, and, with "RSTR" written over
// its first four bytes, the $LogFile copy. The $MFT copy is the base
// volume's $MFT stream, read once through the image reader.
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "fuzz/fuzz_targets.h"
#include "fuzz/volume_exercise.h"
#include "platform/collection/collected_journal.h"
#include "platform/collection/collection_platform.h"
#include "platform/image/image_file.h"
#include "platform/image/ntfs_volume.h"

namespace quillon::fuzz {

namespace {

namespace img = platform::image;

struct Base {
  std::string mft;  // the $MFT stream of the base volume
  std::string dir;  // where the copies are written
};

const Base* base() {
  static const Base* b = []() -> Base* {
    const std::string path = base_volume_path();
    auto file = img::ImageFile::open(path);
    if (!file) return nullptr;
    auto vol = img::NtfsVolume::open(*file, {0, file->size()});
    if (!vol) return nullptr;
    auto* out = new Base;
    std::vector<std::byte> mft(static_cast<std::size_t>((*vol)->mft_records() * (*vol)->boot().record_size));
    if (!img::read_runs(*file, 0, file->size(), (*vol)->boot().bytes_per_cluster, (*vol)->mft_runs(), 0, mft))
      return nullptr;
    out->mft.assign(reinterpret_cast<const char*>(mft.data()), mft.size());
    auto dir = std::filesystem::temp_directory_path() / ("quillon-fuzz-collection-" + std::to_string(std::random_device{}()));
    std::filesystem::create_directories(dir);
    out->dir = dir.string();
    std::atexit([] {
      std::error_code ec;
      std::filesystem::remove_all(base()->dir, ec);
    });
    return out;
  }();
  return b;
}

std::string write(const Base& b, const char* name, const std::string& bytes) {
  const std::string path = b.dir + "/" + name;
  std::ofstream(path, std::ios::binary | std::ios::trunc).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return path;
}

}  // namespace

int collection(const std::uint8_t* data, std::size_t size) {
  const Base* b = base();
  if (!b || size < 2) return 0;
  const std::size_t n = std::min<std::size_t>(data[0] | (std::size_t{data[1]} << 8), size - 2);
  std::string mft = b->mft;
  for (std::size_t p = 2; p + 5 <= 2 + n;) {
    const std::uint32_t where = load_le<std::uint32_t>(reinterpret_cast<const std::byte*>(data + p));
    std::size_t len = std::min<std::size_t>(data[p + 4], 2 + n - (p + 5));
    p += 5;
    const std::size_t at = where % mft.size();
    len = std::min(len, mft.size() - at);
    mft.replace(at, len, reinterpret_cast<const char*>(data + p), len);
    p += len;
  }
  const std::string rest(reinterpret_cast<const char*>(data + 2 + n), size - 2 - n);
  std::string log = rest;
  if (log.size() >= 4) log.replace(0, 4, "RSTR");

  // The journal copy's placement on its own, then the whole collection.
  if (auto j = img::ImageFile::open(write(*b, "J", rest))) (void)platform::collection::place_journal(*j);
  platform::CollectionOptions o;
  o.files.mft = write(*b, "mft", mft);
  if (!rest.empty()) {  // else the $MFT alone
    o.files.usnjrnl = b->dir + "/J";
    o.files.logfile = write(*b, "log", log);
    o.files.bitmap = b->dir + "/J";
  }
  if (auto plat = platform::open_collection_platform(o)) {
    platform::ScopedPlatform scoped(std::move(*plat));
    exercise_volume();
    if (auto device = platform::current().open_volume("\\\\.\\E:")) {
      std::vector<std::byte> out(64 * 1024), in(48);
      (void)(*device)->control(platform::FSCTL_QUERY_USN_JOURNAL, {}, out);
      (void)(*device)->control(platform::FSCTL_READ_USN_JOURNAL, in, out);
      (void)(*device)->control(platform::FSCTL_ENUM_USN_DATA, std::span(in).first(32), out);
    }
  }
  return 0;
}

}  // namespace quillon::fuzz

QUILLON_FUZZ_ENTRY(collection)
