// Buffers of several MiB for reads of the volume: the pages the paged scan
// reads into, the records the phases keep. Their bytes are not cleared.
//
// A fresh page of memory costs a fault when it is first touched, and a
// probe touches tens of MiB of fresh memory; on Linux such a buffer is
// mapped on 2 MiB boundaries and asked to be backed by huge pages, which
// turns 512 faults into one where the kernel allows it (and changes nothing
// where it does not).
#pragma once

#include <cstddef>
#include <span>
#include <vector>

namespace quillon {

class LargeBuffer {
 public:
  LargeBuffer() = default;
  // Throws std::bad_alloc when the memory cannot be had.
  explicit LargeBuffer(std::size_t size);
  ~LargeBuffer();
  LargeBuffer(LargeBuffer&& other) noexcept;
  LargeBuffer& operator=(LargeBuffer&& other) noexcept;
  LargeBuffer(const LargeBuffer&) = delete;
  LargeBuffer& operator=(const LargeBuffer&) = delete;

  std::byte* data() const { return data_; }
  std::size_t size() const { return size_; }
  std::span<std::byte> span() const { return {data_, size_}; }
  explicit operator bool() const { return data_ != nullptr; }

 private:
  void release() noexcept;

  std::byte* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t mapped_ = 0;  // bytes mapped at data_, 0 when allocated with new
};

// Bytes kept for a search's whole life, laid one after another in large
// buffers: what it keeps stays where it is until the arena goes.
class ByteArena {
 public:
  explicit ByteArena(std::size_t chunk = std::size_t{4} << 20) : chunk_(chunk) {}

  // Room for `n` bytes after what is kept, for a read to fill; valid until
  // the next call. Throws std::bad_alloc when the memory cannot be had.
  std::span<std::byte> room(std::size_t n);
  // Keeps the first `n` bytes of the last room handed out (at most its size).
  void keep(std::size_t n);

 private:
  std::size_t chunk_;
  std::vector<LargeBuffer> buffers_;
  std::size_t used_ = 0;  // bytes kept in buffers_.back()
  std::size_t offered_ = 0;
};

// Asks, once at start-up and before any thread is made, that the process's
// heap be backed by huge pages where the system allows it: the main heap
// grows 32 MiB at a time, is not given back between searches, and blocks
// below 32 MiB come from it rather than from mappings of their own, so the
// vectors a probe fills (the $MFT's bitmap, $UpCase, the records it keeps)
// land on pages already had. Changes nothing on other systems, nor under
// an allocator other than the C library's.
void prefer_huge_pages_for_heap();

}  // namespace quillon
