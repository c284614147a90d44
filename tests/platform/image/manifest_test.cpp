// The image platform against what each scenario's manifest says was made:
// live files by path (record, sequence, parent, kind), short names, reparse
// tags, and files deleted since, whose references must no longer be alive.
#include <gtest/gtest.h>

#include <filesystem>
#include <cctype>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "platform/image/image_platform.h"
#include "support/images.h"

namespace quillon::platform {
namespace {

std::vector<std::string> fields(const std::string& line) {
  std::vector<std::string> out;
  std::stringstream in(line);
  std::string f;
  while (std::getline(in, f, '\t')) out.push_back(f);
  return out;
}

std::string parent_of(const std::string& path) { return path.substr(0, path.rfind('\\')); }

TEST(ImageManifest, LiveShortReparseAndDeletedEntriesAreServedAsWritten) {
  std::error_code ec;
  int images = 0;
  for (const auto& de : std::filesystem::directory_iterator(test::source_dir() / "tests" / "data", ec)) {
    auto file = de.path().filename().string();
    if (!file.ends_with(".manifest")) continue;
    auto name = file.substr(0, file.size() - 9);
    auto image = test::scenario_image(name);
    if (!image) continue;
    SCOPED_TRACE(name);
    std::ifstream in(de.path());
    std::vector<std::vector<std::string>> lines;
    bool damaged = false;
    for (std::string l; std::getline(in, l);) {
      if (l.empty() || l[0] == '#') continue;
      lines.push_back(fields(l));
      damaged |= lines.back()[0] == "damage";
    }
    auto opened = open_image_platform({image->string(), 'E', std::nullopt});
    if (!opened) {
      EXPECT_TRUE(damaged) << opened.error().text();
      continue;
    }
    ++images;
    std::set<std::string> links;  // opening a link opens its target
    for (const auto& f : lines)
      if (f[0] == "reparse" && f.size() >= 4) links.insert(f[3]);
    // Names equal but for case (a case-sensitive folder) open the first of
    // them in index order, as a case-insensitive open does (see
    // index_lookup_test.cpp); the others are not opened by their path here.
    std::map<std::pair<std::string, std::string>, int> spellings;
    auto folded = [](const std::vector<std::string>& f) {
      std::string n = f[6];
      for (auto& c : n) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
      return std::pair{f[3], n};
    };
    for (const auto& f : lines)
      if (f[0] == "live" && f.size() >= 8) ++spellings[folded(f)];
    Platform& p = **opened;
    std::unique_ptr<FileHandle> root = *p.open_path("E:\\");
    EXPECT_EQ(root->file_id_info()->low64() & 0xFFFFFFFFFFFFULL, 5u);
    for (const auto& f : lines) {
      if (f[0] == "live" && f.size() >= 8) {
        SCOPED_TRACE(f[7]);
        if (links.count(f[7]) || spellings[folded(f)] > 1) continue;
        std::uint64_t ref = std::stoull(f[1]) | (std::stoull(f[2]) << 48);
        auto h = p.open_path(f[7]);
        ASSERT_TRUE(h.has_value()) << h.error().text();
        auto id = (*h)->file_id_info();
        EXPECT_EQ(id->low64(), ref);
        for (int ask = 0; ask < 2; ++ask) {  // the second answer is the one kept
          EXPECT_TRUE(*(*h)->reference_alive(ref));
          EXPECT_FALSE(*(*h)->reference_alive(ref + (std::uint64_t{1} << 48)));
        }
        EXPECT_EQ(*(*h)->final_path_name(), "\\\\?\\" + f[7]);
        auto m = p.metadata(f[7]);
        ASSERT_TRUE(m.has_value());
        EXPECT_EQ(m->is_directory, f[5] == "d");
        auto parent = p.open_path(parent_of(f[7]));
        ASSERT_TRUE(parent.has_value());
        EXPECT_EQ((*parent)->file_id_info()->low64() & 0xFFFFFFFFFFFFULL, std::stoull(f[3]));
      } else if (f[0] == "short" && f.size() >= 4) {
        SCOPED_TRACE(f[3]);
        // The short name opens the same file; the final path names it long.
        auto h = p.open_path(parent_of(f[3]) + "\\" + f[2]);
        ASSERT_TRUE(h.has_value()) << h.error().text();
        EXPECT_EQ((*h)->file_id_info()->low64() & 0xFFFFFFFFFFFFULL, std::stoull(f[1]));
        EXPECT_EQ(*(*h)->final_path_name(), "\\\\?\\" + f[3]);
        auto listing = p.list_directory(parent_of(f[3]));
        ASSERT_TRUE(listing.has_value());
        for (const auto& e : *listing) EXPECT_NE(e.name, f[2]) << "a short name listed beside its long name";
      } else if (f[0] == "reparse" && f.size() >= 4) {
        SCOPED_TRACE(f[3]);
        auto listing = p.list_directory(parent_of(f[3]));
        ASSERT_TRUE(listing.has_value());
        auto leaf = f[3].substr(f[3].rfind('\\') + 1);
        bool seen = false;
        for (const auto& e : *listing) {
          if (e.name != leaf) continue;
          seen = true;
          EXPECT_TRUE(e.attributes & FILE_ATTRIBUTE_REPARSE_POINT);
          EXPECT_EQ(e.reparse_tag, std::stoul(f[2], nullptr, 16));
          auto m = p.metadata(f[3]);
          ASSERT_TRUE(m.has_value());
          EXPECT_TRUE(m->is_link);
        }
        // A link deleted since is no longer listed.
        if (!seen) {
          EXPECT_NE(f[3].find("deleted"), std::string::npos) << "reparse point not listed";
        }
      } else if (f[0] == "deleted" && f.size() >= 9 && f[5] != "none") {
        SCOPED_TRACE(f[8]);
        std::uint64_t ref = std::stoull(f[1]) | (std::stoull(f[2]) << 48);
        EXPECT_FALSE(*root->reference_alive(ref));
        EXPECT_FALSE(*root->reference_alive(ref));
        auto h = p.open_path(f[8]);
        EXPECT_FALSE(h.has_value());
      }
    }
  }
  if (images == 0) GTEST_SKIP() << "no scenario images in tests/data yet";
}

}  // namespace
}  // namespace quillon::platform
