// The triage-collection backend: copies of a volume's $MFT, $UsnJrnl:$J,
// $LogFile and $Bitmap stand in for the volume device of one drive letter
// and for the live file system on it. The volume is the one
// assembled_volume.h puts together; the live view (paths, listings, file
// ids) comes from the $MFT's records (mft_directories.h); the journal's
// control codes read the $J copy (collected_journal.h). Everything else is
// the image backend's.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/collection/assembled_volume.h"
#include "platform/platform.h"

namespace quillon::platform {

struct CollectionOptions {
  collection::CollectionFiles files;
  char letter = 'E';  // the drive letter the collection stands for
};

// The platform, or one error line's text naming the file at fault. `notes`,
// when given, receives one line for each thing the collection cannot tell.
Result<std::unique_ptr<Platform>> open_collection_platform(const CollectionOptions& options,
                                                           std::vector<std::string>* notes = nullptr);

}  // namespace quillon::platform
