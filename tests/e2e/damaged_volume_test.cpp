// A damaged volume read as far as it goes: copies of the basic volume with
// one structure damaged where NTFS keeps a spare (boot sector, $MFT record 0)
// or where an index loses a name, probed by the built program.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <set>
#include <string>

#include "platform/image/image_file.h"
#include "platform/image/ntfs_volume.h"
#include "support/images.h"
#include "support/manifest.h"

namespace quillon {
namespace {

namespace fs = std::filesystem;
namespace img = platform::image;

// A copy of a scenario volume (basic.img unless named), and where its
// structures lie.
class DamagedCopy {
 public:
  explicit DamagedCopy(const std::string& tag, const std::string& volume = "basic") {
    auto base = test::scenario_image(volume);
    if (!base) return;
    path_ = test::binary_dir() / ("damaged-" + tag + ".img");
    fs::copy_file(*base, path_, fs::copy_options::overwrite_existing);
    auto file = img::ImageFile::open(path_.string());
    if (!file) return;
    auto vol = img::NtfsVolume::open(*file, {0, file->size()});
    if (!vol) return;
    vol_ = *vol;
    reader_ = std::make_unique<img::NtfsReader>(vol_, std::move(*file));
  }
  ~DamagedCopy() {
    std::error_code ec;
    fs::remove(path_, ec);
  }
  bool ok() const { return reader_ != nullptr; }
  const fs::path& path() const { return path_; }
  img::NtfsReader& reader() { return *reader_; }

  // Image offset of byte `pos` of a stream laid out by `runs`.
  std::uint64_t stream_offset(const std::vector<img::Run>& runs, std::uint64_t pos) const {
    const std::uint64_t cluster = vol_->boot().bytes_per_cluster;
    for (const auto& r : runs)
      if (r.lcn && pos >= r.vcn * cluster && pos < (r.vcn + r.length) * cluster)
        return *r.lcn * cluster + pos - r.vcn * cluster;
    ADD_FAILURE() << "byte " << pos << " not mapped";
    return 0;
  }
  std::uint64_t record_offset(std::uint64_t n) const {
    return stream_offset(vol_->mft_runs(), n * vol_->boot().record_size);
  }
  // Offset in record `n` (fixups applied) of its first attribute of `type`.
  std::uint64_t attribute_in_record(std::uint64_t n, std::uint32_t type) {
    auto rec = reader_->read_record(n);
    EXPECT_TRUE(rec);
    std::uint64_t pos = load_le<std::uint16_t>(rec->data() + 0x14);
    while (pos + 8 <= rec->size() && load_le<std::uint32_t>(rec->data() + pos) != type)
      pos += load_le<std::uint32_t>(rec->data() + pos + 4);
    EXPECT_LT(pos, 510u) << "kept clear of the update sequence";
    return pos;
  }
  void poke(std::uint64_t at, std::string_view bytes) {
    std::fstream f(path_, std::ios::binary | std::ios::in | std::ios::out);
    f.seekp(static_cast<std::streamoff>(at));
    f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  }

