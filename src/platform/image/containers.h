// Disk image containers: told apart by their signatures, read through the
// container libraries where the build has them.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "common/bytes.h"
#include "common/error.h"
#include "platform/image/image_file.h"

namespace quillon::platform::image {

enum class Container { raw, fixed_vhd, ewf, vhd, vhdx, vmdk, qcow };

// `head`: the file's first bytes (up to 512); `tail`: its last 512 bytes, or
// empty when the file is shorter than 1024 bytes.
Container detect_container(Bytes head, Bytes tail);
// True when `tail` (a file's last 512 bytes) is the footer of a fixed VHD:
// its signature, disk type 2 and a checksum that adds up.
bool fixed_vhd_footer(Bytes tail);
// "EWF (E01)", "VHD", "VHDX", "VMDK", "QCOW2"; "raw" and "fixed VHD".
std::string container_name(Container kind);
// Whether this build reads the container itself.
bool container_supported(Container kind);

struct OpenedContainer {
  std::unique_ptr<ImageSource> source;
  std::uint64_t size = 0;  // the media size the container holds
};

// Opens an EWF, VHD or VHDX image through its library; for a format this
// build cannot read, one error naming it and the way to mount it.
Result<OpenedContainer> open_container(Container kind, const std::string& path);

}  // namespace quillon::platform::image
