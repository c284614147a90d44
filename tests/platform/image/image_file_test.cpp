// Failed reads of an image keep their cause: the end of a truncated image
// or of a file that shrank is the end of the file, and a container
// library's refusal carries the library's message.
#include "platform/image/image_file.h"

#include <gtest/gtest.h>

#include <array>
#include <filesystem>
#include <fstream>

#include "platform/image/containers.h"
#include "platform/control_layout.h"
#include "platform/image/image_platform.h"
#include "support/images.h"

namespace quillon::platform::image {
namespace {

namespace fs = std::filesystem;

fs::path fresh_dir(const std::string& name) {
  const fs::path dir = test::binary_dir() / "image-reads" / name;
  fs::remove_all(dir);
  fs::create_directories(dir);
  return dir;
}

void write_pattern(const fs::path& path, std::size_t size) {
  std::ofstream out(path, std::ios::binary);
  for (std::size_t i = 0; i < size; ++i) out.put(static_cast<char>(i * 7 + i / 4096));
}

TEST(ImageReads, PastTheEndOfATruncatedVolumeIsTheEndOfTheFile) {
  auto image = test::scenario_image("damaged-truncated");
  if (!image) GTEST_SKIP() << "tests/data/damaged-truncated.img.gz is absent";
  ImageFacts facts;
  auto platform = open_image_platform({image->string(), 'E', std::nullopt}, nullptr, &facts);
  ASSERT_TRUE(platform) << platform.error().text();
  ASSERT_LT(facts.present_bytes, facts.volume_bytes);
  auto device = (*platform)->open_volume("\\\\.\\E:");
  ASSERT_TRUE(device) << device.error().text();
  std::array<std::byte, 512> sector{};
  EXPECT_TRUE((*device)->read_exact_at(facts.present_bytes - sector.size(), sector));
  // Inside the volume but past what the file holds: the file's own end,
  // as past the end of the volume itself.
  for (std::uint64_t at : {facts.present_bytes, facts.present_bytes - 256, facts.volume_bytes}) {
    auto r = (*device)->read_exact_at(at, sector);
    ASSERT_FALSE(r) << at;
    EXPECT_TRUE(r.error().is_os(win32::ERROR_HANDLE_EOF)) << at << ": " << r.error().text();
  }
}

TEST(ImageReads, TheRecordQueryAnswersWithTheReadsOwnError) {
  auto image = test::scenario_image("basic");
  if (!image) GTEST_SKIP() << "tests/data/basic.img.gz is absent";
  const fs::path copy = fresh_dir("record-query") / "basic.img";
  fs::copy_file(*image, copy);
  auto platform = open_image_platform({copy.string(), 'E', std::nullopt});
  ASSERT_TRUE(platform) << platform.error().text();
  auto device = (*platform)->open_volume("\\\\.\\E:");
  ASSERT_TRUE(device) << device.error().text();
  std::array<std::byte, layout::volume_data::kSize> vd{};
  ASSERT_TRUE((*device)->control(FSCTL_GET_NTFS_VOLUME_DATA, {}, vd));
  const std::uint64_t mft = load_le<std::uint64_t>(vd.data() + layout::volume_data::kMftStartLcn) *
                            load_le<std::uint32_t>(vd.data() + layout::volume_data::kBytesPerCluster);
  const std::uint64_t record_size = load_le<std::uint32_t>(vd.data() + layout::volume_data::kBytesPerFileRecordSegment);
  // The image loses its $MFT from record 5 on; a device opened afterwards
  // reads what is left.
  fs::resize_file(copy, mft + 5 * record_size);
  auto cut = (*platform)->open_volume("\\\\.\\E:");
  ASSERT_TRUE(cut) << cut.error().text();
  std::vector<std::byte> out(layout::file_record::kFileRecordBuffer + record_size);
  auto query = [&](std::uint64_t record) {
    std::array<std::byte, 8> in{};
    store_le<std::uint64_t>(in.data(), record);
    return (*cut)->control(FSCTL_GET_NTFS_FILE_RECORD, in, out);
  };
  EXPECT_TRUE(query(3)) << "a record the image still holds";
  auto gone = query(8);  // $BadClus, in use
  ASSERT_FALSE(gone);
  EXPECT_TRUE(gone.error().is_os(win32::ERROR_HANDLE_EOF)) << gone.error().text();
}

TEST(ImageReads, AFileThatShrankSinceItWasOpenedEndsWhereItEndsNow) {
  const fs::path dir = fresh_dir("shrunk");
  write_pattern(dir / "disk.img", 16384);
  auto file = ImageFile::open((dir / "disk.img").string());
  ASSERT_TRUE(file) << file.error().text();
  fs::resize_file(dir / "disk.img", 4096);
  std::array<std::byte, 1024> out{};
  EXPECT_TRUE(file->read(3072, out));
  auto ends_at = [&](std::uint64_t at) {
    auto r = file->read(at, out);
    return !r && r.error().is_os(win32::ERROR_HANDLE_EOF);
  };
  EXPECT_TRUE(ends_at(3584)) << "a read that runs past the new end";
  EXPECT_TRUE(ends_at(8192));
  EXPECT_TRUE(ends_at(16384)) << "past the size it had";
}

// A handle made for another thread reads the file the probe opened, even
// once another file has taken its path: one examination never mixes two
// images.
TEST(ImageReads, ASecondHandleReadsTheFileFirstOpened) {
#ifdef _WIN32
  GTEST_SKIP() << "Windows does not let a file be replaced while the image is open";
#endif
  const fs::path dir = fresh_dir("reopened");
  write_pattern(dir / "disk.img", 8192);
  auto file = ImageFile::open((dir / "disk.img").string());
  ASSERT_TRUE(file) << file.error().text();
  std::array<std::byte, 512> before{}, after{};
  ASSERT_TRUE(file->read(4096, before));
  { std::ofstream(dir / "other.img", std::ios::binary) << std::string(8192, 'x'); }
  fs::rename(dir / "other.img", dir / "disk.img");
  auto second = file->reopen();
  ASSERT_TRUE(second) << second.error().text();
  ASSERT_TRUE(second->read(4096, after));
  EXPECT_EQ(before, after);
  EXPECT_EQ(second->size(), 8192u);
}

TEST(ImageReads, ATruncatedContainerSaysWhatItsLibrarySaid) {
  int status = 1;
  test::run_command("command -v qemu-img >/dev/null 2>&1", &status);
  if (status != 0 || !container_supported(Container::vhd))
    GTEST_SKIP() << "qemu-img or this build's libvhdi is missing";
  const fs::path dir = fresh_dir("vhd");
  write_pattern(dir / "disk.raw", 2 << 20);
  test::run_command("qemu-img convert -f raw -O vpc " + test::shell_quote((dir / "disk.raw").string()) + " " +
                        test::shell_quote((dir / "disk.vhd").string()) + " 2>&1",
                    &status);
  ASSERT_EQ(status, 0);
  auto file = ImageFile::open((dir / "disk.vhd").string());
  ASSERT_TRUE(file) << file.error().text();
  std::array<std::byte, 4096> out{};
  ASSERT_TRUE(file->read(0, out));
  fs::resize_file(dir / "disk.vhd", 1 << 20);  // the blocks of the second half are gone
  auto r = file->read((3 << 20) / 2, out);
  ASSERT_FALSE(r);
  EXPECT_TRUE(r.error().is_os(win32::ERROR_READ_FAULT)) << r.error().text();
  const std::string said = "libvhdi: the read failed (";
  EXPECT_EQ(r.error().message().rfind(said, 0), 0u) << r.error().text();
  EXPECT_GT(r.error().message().size(), said.size() + 1) << r.error().text();
}

}  // namespace
}  // namespace quillon::platform::image
