// Containers told apart by their signatures; the formats this build cannot
// read give one error that names the format and the way to mount it.
#include "platform/image/containers.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>

namespace quillon::platform::image {
namespace {

std::array<std::byte, 512> block(std::string_view start, std::size_t at = 0) {
  std::array<std::byte, 512> b{};
  std::memcpy(b.data() + at, start.data(), start.size());
  return b;
}

TEST(Containers, SignaturesAndTheFixedVhdFooter) {
  struct Case {
    std::string_view head;
    Container kind;
  };
  const Case cases[] = {
      {"EVF\x09\x0d\x0a\xff\x00", Container::ewf},  {"LVF\x09\x0d\x0a\xff\x00", Container::ewf},
      {"EVF2\x0d\x0a\x81\x00", Container::ewf},      {"vhdxfile", Container::vhdx},
      {"conectix", Container::vhd},                  {"KDMV", Container::vmdk},
      {"# Disk DescriptorFile", Container::vmdk},    {"QFI\xfb", Container::qcow},
      {"\xeb\x52\x90NTFS    ", Container::raw},      {"EVF", Container::raw},
  };
  const std::array<std::byte, 512> none{};
  for (const auto& c : cases) {
    auto head = block(c.head);
    EXPECT_EQ(detect_container(head, none), c.kind) << c.head;
  }
  // A fixed VHD ends in its footer: "conectix", disk type 2 at 60 and the
  // checksum at 64 (big-endian, the ones' complement of the other bytes' sum).
  auto footer = [](std::uint8_t type, std::uint32_t checksum_off_by) {
    auto f = block("conectix");
    f[40] = std::byte{0x80};  // some size, so that the sum is not trivial
    f[63] = std::byte{type};
    std::uint32_t sum = 0;
    for (auto b : f) sum += std::to_integer<std::uint32_t>(b);
    const std::uint32_t checksum = ~sum + checksum_off_by;
    for (int i = 0; i < 4; ++i) f[64 + i] = static_cast<std::byte>(checksum >> (24 - 8 * i));
    return f;
  };
  const auto ntfs = block("\xeb\x52\x90NTFS    ");
  EXPECT_EQ(detect_container(ntfs, footer(2, 0)), Container::fixed_vhd);
  EXPECT_EQ(detect_container(ntfs, footer(2, 1)), Container::raw);  // a checksum that does not add up
  EXPECT_EQ(detect_container(ntfs, footer(3, 0)), Container::raw);  // dynamic: its header comes first
  EXPECT_EQ(detect_container(ntfs, Bytes(footer(2, 0)).first(511)), Container::raw);
  EXPECT_EQ(detect_container(Bytes(), Bytes()), Container::raw);
}

TEST(Containers, UnreadableFormatsNameTheirMountTool) {
  for (Container kind : {Container::vmdk, Container::qcow, Container::ewf, Container::vhd, Container::vhdx}) {
    if (container_supported(kind)) continue;
    auto r = open_container(kind, "/x/disk");
    ASSERT_FALSE(r);
    const std::string text = r.error().text();
    EXPECT_EQ(text.rfind(std::string("cannot use image /x/disk: it is ") + (kind == Container::ewf ? "an " : "a ") +
                             container_name(kind) +
                             " image, which this build does not read; ",
                         0),
              0u)
        << text;
    const char* tool = kind == Container::ewf ? "ewfmount" : kind == Container::vmdk || kind == Container::qcow
                                                                  ? "qemu-nbd"
                                                                  : "vhdimount";
    EXPECT_NE(text.find(tool), std::string::npos) << text;
  }
}

}  // namespace
}  // namespace quillon::platform::image
