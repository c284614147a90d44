// Directories as the $MFT's own records describe them: every in-use base
// record's $FILE_NAME names its parent directory, so a directory holds the
// names whose parent reference (record and sequence) is its own. This is
// what its $I30 index lists; a collection has no index blocks to read, so
// large folders are listed from the names instead.
#pragma once

#include <memory>
#include <optional>
#include <unordered_map>
#include <vector>

#include "platform/image/image_backend.h"

namespace quillon::platform::collection {

class MftDirectories final : public image::DirectorySource {
 public:
  std::optional<image::IndexEntry> find(image::NtfsReader& reader, const image::FileRecord& dir,
                                        std::u16string_view name) override;
  std::shared_ptr<const image::DirectoryListing> listing(image::NtfsReader& reader,
                                                         const image::FileRecord& dir) override;

 private:
  // The names of every in-use record by parent record number, read once.
  void load(image::NtfsReader& reader);

  bool loaded_ = false;
  std::unordered_map<std::uint64_t, std::vector<image::IndexEntry>> by_parent_;
  std::unordered_map<std::uint64_t, std::shared_ptr<const image::DirectoryListing>> listings_;  // by reference
};

}  // namespace quillon::platform::collection
