// What the user needs to decide on each item, read after the merge: its
// sequence number, whether it is a file or a folder, when the journal saw it
// deleted, and how much of it can still come back (its own FILE record and
// the volume's cluster bitmap as they are now).
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "common/bytes.h"
#include "engine/model.h"
#include "engine/windows/probe_volume.h"
#include "engine/windows/raw_mft.h"
#include "engine/windows/usn_hints.h"

namespace quillon {

// The unnamed $DATA of one FILE record.
struct UnnamedData {
  std::uint64_t size = 0;       // the stream's length
  bool resident = false;        // held inside the record
  std::vector<DataRun> runs;    // the clusters it maps (sparse stretches left out)
  bool runs_complete = true;    // false when its runs go on in an extension record
};
// Nothing when the record has no unnamed $DATA, or it cannot be read.
std::optional<UnnamedData> unnamed_data(Bytes record, std::uint64_t bytes_per_cluster);

// The four times of the record's resident $STANDARD_INFORMATION.
std::optional<RecordTimes> standard_times(Bytes record);

// The volume's cluster allocation ($Bitmap, record 6), read through the
// volume in blocks as they are asked for, each block once.
class ClusterBitmap {
 public:
  ClusterBitmap(VolumeReader& reader, std::uint64_t bytes_per_cluster, std::vector<DataRun> runs,
                std::uint64_t size)
      : reader_(reader), bytes_per_cluster_(bytes_per_cluster), runs_(std::move(runs)), size_(size) {}
  // From record 6's unnamed $DATA; nothing when it cannot be read.
  static std::optional<ClusterBitmap> open(VolumeReader& reader, const MftContext& mft);

  // The free clusters among `count` from `lcn`; nothing when any of them
  // lies beyond the bitmap or its block cannot be read.
  std::optional<std::uint64_t> free_clusters(std::uint64_t lcn, std::uint64_t count);

  static constexpr std::uint64_t kBlockBytes = 0x10000;  // one read: 512 Ki clusters

 private:
  const std::vector<std::byte>* block(std::uint64_t index);

  VolumeReader& reader_;
  std::uint64_t bytes_per_cluster_;
  std::vector<DataRun> runs_;
  std::uint64_t size_;  // the bitmap's length in bytes
  std::unordered_map<std::uint64_t, std::optional<std::vector<std::byte>>> blocks_;
};

// The share of `total` that `free` is, as a whole percent that says 100 only
// when all are free and 0 only when none is; 100 for no clusters at all.
std::uint8_t free_percent(std::uint64_t free, std::uint64_t total);

// Where one item's facts come from: its record as read now (absent when none
// was read) and the journal's delete records of its record number.
struct FactSources {
  std::optional<Bytes> record;
  const std::vector<JournalDeletion>* deletions = nullptr;
  std::uint64_t bytes_per_cluster = 0;
  ClusterBitmap* bitmap = nullptr;  // null when it cannot be read
};
// Fills `item`'s facts from `sources`.
void fill_facts(DeletedItem& item, const FactSources& sources);

// One pass over the final items: each item's own record read once (records
// near one another in one request), the bitmap once per probe, the
// journal's delete records from `hints`.
void fill_item_facts(std::vector<DeletedItem>& items, ProbeVolume& volume, const UsnHints& hints);

}  // namespace quillon
