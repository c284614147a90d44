#include "support/probe_session.h"
#include "engine/windows/scope_build.h"

#include <gtest/gtest.h>

#include "engine/windows/ntfs_deleted_fixture.h"

namespace quillon {
namespace {

using test::FakeMft;
using test::kRecordSize;
using test::RecordBuilder;

constexpr std::uint64_t kRootId = 0x0003000000000028ULL;  // record 40
constexpr std::uint16_t kFreeDir = kRecordDirectory;
constexpr std::uint16_t kLiveDir = kRecordDirectory | kRecordInUse;

// E:\2 with a\b live, a junction j, a file, and in the MFT: the deleted
// directory gone (43) listed in 2's index, and under it the deleted
// directory far (9100), outside the index window of 43, holding deeper (9200).
struct SampleTree {
  platform::MemoryPlatform* mem = nullptr;
  FakeMft mft;

  std::unique_ptr<platform::MemoryPlatform> make() {
    auto p = std::make_unique<platform::MemoryPlatform>();
    mem = p.get();
    p->add_directory("E:\\2", kRootId);
    p->add_directory("E:\\2\\a", 0x0001000000000029ULL);
    p->add_directory("E:\\2\\a\\b", 0x000100000000002aULL);
    p->add_file("E:\\2\\f.txt", 0x0001000000000030ULL);
    p->add_directory("E:\\other", 0x0001000000000032ULL);
    p->add_directory("E:\\other\\inner", 0x0001000000000033ULL);
    p->add_link("E:\\2\\j", "E:\\other", platform::IO_REPARSE_TAG_MOUNT_POINT, true);

    // $MFT's own record: a resident bitmap that shows the first 64 records
    // free; the others come through the file system's record query.
    mft.put(0, RecordBuilder().file_name(5, u"$MFT").resident(kAttrBitmap, std::vector<std::byte>(8, std::byte{0})).build());
    mft.put(40, RecordBuilder(kRecordSize, kLiveDir)
                    .file_name(5, u"2")
                    .index({{0x0001000000000029ULL, 40, u"a"},
                            {0x000200000000002bULL, 40, u"gone"},
                            {0x0001000000000030ULL, 40, u"f.txt"},
                            {0x0001000000000031ULL, 40, u"j"}})
                    .build());
    // The junction's own record, as its parent's index names it.
    std::vector<std::byte> reparse(16);
    store_le<std::uint32_t>(reparse.data(), platform::IO_REPARSE_TAG_MOUNT_POINT);
    mft.put(49, RecordBuilder(kRecordSize, kLiveDir).file_name(40, u"j").resident(0xC0, reparse).build());
    mft.put(41, RecordBuilder(kRecordSize, kLiveDir).file_name(40, u"a").index({{0x000100000000002aULL, 41, u"b"}}).build());
    mft.put(42, RecordBuilder(kRecordSize, kLiveDir).file_name(41, u"b").build());
    mft.put(43, RecordBuilder(kRecordSize, kFreeDir).file_name(40, u"gone").index({{9100, 43, u"far"}}).build());
    mft.put(48, RecordBuilder().file_name(40, u"f.txt").build());
    mft.put(9100, RecordBuilder(kRecordSize, kFreeDir).file_name(43, u"far").index({{9200, 9100, u"deeper"}}).build());
    mft.put(9200, RecordBuilder(kRecordSize, kFreeDir).file_name(9100, u"deeper").build());
    p->set_volume('E', mft.volume());
    return p;
  }
};

TEST(CollectScope, LiveTreeDeletedDirectoriesAndJunction) {
  SampleTree tree;
  platform::ScopedPlatform scoped(tree.make());
  auto reader = open_volume(platform::current(), 'E');
  ASSERT_TRUE(reader);
  auto scope = collect_scope(platform::current(), "E:\\2", tree.mft.context(), *reader);
  ASSERT_TRUE(scope) << scope.error().text();

  EXPECT_EQ(scope->dir_frns, (std::unordered_set<std::uint64_t>{40, 41, 42, 43, 9100}));
  EXPECT_EQ(scope->deleted_dirs, (std::unordered_set<std::uint64_t>{43, 9100}));
  EXPECT_EQ(scope->dir_map.at(40).name, "");
  EXPECT_EQ(scope->dir_map.at(40).parent, 5u);
  EXPECT_EQ(scope->dir_map.at(42).name, "b");
  EXPECT_EQ(scope->dir_map.at(42).parent, 41u);
  EXPECT_EQ(scope->dir_map.at(43).name, "gone");
  EXPECT_EQ(scope->dir_map.at(43).parent, 40u);
  // Found through the second pass, which reads a deleted directory's whole index.
  EXPECT_EQ(scope->dir_map.at(9100).name, "far");
  EXPECT_EQ(scope->dir_map.at(9100).parent, 43u);
  EXPECT_EQ(scope->dir_map.size(), scope->dir_frns.size());
  // The junction (49), listed or indexed, is not followed to its target (50, 51).
  EXPECT_FALSE(scope->dir_frns.contains(49));
  EXPECT_FALSE(scope->dir_frns.contains(50));
  EXPECT_FALSE(scope->dir_frns.contains(51));

  auto expected_match = scope->dir_frns;
  expected_match.insert(kRootId);
  EXPECT_EQ(scope->parent_match_frns, expected_match);
  EXPECT_EQ(scope->root_frn, 40u);
  EXPECT_EQ(scope->root_file_id, kRootId);
  EXPECT_EQ(scope->root_path, "E:\\2");
  EXPECT_TRUE(scope->strict_parent);
  EXPECT_FALSE(scope->noise_flag);
}

// A folder listed under a name its own record does not hold was reached
// through a link the listing did not flag (Wine lists the links of a mounted
// volume as plain folders): it takes no place in the tree, and the folder
// keeps the name its record holds, whatever the listing's order.
TEST(CollectScope, AFolderListedUnderANameItsRecordDoesNotHoldIsALink) {
  SampleTree tree;
  auto p = tree.make();
  p->add_directory("E:\\2\\0link", 0x0001000000000029ULL);  // listed before "a": the same folder
  platform::ScopedPlatform scoped(std::move(p));
  auto reader = open_volume(platform::current(), 'E');
  ASSERT_TRUE(reader);
  auto scope = collect_scope(platform::current(), "E:\\2", tree.mft.context(), *reader);
  ASSERT_TRUE(scope) << scope.error().text();
  EXPECT_EQ(scope->dir_frns, (std::unordered_set<std::uint64_t>{40, 41, 42, 43, 9100}));
  EXPECT_EQ(scope->dir_map.at(41).name, "a");
  EXPECT_EQ(scope->dir_map.at(41).parent, 40u);
  EXPECT_EQ(scope->dir_map.at(40).parent, 5u);
}

TEST(CollectScope, FolderWithoutSubdirectories) {
  SampleTree tree;
  platform::ScopedPlatform scoped(tree.make());
  auto reader = open_volume(platform::current(), 'E');
  ASSERT_TRUE(reader);
  auto scope = collect_scope(platform::current(), "E:\\2\\a\\b", tree.mft.context(), *reader);
  ASSERT_TRUE(scope);
  EXPECT_EQ(scope->dir_frns, (std::unordered_set<std::uint64_t>{42}));
  EXPECT_TRUE(scope->deleted_dirs.empty());
  ASSERT_EQ(scope->dir_map.size(), 1u);
  EXPECT_EQ(scope->dir_map.at(42).parent, 5u);

  EXPECT_FALSE(collect_scope(platform::current(), "E:\\missing", tree.mft.context(), *reader));
}

TEST(BuildScope, OpensTheVolumeOrGivesNothing) {
  SampleTree tree;
  auto mem = tree.make();
  auto* raw = mem.get();
  platform::ScopedPlatform scoped(std::move(mem));
  auto scope = test::scope_on("E:\\2");
  ASSERT_TRUE(scope);
  EXPECT_TRUE(scope->dir_frns.contains(43));
  EXPECT_FALSE(test::scope_on("E:\\2", 'F'));  // no such volume
  auto denied = tree.mft.volume();
  denied.open_error = win32::ERROR_ACCESS_DENIED;
  raw->set_volume('E', std::move(denied));
  EXPECT_FALSE(test::scope_on("E:\\2"));
}

// A platform serving a large generated tree quickly: each directory lists
// its children, each path has a file id. No volume records at all.
class TreePlatform final : public platform::Platform {
 public:
  void add(const std::string& parent, const std::string& name) {
    std::string path = parent + "\\" + name;
    ids_[key(path)] = next_++;
    children_[key(parent)].push_back(name);
  }
  void add_root(const std::string& path) { ids_[key(path)] = next_++; }

