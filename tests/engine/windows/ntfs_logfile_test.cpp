#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <random>

#include "common/text.h"
#include "engine/windows/ntfs_logfile.h"
#include "platform/image/image_platform.h"
#include "support/images.h"
#include "support/manifest.h"

namespace quillon {
namespace {

using Buf = std::vector<std::byte>;

void put16(Buf& b, std::size_t at, std::uint16_t v) { store_le<std::uint16_t>(b.data() + at, v); }
void put64(Buf& b, std::size_t at, std::uint64_t v) { store_le<std::uint64_t>(b.data() + at, v); }

struct Header {
  std::uint16_t redo_op = 0, undo_op = 0, redo_off = 0, redo_len = 0, undo_off = 0, undo_len = 0;
  std::uint16_t cbo = 0, block = 0;
  std::int64_t vcn = 0;
};

void put_header(Buf& b, std::size_t at, const Header& h) {
  put16(b, at + 0, h.redo_op);
  put16(b, at + 2, h.undo_op);
  put16(b, at + 4, h.redo_off);
  put16(b, at + 6, h.redo_len);
  put16(b, at + 8, h.undo_off);
  put16(b, at + 10, h.undo_len);
  put16(b, at + 20, h.cbo);
  put16(b, at + 22, h.block);
  put64(b, at + 24, static_cast<std::uint64_t>(h.vcn));
}

void put_name(Buf& b, std::size_t at, std::string_view ascii) {
  for (std::size_t k = 0; k < ascii.size(); ++k) put16(b, at + 2 * k, static_cast<std::uint8_t>(ascii[k]));
}

// Operation 13 as Windows writes it: empty redo, the deleted index entry as
// undo data. Returns the header's length with its data.
std::size_t put_index_delete(Buf& b, std::size_t at, std::uint16_t op, std::uint64_t reference, std::uint64_t parent,
                             std::string_view name, std::uint8_t ns = 1) {
  const std::uint16_t key = static_cast<std::uint16_t>(66 + 2 * name.size());
  const std::uint16_t undo_len = static_cast<std::uint16_t>(16 + key);
  put_header(b, at, {op, 14, 40, 0, 40, undo_len, 0, 0, 0});
  const std::size_t d = at + 40;
  put64(b, d, reference);
  put16(b, d + 8, undo_len);
  put16(b, d + 10, key);
  put64(b, d + 16, parent);
  b[d + 80] = std::byte{static_cast<std::uint8_t>(name.size())};
  b[d + 81] = std::byte{ns};
  put_name(b, d + 82, name);
  return 40 + undo_len;
}

const std::unordered_set<std::uint64_t> kScope{5, 40};

TEST(LogScan, DeallocationArithmeticInBothHeaderForms) {
  for (std::uint16_t block : {std::uint16_t{2}, std::uint16_t{0}}) {
    for (bool empty_redo : {false, true}) {
      Buf b(256);
      Header h{3, 2, 40, 8, 48, 8, 2, block, 10};
      if (empty_redo) h.redo_len = 0;
      put_header(b, 16, h);
      NamesByFrn hints{{41, {"a.txt"}}};
      auto r = scan_logfile(b, 4096, 1024, kScope, &hints);
      ASSERT_EQ(r.candidates.size(), 1u) << block << empty_redo;
      EXPECT_EQ(r.candidates[0].frn, 41u);
      EXPECT_FALSE(r.candidates[0].has_parent);
      EXPECT_EQ(r.stats.hint_kept, 1u);
      EXPECT_GE(r.stats.deallocations, 1u);
      // Without hints a record-number-only candidate never survives.
      EXPECT_TRUE(scan_logfile(b, 4096, 1024, kScope, nullptr).candidates.empty());
    }
  }
}

TEST(LogScan, DeallocationOverflowAndNegativeVcnGiveNothing) {
  for (std::int64_t vcn : {std::int64_t{-1}, std::int64_t{INT64_MAX}}) {
    Buf b(128);
    put_header(b, 0, {3, 2, 40, 8, 48, 8, 2, 2, vcn});
    NamesByFrn hints{{0, {"x"}}};
    auto r = scan_logfile(b, 4096, 1024, kScope, &hints);
    EXPECT_TRUE(r.candidates.empty());
    EXPECT_EQ(r.stats.deallocations, 1u);
  }
}

TEST(LogScan, IndexEntryUndoGivesNameParentAndSequence) {
  Buf b(512);
  put_index_delete(b, 8, 15, (std::uint64_t{7} << 48) | 77, 40, "report.docx");
  auto r = scan_logfile(b, 4096, 1024, kScope, nullptr);
  ASSERT_EQ(r.candidates.size(), 1u);
  const auto& c = r.candidates[0];
  EXPECT_EQ(c.frn, 77u);
  EXPECT_EQ(c.parent, 40u);
  EXPECT_EQ(c.name, "report.docx");
  EXPECT_EQ(c.sequence, std::uint16_t{7});
  EXPECT_EQ(r.stats.name_deletes, 1u);

  // Out of scope, namespace 2, an operation outside 3/13/15: nothing.
  for (int variant = 0; variant < 3; ++variant) {
    Buf v(512);
    put_index_delete(v, 8, variant == 2 ? 6 : 13, 77, variant == 0 ? 99 : 40, "report.docx", variant == 1 ? 2 : 1);
    EXPECT_TRUE(scan_logfile(v, 4096, 1024, kScope, nullptr).candidates.empty()) << variant;
  }
}

TEST(LogScan, DeallocationAndNameMergeIntoOneCandidate) {
  Buf b(1024);
  put_header(b, 0, {3, 2, 40, 0, 40, 8, 2, 2, 10});  // record 41, Windows layout
  put_index_delete(b, 200, 13, 41, 5, "gone.txt");
  auto r = scan_logfile(b, 4096, 1024, kScope, nullptr);
  ASSERT_EQ(r.candidates.size(), 1u);
  EXPECT_EQ(r.candidates[0].frn, 41u);
  EXPECT_TRUE(r.candidates[0].has_parent);
  EXPECT_EQ(r.candidates[0].name, "gone.txt");
}

TEST(LogScan, RedoFileNameRecordAndSystemReference) {
  // The redo form: parent +0, reference +8, length +64, namespace +65.
  Buf b(256);
  const std::string_view name = "n.txt";
  put_header(b, 0, {13, 14, 32, static_cast<std::uint16_t>(66 + 2 * name.size()), 0, 0, 0, 0, 0});
  put64(b, 32, 40);
  put64(b, 40, 5);  // a system record: counts as absent
  b[32 + 64] = std::byte{static_cast<std::uint8_t>(name.size())};
  b[32 + 65] = std::byte{1};
  put_name(b, 32 + 66, name);
  auto r = scan_logfile(b, 4096, 1024, kScope, nullptr);
  ASSERT_EQ(r.candidates.size(), 1u);
  EXPECT_EQ(r.candidates[0].frn, 0u);  // keyed by its parent
  EXPECT_EQ(r.candidates[0].parent, 40u);
  EXPECT_FALSE(r.candidates[0].sequence);
}

TEST(LogScan, PagePassFixupsRestoreANameAcrossASectorBoundary) {
  Buf page(kLogPageSize);
  std::memcpy(page.data(), "RCRD", 4);
  put16(page, 4, 0x28);  // update sequence array at 0x28, 9 entries
  put16(page, 6, 9);
  // The name begins a few bytes before 512 so that bytes 510..511 fall in it.
  const std::size_t at = 350;
  put_index_delete(page, at, 13, 60, 5, "ABCDEFGHIJKLMNOPQRSTUVWXYZ");
  const std::uint16_t usn = 0x4242;
  put16(page, 0x28, usn);
  for (std::size_t s = 1; s <= 8; ++s) {
    const std::size_t end = s * 512 - 2;
    put16(page, 0x28 + 2 * s, load_le<std::uint16_t>(page.data() + end));
    put16(page, end, usn);
  }
  Buf as_read = page;
  auto raw = scan_logfile(as_read, 4096, 1024, kScope, nullptr);
  ASSERT_EQ(raw.candidates.size(), 1u);
  EXPECT_NE(raw.candidates[0].name, "ABCDEFGHIJKLMNOPQRSTUVWXYZ");
  EXPECT_EQ(apply_log_page_fixups(page), 1u);
  auto fixed = scan_logfile(page, 4096, 1024, kScope, nullptr);
  ASSERT_EQ(fixed.candidates.size(), 1u);
  EXPECT_EQ(fixed.candidates[0].name, "ABCDEFGHIJKLMNOPQRSTUVWXYZ");

  // An array pointing past the page leaves it as read.
  Buf broken = as_read;
  put16(broken, 4, 0xFFF0);
  const Buf before = broken;
  EXPECT_EQ(apply_log_page_fixups(broken), 0u);
  EXPECT_EQ(broken, before);
}

TEST(LogScan, GarbageTruncationAndMutationsStayInBounds) {
  Buf good(600);
  put_index_delete(good, 0, 13, 61, 5, "keep.me");
  put_header(good, 300, {3, 2, 40, 0, 40, 8, 2, 2, 10});
  // Every prefix: never a name longer than the bytes present.
  for (std::size_t n = 0; n <= good.size(); ++n) {
    auto r = scan_logfile(Bytes(good).first(n), 4096, 1024, kScope, nullptr);
    for (const auto& c : r.candidates)
      if (c.name) { EXPECT_LE(c.name->size(), n); }
  }
  std::mt19937 rng(9);
  for (int round = 0; round < 300; ++round) {
    Buf m = good;
    for (int k = 0; k < 6; ++k) m[rng() % m.size()] = std::byte{static_cast<std::uint8_t>(rng())};
    (void)scan_logfile(m, static_cast<std::uint64_t>(rng()), static_cast<std::uint32_t>(rng()), kScope, nullptr);
  }
  Buf noise(3 * kLogPageSize);
  for (auto& x : noise) x = std::byte{static_cast<std::uint8_t>(rng())};
  std::memcpy(noise.data(), "RCRD", 4);
  apply_log_page_fixups(noise);
  (void)scan_logfile(noise, 4096, 1024, kScope, nullptr);
  EXPECT_TRUE(scan_logfile(Bytes{}, 4096, 1024, kScope, nullptr).candidates.empty());
}

// A log of `pages` 4 KiB pages: two restart pages (version 1.1, 44 sequence
// bits) and RCRD pages whose last LSN is given per page.
Buf synthetic_log(std::uint64_t pages, std::uint64_t current_lsn, const std::vector<std::uint64_t>& page_lsns) {
  Buf log(pages * kLogPageSize, std::byte{0xFF});
  for (std::size_t r = 0; r < 2; ++r) {
    const std::size_t at = r * kLogPageSize;
    std::fill_n(log.begin() + at, kLogPageSize, std::byte{0});
    std::memcpy(log.data() + at, "RSTR", 4);
    store_le<std::uint32_t>(log.data() + at + 0x10, 4096);
    store_le<std::uint32_t>(log.data() + at + 0x14, 4096);
    put16(log, at + 0x18, 0x30);
    put16(log, at + 0x1A, 1);
    put16(log, at + 0x1C, 1);
    put64(log, at + 0x30, r == 0 ? current_lsn : current_lsn / 2);
    store_le<std::uint32_t>(log.data() + at + 0x40, 44);
  }
  for (std::size_t p = 4; p < pages && p < page_lsns.size(); ++p) {
    if (page_lsns[p] == 0) continue;
    std::memcpy(log.data() + p * kLogPageSize, "RCRD", 4);
    put64(log, p * kLogPageSize + 8, page_lsns[p]);
    put64(log, p * kLogPageSize + 16, p);  // marks the page in tests
  }
  return log;
}

LogRangeReader reader_of(const Buf& log) {
  return [&log](std::uint64_t off, std::uint64_t len) -> std::optional<Buf> {
    if (!in_bounds(log.size(), off, len)) return std::nullopt;
    return Buf(log.begin() + off, log.begin() + off + len);
  };
}

std::vector<std::uint64_t> marks(const Buf& part) {
  std::vector<std::uint64_t> out;
  for (std::size_t at = 0; at + kLogPageSize <= part.size(); at += kLogPageSize)
    out.push_back(has_tag(part, at, "RCRD") ? load_le<std::uint64_t>(part.data() + at + 16) : 0);
  return out;
}

TEST(LogWindow, LsnFormulaAndRestartChoice) {
  EXPECT_EQ(lsn_to_offset(0x20806f, 44), 0x40378u);  // the real ptrn log's CurrentLsn
  EXPECT_FALSE(lsn_to_offset(1, 2));
  EXPECT_FALSE(lsn_to_offset(1, 64));
  Buf log = synthetic_log(8, 0x1000, {});
  auto r = newest_restart(log);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->current_lsn, 0x1000u);
  EXPECT_EQ(first_record_page(*r), 4u);
  // The first restart page broken: the second one serves.
  Buf broken = log;
  put16(broken, 0x18, 0xFFF0);
  ASSERT_TRUE(newest_restart(broken));
  EXPECT_EQ(newest_restart(broken)->current_lsn, 0x800u);
  Buf absurd = log;
  store_le<std::uint32_t>(absurd.data() + 0x40, 200);
  store_le<std::uint32_t>(absurd.data() + 0x1040, 0);
  EXPECT_FALSE(newest_restart(absurd));
}

TEST(LogWindow, EightMiBEndingAtCurrentLsnWrappedAndExtended) {
  const std::uint64_t pages = 4096;  // 16 MiB
  const std::uint64_t window = kLogTailSize / kLogPageSize;
  std::vector<std::uint64_t> lsn(pages, 0);
  // Newest lap: pages 4..1003 rising; then the previous lap from 1004 on.
  for (std::uint64_t p = 4; p < pages; ++p) lsn[p] = p <= 1003 ? 100000 + p : p;
  // CurrentLsn names page 1000 (offset = lsn * 8 with 44 bits); pages
  // 1001..1003 are newer and must be picked up too.
  const std::uint64_t current = 1000 * kLogPageSize / 8;
  Buf log = synthetic_log(pages, current, lsn);
  auto part = read_newest_log_part(log.size(), reader_of(log));
  ASSERT_TRUE(part);
  auto m = marks(*part);
  ASSERT_EQ(m.size(), window + 3);
  EXPECT_EQ(m[window - 1], 1000u);
  EXPECT_EQ(m[window + 2], 1003u);
  // The window wraps: it begins in the old lap near the end of the file.
  EXPECT_EQ(m[0], pages - (window - 1 - (1000 - 4)));

  // An absurd restart area: the last 8 MiB.
  Buf absurd = log;
  absurd[0] = absurd[kLogPageSize] = std::byte{'X'};
  auto tail = read_newest_log_part(absurd.size(), reader_of(absurd));
  ASSERT_TRUE(tail);
  EXPECT_EQ(marks(*tail).front(), pages - window);
  // A small log is read whole; an empty one gives nothing.
  Buf small = synthetic_log(16, current, lsn);
  EXPECT_EQ(read_newest_log_part(small.size(), reader_of(small))->size(), small.size());
  EXPECT_FALSE(read_newest_log_part(0, reader_of(small)));
}

// The logfile scenario: a 9 MiB circular log that has wrapped. Its newest
// lap (the second mount's deletions) fills pages 4 to 9, the previous lap
// the last pages of the file, 0xFF between; CurrentLsn names a checkpoint on
// page 8 and the last transaction lies on page 9.
struct ScenarioLog {
  Buf newest;  // read_logfile_tail: the window the restart area gives
  Buf whole;   // the whole stream
  test::Manifest manifest;
};

std::optional<ScenarioLog> read_scenario_log() {
  auto manifest = test::load_manifest("logfile");
  auto image = test::scenario_image("logfile");
  if (!manifest || !image) return std::nullopt;
  auto platform = platform::open_image_platform({image->string(), 'E', std::nullopt});
  if (!platform) return std::nullopt;
  platform::ScopedPlatform scoped(std::move(*platform));
  auto newest = read_logfile_tail('E');
  auto reader = open_volume('E');
  if (!newest || !reader) return std::nullopt;
  auto volume = query_volume_data(*reader);
  if (!volume) return std::nullopt;
  const MftContext ctx = load_mft_context(*reader, *volume);
  auto record = fetch_record(ctx, *reader, kLogFileRecord);
  if (!record) return std::nullopt;
  auto stream = data_runs(*record);
  if (!stream) return std::nullopt;
  auto whole = read_stream_range(volume->bytes_per_cluster(), *reader, stream->runs, 0, stream->data_size);
  if (!whole) return std::nullopt;
  return ScenarioLog{std::move(*newest), std::move(*whole), std::move(*manifest)};
}

const std::optional<ScenarioLog>& scenario_log() {
  static const std::optional<ScenarioLog> log = read_scenario_log();
  return log;
}

// Deleted files of E:\2 that only the log still names, by name.
std::map<std::string, const test::ManifestDeleted*> log_only(const test::Manifest& m) {
  std::map<std::string, const test::ManifestDeleted*> out;
  for (const auto& d : m.deleted)
    if (d.evidence == std::vector<std::string>{"logfile"} && d.path.rfind("E:\\2\\", 0) == 0) out[d.name] = &d;
  return out;
}

std::unordered_set<std::uint64_t> scope_of(const test::Manifest& m) {
  std::unordered_set<std::uint64_t> scope;
  for (const auto& l : m.live)
    if (l.directory && (l.path == "E:\\2" || l.path.rfind("E:\\2\\", 0) == 0)) scope.insert(l.record);
  return scope;
}

std::map<std::string, LogCandidate> named(Buf part, bool fixups, const std::unordered_set<std::uint64_t>& scope) {
  if (fixups) apply_log_page_fixups(part);
  std::map<std::string, LogCandidate> out;
  for (const auto& c : scan_logfile(part, 4096, 1024, scope, nullptr).candidates)
    if (c.name) out[*c.name] = c;
  return out;
}

TEST(LogScenario, WindowFromTheRestartAreaHoldsTheNewestLapAndTheTailDoesNot) {
  const auto& log = scenario_log();
  if (!log) GTEST_SKIP() << "tests/data/logfile.img.gz is absent";
  const auto& m = log->manifest;
  ASSERT_EQ(log->whole.size(), m.volume_number("log_size").value_or(0));
  ASSERT_GT(log->whole.size(), kLogTailSize);
  auto restart = newest_restart(log->whole);
  ASSERT_TRUE(restart);
  EXPECT_EQ(restart->current_lsn, m.volume_number("log_current_lsn").value_or(0));
  EXPECT_EQ(restart->major_version, 1);
  EXPECT_EQ(restart->minor_version, 1);
  // 8 MiB ending with CurrentLsn's page, and the one newer page after it.
  EXPECT_EQ(log->newest.size(), kLogTailSize + kLogPageSize);

  const auto scope = scope_of(m);
  const auto expected = log_only(m);
  ASSERT_GE(expected.size(), 5u);
  auto found = named(log->newest, true, scope);
  for (const auto& [name, d] : expected) {
    SCOPED_TRACE(name);
    ASSERT_TRUE(found.count(name)) << "the restart-area window misses a log-only file";
    EXPECT_EQ(found[name].frn, d->record);
    EXPECT_EQ(found[name].parent, d->parent);
    EXPECT_EQ(found[name].sequence, d->seq);
  }
  // The rename's deleted entry is a candidate too (its record lives on
  // under the new name with the same sequence number; the probe drops it).
  ASSERT_TRUE(found.count("draft plan.txt"));
  for (const auto& l : m.live) {
    if (l.name != "final plan.txt") continue;
    EXPECT_EQ(found["draft plan.txt"].frn, l.record);
    EXPECT_EQ(found["draft plan.txt"].sequence, l.seq);
  }

  // Without the pages after CurrentLsn's, the last transaction is missed.
  const Buf to_current(log->newest.begin(), log->newest.begin() + kLogTailSize);
  auto lagging = named(to_current, true, scope);
  EXPECT_FALSE(lagging.count("late deleted after the checkpoint.txt"));
  EXPECT_TRUE(lagging.count("log-only notes.txt"));

  // The stream's last 8 MiB hold only the previous lap: none of them.
  const Buf tail(log->whole.end() - kLogTailSize, log->whole.end());
  auto old = named(tail, true, scope);
  for (const auto& [name, d] : expected) EXPECT_FALSE(old.count(name)) << name;
}

TEST(LogScenario, FixupsRestoreANameThatCrossesASector) {
  const auto& log = scenario_log();
  if (!log) GTEST_SKIP() << "tests/data/logfile.img.gz is absent";
  auto crossing = log->manifest.lines("log_crossing");
  ASSERT_FALSE(crossing.empty());
  const std::string name = crossing.front()->fields.at(1);
  const auto scope = scope_of(log->manifest);
  // The window ends with the newest lap: its last 16 pages hold all of it.
  const Buf lap(log->newest.end() - 16 * kLogPageSize, log->newest.end());
  auto fixed = named(lap, true, scope);
  ASSERT_TRUE(fixed.count(name));
  auto raw = named(lap, false, scope);
  EXPECT_FALSE(raw.count(name)) << "the update sequence number should sit inside the name as read";
  bool garbled = false;
  for (const auto& [n, c] : raw) garbled |= c.frn == fixed[name].frn && n != name;
  EXPECT_TRUE(garbled);
}

// The real Windows 10 logs, read through the image backend and our own reader.
struct RealLog {
  Buf bytes;
  std::optional<LogRestart> restart;
};

std::optional<RealLog> real_log(const std::string& name) {
  auto image = test::real_volume(name);
  if (!image) return std::nullopt;
  auto platform = platform::open_image_platform({image->string(), 'E', std::nullopt});
  if (!platform) return std::nullopt;
  platform::ScopedPlatform scoped(std::move(*platform));
  auto log = read_logfile_tail('E');
  if (!log) return std::nullopt;
  return RealLog{*log, newest_restart(*log)};
}

TEST(LogReal, PtrnRestartFixupsAndTheRenamedEntry) {
  auto log = real_log("ntfs-ptrn");
  if (!log) GTEST_SKIP() << "../shared/real-volumes/ntfs-ptrn.raw.gz is not available";
  EXPECT_EQ(log->bytes.size(), 5013504u);  // under 8 MiB: read whole
  ASSERT_TRUE(log->restart);
  EXPECT_EQ(log->restart->major_version, 1);
  EXPECT_EQ(log->restart->minor_version, 1);
  EXPECT_EQ(log->restart->seq_number_bits, 44u);
  auto offset = lsn_to_offset(log->restart->current_lsn, log->restart->seq_number_bits);
  ASSERT_TRUE(offset);
  EXPECT_TRUE(has_tag(log->bytes, *offset / kLogPageSize * kLogPageSize, "RCRD"));

  Buf fixed = log->bytes;
  EXPECT_GT(apply_log_page_fixups(fixed), 0u);
  auto r = scan_logfile(fixed, 4096, 1024, {5}, nullptr);
  EXPECT_GT(r.stats.name_deletes, 0u);
  // Both files were created as "New Text Document.txt" and renamed: the
  // old names' index entries were deleted, the records live on.
  std::set<std::uint64_t> renamed;
  for (const auto& c : r.candidates) {
    if (c.name != "New Text Document.txt") continue;
    renamed.insert(c.frn);
    EXPECT_EQ(c.parent, 5u);
    EXPECT_TRUE(c.sequence);
  }
  EXPECT_TRUE(renamed.contains(39)) << "the deleted index entry of the rename to 1.txt";
}

TEST(LogReal, LastaccessLogScansCleanly) {
  auto log = real_log("ntfs-lastaccess");
  if (!log) GTEST_SKIP() << "../shared/real-volumes/ntfs-lastaccess.raw.gz is not available";
  EXPECT_EQ(log->bytes.size(), 2654208u);
  ASSERT_TRUE(log->restart);
  Buf fixed = log->bytes;
  EXPECT_GT(apply_log_page_fixups(fixed), 40u);  // 49 RCRD pages
  auto r = scan_logfile(fixed, 4096, 1024, {5, 39}, nullptr);
  EXPECT_GT(r.stats.records, 0u);
  for (const auto& c : r.candidates) EXPECT_TRUE(c.has_parent);
}

}  // namespace
}  // namespace quillon
