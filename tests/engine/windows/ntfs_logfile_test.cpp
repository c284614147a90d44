#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstring>
#include <map>
#include <random>

#include "support/probe_session.h"
#include "common/text.h"
#include "engine/windows/ntfs_logfile.h"
#include "platform/image/image_platform.h"
#include "support/images.h"
#include "support/manifest.h"
#include "support/ntfs_builder.h"

namespace quillon {
namespace {

using Buf = std::vector<std::byte>;

using test::put16;
using test::put64;

struct Header {
  std::uint16_t redo_op = 0, undo_op = 0, redo_off = 0, redo_len = 0, undo_off = 0, undo_len = 0;
  std::uint16_t cbo = 0, block = 0;
  std::int64_t vcn = 0;
};

namespace lc = ntfs::log_client;
namespace ie = ntfs::index_entry;
namespace fn = ntfs::file_name;

void put_header(Buf& b, std::size_t at, const Header& h) {
  put16(b, at + lc::kRedoOperation, h.redo_op);
  put16(b, at + lc::kUndoOperation, h.undo_op);
  put16(b, at + lc::kRedoOffset, h.redo_off);
  put16(b, at + lc::kRedoLength, h.redo_len);
  put16(b, at + lc::kUndoOffset, h.undo_off);
  put16(b, at + lc::kUndoLength, h.undo_len);
  put16(b, at + lc::kClusterBlockOffset, h.cbo);
  put16(b, at + lc::kTargetBlockSize, h.block);
  put64(b, at + lc::kTargetVcn, static_cast<std::uint64_t>(h.vcn));
}

void put_name(Buf& b, std::size_t at, std::string_view ascii) {
  for (std::size_t k = 0; k < ascii.size(); ++k) put16(b, at + 2 * k, static_cast<std::uint8_t>(ascii[k]));
}

// Operation 13 as Windows writes it: empty redo, the deleted index entry as
// undo data. Returns the header's length with its data.
std::size_t put_index_delete(Buf& b, std::size_t at, std::uint16_t op, std::uint64_t reference, std::uint64_t parent,
                             std::string_view name, std::uint8_t ns = 1) {
  const std::uint16_t key = static_cast<std::uint16_t>(fn::kName + 2 * name.size());
  const std::uint16_t undo_len = static_cast<std::uint16_t>(ie::kKey + key);
  put_header(b, at, {op, 14, 40, 0, 40, undo_len, 0, 0, 0});
  const std::size_t d = at + 40;
  put64(b, d + ie::kFileReference, reference);
  put16(b, d + ie::kLength, undo_len);
  put16(b, d + ie::kKeyLength, key);
  put64(b, d + ie::kKey + fn::kParent, parent);
  b[d + ie::kKey + fn::kNameLength] = std::byte{static_cast<std::uint8_t>(name.size())};
  b[d + ie::kKey + fn::kNamespace] = std::byte{ns};
  put_name(b, d + ie::kKey + fn::kName, name);
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

// The client data of a delete as Windows logs it (operation 13 or 15, empty
// redo, the deleted index entry as undo data), of an added index entry
// (operation 12 or 14, the entry as redo data) and of a deallocation
// (operation 3, the freed FILE record as undo data).
Buf index_client(std::uint16_t op, std::uint64_t reference, std::uint64_t parent, std::string_view name) {
  Buf b(512);
  const std::size_t n = put_index_delete(b, 0, op, reference, parent, name);
  b.resize((n + 7) & ~std::size_t{7});
  if (op == 12 || op == 14) {  // the entry goes to the redo part
    put16(b, 2, static_cast<std::uint16_t>(op + 1));
    put16(b, 6, load_le<std::uint16_t>(b.data() + 10));
    put16(b, 10, 0);
  }
  return b;
}

Buf dealloc_client(std::uint64_t record, std::uint16_t sequence) {
  Buf b(40 + 64);
  const std::uint64_t byte = record * 1024;
  put_header(b, 0, {3, 2, 40, 0, 40, 64, static_cast<std::uint16_t>(byte % 4096 / 512), 2,
                    static_cast<std::int64_t>(byte / 4096)});
  std::memcpy(b.data() + 40, "FILE", 4);
  put16(b, 40 + ntfs::record::kSequence, sequence);
  return b;
}

// A log record: the log service's 0x30-byte header (this LSN, client data
// length, type 1, reserved zeros) and the client data. Returns its length.
std::size_t put_log_record(Buf& b, std::size_t at, std::uint64_t lsn, const Buf& client) {
  namespace lr = ntfs::log_record;
  put64(b, at + lr::kThisLsn, lsn);
  store_le<std::uint32_t>(b.data() + at + lr::kClientDataLength, static_cast<std::uint32_t>(client.size()));
  store_le<std::uint32_t>(b.data() + at + lr::kRecordType, 1);
  std::copy(client.begin(), client.end(), b.begin() + static_cast<std::ptrdiff_t>(at + lr::kHeaderSize));
  return lr::kHeaderSize + client.size();
}

// Record pages holding `stream` in their data areas, one page after another.
Buf record_pages(const Buf& stream) {
  const std::size_t area = kLogPageSize - kLogPageHeader;
  const std::size_t count = (stream.size() + area - 1) / area;
  Buf pages(count * kLogPageSize);
  for (std::size_t p = 0; p < count; ++p) {
    std::memcpy(pages.data() + p * kLogPageSize, "RCRD", 4);
    const std::size_t n = std::min(area, stream.size() - p * area);
    std::memcpy(pages.data() + p * kLogPageSize + kLogPageHeader, stream.data() + p * area, n);
  }
  return pages;
}

std::uint64_t ref(std::uint64_t record, std::uint16_t sequence) { return (std::uint64_t{sequence} << 48) | record; }

TEST(LogScan, AHeaderPatternThatYieldsNothingDoesNotHideTheRealHeader) {
  // Five bytes before the client data, the record header's reserved zeros
  // and the operation codes read as a plausible header of operation 0.
  Buf stream(3 * kLogPageSize);
  put_log_record(stream, 0, 0x1000, index_client(15, ref(77, 3), 40, "stepped.txt"));
  const Bytes pattern = Bytes(stream).subspan(0x30 - 5, 8);
  EXPECT_EQ(load_le<std::uint16_t>(pattern.data()), 0u);
  EXPECT_GE(load_le<std::uint16_t>(pattern.data() + 4), kLogMinDataOffset);
  for (bool paged : {false, true}) {
    const Buf log = paged ? record_pages(stream) : stream;
    auto r = scan_logfile(log, 4096, 1024, kScope, nullptr);
    ASSERT_EQ(r.candidates.size(), 1u) << paged;
    EXPECT_EQ(r.candidates[0].name, "stepped.txt");
    EXPECT_EQ(r.candidates[0].sequence, std::uint16_t{3});
  }
}

TEST(LogScan, ARecordRunningOnIntoTheNextPageIsReadWhole) {
  // The deleted entry's name begins 40 bytes before the end of the first
  // page's data area and ends in the second page's.
  const std::size_t area = kLogPageSize - kLogPageHeader;
  Buf stream(2 * area);
  const std::size_t at = area - (0x30 + 40 + 82) - 40;
  put_log_record(stream, at, 0x2000, index_client(15, ref(90, 2), 40, "runs on into the next page.txt"));
  const Buf log = record_pages(stream);
  auto r = scan_logfile(log, 4096, 1024, kScope, nullptr);
  ASSERT_EQ(r.candidates.size(), 1u);
  EXPECT_EQ(r.candidates[0].frn, 90u);
  EXPECT_EQ(r.candidates[0].name, "runs on into the next page.txt");
  // The pages not next to each other in the log: not joined, and the whole
  // pass takes no name across the second page's header.
  const std::vector<std::uint8_t> apart{0, 0};
  EXPECT_TRUE(scan_logfile(log, 4096, 1024, kScope, nullptr, apart).candidates.empty());
}

TEST(LogScan, CandidatesAreKeyedByRecordAndSequence) {
  Buf deletion(1024), reuse(2048), later(2048);
  std::size_t n = put_log_record(deletion, 0, 1, index_client(15, ref(77, 3), 40, "deleted.txt"));
  put_log_record(deletion, n, 2, dealloc_client(77, 3));
  // The record reused with the next sequence number and renamed.
  n = put_log_record(reuse, 0, 3, index_client(14, ref(77, 4), 40, "New Text Document.txt"));
  n += put_log_record(reuse, n, 4, index_client(15, ref(77, 4), 40, "New Text Document.txt"));
  put_log_record(reuse, n, 5, index_client(14, ref(77, 4), 40, "renamed.txt"));
  // Renamed, then deleted: the deletion's name, not a rename.
  n = put_log_record(later, 0, 6, index_client(15, ref(81, 1), 40, "first name.txt"));
  n += put_log_record(later, n, 7, index_client(14, ref(81, 1), 40, "second name.txt"));
  n += put_log_record(later, n, 8, index_client(15, ref(81, 1), 40, "second name.txt"));
  put_log_record(later, n, 9, dealloc_client(81, 1));
  // In the order written, and with the reuse first, as where an older
  // generation of the log lies after a newer one in the file.
  for (bool reuse_first : {false, true}) {
    Buf log = reuse_first ? reuse : deletion;
    const Buf& second = reuse_first ? deletion : reuse;
    log.insert(log.end(), second.begin(), second.end());
    log.insert(log.end(), later.begin(), later.end());
    std::map<std::pair<std::uint64_t, std::uint16_t>, LogCandidate> got;
    for (const auto& c : scan_logfile(log, 4096, 1024, kScope, nullptr).candidates)
      got[{c.frn, c.sequence.value_or(0)}] = c;
    SCOPED_TRACE(reuse_first);
    ASSERT_EQ(got.size(), 3u);
    const auto& deleted = got[std::pair<std::uint64_t, std::uint16_t>{77, 3}];
    const auto& reused = got[std::pair<std::uint64_t, std::uint16_t>{77, 4}];
    const auto& later_deleted = got[std::pair<std::uint64_t, std::uint16_t>{81, 1}];
    EXPECT_EQ(deleted.name, "deleted.txt");
    EXPECT_FALSE(deleted.renamed);
    EXPECT_TRUE(reused.renamed);
    EXPECT_EQ(later_deleted.name, "second name.txt");
    EXPECT_FALSE(later_deleted.renamed);
  }
}

TEST(LogScan, AnExpiredBudgetEndsTheScan) {
  Buf log(1024);
  put_log_record(log, 0, 1, index_client(15, ref(77, 3), 40, "a.txt"));
  const TimeBudget spent(Duration{});
  EXPECT_TRUE(scan_logfile(log, 4096, 1024, kScope, nullptr, {}, &spent).candidates.empty());
  EXPECT_EQ(scan_logfile(log, 4096, 1024, kScope, nullptr).candidates.size(), 1u);
}

// A log of `pages` 4 KiB pages laid out as Windows 10 leaves it: two restart
// pages (version 1.1), tail copies from page 2, the record area from page
// 34, 0xFF where nothing was written. Every record page's last LSN maps to
// the page it belongs to; a mark at +64 tells which page image it is.
struct SyntheticLog {
  Buf bytes;
  std::uint32_t bits;
  explicit SyntheticLog(std::uint64_t pages)
      : bytes(pages * kLogPageSize, std::byte{0xFF}), bits(67 - std::bit_width(pages * kLogPageSize)) {}
  std::uint64_t lsn(std::uint64_t seq, std::uint64_t page, std::uint64_t in_page = 64) const {
    return (seq << (64 - bits)) | ((page * kLogPageSize + in_page) >> 3);
  }
  void restart(std::uint64_t current_lsn) {
    for (std::size_t r = 0; r < 2; ++r) {
      const std::size_t at = r * kLogPageSize;
      std::fill_n(bytes.begin() + static_cast<std::ptrdiff_t>(at), kLogPageSize, std::byte{0});
      std::memcpy(bytes.data() + at, "RSTR", 4);
      namespace rp = ntfs::log_restart_page;
      namespace ra = ntfs::log_restart_area;
      constexpr std::size_t area = 0x30;
      store_le<std::uint32_t>(bytes.data() + at + rp::kSystemPageSize, 4096);
      store_le<std::uint32_t>(bytes.data() + at + rp::kLogPageSize, 4096);
      put16(bytes, at + rp::kRestartAreaOffset, area);
      put16(bytes, at + rp::kMinorVersion, 1);
      put16(bytes, at + rp::kMajorVersion, 1);
      put64(bytes, at + area + ra::kCurrentLsn, r == 0 ? current_lsn : current_lsn / 2);
      store_le<std::uint32_t>(bytes.data() + at + area + ra::kSeqNumberBits, bits);
    }
  }
  // Page `at` holding the image of page `of` (a tail copy when they differ).
  void page(std::uint64_t at, std::uint64_t of, std::uint64_t seq, std::uint64_t in_page, std::uint64_t mark) {
    std::fill_n(bytes.begin() + static_cast<std::ptrdiff_t>(at * kLogPageSize), kLogPageSize, std::byte{0});
    std::memcpy(bytes.data() + at * kLogPageSize, "RCRD", 4);
    put64(bytes, at * kLogPageSize + ntfs::log_record_page::kLastLsn, lsn(seq, of, in_page));
    put64(bytes, at * kLogPageSize + 64, mark);
  }
};

LogRangeReader reader_of(const Buf& log, std::optional<std::pair<std::uint64_t, std::uint64_t>> bad = {}) {
  return [&log, bad](std::uint64_t off, std::uint64_t len) -> std::optional<Buf> {
    if (!in_bounds(log.size(), off, len)) return std::nullopt;
    if (bad && off < bad->second && bad->first < off + len) return std::nullopt;
    return Buf(log.begin() + static_cast<std::ptrdiff_t>(off), log.begin() + static_cast<std::ptrdiff_t>(off + len));
  };
}

std::vector<std::uint64_t> marks(const LogPart& part) {
  std::vector<std::uint64_t> out;
  for (std::size_t at = 0; at + kLogPageSize <= part.bytes.size(); at += kLogPageSize)
    out.push_back(load_le<std::uint64_t>(part.bytes.data() + at + 64));
  return out;
}

std::vector<std::uint64_t> range(std::uint64_t from, std::uint64_t to) {  // [from, to]
  std::vector<std::uint64_t> out;
  for (std::uint64_t p = from; p <= to; ++p) out.push_back(p);
  return out;
}

TEST(LogPages, LsnFormulaAndRestartChoice) {
  EXPECT_EQ(lsn_to_offset(0x20806f, 44), 0x40378u);  // the real ptrn log's CurrentLsn
  EXPECT_FALSE(lsn_to_offset(1, 2));
  EXPECT_FALSE(lsn_to_offset(1, 64));
  SyntheticLog log(64);
  log.restart(log.lsn(3, 40));
  auto r = newest_restart(log.bytes);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->current_lsn, log.lsn(3, 40));
  EXPECT_EQ(lsn_to_offset(r->current_lsn, r->seq_number_bits), 40 * kLogPageSize + 64);
  // The first restart page broken: the second one serves.
  Buf broken = log.bytes;
  put16(broken, 0x18, 0xFFF0);
  ASSERT_TRUE(newest_restart(broken));
  EXPECT_EQ(newest_restart(broken)->current_lsn, log.lsn(3, 40) / 2);
  Buf absurd = log.bytes;
  store_le<std::uint32_t>(absurd.data() + 0x40, 200);
  store_le<std::uint32_t>(absurd.data() + kLogPageSize + 0x40, 0);
  EXPECT_FALSE(newest_restart(absurd));
}

// The layout measured on a real Windows 10 log: the newer generation
// (sequence 4) on pages 34 to 99, the older (sequence 2) on 100 to 216,
// never-written pages after; CurrentLsn in page 99, so that 8 MiB ending
// there and wrapping backwards hold only never-written pages and the newer
// generation. Tail copies on pages 2 to 33: stale ones of pages 34 to 64,
// and one of page 99 that is newer than page 99 itself.
TEST(LogPages, ChosenByWhatTheyHold) {
  const std::uint64_t pages = 16384;  // 64 MiB
  SyntheticLog log(pages);
  log.restart(log.lsn(4, 99));
  for (std::uint64_t p = 34; p <= 99; ++p) log.page(p, p, 4, 2048, p);
  for (std::uint64_t p = 100; p <= 216; ++p) log.page(p, p, 2, 2048, p);
  for (std::uint64_t c = 2; c <= 32; ++c) log.page(c, 32 + c, 4, 1024, 100000 + c);  // stale
  log.page(33, 99, 4, 3072, 100033);  // newer than page 99
  // A copy that names its page by file offset, with its last-end LSN (stale).
  put64(log.bytes, 2 * kLogPageSize + 8, 34 * kLogPageSize);
  put64(log.bytes, 2 * kLogPageSize + 0x20, log.lsn(4, 34, 1024));
  const auto expected = [] {
    auto e = range(100, 216);
    auto n = range(34, 98);
    e.insert(e.end(), n.begin(), n.end());
    e.push_back(99);
    return e;
  }();

  auto part = read_newest_log_part(log.bytes.size(), reader_of(log.bytes));
  ASSERT_TRUE(part);
  EXPECT_EQ(part->pages, expected);
  auto m = marks(*part);
  auto want = expected;
  want.back() = 100033;  // the newer copy stands in for page 99
  EXPECT_EQ(m, want);
  // Joined where the log runs on: not at the start, nor from 216 to 34.
  ASSERT_EQ(part->runs_on.size(), expected.size());
  EXPECT_EQ(std::count(part->runs_on.begin(), part->runs_on.end(), 0), 2);
  EXPECT_EQ(part->runs_on[117], 0);

  // The restart area unreadable: the bits follow from the log's size.
  Buf no_restart = log.bytes;
  no_restart[0] = no_restart[kLogPageSize] = std::byte{'X'};
  auto fallback = read_newest_log_part(no_restart.size(), reader_of(no_restart));
  ASSERT_TRUE(fallback);
  EXPECT_EQ(fallback->pages, expected);
  // Unreadable pages are skipped: page 100, and the restart pages with all
  // the tail copies (page 99 is then read as it is).
  auto holed = read_newest_log_part(log.bytes.size(), reader_of(log.bytes, {{100 * kLogPageSize, 101 * kLogPageSize}}));
  ASSERT_TRUE(holed);
  auto without_100 = expected;
  without_100.erase(without_100.begin());
  EXPECT_EQ(holed->pages, without_100);
  auto lost = read_newest_log_part(log.bytes.size(), reader_of(log.bytes, {{0, 34 * kLogPageSize}}));
  ASSERT_TRUE(lost);
  EXPECT_EQ(lost->pages, expected);
  EXPECT_EQ(marks(*lost).back(), 99u);
  const TimeBudget spent(Duration{});
  EXPECT_FALSE(read_newest_log_part(log.bytes.size(), reader_of(log.bytes), &spent));
  // Nothing but never-written pages: nothing.
  SyntheticLog blank(64);
  blank.restart(blank.lsn(1, 40));
  EXPECT_FALSE(read_newest_log_part(blank.bytes.size(), reader_of(blank.bytes)));
}

TEST(LogPages, TheNewestEightMiBAcrossTheWrap) {
  // Every page written: the older generation runs to the end of the file and
  // the newer one went on from page 34. The newest 2048 pages are the last
  // 1982 of the older generation and the 66 of the newer, joined at the wrap.
  const std::uint64_t pages = 2400;
  SyntheticLog log(pages);
  log.restart(log.lsn(2, 60));
  for (std::uint64_t p = 34; p < pages; ++p) log.page(p, p, p <= 99 ? 2 : 1, 2048, p);
  auto part = read_newest_log_part(log.bytes.size(), reader_of(log.bytes));
  ASSERT_TRUE(part);
  auto expected = range(pages - 1982, pages - 1);
  auto newer = range(34, 99);
  expected.insert(expected.end(), newer.begin(), newer.end());
  EXPECT_EQ(part->pages, expected);
  EXPECT_EQ(part->bytes.size(), kLogTailSize);
  EXPECT_EQ(std::count(part->runs_on.begin(), part->runs_on.end(), 0), 1);  // only the first
  // A log no larger than 8 MiB gives all its record pages.
  SyntheticLog small(200);
  small.restart(small.lsn(1, 50));
  for (std::uint64_t p = 34; p < 200; ++p) small.page(p, p, 1, 64, p);
  EXPECT_EQ(read_newest_log_part(small.bytes.size(), reader_of(small.bytes))->pages, range(34, 199));
  EXPECT_FALSE(read_newest_log_part(0, reader_of(small.bytes)));
}

// A reset log (all ones, as ntfs-3g leaves it) is told from its restart
// pages and its last page, and not read further; a record page in its last
// page, or restart pages that cannot be read, have the whole log read.
TEST(LogPages, AResetLogIsNotReadPastItsEnds) {
  SyntheticLog reset(4096);
  std::uint64_t asked = 0;
  auto counting = [&](const Buf& log) -> LogRangeReader {
    return [&asked, inner = reader_of(log)](std::uint64_t off, std::uint64_t len) {
      asked += len;
      return inner(off, len);
    };
  };
  EXPECT_FALSE(read_newest_log_part(reset.bytes.size(), counting(reset.bytes)));
  EXPECT_EQ(asked, 3 * kLogPageSize);
  SyntheticLog tail(4096);
  tail.page(4095, 4095, 1, 64, 7);
  asked = 0;
  auto part = read_newest_log_part(tail.bytes.size(), counting(tail.bytes));
  ASSERT_TRUE(part);
  EXPECT_EQ(part->pages, std::vector<std::uint64_t>{4095});
  EXPECT_GE(asked, tail.bytes.size());
  SyntheticLog lost(4096);
  lost.page(2000, 2000, 1, 64, 8);
  std::fill_n(lost.bytes.end() - static_cast<std::ptrdiff_t>(kLogPageSize), kLogPageSize, std::byte{0xFF});
  auto found = read_newest_log_part(lost.bytes.size(), reader_of(lost.bytes, {{0, 2 * kLogPageSize}}));
  ASSERT_TRUE(found);
  EXPECT_EQ(found->pages, std::vector<std::uint64_t>{2000});
}

// The logfile scenario, laid out as the real Windows 10 log measured: the
// record area from page 34 with tail copies before it, the newer generation
// from page 34 on, the older one (which holds the deletions) after it, and
// never-written pages to the end of the file.
struct ScenarioLog {
  LogPart part;  // read_logfile_tail
  Buf whole;     // the whole stream
  test::Manifest manifest;
};

// The whole $LogFile stream of drive E: (a platform in place).
std::optional<Buf> whole_log_stream() {
  auto reader = open_volume(platform::current(), 'E');
  if (!reader) return std::nullopt;
  auto volume = query_volume_data(*reader);
  if (!volume) return std::nullopt;
  const MftContext ctx = load_mft_context(*reader, *volume);
  auto record = fetch_record(ctx, *reader, kLogFileRecord);
  if (!record) return std::nullopt;
  auto stream = data_runs(*record);
  if (!stream) return std::nullopt;
  return read_stream_range(volume->bytes_per_cluster(), *reader, stream->runs, 0, stream->data_size);
}

std::optional<ScenarioLog> read_scenario_log() {
  auto manifest = test::load_manifest("logfile");
  auto image = test::scenario_image("logfile");
  if (!manifest || !image) return std::nullopt;
  auto platform = platform::open_image_platform({image->string(), 'E', std::nullopt});
  if (!platform) return std::nullopt;
  platform::ScopedPlatform scoped(std::move(*platform));
  auto part = test::logfile_tail_on();
  auto whole = whole_log_stream();
  if (!part || !whole) return std::nullopt;
  return ScenarioLog{std::move(*part), std::move(*whole), std::move(*manifest)};
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

// Candidates by name (and sequence number, for names used twice).
std::map<std::pair<std::string, std::uint16_t>, LogCandidate> named(Buf bytes, bool fixups,
                                                                   const std::unordered_set<std::uint64_t>& scope,
                                                                   std::span<const std::uint8_t> runs_on = {}) {
  if (fixups) apply_log_page_fixups(bytes);
  std::map<std::pair<std::string, std::uint16_t>, LogCandidate> out;
  for (const auto& c : scan_logfile(bytes, 4096, 1024, scope, nullptr, runs_on).candidates)
    if (c.name) out[{*c.name, c.sequence.value_or(0)}] = c;
  return out;
}

// The pages the 8 MiB ending with CurrentLsn's page (wrapping around the
// record area from `start`) cover.
std::set<std::uint64_t> window_at_current_lsn(const ScenarioLog& log, std::uint64_t start) {
  auto restart = newest_restart(log.whole);
  std::set<std::uint64_t> out;
  if (!restart) return out;
  const std::uint64_t total = log.whole.size() / kLogPageSize;
  const std::uint64_t current = *lsn_to_offset(restart->current_lsn, restart->seq_number_bits) / kLogPageSize;
  for (std::uint64_t n = 0, p = current; n < kLogTailSize / kLogPageSize; ++n) {
    out.insert(p);
    p = p == start ? total - 1 : p - 1;
  }
  return out;
}

TEST(LogScenario, PagesChosenByContentHoldEveryDeletionOnlyTheLogNames) {
  const auto& log = scenario_log();
  if (!log) GTEST_SKIP() << "tests/data/logfile.img.gz is absent";
  const auto& m = log->manifest;
  ASSERT_EQ(log->whole.size(), m.volume_number("log_size").value_or(0));
  auto restart = newest_restart(log->whole);
  ASSERT_TRUE(restart);
  EXPECT_EQ(restart->major_version, 1);
  EXPECT_EQ(restart->minor_version, 1);
  EXPECT_EQ(restart->current_lsn, m.volume_number("log_current_lsn").value_or(0));
  const std::uint64_t start = m.volume_number("log_record_start").value_or(0);
  ASSERT_EQ(start, 34u);

  // Record pages only, none of the tail copies as themselves, nothing
  // never written, oldest first.
  std::set<std::uint64_t> written;
  for (const auto& l : m.logfile) written.insert(*lsn_to_offset(l.lsn, restart->seq_number_bits) / kLogPageSize);
  const auto& part = log->part;
  ASSERT_EQ(part.bytes.size(), part.pages.size() * kLogPageSize);
  std::uint64_t previous = 0;
  for (std::size_t i = 0; i < part.pages.size(); ++i) {
    EXPECT_GE(part.pages[i], start);
    EXPECT_LE(part.pages[i], *written.rbegin());
    const std::uint64_t lsn = load_le<std::uint64_t>(part.bytes.data() + i * kLogPageSize + 8);
    EXPECT_GT(lsn, previous);
    previous = lsn;
  }
  EXPECT_EQ(std::set<std::uint64_t>(part.pages.begin(), part.pages.end()), written);

  // The deletions lie in the older generation, which 8 MiB ending at
  // CurrentLsn's page do not reach.
  const auto window = window_at_current_lsn(*log, start);
  const auto scope = scope_of(m);
  const auto expected = log_only(m);
  ASSERT_GE(expected.size(), 5u);
  auto found = named(part.bytes, true, scope, part.runs_on);
  for (const auto& [name, d] : expected) {
    SCOPED_TRACE(name);
    ASSERT_TRUE(found.count({name, d->seq})) << "a log-only deletion was missed";
    const auto& c = found[{name, d->seq}];
    EXPECT_EQ(c.frn, d->record);
    EXPECT_EQ(c.parent, d->parent);
    EXPECT_FALSE(c.renamed);
    for (const auto& l : m.logfile)
      if (l.name == name && l.record == d->record && name != "late deleted after the checkpoint.txt") {
        EXPECT_FALSE(window.count(*lsn_to_offset(l.lsn, restart->seq_number_bits) / kLogPageSize));
      }
  }
  // Renamed files, the reused record's among them: candidates marked renamed.
  for (const auto* r : m.lines("log_renamed")) {
    ASSERT_EQ(r->fields.size(), 3u);
    const std::pair<std::string, std::uint16_t> key{r->fields[2], static_cast<std::uint16_t>(std::stoul(r->fields[1]))};
    ASSERT_TRUE(found.count(key)) << key.first;
    EXPECT_EQ(found[key].frn, std::stoull(r->fields[0]));
    EXPECT_TRUE(found[key].renamed) << key.first;
  }
  EXPECT_GE(m.lines("log_renamed").size(), 2u);

  // Names running on into the next page are read whole.
  auto spanning = m.lines("log_spanning");
  ASSERT_FALSE(spanning.empty());
  for (const auto* s : spanning) {
    bool seen = false;
    for (const auto& [key, c] : found) seen |= key.first == s->fields.at(1);
    EXPECT_TRUE(seen) << s->fields.at(1);
  }
}

TEST(LogScenario, FixupsRestoreANameThatCrossesASector) {
  const auto& log = scenario_log();
  if (!log) GTEST_SKIP() << "tests/data/logfile.img.gz is absent";
  auto crossing = log->manifest.lines("log_crossing");
  ASSERT_FALSE(crossing.empty());
  const std::string name = crossing.front()->fields.at(1);
  const auto scope = scope_of(log->manifest);
  auto has = [&](const auto& found) {
    for (const auto& [key, c] : found)
      if (key.first == name) return true;
    return false;
  };
  auto fixed = named(log->part.bytes, true, scope, log->part.runs_on);
  ASSERT_TRUE(has(fixed));
  EXPECT_FALSE(has(named(log->part.bytes, false, scope, log->part.runs_on)))
      << "the update sequence number should sit inside the name as read";
}

// The real Windows 10 logs, read through the image backend and our own reader.
struct RealLog {
  LogPart part;
  Buf whole;
  std::optional<LogRestart> restart;
};

std::optional<RealLog> real_log(const std::string& name) {
  auto image = test::real_volume(name);
  if (!image) return std::nullopt;
  auto platform = platform::open_image_platform({image->string(), 'E', std::nullopt});
  if (!platform) return std::nullopt;
  platform::ScopedPlatform scoped(std::move(*platform));
  auto part = test::logfile_tail_on();
  auto whole = whole_log_stream();
  if (!part || !whole) return std::nullopt;
  auto restart = newest_restart(*whole);
  return RealLog{std::move(*part), std::move(*whole), restart};
}

std::size_t record_pages_in(const Buf& whole) {
  std::size_t n = 0;
  for (std::size_t at = 0; at + kLogPageSize <= whole.size(); at += kLogPageSize) n += has_tag(whole, at, "RCRD");
  return n;
}

TEST(LogReal, PtrnRestartFixupsAndTheRenamedEntry) {
  auto log = real_log("ntfs-ptrn");
  if (!log) GTEST_SKIP() << "../shared/real-volumes/ntfs-ptrn.raw.gz is not available";
  EXPECT_EQ(log->whole.size(), 5013504u);
  ASSERT_TRUE(log->restart);
  EXPECT_EQ(log->restart->major_version, 1);
  EXPECT_EQ(log->restart->minor_version, 1);
  EXPECT_EQ(log->restart->seq_number_bits, 44u);
  auto offset = lsn_to_offset(log->restart->current_lsn, log->restart->seq_number_bits);
  ASSERT_TRUE(offset);
  // Under 8 MiB: every record page but the tail copies (pages 2 to 33, none
  // newer than its page), CurrentLsn's among them.
  EXPECT_EQ(log->part.pages, range(34, 64));
  EXPECT_TRUE(std::count(log->part.pages.begin(), log->part.pages.end(), *offset / kLogPageSize));

  Buf fixed = log->part.bytes;
  EXPECT_GT(apply_log_page_fixups(fixed), 0u);
  auto r = scan_logfile(fixed, 4096, 1024, {5}, nullptr, log->part.runs_on);
  EXPECT_GT(r.stats.name_deletes, 0u);
  // Both files were created as "New Text Document.txt" and renamed: the
  // old names' index entries were deleted and new ones added, the records
  // live on.
  std::set<std::uint64_t> renamed;
  for (const auto& c : r.candidates) {
    if (c.name != "New Text Document.txt") continue;
    EXPECT_EQ(c.parent, 5u);
    EXPECT_TRUE(c.sequence);
    if (c.renamed) renamed.insert(c.frn);
  }
  EXPECT_TRUE(renamed.contains(39)) << "the deleted index entry of the rename to 1.txt";
}

TEST(LogReal, LastaccessPagesChosenSanely) {
  auto log = real_log("ntfs-lastaccess");
  if (!log) GTEST_SKIP() << "../shared/real-volumes/ntfs-lastaccess.raw.gz is not available";
  EXPECT_EQ(log->whole.size(), 2654208u);
  ASSERT_TRUE(log->restart);
  EXPECT_EQ(record_pages_in(log->whole), 49u);
  // The 21 tail copies left out (none is newer than its page), the record
  // pages oldest first (page 63, on which no record begins, carries the
  // last-LSN of page 62), joined where they follow each other.
  EXPECT_EQ(log->part.pages, range(34, 63));
  EXPECT_EQ(std::count(log->part.runs_on.begin(), log->part.runs_on.end(), 0), 1);
  for (std::size_t i = 0; i < log->part.pages.size(); ++i) {
    if (i > 0) {
      EXPECT_LE(load_le<std::uint64_t>(log->part.bytes.data() + (i - 1) * kLogPageSize + 8),
                load_le<std::uint64_t>(log->part.bytes.data() + i * kLogPageSize + 8));
    }
  }
  Buf fixed = log->part.bytes;
  EXPECT_EQ(apply_log_page_fixups(fixed), log->part.pages.size());
  auto r = scan_logfile(fixed, 4096, 1024, {5, 39}, nullptr, log->part.runs_on);
  EXPECT_GT(r.stats.records, 0u);
  for (const auto& c : r.candidates) EXPECT_TRUE(c.has_parent);
}

}  // namespace
}  // namespace quillon