 private:
  fs::path path_;
  std::shared_ptr<const img::NtfsVolume> vol_;
  std::unique_ptr<img::NtfsReader> reader_;
};

struct Run {
  std::string out;
  int status = 0;
};

Run probe(const fs::path& image, const std::string& folder) {
  Run r;
  r.out = test::run_command(std::string("'") + QUILLON_BIN + "' --image='" + image.string() + "' '" + folder + "' 2>&1",
                            &r.status);
  return r;
}

bool lists(const std::string& out, const std::string& path) { return out.find(" " + path + "\n") != std::string::npos; }

// The paths of the item lines ("  FRN ... E:\...") of a run's output.
std::set<std::string> listed_paths(const std::string& out) {
  std::set<std::string> paths;
  std::size_t pos = 0;
  while ((pos = out.find("\n  FRN ", pos)) != std::string::npos) {
    const std::size_t end = out.find('\n', pos + 1);
    const std::string line = out.substr(pos + 1, end - pos - 1);
    if (auto at = line.find(" E:\\"); at != std::string::npos) paths.insert(line.substr(at + 1));
    pos = end;
  }
  return paths;
}

// Under `folder`: no live file of the manifest is listed, and every item
// the intact volume lists is (but for those of the records in `spared`).
void expect_items(const std::string& out, const std::string& folder, const std::string& volume = "basic",
                  const std::set<std::uint64_t>& spared = {}) {
  auto m = test::load_manifest(volume);
  auto intact = test::scenario_image(volume);
  ASSERT_TRUE(m && intact);
  for (const auto& l : m->live) {
    if (l.path.starts_with(folder + "\\")) {
      EXPECT_FALSE(lists(out, l.path)) << "live file listed: " << l.path;
    }
  }
  static std::map<std::string, std::string> intact_out;
  auto [it, fresh] = intact_out.try_emplace(volume + "|" + folder);
  if (fresh) it->second = probe(*intact, folder).out;
  const std::string& want = it->second;
  std::size_t items = 0;
  for (const auto& d : m->deleted)
    if (lists(want, d.path) && !spared.contains(d.record)) {
      ++items;
      EXPECT_TRUE(lists(out, d.path)) << "deletion not listed: " << d.path;
    }
  EXPECT_GT(items, 0u) << want;
}

// One damaged length in the INDX block of E:\2\many hides one live file's
// name from the path lookup; its record, in use and opened by id, says it
// lives.
TEST(DamagedVolume, ALiveFileWhoseIndexEntryIsDamagedIsNotListed) {
  DamagedCopy copy("index-entry");
  ASSERT_TRUE(copy.ok());
  const std::u16string name = u"a rather long file name to fill the directory index number 001.txt";
  auto many = copy.reader().load(83);
  ASSERT_TRUE(many);
  const img::Attribute* alloc = many->find(img::kAttrIndexAllocation, u"$I30");
  ASSERT_TRUE(alloc);
  auto blocks = copy.reader().attribute_value(*alloc);
  ASSERT_TRUE(blocks);
  std::string units(reinterpret_cast<const char*>(name.data()), name.size() * 2);
  auto at = std::string_view(reinterpret_cast<const char*>(blocks->data()), blocks->size()).find(units);
  ASSERT_NE(at, std::string_view::npos);
  copy.poke(copy.stream_offset(alloc->runs, at - 2), "\xF0");  // the key's name length
  auto r = probe(copy.path(), "E:\\2");
  EXPECT_EQ(r.status, 0);
  EXPECT_FALSE(lists(r.out, "E:\\2\\many\\" + std::string(name.begin(), name.end()))) << r.out;
  expect_items(r.out, "E:\\2");
}

// One or two bytes of a live file's own FILE header damaged, as a failing
// disk leaves them: the update sequence array moved past the record, its
// count changed, a torn stride, the sequence number 0, bytes in use past the
// record's end, a base-record reference. The record can no longer be read
// as a sound record in use, which says nothing of a deletion: the file its
// folder's index still lists is not listed, and every deletion still is. On
// the basic volume the files of a folder small enough for its index root and
// of one whose index has blocks; on the journal volume two files the journal
// named (created, written and closed; moved from one folder to another).
TEST(DamagedVolume, ALiveFileWhoseOwnHeaderIsDamagedIsNotListed) {
  struct Damage {
    const char* what;
    std::uint64_t at;
    std::string bytes;
  };
  const std::vector<Damage> damages = {
      {"update sequence offset past the record", 0x04, std::string("\x30\x7F", 2)},
      {"update sequence offset odd", 0x04, std::string("\x31\x00", 2)},
      {"update sequence count one more", 0x06, std::string("\x04\x00", 2)},
      {"update sequence count one", 0x06, std::string("\x01\x00", 2)},
      {"a torn stride", 0x3FE, std::string("\x00\x00", 2)},
      {"sequence number 0", 0x10, std::string("\x00\x00", 2)},
      {"bytes in use past the record", 0x19, std::string("\x10", 1)},
      {"a base-record reference", 0x20, std::string("\x05", 1)},
  };
  struct Target {
    const char* volume;
    std::uint64_t record;
    std::string path;
  };
  const std::vector<Target> targets = {
      {"basic", 66, "E:\\2\\notes.txt"},
      {"basic", 85, "E:\\2\\many\\a rather long file name to fill the directory index number 001.txt"},
      {"journal", 76, "E:\\2\\report.txt"},
      {"journal", 78, "E:\\2\\sub\\moved-here.txt"},
  };
  for (const auto& t : targets) {
    for (const auto& d : damages) {
      SCOPED_TRACE(std::string(t.volume) + " record " + std::to_string(t.record) + ": " + d.what);
      DamagedCopy copy("own-header", t.volume);
      ASSERT_TRUE(copy.ok());
      copy.poke(copy.record_offset(t.record) + d.at, d.bytes);
      auto r = probe(copy.path(), "E:\\2");
      EXPECT_EQ(r.status, 0);
      EXPECT_FALSE(lists(r.out, t.path)) << r.out;
      expect_items(r.out, "E:\\2", t.volume, {t.record});
      auto intact = test::scenario_image(t.volume);
      ASSERT_TRUE(intact);
      static std::map<std::string, std::set<std::string>> intact_paths;
      auto [it, fresh] = intact_paths.try_emplace(t.volume);
      if (fresh) it->second = listed_paths(probe(*intact, "E:\\2").out);
      for (const auto& p : listed_paths(r.out)) EXPECT_TRUE(it->second.contains(p)) << "listed only when damaged: " << p;
    }
  }
}

// The RecordLength of one journal record enlarged (0x58 to 0x1058, and to
// 0x1000), as a failing disk may leave it, in front of the journal's record
// of a deletion that nothing else names: the deletion is still listed, and so
// is every item the intact volume lists.
TEST(DamagedVolume, AnEnlargedJournalRecordLengthHidesNoDeletion) {
  auto m = test::load_manifest("journal");
  ASSERT_TRUE(m);
  // The record of the deletion of reused-old.txt (its record now another
  // file's), and the first record before it whose enlarged length would
  // cover it and still end inside the journal.
  const auto next_usn = m->volume_number("next_usn");
  ASSERT_TRUE(next_usn);
  const test::ManifestUsn* deletion = nullptr;
  for (const auto& u : m->usn)
    if (u.name == "reused-old.txt" && (u.reason & 0x200)) deletion = &u;
  ASSERT_TRUE(deletion);
  const test::ManifestUsn* before = nullptr;
  for (const auto& u : m->usn)
    if (!before && u.usn < deletion->usn && u.usn + 0x1000 > deletion->usn && u.usn + 0x1058 <= *next_usn)
      before = &u;
  ASSERT_TRUE(before);
  for (std::uint32_t grown : {0x1000u, 0x1058u}) {
    SCOPED_TRACE(grown);
    DamagedCopy copy("usn-length", "journal");
    ASSERT_TRUE(copy.ok());
    // The record lies where its USN (at +24) is found in the image.
    std::ifstream in(copy.path(), std::ios::binary);
    std::string image((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::string usn(8, '\0');
    for (int i = 0; i < 8; ++i) usn[i] = static_cast<char>((before->usn >> (8 * i)) & 0xFF);
    std::size_t at = image.find(usn);
    while (at != std::string::npos && (at < 24 || static_cast<unsigned>(image[at - 24 + 4]) != before->major))
      at = image.find(usn, at + 1);
    ASSERT_NE(at, std::string::npos);
    const std::uint32_t length = load_le<std::uint32_t>(reinterpret_cast<const std::byte*>(image.data() + at - 24));
    ASSERT_LT(length, 0x100u);
    std::string field(4, '\0');
    for (int i = 0; i < 4; ++i) field[i] = static_cast<char>((grown >> (8 * i)) & 0xFF);
    copy.poke(at - 24, field);
    auto r = probe(copy.path(), "E:\\2");
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(lists(r.out, "E:\\2\\reused-old.txt")) << r.out;
    expect_items(r.out, "E:\\2", "journal");
  }
}

// E:\2's own $INDEX_ROOT is damaged (its name no longer "$I30"): E:\2\live
// cannot be opened by path, but its chain of names is in the MFT.
TEST(DamagedVolume, AFolderBelowADamagedIndexIsFoundThroughTheMft) {
  DamagedCopy copy("ancestor-index");
  ASSERT_TRUE(copy.ok());
  copy.poke(copy.record_offset(64) + copy.attribute_in_record(64, img::kAttrIndexRoot) + 9, "\x03");
  auto r = probe(copy.path(), "E:\\2\\live");
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("] Directory not reachable through its parents' indexes (damaged); located through the MFT\n"),
            std::string::npos)
      << r.out;
  EXPECT_TRUE(lists(r.out, "E:\\2\\live\\inside-deleted.txt")) << r.out;
  expect_items(r.out, "E:\\2\\live");
}

// The root's own $INDEX_ROOT damaged the same way: the image still opens
// (nothing below the root resolves by path) and E:\2 is found through the MFT.
TEST(DamagedVolume, ADamagedRootIndexLeavesTheImageOpen) {
  DamagedCopy copy("root-index");
  ASSERT_TRUE(copy.ok());
  copy.poke(copy.record_offset(5) + copy.attribute_in_record(5, img::kAttrIndexRoot) + 9, "\x03");
  auto r = probe(copy.path(), "E:\\2");
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("located through the MFT\n"), std::string::npos) << r.out;
  expect_items(r.out, "E:\\2");
}

// The length of the $MFT's first extent enlarged in record 0's run list
// (75 clusters to 255): every record past the true extent is looked for in
// the clusters after it, and the records of the later extents are met at
// numbers not theirs. None of those is taken for the record asked for, so
// no live file comes out as deleted.
TEST(DamagedVolume, RecordsTheMftsRunsMisplaceAreNotTaken) {
  DamagedCopy copy("mft-runs", "fragmented");
  ASSERT_TRUE(copy.ok());
  auto record0 = copy.reader().read_record(0);
  ASSERT_TRUE(record0);
  const std::uint64_t data = copy.attribute_in_record(0, img::kAttrData);
  const std::uint64_t pairs = data + load_le<std::uint16_t>(record0->data() + data + 0x20);
  ASSERT_EQ(std::to_integer<int>((*record0)[pairs]), 0x11);  // one byte of length, one of offset
  copy.poke(copy.record_offset(0) + pairs + 1, "\xFF");
  auto r = probe(copy.path(), "E:\\2");
  EXPECT_EQ(r.status, 0) << r.out;
  auto m = test::load_manifest("fragmented");
  ASSERT_TRUE(m);
  for (const auto& l : m->live)
    if (l.path.starts_with("E:\\2\\")) EXPECT_FALSE(lists(r.out, l.path)) << "live file listed: " << l.path;
  EXPECT_TRUE(lists(r.out, "E:\\2\\file-003.txt")) << r.out;  // in the first extent
}

// The primary boot sector or $MFT record 0 damaged: the spare copies are
// read, one line says so, and the items are those of the intact volume.
TEST(DamagedVolume, SpareBootSectorAndMftMirrorStandIn) {
  auto intact = test::scenario_image("basic");
  ASSERT_TRUE(intact);
  auto items = [](const std::string& out) { return out.substr(out.find("Total ")); };
  const std::string expected = items(probe(*intact, "E:\\2").out);

  DamagedCopy boot("boot");
  ASSERT_TRUE(boot.ok());
  boot.poke(0x0B, std::string("\x00\x03", 2));  // 768-byte sectors
  auto b = probe(boot.path(), "E:\\2");
  EXPECT_EQ(b.status, 0);
  EXPECT_EQ(b.out.rfind("Note: the boot sector is damaged (the boot sector gives an impossible sector size); its "
                        "backup at byte 8388096 of the image is used\nProbing NTFS deleted under: E:\\2\n",
                        0),
            0u)
      << b.out;
  EXPECT_EQ(items(b.out), expected);

  // A boot sector that parses but puts the $MFT one cluster off (on the
  // FILE record of $AttrDef): record 0 is known by where its data begins.
  DamagedCopy lcn("boot-mft-lcn");
  ASSERT_TRUE(lcn.ok());
  lcn.poke(0x30, "\x05");
  auto l = probe(lcn.path(), "E:\\2");
  EXPECT_EQ(l.out.rfind("Note: the boot sector does not lead to the $MFT; its backup at byte 8388096 of the image is "
                        "used\n",
                        0),
            0u)
      << l.out;
  EXPECT_EQ(items(l.out), expected);

  DamagedCopy mft("mft-record-0");
  ASSERT_TRUE(mft.ok());
  mft.poke(mft.record_offset(0), "BAAD");
  auto m = probe(mft.path(), "E:\\2");
  EXPECT_EQ(m.status, 0);
  EXPECT_EQ(m.out.rfind("Note: $MFT record 0 cannot be read; the copy in $MFTMirr is used\n", 0), 0u) << m.out;
  EXPECT_EQ(items(m.out), expected);
}

}  // namespace
}  // namespace quillon
