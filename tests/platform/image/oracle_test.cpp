// The image reader against an independent one: every live path The Sleuth
// Kit lists must resolve to the same record and sequence, with the same kind
// and the same children, and every record's in-use flag, names and parents
// must match what istat reads.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <set>
#include <sstream>

#include "common/text.h"
#include "platform/image/image_file.h"
#include "platform/image/image_platform.h"
#include "platform/image/ntfs_volume.h"
#include "platform/image/partition.h"
#include "support/images.h"

namespace quillon::platform::image {
namespace {

using test::run_command;

struct Image {
  std::string name;
  std::filesystem::path path;
};

std::vector<Image> images() {
  std::vector<Image> out;
  for (const char* n : {"ntfs-ptrn", "ntfs-lastaccess"})
    if (auto p = test::real_volume(n)) out.push_back({n, *p});
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator(test::source_dir() / "tests" / "data", ec)) {
    auto file = e.path().filename().string();
    if (file.size() > 7 && file.ends_with(".img.gz")) {
      auto name = file.substr(0, file.size() - 7);
      if (auto p = test::scenario_image(name)) out.push_back({name, *p});
    }
  }
  return out;
}

bool have_tsk() {
  int status = 0;
  run_command("fls -V >/dev/null 2>&1", &status);
  return status == 0;
}

// Sector offset of the NTFS volume, as The Sleuth Kit's own partition reader
// sees it (0 for a bare volume).
std::string sector_offset(const Image& im) {
  auto out = run_command("mmls '" + im.path.string() + "' 2>/dev/null | awk '/NTFS/ {print $3; exit}'");
  while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
  return out.empty() ? "0" : out;
}

struct Listed {
  bool directory = false;
  std::uint64_t record = 0;
};

// `fls -r -u -p`: live names with full paths; alternate data streams and the
// tool's virtual folder left out.
std::map<std::string, Listed> fls(const Image& im, const std::string& off) {
  std::map<std::string, Listed> out;
  std::istringstream in(run_command("fls -r -u -p -o " + off + " '" + im.path.string() + "' 2>/dev/null"));
  std::string line;
  while (std::getline(in, line)) {
    auto tab = line.find('\t');
    if (tab == std::string::npos || line.size() < 5) continue;
    std::string path = line.substr(tab + 1);
    std::string meta = line.substr(4, tab - 4);
    if (meta.starts_with("* ") || path.starts_with("$OrphanFiles")) continue;
    Listed l;
    l.directory = line[2] == 'd';
    l.record = std::stoull(meta.substr(0, meta.find('-')));
    // "name:stream" is a named stream; a file with no unnamed data is
    // listed only through its streams.
    auto colon = path.find(':', path.rfind('/') == std::string::npos ? 0 : path.rfind('/'));
    if (colon != std::string::npos) {
      path.erase(colon);
      l.directory = false;
      out.emplace(path, l);
      continue;
    }
    out[path] = l;
  }
  return out;
}

struct Stat {
  bool allocated = false;
  std::uint16_t sequence = 0;
  std::multiset<std::pair<std::string, std::uint64_t>> names;  // (name, parent record)
};

Stat istat(const Image& im, const std::string& off, std::uint64_t record) {
  Stat s;
  std::istringstream in(
      run_command("istat -o " + off + " '" + im.path.string() + "' " + std::to_string(record) + " 2>/dev/null"));
  std::string line, name;
  bool in_name = false;
  while (std::getline(in, line)) {
    if (line.starts_with("Entry: ")) {
      auto p = line.find("Sequence: ");
      if (p != std::string::npos) s.sequence = static_cast<std::uint16_t>(std::stoul(line.substr(p + 10)));
    } else if (line == "Allocated File" || line == "Allocated Directory") {
      s.allocated = true;
    } else if (line == "$FILE_NAME Attribute Values:") {
      in_name = true;
    } else if (line.empty()) {
      in_name = false;
    } else if (in_name && line.starts_with("Name: ")) {
      name = line.substr(6);
    } else if (in_name && line.starts_with("Parent MFT Entry: ")) {
      s.names.emplace(name, std::stoull(line.substr(18)));
    }
  }
  return s;
}

std::string windows_path(const std::string& fls_path) {
  std::string p = "E:\\" + fls_path;
  std::replace(p.begin(), p.end(), '/', '\\');
  return p;
}


TEST(ImageOracle, LivePathsListingsAndRecordsMatchTheSleuthKit) {
  if (!have_tsk()) GTEST_SKIP() << "The Sleuth Kit (fls, istat, mmls) is not installed";
  auto all = images();
  if (all.empty()) GTEST_SKIP() << "no images: neither tests/data nor ../shared/real-volumes holds one";
  for (const auto& im : all) {
    SCOPED_TRACE(im.name);
    const std::string off = sector_offset(im);
    auto opened = open_image_platform({im.path.string(), 'E', std::nullopt});
    ASSERT_TRUE(opened.has_value()) << opened.error().text();
    Platform& p = **opened;
    auto listed = fls(im, off);
    ASSERT_FALSE(listed.empty());

    std::map<std::uint64_t, Stat> stats;
    auto stat_of = [&](std::uint64_t r) -> const Stat& {
      auto it = stats.find(r);
      if (it == stats.end()) it = stats.emplace(r, istat(im, off, r)).first;
      return it->second;
    };

    std::map<std::string, std::set<std::string>> children;  // directory path -> child names
    children[""];
    for (const auto& [path, l] : listed) {
      auto cut = path.rfind('/');
      std::string parent = cut == std::string::npos ? "" : path.substr(0, cut);
      std::string leaf = cut == std::string::npos ? path : path.substr(cut + 1);
      if (!(parent.empty() && l.record < 16)) children[parent].insert(leaf);
      if (l.directory) children[path];
    }

    for (const auto& [path, l] : listed) {
      SCOPED_TRACE(path);
      auto h = p.open_path(windows_path(path));
      ASSERT_TRUE(h.has_value()) << h.error().text();
      auto id = (*h)->file_id_info();
      ASSERT_TRUE(id.has_value());
      EXPECT_EQ(id->low64() & 0xFFFFFFFFFFFFULL, l.record);
      EXPECT_EQ(id->low64() >> 48, stat_of(l.record).sequence);
      auto m = p.metadata(windows_path(path));
      ASSERT_TRUE(m.has_value());
      EXPECT_EQ(m->is_directory, l.directory);
      auto fin = (*h)->final_path_name();
      ASSERT_TRUE(fin.has_value());
      EXPECT_EQ(*fin, "\\\\?\\" + windows_path(path));
    }

    for (const auto& [dir, names] : children) {
      SCOPED_TRACE("listing of /" + dir);
      auto entries = p.list_directory(windows_path(dir));
      ASSERT_TRUE(entries.has_value()) << entries.error().text();
      std::set<std::string> got;
      for (const auto& e : *entries)
        if (e.name != "." && e.name != "..") got.insert(e.name);
      EXPECT_EQ(got, names);
      if (!dir.empty()) {
        ASSERT_GE(entries->size(), 2u);
        EXPECT_EQ((*entries)[0].name, ".");
        EXPECT_EQ((*entries)[1].name, "..");
      }
    }

    // Every record of the $MFT: in use, names and parents.
    auto file = ImageFile::open(im.path.string());
    ASSERT_TRUE(file.has_value());
    auto extent = locate_ntfs_volume([&](std::uint64_t o, std::span<std::byte> b) { return file->read(o, b); },
                                     file->size());
    ASSERT_TRUE(extent.has_value());
    auto vol = NtfsVolume::open(*file, *extent);
    ASSERT_TRUE(vol.has_value());
    NtfsReader reader(*vol, std::move(*file));
    for (std::uint64_t r = 0; r < (*vol)->mft_records(); ++r) {
      SCOPED_TRACE("record " + std::to_string(r));
      const Stat& s = stat_of(r);
      auto f = reader.load(r);
      bool in_use = f && f->header.in_use() && (*vol)->record_in_use(r);
      EXPECT_EQ(in_use, s.allocated);
      if (!f) continue;
      EXPECT_EQ(f->header.sequence, s.sequence);
      std::multiset<std::pair<std::string, std::uint64_t>> names;
      if (f->header.base_reference != 0) continue;  // names live in the base record
      for (const auto& n : f->names()) names.emplace(lossy_utf8(utf16_to_wtf8(n.name)), n.parent & kRecordNumberMask);
      EXPECT_EQ(names, s.names);
    }
  }
}

}  // namespace
}  // namespace quillon::platform::image
