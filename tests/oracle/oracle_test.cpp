// The scenario volumes checked against their manifests by readers nobody
// here wrote: The Sleuth Kit (fls, istat, icat, usnjls) and libfsntfs (fsntfsinfo).
// When these agree with
// a manifest, the manifest is a truthful account of its image, and tests of
// our own readers can rely on it.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <cctype>
#include <set>
#include <sstream>
#include <string>

#include "support/fls.h"
#include "support/images.h"
#include "support/manifest.h"

namespace quillon::test {
namespace {

bool have_tool(const std::string& tool) {
  int status = 0;
  run_command("command -v " + tool + " >/dev/null 2>&1", &status);
  return status == 0;
}


struct FlsEntry {
  std::uint64_t record;
  std::string path;
  bool operator<(const FlsEntry& o) const { return std::tie(record, path) < std::tie(o.record, o.path); }
};

std::set<FlsEntry> fls_entries(const std::string& out) {
  std::set<FlsEntry> entries;
  for (const auto& l : parse_fls(out)) entries.insert({l.record, l.path});
  return entries;
}

class Oracle : public ::testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    for (const char* tool : {"fls", "istat"})
      if (!have_tool(tool)) GTEST_SKIP() << tool << " (The Sleuth Kit) is not installed";
    auto m = load_manifest(GetParam());
    ASSERT_TRUE(m) << "no manifest for " << GetParam();
    manifest_ = std::move(*m);
    auto img = scenario_image(GetParam());
    if (!img) GTEST_SKIP() << "tests/data/" << GetParam() << ".img.gz is absent";
    image_ = img->string();
    offset_arg_ = " -o " + std::to_string(manifest_.volume_offset() / 512) + " ";
  }

  std::string tsk(const std::string& tool, const std::string& args, int* status = nullptr) {
    return run_command(tool + offset_arg_ + args + " " + test::shell_quote(image_) + " 2>/dev/null", status);
  }
  std::string tsk_after(const std::string& tool, const std::string& before, const std::string& after) {
    return run_command(tool + offset_arg_ + before + " " + test::shell_quote(image_) + " " + after + " 2>/dev/null");
  }
  std::string istat(std::uint64_t record) { return tsk_after("istat", "", std::to_string(record)); }

  // Only the backup boot sector describes the volume (the primary is damaged).
  bool primary_boot_damaged() const { return manifest_.volume.count("boot") != 0; }

  // A record the damage names, or an item below a damaged folder.
  bool damaged(std::uint64_t record, const std::string& path = {}) const {
    for (const auto* l : manifest_.lines("damage")) {
      for (std::size_t i = 1; i < l->fields.size(); ++i)
        if (l->fields[i] == std::to_string(record)) return true;
      const auto& where = l->fields.back();
      if (!path.empty() && where.find('\\') != std::string::npos && path.rfind(where + "\\", 0) == 0)
        return true;
    }
    return false;
  }

  Manifest manifest_;
  std::string image_;
  std::string offset_arg_;
};

TEST_P(Oracle, ManifestParsesWhole) {
  EXPECT_TRUE(manifest_.errors.empty()) << manifest_.errors.front();
  EXPECT_TRUE(manifest_.volume_number("record_size") || primary_boot_damaged());
}

TEST_P(Oracle, CorruptBootSectorIsRefused) {
  if (!primary_boot_damaged()) GTEST_SKIP() << "volume is readable";
  int status = 0;
  tsk("fsstat", "-f ntfs", &status);
  EXPECT_NE(status, 0) << "fsstat accepted a corrupt boot sector";
}

