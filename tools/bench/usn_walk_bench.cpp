// Records per second of the journal buffer walk: one full 256 KiB output
// buffer of V2 delete records with typical names, walked and parsed.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "common/bytes.h"
#include "engine/windows/usn_journal.h"

namespace {

std::vector<std::byte> make_buffer(std::size_t* records) {
  std::vector<std::byte> buf;
  std::size_t n = 0;
  for (;;) {
    std::string digits = std::to_string(n);
    std::u16string name = u"Document " + std::u16string(digits.begin(), digits.end()) + u".txt";
    std::size_t len = (60 + name.size() * 2 + 7) & ~std::size_t{7};
    if (buf.size() + len > quillon::kUsnOutputBufferSize - 8) break;
    std::size_t at = buf.size();
    buf.resize(at + len);
    std::byte* r = buf.data() + at;
    quillon::store_le<std::uint32_t>(r, static_cast<std::uint32_t>(len));
    quillon::store_le<std::uint16_t>(r + 4, 2);
    quillon::store_le<std::uint64_t>(r + 8, 0x0001000000000000ull | (1000 + n));
    quillon::store_le<std::uint64_t>(r + 16, 0x0003000000000040ull);
    quillon::store_le<std::uint32_t>(r + 40, 0x80000200u);
    quillon::store_le<std::uint16_t>(r + 56, static_cast<std::uint16_t>(name.size() * 2));
    quillon::store_le<std::uint16_t>(r + 58, 60);
    for (std::size_t i = 0; i < name.size(); ++i)
      quillon::store_le<std::uint16_t>(r + 60 + 2 * i, static_cast<std::uint16_t>(name[i]));
    ++n;
  }
  *records = n;
  return buf;
}

void BM_WalkRecords(benchmark::State& state) {
  std::size_t records = 0;
  auto buf = make_buffer(&records);
  std::uint64_t sum = 0;
  for (auto _ : state) {
    quillon::walk_records(quillon::Bytes(buf), [&](const quillon::UsnEntry& e) { sum += e.frn + e.name.size(); });
    benchmark::DoNotOptimize(sum);
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * records));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * buf.size()));
  state.counters["records_per_buffer"] = static_cast<double>(records);
}
BENCHMARK(BM_WalkRecords);

}  // namespace

BENCHMARK_MAIN();
