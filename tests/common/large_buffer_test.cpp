#include "common/large_buffer.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace quillon {
namespace {

TEST(LargeBuffer, HoldsItsBytesAndMovesWithoutCopying) {
  const std::size_t size = (std::size_t{5} << 20) + 17;  // over two huge pages, not a multiple
  LargeBuffer a(size);
  ASSERT_TRUE(a);
  ASSERT_EQ(a.size(), size);
  a.data()[0] = std::byte{1};
  a.data()[size - 1] = std::byte{2};
#if defined(__linux__)
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(a.data()) % (std::uintptr_t{2} << 20), 0u) << "mapped on a huge page";
#endif
  std::byte* where = a.data();
  LargeBuffer b(std::move(a));
  EXPECT_FALSE(a);
  EXPECT_EQ(b.data(), where);
  EXPECT_EQ(b.data()[size - 1], std::byte{2});
  LargeBuffer small(100);  // from the heap
  small = std::move(b);
  EXPECT_EQ(small.data(), where);
  EXPECT_EQ(small.span().size(), size);
  EXPECT_FALSE(LargeBuffer());
}

// What the arena keeps stays where it was written while later rooms come
// from new buffers; a room not kept is handed out again.
TEST(ByteArena, KeptBytesStayInPlaceAcrossBuffers) {
  ByteArena arena(4096);
  std::vector<std::span<std::byte>> kept;
  for (int i = 0; i < 10; ++i) {
    auto room = arena.room(1000);
    ASSERT_EQ(room.size(), 1000u);
    for (auto& b : room) b = std::byte(i);
    arena.keep(room.size());
    kept.push_back(room);
  }
  auto big = arena.room(10000);  // larger than a buffer: a buffer of its own
  ASSERT_EQ(big.size(), 10000u);
  big[9999] = std::byte{0x7f};
  arena.keep(big.size());
  auto unkept = arena.room(50);
  arena.keep(0);
  EXPECT_EQ(arena.room(50).data(), unkept.data());
  arena.keep(500);  // more than was offered: only the room's 50
  EXPECT_EQ(arena.room(10).data(), unkept.data() + 50);
  for (int i = 0; i < 10; ++i)
    for (auto b : kept[static_cast<std::size_t>(i)]) ASSERT_EQ(b, std::byte(i)) << "block " << i;
  EXPECT_EQ(big[9999], std::byte{0x7f});
  EXPECT_NE(kept[3].data() + 1000, kept[4].data()) << "four rooms of 1000 fill a 4096-byte buffer";
}

}  // namespace
}  // namespace quillon