// Every item of the manifest is where fls puts it: deleted items with a FILE
// record of their own under their old path, the others not at all, and live
// items as live entries.
TEST_P(Oracle, FlsAgreesOnDeletedAndLiveItems) {
  if (primary_boot_damaged()) GTEST_SKIP() << "The Sleuth Kit reads the primary boot sector only";
  int status = 0;
  auto deleted = fls_entries(tsk("fls", "-f ntfs -rpd", &status));
  ASSERT_EQ(status, 0) << "fls -rd failed on " << image_;
  auto live = fls_entries(tsk("fls", "-f ntfs -rpu", &status));
  ASSERT_EQ(status, 0);
  ASSERT_FALSE(manifest_.live.empty());

  // A folder whose record a new folder took: its deleted children still name
  // the record, with the old folder's sequence number, so fls finds them no
  // parent and lists them as orphans.
  std::set<std::string> reused_folders;
  for (const auto* r : manifest_.lines("reused"))
    if (r->fields.size() >= 2) reused_folders.insert(r->fields[1] + "|" + r->fields[0]);

  for (const auto& d : manifest_.deleted) {
    if (damaged(d.record, d.path)) continue;
    FlsEntry e{d.record, tsk_path(d.path)};
    const auto folder = d.path.substr(0, d.path.rfind('\\'));
    if (reused_folders.count(folder + "|" + std::to_string(d.parent))) e.path = "$OrphanFiles/" + d.name;
    if (d.has("record")) {
      EXPECT_TRUE(deleted.count(e)) << "fls -rd does not list deleted " << d.path << " (record " << d.record << ")";
    } else {
      EXPECT_FALSE(deleted.count(e)) << d.path << " has no record of its own, yet fls lists it";
    }
  }
  std::set<std::string> live_paths;
  for (const auto& l : manifest_.live) {
    live_paths.insert(tsk_path(l.path));
    EXPECT_TRUE(live.count({l.record, tsk_path(l.path)})) << "fls -r does not list live " << l.path;
  }
  // Nothing fls sees as live in the user tree is missing from the manifest.
  for (const auto& e : live) {
    if (e.path.find('$') == std::string::npos && e.path.find("System Volume") == std::string::npos) {
      EXPECT_TRUE(live_paths.count(e.path)) << "live " << e.path << " is not in the manifest";
    }
  }
}

// One MFT entry as libfsntfs's fsntfsinfo -E all prints it.
struct FsEntry {
  bool allocated = false;
  long seq = -1;
  struct Name {
    std::uint64_t parent;
    std::string name;
  };
  std::vector<Name> names;
  long long data_size = -1;  // unnamed $DATA
  std::vector<std::string> reparse_tags;
  bool has_name(const std::string& n, std::uint64_t parent) const {
    for (const auto& x : names)
      if (x.name == n && x.parent == parent) return true;
    return false;
  }
};

// "\tKey\t\t: value" -> (Key, value)
std::pair<std::string, std::string> key_value(const std::string& line) {
  auto colon = line.find(": ");
  if (colon == std::string::npos) return {};
  auto key = line.substr(0, colon);
  auto b = key.find_first_not_of("\t ");
  auto e = key.find_last_not_of("\t ");
  return {b == std::string::npos ? "" : key.substr(b, e - b + 1), line.substr(colon + 2)};
}

std::map<std::uint64_t, FsEntry> parse_fsntfsinfo(const std::string& out) {
  std::map<std::uint64_t, FsEntry> entries;
  FsEntry* cur = nullptr;
  std::string type;
  bool named_attr = false;
  std::istringstream in(out);
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("MFT entry: ", 0) == 0) {
      cur = &entries[std::stoull(line.substr(11))];
      type.clear();
      continue;
    }
    if (!cur) continue;
    auto [key, value] = key_value(line);
    if (key == "Is allocated") {
      cur->allocated = value == "true";
    } else if (key == "File reference" && type.empty()) {
      auto dash = value.find('-');
      if (dash != std::string::npos) cur->seq = std::stol(value.substr(dash + 1));
    } else if (key == "Type") {
      type = value.substr(0, value.find(' '));
      named_attr = false;
      if (type == "$FILE_NAME") cur->names.push_back({~0ull, ""});
    } else if (type == "$FILE_NAME" && key == "Parent file reference") {
      cur->names.back().parent = std::stoull(value.substr(0, value.find('-')));
    } else if (type == "$FILE_NAME" && key == "Name") {
      cur->names.back().name = value;
    } else if (type == "$DATA" && key == "Name") {
      named_attr = true;
    } else if (type == "$DATA" && key == "Data size" && !named_attr) {
      cur->data_size = std::stoll(value);
    } else if (type == "$REPARSE_POINT" && key == "Tag") {
      cur->reparse_tags.push_back(value);
    }
  }
  return entries;
}

