// The file system control codes a volume handle answers, from the image:
// the same structures and the same error codes as NTFS on Windows.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>

#include "common/error.h"
#include "platform/image/ntfs_volume.h"
#include "platform/image/usn_journal.h"

namespace quillon::platform::image {

// DeviceIoControl on a volume handle; the number of bytes written to `out`.
Result<std::size_t> answer_control(NtfsReader& reader, std::uint32_t code, Bytes in, std::span<std::byte> out);

// $Extend\$UsnJrnl of the volume: its numbers and its $J stream, or nothing
// when the volume keeps no journal.
struct ImageJournal {
  JournalInfo info;
  std::unique_ptr<JournalStream> stream;
};
std::optional<ImageJournal> open_journal(NtfsReader& reader);

}  // namespace quillon::platform::image
