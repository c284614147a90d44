// Benchmark of the image backend: resolving a path and reading FILE records
// through the control code, side by side in one run. Built and run by
// tools/bench_image.sh; not a test.
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "common/bytes.h"
#include "platform/image/image_platform.h"

using namespace quillon;

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: bench_image IMAGE PATH [ITERATIONS]\n");
    return 2;
  }
  int iterations = argc > 3 ? std::stoi(argv[3]) : 2000;
  auto p = platform::open_image_platform({argv[1], 'E', std::nullopt});
  if (!p) {
    std::fprintf(stderr, "%s\n", p.error().text().c_str());
    return 1;
  }
  using clock = std::chrono::steady_clock;
  auto t0 = clock::now();
  std::uint64_t sink = 0;
  for (int i = 0; i < iterations; ++i) {
    auto h = (*p)->open_path(argv[2]);
    if (h) sink += (*h)->file_id_info()->low64();
  }
  double open_us = std::chrono::duration<double, std::micro>(clock::now() - t0).count() / iterations;
  auto dev = (*p)->open_volume("\\\\.\\E:");
  if (!dev) return 1;
  std::vector<std::byte> in(8), out(12 + 4096);
  t0 = clock::now();
  for (int i = 0; i < iterations; ++i) {
    store_le<std::uint64_t>(in.data(), static_cast<std::uint64_t>(i % 64));
    if ((*dev)->control(platform::FSCTL_GET_NTFS_FILE_RECORD, in, out)) sink += 1;
  }
  double rec_us = std::chrono::duration<double, std::micro>(clock::now() - t0).count() / iterations;
  std::vector<std::byte> raw(1024);
  t0 = clock::now();
  for (int i = 0; i < iterations; ++i)
    if ((*dev)->read_exact_at(static_cast<std::uint64_t>(i % 64) * 4096, raw)) sink += 1;
  double raw_us = std::chrono::duration<double, std::micro>(clock::now() - t0).count() / iterations;
  std::printf("open_path(%s)            %9.2f us\n", argv[2], open_us);
  std::printf("FSCTL_GET_NTFS_FILE_RECORD %9.2f us  (%.1fx open_path)\n", rec_us, rec_us / open_us);
  std::printf("read_exact_at 1 KiB        %9.2f us  (%.1fx open_path)\n", raw_us, raw_us / open_us);
  return sink == 0;
}