// libfsntfs reads each record as the manifest describes it: allocation,
// sequence number (a freed record holds the live one plus one), names,
// parents, data size, DOS names and reparse tags.
TEST_P(Oracle, FsntfsinfoAgreesOnRecords) {
  if (primary_boot_damaged()) GTEST_SKIP() << "The Sleuth Kit reads the primary boot sector only";
  if (!have_tool("fsntfsinfo")) GTEST_SKIP() << "fsntfsinfo (libfsntfs-utils) is not installed";
  int status = 0;
  auto entries = parse_fsntfsinfo(run_command(
      "fsntfsinfo -o " + std::to_string(manifest_.volume_offset()) + " -E all " + test::shell_quote(image_) + " 2>/dev/null",
      &status));
  ASSERT_FALSE(entries.empty()) << "fsntfsinfo read nothing from " << image_;

  for (const auto& d : manifest_.deleted) {
    if (!d.has("record") || damaged(d.record)) continue;
    SCOPED_TRACE(d.path);
    ASSERT_TRUE(entries.count(d.record));
    const auto& e = entries[d.record];
    EXPECT_FALSE(e.allocated);
    EXPECT_EQ(e.seq, (d.seq + 1) & 0xFFFF ? (d.seq + 1) & 0xFFFF : 1);
    EXPECT_TRUE(e.has_name(d.name, d.parent));
    if (!d.directory && d.size > 0) {
      EXPECT_EQ(e.data_size, static_cast<long long>(d.size));
    }
  }
  for (const auto& l : manifest_.live) {
    SCOPED_TRACE(l.path);
    ASSERT_TRUE(entries.count(l.record));
    const auto& e = entries[l.record];
    EXPECT_TRUE(e.allocated);
    EXPECT_EQ(e.seq, l.seq);
    EXPECT_TRUE(e.has_name(l.name, l.parent));
    if (!l.directory) {
      EXPECT_EQ(e.data_size, static_cast<long long>(l.size));
    }
  }
  for (const auto* s : manifest_.lines("short")) {
    ASSERT_EQ(s->fields.size(), 3u);
    const auto& e = entries[std::stoull(s->fields[0])];
    bool found = false;
    for (const auto& n : e.names) found |= n.name == s->fields[1];
    EXPECT_TRUE(found) << "no DOS name " << s->fields[1] << " on " << s->fields[2];
  }
  for (const auto* r : manifest_.lines("reparse")) {
    ASSERT_EQ(r->fields.size(), 3u);
    const auto& e = entries[std::stoull(r->fields[0])];
    std::string tag = r->fields[1];
    for (char& c : tag) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    EXPECT_EQ(e.reparse_tags, std::vector<std::string>{tag}) << r->fields[2];
  }
}

// The damage each damaged copy claims is really there.
// The Sleuth Kit's usnjls lists the change journal's version 2 records (it
// steps over V3 and V4 by their lengths): each is one of the manifest's, and
// every one of the manifest's is there. A deletion the manifest credits to
// the journal has its delete record there.
TEST_P(Oracle, UsnjlsAgreesOnJournal) {
  if (manifest_.usn.empty()) GTEST_SKIP() << "no change journal on this volume";
  if (!have_tool("usnjls")) GTEST_SKIP() << "usnjls (The Sleuth Kit) is not installed";
  std::multiset<std::string> want, got;
  auto key = [](std::uint64_t usn, const std::string& ref, const std::string& parent, std::uint64_t reason,
                std::uint64_t attributes, const std::string& name) {
    return std::to_string(usn) + " " + ref + " " + parent + " " + std::to_string(reason) + " " +
           std::to_string(attributes) + " " + name;
  };
  for (const auto& u : manifest_.usn)
    if (u.major == 2)
      want.insert(key(u.usn, std::to_string(u.record) + "-" + std::to_string(u.seq),
                      std::to_string(u.parent) + "-" + std::to_string(u.parent_seq), u.reason, u.attributes, u.name));
  std::istringstream in(tsk("usnjls", "-m"));
  std::string line;
  while (std::getline(in, line)) {
    // version|length|reference|parent|usn|time|reason|source|security|attributes|name
    std::vector<std::string> f;
    std::size_t start = 0;
    for (int i = 0; i < 10; ++i) {
      auto bar = line.find('|', start);
      if (bar == std::string::npos) break;
      f.push_back(line.substr(start, bar - start));
      start = bar + 1;
    }
    if (f.size() != 10 || f[0] != "2.0") continue;
    got.insert(key(std::stoull(f[4]), f[2], f[3], std::stoull(f[6]), std::stoull(f[9]), line.substr(start)));
  }
  EXPECT_EQ(got, want);

  for (const auto& d : manifest_.deleted) {
    if (!d.has("journal")) continue;
    SCOPED_TRACE(d.path);
    bool deleted = std::any_of(manifest_.usn.begin(), manifest_.usn.end(), [&](const auto& u) {
      return u.record == d.record && u.seq == d.seq && (u.reason & 0x200) != 0;
    });
    EXPECT_TRUE(deleted) << "no delete record in the journal";
  }
}