  Result<std::unique_ptr<platform::VolumeDevice>> open_volume(std::string_view) override {
    return std::make_unique<NoDevice>();
  }
  Result<std::unique_ptr<platform::FileHandle>> open_path(std::string_view path) override {
    auto it = ids_.find(key(path));
    if (it == ids_.end()) return fail(win32::error(win32::ERROR_FILE_NOT_FOUND));
    return std::make_unique<Handle>(it->second);
  }
  Result<std::vector<platform::DirectoryEntry>> list_directory(std::string_view path) override {
    ++listings_;
    std::vector<platform::DirectoryEntry> out{{".", platform::FILE_ATTRIBUTE_DIRECTORY, 0},
                                              {"..", platform::FILE_ATTRIBUTE_DIRECTORY, 0}};
    for (const auto& n : children_[key(path)]) out.push_back({n, platform::FILE_ATTRIBUTE_DIRECTORY, 0});
    return out;
  }
  Result<platform::Metadata> metadata(std::string_view path) override {
    if (!ids_.contains(key(path))) return fail(win32::error(win32::ERROR_FILE_NOT_FOUND));
    return platform::Metadata{true, false};
  }
  Result<std::string> full_path_name(std::string_view path) override { return std::string(path); }
  void write_output(std::string_view) override {}

