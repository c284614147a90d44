// The raw MFT reader: geometry, FILE record fetching (raw through the volume
// device, or through the file system's record query), and the parsing of
// FILE records shared by every search.
//
// The declarations here are the reader's contract; the types below are used
// by the scans, the journal search and the late phases.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <unordered_set>
#include <vector>

#include "common/bytes.h"
#include "common/error.h"
#include "datasource/windows/volume.h"

namespace quillon {

using MftRecord = std::vector<std::byte>;
using FrnSet = std::unordered_set<std::uint64_t>;

// NTFS_VOLUME_DATA_BUFFER (96 bytes), kept whole.
struct NtfsVolumeData {
  std::array<std::byte, 96> raw{};

  std::uint64_t volume_serial() const { return load_le<std::uint64_t>(raw.data() + 0); }
  std::uint64_t number_sectors() const { return load_le<std::uint64_t>(raw.data() + 8); }
  std::uint64_t total_clusters() const { return load_le<std::uint64_t>(raw.data() + 16); }
  std::uint64_t free_clusters() const { return load_le<std::uint64_t>(raw.data() + 24); }
  std::uint32_t bytes_per_sector() const { return load_le<std::uint32_t>(raw.data() + 40); }
  std::uint32_t bytes_per_cluster() const { return load_le<std::uint32_t>(raw.data() + 44); }
  std::uint32_t bytes_per_file_record_segment() const { return load_le<std::uint32_t>(raw.data() + 48); }
  std::uint64_t mft_valid_data_length() const { return load_le<std::uint64_t>(raw.data() + 56); }
  std::uint64_t mft_start_lcn() const { return load_le<std::uint64_t>(raw.data() + 64); }
  std::uint64_t mft2_start_lcn() const { return load_le<std::uint64_t>(raw.data() + 72); }
  // FILE record size as every search uses it: never below 1024.
  std::uint32_t record_size() const {
    auto s = bytes_per_file_record_segment();
    return s > 1024 ? s : 1024;
  }
};

// One decoded data run (mapping pair).
struct DataRun {
  std::int64_t vcn = 0;
  std::int64_t lcn = 0;
  std::int64_t length = 0;
  bool operator==(const DataRun&) const = default;
};

// One $FILE_NAME of a record.
struct FileNameEntry {
  std::string name;             // WTF-8/UTF-8 (unpaired surrogates as U+FFFD)
  std::uint64_t parent = 0;     // parent record number (48 bits)
  std::uint64_t size = 0;       // allocated size from the $FILE_NAME
  std::uint64_t time = 0;       // last modification FILETIME, 0 when none
  bool operator==(const FileNameEntry&) const = default;
};

// One entry of a directory's index root.
struct IndexEntryRef {
  std::optional<std::string> name;
  std::uint64_t frn = 0;     // full, with sequence
  std::uint64_t record = 0;  // frn & 0xFFFFFFFFFFFF
  bool operator==(const IndexEntryRef&) const = default;
};

}  // namespace quillon