TEST_P(Oracle, DamageIsAsDescribed) {
  auto damage = manifest_.lines("damage");
  if (damage.empty()) GTEST_SKIP() << "undamaged volume";
  for (const auto* d : damage) {
    ASSERT_FALSE(d->fields.empty());
    const std::string& what = d->fields[0];
    SCOPED_TRACE(what);
    if (what == "zeroed") {
      auto out = istat(std::stoull(d->fields[1]));
      EXPECT_EQ(out.find("Name: "), std::string::npos) << "a zeroed record still shows a name";
    } else if (what == "attribute_length" || what == "value_length") {
      // The record no longer yields the name it had.
      auto out = istat(std::stoull(d->fields[1]));
      auto path = d->fields[2];
      auto name = path.substr(path.rfind('\\') + 1);
      EXPECT_EQ(out.find("Name: " + name + "\n"), std::string::npos) << out;
    } else if (what == "parent_loop") {
      auto out = istat(std::stoull(d->fields[1]));
      EXPECT_NE(out.find("Parent MFT Entry: " + d->fields[2] + " "), std::string::npos) << out;
    } else if (what == "truncated") {
      EXPECT_EQ(std::filesystem::file_size(image_), std::stoull(d->fields[1]));
      EXPECT_LT(std::stoull(d->fields[1]), std::stoull(d->fields[2]));
    } else if (what == "boot_sector") {
      SUCCEED();  // CorruptBootSectorIsRefused checks it
    } else {
      ADD_FAILURE() << "unknown damage " << what;
    }
  }
}

// $LogFile as The Sleuth Kit's icat reads it (inode 2), parsed by its page
// structure: the first restart page, then the record area from the page the
// manifest names, fixups undone, records followed from one to the next
// through the data areas of consecutive pages (a record runs on into the
// next page; a page whose remaining room cannot hold a record header is left
// for the next; where no record follows, the next page begins with one).
// Each client record is described as the manifest describes it. The pages
// before the record area are tail copies: each must name a record page.
struct RawLog {
  std::uint64_t current_lsn = 0;
  std::uint32_t seq_bits = 0;
  std::set<std::string> records;            // "lsn redo undo record parent name"
  std::set<std::uint64_t> restart_records;  // LSNs of client restart records
  std::map<std::uint64_t, std::string> fixed_names, raw_names;  // index entries' names by LSN
  std::map<std::uint64_t, bool> name_crosses;                   // ... and whether they cross a sector
  std::map<std::uint64_t, bool> name_spans;                     // ... and whether they run on into the next page
  std::vector<std::string> faults;
};

