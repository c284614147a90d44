#include "common/large_buffer.h"

#include <cstdint>
#include <algorithm>
#include <new>
#include <utility>

#if defined(__linux__)
#include <sys/mman.h>
#include <unistd.h>
#if defined(__GLIBC__)
#include <malloc.h>
#endif
#endif

namespace quillon {

namespace {

#if defined(__linux__)
constexpr std::size_t kHugePage = std::size_t{2} << 20;

// `size` bytes mapped on a huge-page boundary (the slack around it given
// back), with huge pages asked for; null when no mapping is had.
std::byte* map_huge(std::size_t size, std::size_t& mapped) {
  if (size > SIZE_MAX - 2 * kHugePage) return nullptr;
  const std::size_t length = (size + kHugePage - 1) / kHugePage * kHugePage;
  void* raw = mmap(nullptr, length + kHugePage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (raw == MAP_FAILED) return nullptr;
  auto* base = static_cast<std::byte*>(raw);
  const auto address = reinterpret_cast<std::uintptr_t>(base);
  const std::size_t lead = (kHugePage - address % kHugePage) % kHugePage;
  if (lead > 0) munmap(base, lead);
  munmap(base + lead + length, kHugePage - lead);  // lead < kHugePage: never empty
  madvise(base + lead, length, MADV_HUGEPAGE);  // a hint: refused, the buffer is as good
  mapped = length;
  return base + lead;
}
#endif

}  // namespace

LargeBuffer::LargeBuffer(std::size_t size) : size_(size) {
  if (size == 0) return;
#if defined(__linux__)
  // Below one huge page the mapping gains nothing over the heap.
  if (size >= kHugePage) data_ = map_huge(size, mapped_);
#endif
  if (!data_) data_ = new std::byte[size];
}

LargeBuffer::~LargeBuffer() { release(); }

LargeBuffer::LargeBuffer(LargeBuffer&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      mapped_(std::exchange(other.mapped_, 0)) {}

LargeBuffer& LargeBuffer::operator=(LargeBuffer&& other) noexcept {
  if (this != &other) {
    release();
    data_ = std::exchange(other.data_, nullptr);
    size_ = std::exchange(other.size_, 0);
    mapped_ = std::exchange(other.mapped_, 0);
  }
  return *this;
}

void LargeBuffer::release() noexcept {
  if (!data_) return;
#if defined(__linux__)
  if (mapped_ > 0) {
    munmap(data_, mapped_);
    data_ = nullptr;
    return;
  }
#endif
  delete[] data_;
  data_ = nullptr;
}

std::span<std::byte> ByteArena::room(std::size_t n) {
  offered_ = 0;
  if (buffers_.empty() || buffers_.back().size() - used_ < n) {
    buffers_.emplace_back(std::max(chunk_, n));
    used_ = 0;
  }
  offered_ = n;
  return buffers_.back().span().subspan(used_, n);
}

void ByteArena::keep(std::size_t n) {
  used_ += std::min(n, offered_);
  offered_ = 0;
}

void prefer_huge_pages_for_heap() {
#if defined(__linux__) && defined(__GLIBC__) && !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
  constexpr int kStep = 32 << 20;
  mallopt(M_MMAP_THRESHOLD, kStep);  // at most 32 MiB on 64-bit systems
  mallopt(M_TRIM_THRESHOLD, 2 * kStep);
  mallopt(M_TOP_PAD, kStep);
  // Every thread allocates from this heap: a worker's own arena would be
  // mapped apart, in 4 KiB pages. The workers allocate little, and rarely.
  mallopt(M_ARENA_MAX, 1);
  // One block grows the heap by a step and a half; the whole huge pages of
  // what it grew are advised, and the block given back to the heap.
  auto* before = static_cast<std::byte*>(sbrk(0));
  void* volatile block = malloc(kStep / 2);  // volatile: the pair is not elided
  auto* after = static_cast<std::byte*>(sbrk(0));
  std::uintptr_t lo = 0;
  if (before != reinterpret_cast<std::byte*>(-1) && after > before) {
    lo = (reinterpret_cast<std::uintptr_t>(before) + kHugePage - 1) / kHugePage * kHugePage;
    const auto hi = reinterpret_cast<std::uintptr_t>(after) / kHugePage * kHugePage;
    if (hi > lo) madvise(reinterpret_cast<void*>(lo), hi - lo, MADV_HUGEPAGE);
    else lo = 0;
  }
  const auto at = reinterpret_cast<std::uintptr_t>(static_cast<void*>(block));
  free(block);
  // The heap's next blocks come from where that block was, below the first
  // advised huge page (the heap starts anywhere in one): that stretch,
  // never touched, is held for good, so that the buffers a probe fills
  // (the $MFT's bitmap, $UpCase) start on huge pages instead of faulting
  // in 4 KiB at a time. A hint only: nothing depends on where they land.
  constexpr std::uintptr_t kChunkHeader = 2 * sizeof(std::size_t);
  if (lo > at + kChunkHeader && lo - at < 2 * kHugePage) {
    static void* volatile head = malloc(lo - at - kChunkHeader);
    (void)head;
  }
#endif
}

}  // namespace quillon
