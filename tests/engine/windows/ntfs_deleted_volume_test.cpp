// The scope walk and the record evaluation on whole volumes read through the
// image backend: the real Windows-made volumes (live files only) and the
// scenario volumes whose manifests say what was deleted where.
#include <gtest/gtest.h>

#include <set>

#include "engine/windows/ntfs_deleted_eval.h"
#include "engine/windows/scope_build.h"
#include "platform/image/image_platform.h"
#include "support/images.h"

namespace quillon {
namespace {

// Everything the record evaluation yields for every record of the volume,
// the way each search calls it: one record at a time with and without
// verify_live (index, hint and vicinity phases), the page scan without and
// with in-use records, and once more with journal hints naming every record.
struct WholeVolume {
  std::vector<DeletedItem> items;
  // In-use file records with a name in scope whose own $FILE_NAME says size 0.
  std::set<std::uint64_t> live_zero_sized;
};

WholeVolume evaluate_whole_volume(const ScopeContext& scope) {
  WholeVolume out;
  auto reader = open_volume('E');
  EXPECT_TRUE(reader);
  if (!reader) return out;
  auto mft = load_mft_context(*reader);
  EXPECT_TRUE(mft);
  if (!mft) return out;
  ScanContext ctx = scan_context_for(scope);
  ctx.geometry = mft->geometry;
  const std::uint64_t records = mft->volume.mft_valid_data_length() / mft->record_size();

  UsnHints every;
  for (std::uint64_t r = 0; r < records; ++r) {
    auto rec = read_record_raw(mft->geometry, *reader, r);
    if (!rec) continue;
    for (bool verify : {false, true})
      for (auto& item : evaluate_record(*rec, r, ctx, verify, false, false)) out.items.push_back(item);
    for (const auto& [parent, name] : file_names(*rec)) every.names_by_frn[r].insert(name);
    if (record_in_use(*rec) && !record_is_directory(*rec))
      for (const auto& e : file_names_under(*rec, scope.parent_match_frns))
        if (e.size == 0) out.live_zero_sized.insert(r);
  }
  constexpr std::uint64_t kPage = 64;
  for (bool in_use : {false, true}) {
    ctx.include_in_use = in_use;
    for (std::uint64_t first = 0; first < records; first += kPage) {
      auto block = read_record_block(mft->geometry, *reader, first, std::min(kPage, records - first));
      if (!block) continue;
      for (auto& item : scan_record_buffer(*block, first, mft->record_size(), ctx).items) out.items.push_back(item);
    }
  }
  ctx.include_in_use = false;
  ctx.hints = std::make_shared<const UsnHints>(std::move(every));
  for (std::uint64_t r = 0; r < records; ++r)
    if (auto rec = read_record_raw(mft->geometry, *reader, r))
      for (auto& item : evaluate_record(*rec, r, ctx, false, false, false)) out.items.push_back(item);
  return out;
}

std::string describe(const std::vector<DeletedItem>& items) {
  std::string s;
  for (const auto& i : items) s += "  " + std::to_string(i.frn) + " " + i.path + "\n";
  return s;
}

// Live files must never pass as deleted. On these volumes Windows left the
// allocated size of most live files' own $FILE_NAME at 0, which alone would
// have let them through.
TEST(RealVolumes, NoLiveFileListedAsDeleted) {
  struct Case {
    const char* image;
    const char* folder;
    std::uint64_t folder_record;
  };
  int ran = 0;
  for (const auto& c : {Case{"ntfs-lastaccess", "E:\\test", 39}, Case{"ntfs-ptrn", "E:\\", 5}}) {
    auto path = test::real_volume(c.image);
    if (!path) continue;
    ++ran;
    auto p = platform::open_image_platform({path->string(), 'E', std::nullopt});
    ASSERT_TRUE(p) << p.error().text();
    platform::ScopedPlatform scoped(std::move(*p));
    auto scope = build_scope(c.folder, 'E');
    ASSERT_TRUE(scope) << c.image;
    EXPECT_EQ(scope->root_frn, c.folder_record);
    auto whole = evaluate_whole_volume(*scope);
    EXPECT_TRUE(whole.items.empty()) << c.image << " lists live files:\n" << describe(whole.items);
    EXPECT_FALSE(whole.live_zero_sized.empty()) << c.image;
    if (c.folder_record == 39) {
      EXPECT_TRUE(whole.live_zero_sized.contains(43));  // test\1.txt
    }
  }
  if (ran == 0) GTEST_SKIP() << "../shared/real-volumes is absent; real-volume checks skipped";
}

}  // namespace
}  // namespace quillon