std::uint64_t le(const std::string& b, std::size_t at, int n) {
  std::uint64_t v = 0;
  for (int i = n - 1; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(b[at + i]);
  return v;
}

std::string utf16_name(const std::string& b, std::size_t at, std::size_t chars) {
  std::string out;
  for (std::size_t i = 0; i < chars; ++i) {
    std::uint32_t c = static_cast<std::uint32_t>(le(b, at + 2 * i, 2));
    if (c >= 0xD800 && c < 0xDC00 && i + 1 < chars) {
      c = 0x10000 + ((c - 0xD800) << 10) + (static_cast<std::uint32_t>(le(b, at + 2 * (i + 1), 2)) - 0xDC00);
      ++i;
    }
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

// Undoes a page's update sequence array; false when a stride lacks the number.
bool unfix(std::string& page) {
  const std::size_t off = le(page, 4, 2), count = le(page, 6, 2);
  if (count == 0 || off + 2 * count > page.size() || (count - 1) * 512 > page.size()) return false;
  bool ok = true;
  for (std::size_t i = 1; i < count; ++i) {
    const std::size_t end = i * 512;
    if (page.compare(end - 2, 2, page, off, 2) != 0) ok = false;
    page.replace(end - 2, 2, page, off + 2 * i, 2);
  }
  return ok;
}

RawLog parse_raw_log(const std::string& log, std::uint64_t cluster, std::size_t record_start) {
  RawLog r;
  constexpr std::size_t P = 4096, H = 0x40;
  if (log.size() < (record_start + 1) * P || log.compare(0, 4, "RSTR") != 0) return r;
  std::string rstr = log.substr(0, P);
  if (!unfix(rstr)) r.faults.push_back("restart page fixups");
  const std::size_t area = le(rstr, 0x18, 2);
  if (area + 0x14 > P) return r;
  r.current_lsn = le(rstr, area, 8);
  r.seq_bits = static_cast<std::uint32_t>(le(rstr, area + 0x10, 4));
  if (r.seq_bits < 3 || r.seq_bits > 63) {
    r.faults.push_back("SeqNumberBits");
    return r;
  }
  const std::size_t pages = log.size() / P;
  auto page_of = [&](std::uint64_t lsn) { return ((lsn << r.seq_bits) >> (r.seq_bits - 3)) / P; };
  for (std::size_t p = 2; p < record_start; ++p) {
    if (log.compare(p * P, 4, "RCRD") != 0) continue;
    const std::size_t target = page_of(le(log, p * P + 8, 8));
    if (target < record_start || target >= pages || log.compare(target * P, 4, "RCRD") != 0)
      r.faults.push_back("tail copy on page " + std::to_string(p) + " names no record page");
  }
  // The record area, fixed, and its data areas as one stream with the
  // position of each byte in the log.
  std::vector<std::string> fixed(pages), as_read(pages);
  for (std::size_t p = record_start; p < pages; ++p) {
    if (log.compare(p * P, 4, "RCRD") != 0) continue;
    as_read[p] = fixed[p] = log.substr(p * P, P);
    if (!unfix(fixed[p])) r.faults.push_back("fixups of page " + std::to_string(p));
  }
  std::size_t p = record_start, off = H;
  while (p < pages) {
    if (fixed[p].empty() || off + 0x30 > P) {
      ++p, off = H;
      continue;
    }
    const std::uint64_t lsn = le(fixed[p], off, 8);
    if (lsn == 0 || ((lsn << r.seq_bits) >> (r.seq_bits - 3)) != p * P + off) {
      // No record here: the next page begins with one.
      if (lsn != 0) r.faults.push_back("LSN " + std::to_string(lsn) + " is not at its own offset");
      ++p, off = H;
      continue;
    }
    const std::size_t length = le(fixed[p], off + 0x18, 4);
    const auto type = le(fixed[p], off + 0x20, 4);
    // The record's bytes, and where each lies, across pages.
    std::string rec, raw;
    std::vector<std::pair<std::size_t, std::size_t>> where;
    std::size_t q = p, o = off;
    const std::size_t total = 0x30 + ((length + 7) & ~std::size_t{7});
    while (rec.size() < total) {
      if (q >= pages || fixed[q].empty()) break;
      const std::size_t n = std::min(total - rec.size(), P - o);
      rec += fixed[q].substr(o, n);
      raw += as_read[q].substr(o, n);
      for (std::size_t k = 0; k < n; ++k) where.emplace_back(q, o + k);
      o += n;
      if (rec.size() < total) ++q, o = H;
    }
    if (rec.size() < total) {
      r.faults.push_back("record " + std::to_string(lsn) + " runs past the written pages");
      break;
    }
    p = q, off = o;
    const std::string d = rec.substr(0x30, length);
    if (type == 2) {
      r.restart_records.insert(lsn);
    } else if (type == 1 && d.size() >= 0x20) {
      const auto redo = le(d, 0, 2), undo = le(d, 2, 2);
      const std::size_t redo_off = le(d, 4, 2), redo_len = le(d, 6, 2), undo_off = le(d, 8, 2),
                        undo_len = le(d, 10, 2);
      const std::uint64_t cbo = le(d, 0x14, 2), block = le(d, 0x16, 2), vcn = le(d, 0x18, 8);
      std::uint64_t record = 0, parent = 0;
      std::string name;
      if (redo >= 12 && redo <= 15) {
        const bool in_undo = redo == 13 || redo == 15;
        const std::size_t e = in_undo ? undo_off : redo_off;
        const std::size_t len = in_undo ? undo_len : redo_len;
        if (len < 16 + 66 || e + len > d.size()) {
          r.faults.push_back("short index entry");
        } else {
          record = le(d, e, 8) & 0xFFFFFFFFFFFFULL;
          parent = le(d, e + 16, 8) & 0xFFFFFFFFFFFFULL;
          const std::size_t chars = static_cast<unsigned char>(d[e + 16 + 64]);
          const std::size_t at = 0x30 + e + 16 + 66;
          name = utf16_name(d, e + 16 + 66, chars);
          r.fixed_names[lsn] = name;
          r.raw_names[lsn] = utf16_name(raw, at, chars);
          if (chars > 0) {
            const auto first = where[at], last = where[at + 2 * chars - 1];
            r.name_spans[lsn] = first.first != last.first;
            r.name_crosses[lsn] = first.first == last.first && first.second / 512 != last.second / 512;
          }
        }
      } else if (redo == 2 || redo == 3 || redo == 5 || redo == 6) {
        record = block ? (vcn * cluster + cbo * 512) / (block * 512) : 0;
      } else if ((redo == 21 || redo == 22) && redo_len >= 4) {
        record = vcn * cluster * 8 + le(d, redo_off, 4);
      }
      r.records.insert(std::to_string(lsn) + " " + std::to_string(redo) + " " + std::to_string(undo) + " " +
                       std::to_string(record) + " " + std::to_string(parent) + " " + name);
    }
  }
  return r;
}

// The manifest's logfile lines are exactly the client records in $LogFile
// (none for a volume only ntfs-3g wrote: its log is all 0xFF), each LSN at
// the byte offset its number encodes, CurrentLsn naming a restart record,
// the names said to cross a sector boundary crossing one, so that the
// update sequence number sits inside them as read, and the names said to
// run on into the next page doing so.
TEST_P(Oracle, LogFileAgreesWithManifest) {
  if (primary_boot_damaged()) GTEST_SKIP() << "The Sleuth Kit reads the primary boot sector only";
  if (!have_tool("icat")) GTEST_SKIP() << "icat (The Sleuth Kit) is not installed";
  int status = 0;
  const std::string log = run_command("icat" + offset_arg_ + "-f ntfs " + test::shell_quote(image_) + " 2 2>/dev/null", &status);
  if (manifest_.logfile.empty() && status != 0) GTEST_SKIP() << "icat cannot read this volume's $LogFile";
  ASSERT_EQ(status, 0);
  const RawLog raw = parse_raw_log(log, manifest_.volume_number("cluster_size").value_or(4096),
                                   manifest_.volume_number("log_record_start").value_or(4));
  for (const auto& f : raw.faults) ADD_FAILURE() << f;
  std::set<std::string> expected;
  for (const auto& l : manifest_.logfile)
    expected.insert(std::to_string(l.lsn) + " " + std::to_string(l.redo_op) + " " + std::to_string(l.undo_op) + " " +
                    std::to_string(l.record) + " " + std::to_string(l.parent) + " " + l.name);
  EXPECT_EQ(raw.records, expected);
  if (manifest_.logfile.empty()) {
    EXPECT_EQ(log.find("RCRD"), std::string::npos);
    return;
  }
  EXPECT_EQ(log.size(), manifest_.volume_number("log_size").value_or(0));
  EXPECT_EQ(raw.current_lsn, manifest_.volume_number("log_current_lsn").value_or(0));
  EXPECT_TRUE(raw.restart_records.count(raw.current_lsn)) << "CurrentLsn names no restart record";
  auto crossing = manifest_.lines("log_crossing");
  EXPECT_FALSE(crossing.empty());
  for (const auto* c : crossing) {
    ASSERT_EQ(c->fields.size(), 2u);
    const std::uint64_t lsn = std::stoull(c->fields[0], nullptr, 0);
    ASSERT_TRUE(raw.fixed_names.count(lsn));
    EXPECT_EQ(raw.fixed_names.at(lsn), c->fields[1]);
    EXPECT_TRUE(raw.name_crosses.at(lsn));
    EXPECT_NE(raw.raw_names.at(lsn), c->fields[1]);
  }
  auto spanning = manifest_.lines("log_spanning");
  EXPECT_FALSE(spanning.empty());
  for (const auto* c : spanning) {
    ASSERT_EQ(c->fields.size(), 2u);
    const std::uint64_t lsn = std::stoull(c->fields[0], nullptr, 0);
    ASSERT_TRUE(raw.fixed_names.count(lsn));
    EXPECT_EQ(raw.fixed_names.at(lsn), c->fields[1]);
    EXPECT_TRUE(raw.name_spans.at(lsn));
  }
}

INSTANTIATE_TEST_SUITE_P(Scenarios, Oracle, ::testing::ValuesIn(scenario_names()),
                         [](const auto& info) {
                           std::string n = info.param;
                           for (char& c : n)
                             if (!isalnum(static_cast<unsigned char>(c))) c = '_';
                           return n;
                         });
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(Oracle);

}  // namespace
}  // namespace quillon::test
