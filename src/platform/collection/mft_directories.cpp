#include "platform/collection/mft_directories.h"

#include <algorithm>

namespace quillon::platform::collection {

using image::IndexEntry;
using image::kRecordNumberMask;

void MftDirectories::load(image::NtfsReader& reader) {
  loaded_ = true;
  const image::NtfsVolume& v = reader.volume();
  for (std::uint64_t n = 0; n < v.mft_records(); ++n) {
    if (!v.record_in_use(n)) continue;
    auto f = reader.load(n);
    if (!f || !f->header.in_use() || f->header.base_reference != 0) continue;
    for (auto& name : f->names()) {
      const std::uint64_t parent = name.parent & kRecordNumberMask;
      if (parent == n && n != image::kRootRecord) continue;  // only the root is its own parent
      by_parent_[parent].push_back(IndexEntry{f->reference(), std::move(name)});
    }
  }
}

std::shared_ptr<const image::DirectoryListing> MftDirectories::listing(image::NtfsReader& reader,
                                                                       const image::FileRecord& dir) {
  if (!loaded_) load(reader);
  if (auto it = listings_.find(dir.reference()); it != listings_.end()) return it->second;
  std::vector<IndexEntry> entries;
  if (dir.header.directory())
    if (auto it = by_parent_.find(dir.number); it != by_parent_.end())
      for (const auto& e : it->second) {
        // A name under an earlier directory of the same record is not in
        // this one.
        const auto seq = static_cast<std::uint16_t>(e.key.parent >> 48);
        if (seq == 0 || seq == dir.header.sequence) entries.push_back(e);
      }
  // Index order: by name as the volume collates them, equal names by their
  // units as stored.
  const image::NtfsVolume& v = reader.volume();
  std::sort(entries.begin(), entries.end(), [&](const IndexEntry& a, const IndexEntry& b) {
    if (int c = v.compare_names(a.key.name, b.key.name); c != 0) return c < 0;
    return a.key.name < b.key.name;
  });
  auto made = std::make_shared<const image::DirectoryListing>(std::move(entries), v);
  listings_.emplace(dir.reference(), made);
  return made;
}

std::optional<IndexEntry> MftDirectories::find(image::NtfsReader& reader, const image::FileRecord& dir,
                                               std::u16string_view name) {
  const IndexEntry* e = listing(reader, dir)->find(name, reader.volume());
  return e ? std::optional(*e) : std::nullopt;
}

}  // namespace quillon::platform::collection