  std::set<std::string> listed;
  int listings_ = 0;

 private:
  struct NoDevice final : platform::VolumeDevice {
    Result<void> read_exact_at(std::uint64_t, std::span<std::byte>) override {
      return fail(win32::error(win32::ERROR_HANDLE_EOF));
    }
    Result<std::size_t> control(std::uint32_t, std::span<const std::byte>, std::span<std::byte>) override {
      return fail(win32::error(win32::ERROR_INVALID_FUNCTION));
    }
  };
  struct Handle final : platform::FileHandle {
    explicit Handle(std::uint64_t id) : id_(id) {}
    Result<platform::FileIdInfo> file_id_info() override {
      platform::FileIdInfo info;
      store_le<std::uint64_t>(info.file_id.data(), id_);
      return info;
    }
    Result<std::string> final_path_name() override { return fail(win32::error(win32::ERROR_INVALID_FUNCTION)); }
    Result<bool> reference_alive(std::uint64_t) override { return false; }
    std::uint64_t id_;
  };
  static std::string key(std::string_view p) { return platform::MemoryPlatform::key_of(p); }

  std::map<std::string, std::uint64_t> ids_;
  std::map<std::string, std::vector<std::string>> children_;
  std::uint64_t next_ = 100;
};

MftContext empty_mft() {
  MftContext ctx;
  ctx.geometry.bytes_per_cluster = 4096;
  return ctx;
}

TEST(CollectScope, HoldsEveryFolderOfALargeTreeUnlessTheDeadlineCutsIt) {
  auto p = std::make_unique<TreePlatform>();
  p->add_root("E:\\2");
  for (int i = 0; i < 100; ++i) {
    std::string top = "E:\\2\\d" + std::to_string(i);
    p->add("E:\\2", "d" + std::to_string(i));
    for (int j = 0; j < 50; ++j) p->add(top, "s" + std::to_string(j));
  }
  platform::ScopedPlatform scoped(std::move(p));
  auto reader = open_volume(platform::current(), 'E');
  ASSERT_TRUE(reader);
  auto scope = collect_scope(platform::current(), "E:\\2", empty_mft(), *reader);
  ASSERT_TRUE(scope);
  EXPECT_EQ(scope->dir_frns.size(), 1u + 100 + 100 * 50);
  EXPECT_EQ(scope->dir_map.size(), 1u + 100 + 100 * 50);
  EXPECT_FALSE(scope->cut);

  // A deadline already past: the folder alone, and the tree says it was cut.
  const TimeBudget spent(Duration{});
  auto cut = collect_scope(platform::current(), "E:\\2", empty_mft(), *reader, nullptr, &spent);
  ASSERT_TRUE(cut);
  EXPECT_TRUE(cut->cut);
  EXPECT_LT(cut->dir_frns.size(), scope->dir_frns.size());
}

TEST(CollectScope, NoDepthLimitOnADeepChain) {
  auto p = std::make_unique<TreePlatform>();
  auto* tree = p.get();
  p->add_root("E:\\2");
  std::string path = "E:\\2";
  for (int i = 1; i <= 66; ++i) {
    p->add(path, "c" + std::to_string(i));
    path += "\\c" + std::to_string(i);
  }
  platform::ScopedPlatform scoped(std::move(p));
  auto reader = open_volume(platform::current(), 'E');
  ASSERT_TRUE(reader);
  auto scope = collect_scope(platform::current(), "E:\\2", empty_mft(), *reader);
  ASSERT_TRUE(scope);
  // The root and c1..c66, each listed once.
  EXPECT_EQ(scope->dir_frns.size(), 67u);
  EXPECT_EQ(tree->listings_, 67);
  std::uint64_t deepest = 0;
  for (const auto& [k, e] : scope->dir_map)
    if (e.name == "c66") deepest = k;
  ASSERT_NE(deepest, 0u);
  EXPECT_EQ(scope->dir_path(deepest), path);
}

}  // namespace
}  // namespace quillon
