// The file system control codes a volume handle answers, from the image:
// the same structures and the same error codes as NTFS on Windows.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>

#include "common/error.h"
#include "platform/image/ntfs_volume.h"
#include "platform/image/usn_journal.h"

namespace quillon::platform::image {

// $Extend\$UsnJrnl of the volume: its numbers and its $J stream, or nothing
// when the volume keeps no journal.
struct ImageJournal {
  JournalInfo info;
  std::unique_ptr<JournalStream> stream;
};
std::optional<ImageJournal> open_journal(NtfsReader& reader);
// Where the journal's control codes find the journal: open_journal, or
// another source of $J's bytes.
using JournalOpener = std::function<std::optional<ImageJournal>(NtfsReader& reader)>;

// DeviceIoControl on a volume handle; the number of bytes written to `out`.
Result<std::size_t> answer_control(NtfsReader& reader, std::uint32_t code, Bytes in, std::span<std::byte> out);
Result<std::size_t> answer_control(NtfsReader& reader, std::uint32_t code, Bytes in, std::span<std::byte> out,
                                   const JournalOpener& journal);

}  // namespace quillon::platform::image
