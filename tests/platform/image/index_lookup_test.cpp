// Name lookups down a directory index's B-tree, on the bigdir volume (folders
// whose $I30 trees have 1 to 3 levels of INDX blocks, and 160 names equal but
// for case): a lookup answers what a walk of the whole index answers, reading
// one block per level; a miss costs one listing per folder while listings are
// kept; damaged copies of the tree still find every name their listing shows.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>

#include "common/ntfs_layout.h"
#include "platform/image/ntfs_volume.h"
#include "support/images.h"
#include "support/manifest.h"

namespace quillon::platform::image {
namespace {

namespace fs = std::filesystem;

struct Folder {  // a manifest's "index" line
  std::uint64_t record = 0;
  std::size_t entries = 0, levels = 0, blocks = 0;
};

std::unique_ptr<NtfsReader> open_reader(const fs::path& image) {
  auto file = ImageFile::open(image.string());
  if (!file) return nullptr;
  auto vol = NtfsVolume::open(*file, {0, file->size()});
  return vol ? std::make_unique<NtfsReader>(*vol, std::move(*file)) : nullptr;
}

// What a lookup must answer: the listing's first entry equal to `name` but for case.
const IndexEntry* first_equal(const std::vector<IndexEntry>& all, const NtfsVolume& v, std::u16string_view name) {
  for (const auto& e : all)
    if (v.names_equal(e.key.name, name)) return &e;
  return nullptr;
}

class IndexLookup : public ::testing::Test {
 protected:
  void SetUp() override {
    auto image = test::scenario_image("bigdir");
    auto manifest = test::load_manifest("bigdir");
    if (!image || !manifest) GTEST_SKIP() << "tests/data/bigdir.img.gz or its manifest is absent";
    image_ = *image;
    for (const auto* l : manifest->lines("index"))
      folders_[l->fields[4]] = {std::stoull(l->fields[0]), std::stoul(l->fields[1]), std::stoul(l->fields[2]),
                                std::stoul(l->fields[3])};
    ASSERT_EQ(folders_.size(), 4u);
  }
  fs::path image_;
  std::map<std::string, Folder> folders_;  // by path
};

TEST_F(IndexLookup, EveryNameResolvesReadingOneBlockPerLevel) {
  auto lister = open_reader(image_), looker = open_reader(image_);
  ASSERT_TRUE(lister && looker);
  const NtfsVolume& v = looker->volume();
  for (const auto& [path, f] : folders_) {
    SCOPED_TRACE(path);
    auto dir = lister->load(f.record);
    ASSERT_TRUE(dir);
    const auto all = lister->list_index(*dir);
    ASSERT_EQ(all.size(), f.entries);
    for (const auto& e : all) {
      std::u16string upper = e.key.name;
      for (auto& c : upper) c = v.upcase(c);
      for (const auto& spelling : {e.key.name, upper}) {
        const std::uint64_t before = looker->index_blocks_read();
        auto found = looker->find_in_index(*dir, spelling);
        const IndexEntry* want = first_equal(all, v, spelling);
        ASSERT_TRUE(found && want);
        EXPECT_EQ(found->reference, want->reference);
        EXPECT_EQ(found->key.name, want->key.name);
        // Down to a leaf whatever level the name sits on, and no listing:
        // 3 blocks for 1,990 entries, 1 for 38.
        EXPECT_EQ(looker->index_blocks_read() - before, f.levels);
      }
    }
  }
  EXPECT_EQ(folders_["E:\\2"].levels, 3u);
  EXPECT_EQ(folders_["E:\\2\\small"].levels, 1u);
  // Of names equal but for case, the one whose units sort first comes first
  // in the index, and every spelling finds it.
  auto twins = looker->load(folders_["E:\\case"].record);
  std::u16string least = u"~";
  for (const auto& e : lister->list_index(*twins)) least = std::min(least, e.key.name);
  EXPECT_EQ(looker->find_in_index(*twins, u"casefold.txt")->key.name, least);
}

TEST_F(IndexLookup, MissesCostOneListingPerFolderWhileListingsAreKept) {
  const Folder& f = folders_["E:\\2"];
  for (bool keep : {true, false}) {
    SCOPED_TRACE(keep ? "kept" : "not kept");
    auto r = open_reader(image_);
    ASSERT_TRUE(r);
    r->keep_listings(keep);
    auto dir = r->load(f.record);
    auto reads = [&](std::u16string_view name, bool present) {
      const std::uint64_t before = r->index_blocks_read();
      EXPECT_EQ(r->find_in_index(*dir, name).has_value(), present);
      return r->index_blocks_read() - before;
    };
    // The descent, then the whole listing to be sure the name is absent.
    EXPECT_EQ(reads(u"file-00050.txt", false), f.levels + f.blocks);  // deleted
    EXPECT_EQ(reads(u"no such name", false), keep ? 0 : f.levels + f.blocks);
    EXPECT_EQ(reads(u"FILE-01999.TXT", true), keep ? 0 : f.levels);
    EXPECT_EQ(reads(u"file-0~2.doc", true), keep ? 0 : f.levels);  // an 8.3 alias
    EXPECT_EQ(r->listing(*dir)->entries.size(), f.entries);
  }
}

// ------------------------------------------------------------ damaged trees

std::vector<std::byte> read_block(const fs::path& image, std::uint64_t at, std::size_t size) {
  std::vector<std::byte> b(size);
  std::ifstream in(image, std::ios::binary);
  in.seekg(static_cast<std::streamoff>(at));
  in.read(reinterpret_cast<char*>(b.data()), static_cast<std::streamsize>(size));
  EXPECT_TRUE(ntfs::apply_update_sequence(b, ntfs::TornStride::refuse_block));
  return b;
}

// Writes a block read by read_block back with its fixups redone, or with its
// first stride torn.
void write_block(const fs::path& image, std::uint64_t at, std::vector<std::byte> b, bool torn) {
  const std::size_t usa = *u16_at(b, ntfs::multi_sector::kUsaOffset);
  for (std::size_t i = 1, end = ntfs::multi_sector::kStride; i < *u16_at(b, ntfs::multi_sector::kUsaCount);
       ++i, end += ntfs::multi_sector::kStride) {
    std::copy_n(b.begin() + end - 2, 2, b.begin() + usa + 2 * i);
    std::copy_n(b.begin() + usa, 2, b.begin() + end - 2);
  }
  if (torn) b[ntfs::multi_sector::kStride - 1] ^= std::byte{0xFF};
  std::fstream out(image, std::ios::binary | std::ios::in | std::ios::out);
  out.seekp(static_cast<std::streamoff>(at));
  out.write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
}

std::size_t entry_at(Bytes block, std::size_t index) {
  std::size_t pos = ntfs::indx::kHeader + *u32_at(block, ntfs::indx::kHeader);
  for (; index > 0; --index) pos += *u16_at(block, pos + ntfs::index_entry::kLength);
  return pos;
}
std::size_t child_field(Bytes block, std::size_t index) {
  const std::size_t pos = entry_at(block, index);
  return pos + *u16_at(block, pos + ntfs::index_entry::kLength) - 8;
}

enum class Edit { tear, rename_first, first_child_to_itself };
struct Damage {
  const char* what;
  std::vector<std::size_t> path;  // entries whose children lead from the top INDX block to the damaged one
  Edit edit;
  bool listing_finds_missed;  // some name the descent misses is in the listing
};
const Damage kDamages[] = {
    {"a leaf with a torn stride", {0, 0}, Edit::tear, false},
    {"a separator renamed past its neighbours (out of order)", {1}, Edit::rename_first, true},
    {"a child pointer back to its own node (a loop)", {1}, Edit::first_child_to_itself, false},
};

TEST_F(IndexLookup, DamagedTreesFindEveryNameTheirListingShows) {
  const Folder& f = folders_["E:\\2"];
  auto intact = open_reader(image_);
  ASSERT_TRUE(intact);
  auto dir = intact->load(f.record);
  const auto names = intact->list_index(*dir);
  const Attribute* alloc = dir->find(kAttrIndexAllocation, u"$I30");
  const std::uint64_t cluster = intact->volume().boot().bytes_per_cluster;
  const std::uint32_t size = intact->volume().boot().index_block_size;
  ASSERT_TRUE(alloc && cluster == size);  // VCNs count clusters
  auto at = [&](std::uint64_t vcn) {
    for (const auto& r : alloc->runs)
      if (vcn >= r.vcn && vcn < r.vcn + r.length) return (*r.lcn + vcn - r.vcn) * cluster;
    throw std::runtime_error("VCN outside the index allocation");
  };
  const auto root = parse_index_node(dir->find(kAttrIndexRoot, u"$I30")->value, ntfs::index_root::kHeader);

  for (const auto& d : kDamages) {
    SCOPED_TRACE(d.what);
    const fs::path copy = test::binary_dir() / "images" / "bigdir-damaged.img";
    fs::remove(copy);  // (MinGW's copy_file does not overwrite)
    fs::copy_file(image_, copy);
    std::uint64_t vcn = *root.front().child;
    for (std::size_t i : d.path) {
      const auto above = read_block(copy, at(vcn), size);
      vcn = *u64_at(above, child_field(above, i));
    }
    auto b = read_block(copy, at(vcn), size);
    if (d.edit == Edit::rename_first)
      b[entry_at(b, 0) + ntfs::index_entry::kKey + ntfs::file_name::kName] = std::byte{'z'};
    if (d.edit == Edit::first_child_to_itself) store_le<std::uint64_t>(b.data() + child_field(b, 0), vcn);
    write_block(copy, at(vcn), std::move(b), d.edit == Edit::tear);

    auto r = open_reader(copy);
    ASSERT_TRUE(r);
    auto damaged = r->load(f.record);
    const auto shown = r->list_index(*damaged);
    int missed = 0, listed = 0;
    for (std::size_t i = 0; i < names.size(); i += 5) {  // a fifth of the names, from every leaf
      const std::uint64_t before = r->index_blocks_read();
      auto found = r->find_in_index(*damaged, names[i].key.name);
      const bool fell_back = r->index_blocks_read() - before > f.levels;
      const IndexEntry* want = first_equal(shown, r->volume(), names[i].key.name);
      ASSERT_EQ(found.has_value(), want != nullptr) << "entry " << i;
      if (want) {
        EXPECT_EQ(found->reference, want->reference);
      }
      missed += fell_back;
      listed += fell_back && found;
    }
    EXPECT_GT(missed, 0);
    EXPECT_EQ(listed > 0, d.listing_finds_missed);
  }
  fs::remove(test::binary_dir() / "images" / "bigdir-damaged.img");
}

}  // namespace
}  // namespace quillon::platform::image
