// The primitive decoders of NTFS structures that both readers of the volume
// need (the engine's raw MFT reader and the image backend): the update
// sequence of a multi-sector block and one mapping pair of a run list. Each
// reader keeps its own policy on what it accepts; the policy is named in the
// call.
#pragma once

#include <cstdint>
#include <span>

#include "common/bytes.h"

namespace quillon::ntfs {

enum class TornStride {
  // A stride whose last two bytes do not hold the update sequence number (a
  // torn write) is left as read; the others get their saved bytes back. The
  // array needs one entry and must lie inside the block.
  keep_as_read,
  // Any torn stride refuses the whole block, which is then left unchanged.
  // The array needs two entries and must lie in the first stride, before
  // the bytes that stride protects.
  refuse_block,
};

// Applies the update sequence array of `block` (offset at 0x04, count at
// 0x06, 512-byte strides; the array's offset even and its strides inside the
// block). False, changing nothing, for an unsound array, or for a torn
// stride under refuse_block.
bool apply_update_sequence(std::span<std::byte> block, TornStride torn);

// One mapping pair of a run list.
struct MappingPair {
  std::uint64_t length = 0;  // clusters
  std::int64_t delta = 0;    // starting cluster relative to the previous run's
  bool has_offset = false;   // false: a sparse run
  std::uint64_t size = 0;    // bytes the pair takes, header included
};

enum class PairRead {
  pair,       // `out` holds the pair
  end,        // the terminating 0 header byte
  missing,    // no header byte at `pos`
  malformed,  // a field wider than 8 bytes, or fields running past the bytes
};

// Reads the pair at `pos` of `pairs` (the offset field sign-extended).
PairRead read_mapping_pair(Bytes pairs, std::uint64_t pos, MappingPair& out);

}  // namespace quillon::ntfs
