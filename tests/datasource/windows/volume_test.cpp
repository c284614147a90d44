#include "datasource/windows/volume.h"

#include <gtest/gtest.h>

#include "platform/memory/memory_platform.h"

namespace quillon {
namespace {

TEST(DriveLetter, TextRule) {
  EXPECT_EQ(drive_letter_for_path("e:\\x"), 'E');
  EXPECT_EQ(drive_letter_for_path("E:"), 'E');
  EXPECT_EQ(drive_letter_for_path("z:/"), 'Z');
  EXPECT_EQ(drive_letter_for_path("\\\\.\\e:"), 'E');
  EXPECT_EQ(drive_letter_for_path("\\\\.\\e:\\dir"), 'E');
  EXPECT_EQ(drive_letter_for_path("  e:\\x \t"), 'E');
  EXPECT_EQ(drive_letter_for_path("\xE3\x80\x80" "e:\\x"), 'E');  // ideographic space trimmed
  EXPECT_EQ(drive_letter_for_path("\\\\.\\"), std::nullopt);
  EXPECT_EQ(drive_letter_for_path("\\\\.\\1:"), std::nullopt);  // falls through to a backslash
  EXPECT_EQ(drive_letter_for_path("1:\\x"), std::nullopt);
  EXPECT_EQ(drive_letter_for_path(":"), std::nullopt);
  EXPECT_EQ(drive_letter_for_path("e"), std::nullopt);
  EXPECT_EQ(drive_letter_for_path(""), std::nullopt);
  EXPECT_EQ(drive_letter_for_path("   "), std::nullopt);
  EXPECT_EQ(drive_letter_for_path("\xC3\xA9:"), std::nullopt);  // non-ASCII first character
  EXPECT_EQ(drive_letter_for_path("\\\\?\\E:\\x"), std::nullopt);  // verbatim form is not accepted
  EXPECT_EQ(drive_letter_for_path("@:"), std::nullopt);
  EXPECT_EQ(drive_letter_for_path("[:"), std::nullopt);
}

TEST(DriveLetter, CanonicalisationFallback) {
  auto mem = std::make_unique<platform::MemoryPlatform>();
  mem->add_directory("E:\\rel", 0x0001000000000030);
  auto* raw = mem.get();
  platform::ScopedPlatform scoped(std::move(mem));
  raw->set_volume('E', {});
  // A relative path goes through the canonical form, which here carries the
  // verbatim prefix, so the text rule still finds no letter.
  EXPECT_EQ(drive_letter_of(platform::current(), "rel"), std::nullopt);
  EXPECT_EQ(drive_letter_of(platform::current(), "missing"), std::nullopt);
  EXPECT_EQ(drive_letter_of(platform::current(), "e:\\x"), 'E');
}

TEST(VolumeDevicePath, UpperCasesLetters) {
  EXPECT_EQ(volume_device_path('c'), "\\\\.\\C:");
  EXPECT_EQ(volume_device_path('E'), "\\\\.\\E:");
  EXPECT_EQ(volume_device_path('1'), "\\\\.\\1:");
}

TEST(VolumeReads, ExactOrNothing) {
  auto mem = std::make_unique<platform::MemoryPlatform>();
  platform::MemoryPlatform::Volume v;
  for (int i = 0; i < 4096; ++i) v.bytes.push_back(static_cast<std::byte>(i & 0xFF));
  mem->set_volume('E', std::move(v));
  platform::ScopedPlatform scoped(std::move(mem));
  auto reader = open_volume(platform::current(), 'e');
  ASSERT_TRUE(reader);
  auto bytes = read_exact_at(*reader, 1024, 16);
  ASSERT_TRUE(bytes);
  EXPECT_EQ((*bytes)[0], std::byte{0});
  EXPECT_EQ((*bytes)[15], std::byte{15});
  EXPECT_TRUE(read_exact_at(*reader, 4080, 16));
  EXPECT_FALSE(read_exact_at(*reader, 4081, 16));  // past the end: nothing
  EXPECT_FALSE(read_exact_at(*reader, ~0ULL, 2));
  auto missing = open_volume(platform::current(), 'F');
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().os_code(), 2u);
}

TEST(FolderFrn, FileIdAndRecordNumber) {
  auto mem = std::make_unique<platform::MemoryPlatform>();
  mem->add_directory("E:\\2", 0x0003000000000027);
  mem->deny("E:\\secret", 5);
  platform::ScopedPlatform scoped(std::move(mem));
  auto id = folder_frn(platform::current(), "E:\\2");
  ASSERT_TRUE(id);
  EXPECT_EQ(id->file_id, 0x0003000000000027u);
  EXPECT_EQ(id->record, 0x27u);
  auto missing = folder_frn(platform::current(), "E:\\nope");
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().text(), "The system cannot find the file specified. (os error 2)");
  auto denied = folder_frn(platform::current(), "E:\\secret");
  ASSERT_FALSE(denied);
  EXPECT_EQ(denied.error().kind(), ErrorKind::permission_denied);
}

}  // namespace
}  // namespace quillon
