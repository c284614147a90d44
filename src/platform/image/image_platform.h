// The NTFS-image backend: a disk or volume image stands in for the volume
// device of one drive letter and for the live file system on it.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace quillon::platform {

struct ImageOptions {
  std::string file;                    // the image file (read-only)
  char letter = 'E';                   // the drive letter the image stands for
  std::optional<std::uint64_t> offset;  // byte offset of the volume inside a disk image
};

// The byte offset of partition `number` (numbered as Linux numbers them) of
// a disk image, or one clear error that lists the partitions found.
Result<std::uint64_t> partition_offset(const std::string& file, unsigned number);

// What was found in the image file.
struct ImageFacts {
  std::uint64_t volume_offset = 0;  // bytes
  std::uint64_t volume_bytes = 0;   // the volume's size as its boot sector gives it
  std::uint64_t present_bytes = 0;  // how much of it the file holds
};

// Opens the image and returns a platform that serves it. One clear error
// when the file cannot be read or holds no NTFS volume. An image shorter than
// its volume opens; `facts` says how much is missing.
// `notes`, when given, receives one line for each thing read from NTFS's
// spare copies because the original is damaged (the backup boot sector,
// $MFTMirr).
Result<std::unique_ptr<Platform>> open_image_platform(const ImageOptions& options,
                                                      std::vector<std::string>* notes = nullptr,
                                                      ImageFacts* facts = nullptr);

// "Note: the image ends before its volume does: ..." for an image that does
// not hold its whole volume; empty otherwise.
std::string missing_volume_note(const ImageFacts& facts);

}  // namespace quillon::platform
