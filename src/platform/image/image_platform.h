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

// Opens the image and returns a platform that serves it. One clear error
// when the file cannot be read or holds no NTFS volume.
// `notes`, when given, receives one line for each thing read from NTFS's
// spare copies because the original is damaged (the backup boot sector,
// $MFTMirr).
Result<std::unique_ptr<Platform>> open_image_platform(const ImageOptions& options,
                                                      std::vector<std::string>* notes = nullptr);

}  // namespace quillon::platform
