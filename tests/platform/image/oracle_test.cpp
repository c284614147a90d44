// The image reader against an independent one: every live path The Sleuth
// Kit lists must resolve to the same record and sequence, with the same kind
// and the same children, and every record's in-use flag, names and parents
// must match what fsntfsinfo reads.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "common/text.h"
#include "platform/image/image_file.h"
#include "platform/image/image_platform.h"
#include "platform/image/ntfs_volume.h"
#include "platform/image/partition.h"
#include "support/fls.h"
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

// The scenario's manifest says its image was damaged on purpose.
bool damaged(const Image& im) {
  std::ifstream in(test::source_dir() / "tests" / "data" / (im.name + ".manifest"));
  std::string line;
  while (std::getline(in, line))
    if (line.starts_with("damage\t")) return true;
  return false;
}

bool have_tsk() {
  int status = 0;
  run_command("fls -V >/dev/null 2>&1", &status);
  if (status != 0) return false;
  run_command("fsntfsinfo -V >/dev/null 2>&1", &status);
  return status == 0;
}

struct Listed {
  bool directory = false;
  std::uint64_t record = 0;
};

// `fls -r -u -p`: live names with full paths; alternate data streams and the
// tool's virtual folder left out.
std::map<std::string, Listed> fls(const Image& im, const std::string& off) {
  std::map<std::string, Listed> out;
  for (auto& line : test::parse_fls(run_command("fls -r -u -p -o " + off + " " + test::shell_quote(im.path.string()) + " 2>/dev/null"))) {
    std::string& path = line.path;
    if (line.deleted || path.starts_with("$OrphanFiles")) continue;
    Listed l;
    l.directory = line.type == 'd';
    l.record = line.record;
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

// Every MFT entry libfsntfs can read (`fsntfsinfo -E all`), in one run.
std::map<std::uint64_t, Stat> fsntfsinfo(const Image& im, std::uint64_t offset) {
  std::map<std::uint64_t, Stat> out;
  std::istringstream in(run_command("fsntfsinfo -o " + std::to_string(offset) + " -E all '" + im.path.string() +
                                    "' 2>/dev/null"));
  std::string line;
  Stat* cur = nullptr;
  bool in_name = false;
  std::uint64_t parent = 0;
  auto value = [](const std::string& l) {
    auto c = l.find(": ");
    return c == std::string::npos ? std::string() : l.substr(c + 2);
  };
  while (std::getline(in, line)) {
    if (line.starts_with("MFT entry: ")) {
      cur = &out[std::stoull(line.substr(11))];
      in_name = false;
    } else if (!cur) {
      continue;
    } else if (line.starts_with("\tIs allocated")) {
      cur->allocated = value(line) == "true";
    } else if (line.starts_with("\tFile reference")) {
      auto v = value(line);
      cur->sequence = static_cast<std::uint16_t>(std::stoul(v.substr(v.find('-') + 1)));
    } else if (line.starts_with("Attribute: ")) {
      in_name = false;
    } else if (line.starts_with("\tType") && line.find("$FILE_NAME") != std::string::npos) {
      in_name = true;
    } else if (in_name && line.starts_with("\tParent file reference")) {
      parent = std::stoull(value(line));
    } else if (in_name && line.starts_with("\tName\t")) {
      cur->names.emplace(value(line), parent);
    }
  }
  return out;
}

std::string windows_path(const std::string& fls_path) {
  std::string p = "E:\\" + fls_path;
  std::replace(p.begin(), p.end(), '/', '\\');
  return p;
}


TEST(ImageOracle, LivePathsListingsAndRecordsMatchTheSleuthKit) {
  if (!have_tsk()) GTEST_SKIP() << "The Sleuth Kit (fls) or libfsntfs-utils (fsntfsinfo) is not installed";
  auto all = images();
  if (all.empty()) GTEST_SKIP() << "no images: neither tests/data nor ../shared/real-volumes holds one";
  for (const auto& im : all) {
    SCOPED_TRACE(im.name);
    auto opened = open_image_platform({im.path.string(), 'E', std::nullopt});
    if (!opened && damaged(im)) {
      // A damaged scenario may be refused, with one clear line.
      EXPECT_NE(opened.error().text().find("cannot use image"), std::string::npos) << opened.error().text();
      continue;
    }
    ASSERT_TRUE(opened.has_value()) << opened.error().text();
    auto file = ImageFile::open(im.path.string());
    ASSERT_TRUE(file.has_value());
    auto extent = locate_ntfs_volume([&](std::uint64_t o, std::span<std::byte> b) { return file->read(o, b).has_value(); },
                                     file->size());
    ASSERT_TRUE(extent.has_value());
    const std::string off = std::to_string(extent->offset / 512);
    Platform& p = **opened;
    auto listed = fls(im, off);
    // The Sleuth Kit reads the primary boot sector only; where it is damaged
    // we read the backup, and there is nothing to compare with.
    if (listed.empty() && damaged(im)) continue;
    ASSERT_FALSE(listed.empty());

    auto stats = fsntfsinfo(im, extent->offset);
    ASSERT_FALSE(stats.empty());
    auto stat_of = [&](std::uint64_t r) -> const Stat& { return stats[r]; };

    std::map<std::string, std::set<std::string>> children;  // directory path -> child names
    children[""];
    // Names equal but for case (a case-sensitive folder) all open the first
    // of them in index order, as a case-insensitive open does.
    std::map<std::string, int> spellings;
    auto folded = [](std::string s) {
      for (auto& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
      return s;
    };
    for (const auto& [path, l] : listed) ++spellings[folded(path)];
    for (const auto& [path, l] : listed) {
      auto cut = path.rfind('/');
      std::string parent = cut == std::string::npos ? "" : path.substr(0, cut);
      std::string leaf = cut == std::string::npos ? path : path.substr(cut + 1);
      if (!(parent.empty() && l.record < 16)) children[parent].insert(leaf);
      if (l.directory) children[path];
    }

    // Listings first: they tell which names are junctions or symbolic links.
    std::map<std::string, DirectoryEntry> entry_of;
    for (const auto& [dir, names] : children) {
      SCOPED_TRACE("listing of /" + dir);
      auto entries = p.list_directory(windows_path(dir));
      ASSERT_TRUE(entries.has_value()) << entries.error().text();
      std::set<std::string> got;
      for (const auto& e : *entries)
        if (e.name != "." && e.name != "..") {
          got.insert(e.name);
          entry_of[dir.empty() ? e.name : dir + "/" + e.name] = e;
        }
      if (!dir.empty()) {
        ASSERT_GE(entries->size(), 2u);
        EXPECT_EQ((*entries)[0].name, ".");
        EXPECT_EQ((*entries)[1].name, "..");
      }
      // The Sleuth Kit does not look behind links; a link's listing is its target's.
      auto self = entry_of.find(dir);
      if (self != entry_of.end() && (self->second.attributes & FILE_ATTRIBUTE_REPARSE_POINT)) continue;
      EXPECT_EQ(got, names);
    }

    for (const auto& [path, l] : listed) {
      SCOPED_TRACE(path);
      auto e = entry_of.find(path);
      bool link = e != entry_of.end() && (e->second.attributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
                  (e->second.reparse_tag & REPARSE_TAG_NAME_SURROGATE);
      if (e != entry_of.end()) {
        EXPECT_EQ((e->second.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0, l.directory);
      }
      auto m = p.metadata(windows_path(path));
      ASSERT_TRUE(m.has_value()) << m.error().text();
      EXPECT_EQ(m->is_link, link);
      if (link || spellings[folded(path)] > 1) continue;  // opening follows the link; its own record is checked below
      auto h = p.open_path(windows_path(path));
      ASSERT_TRUE(h.has_value()) << h.error().text();
      auto id = (*h)->file_id_info();
      ASSERT_TRUE(id.has_value());
      EXPECT_EQ(id->low64() & 0xFFFFFFFFFFFFULL, l.record);
      EXPECT_EQ(id->low64() >> 48, stat_of(l.record).sequence);
      EXPECT_EQ(m->is_directory, l.directory);
      auto fin = (*h)->final_path_name();
      ASSERT_TRUE(fin.has_value());
      EXPECT_EQ(*fin, "\\\\?\\" + windows_path(path));
    }

    // Every record of the $MFT: in use, names and parents.
    auto vol = NtfsVolume::open(*file, *extent);
    ASSERT_TRUE(vol.has_value());
    NtfsReader reader(*vol, std::move(*file));
    for (std::uint64_t r = 0; r < (*vol)->mft_records(); ++r) {
      SCOPED_TRACE("record " + std::to_string(r));
      auto it = stats.find(r);
      if (it == stats.end()) continue;  // libfsntfs could not read it either
      const Stat& s = it->second;
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
