// The folder probe: locate the folder, build its scope, search the journal
// and the MFT, merge and sort.
#pragma once

#include <string_view>

#include "common/error.h"
#include "engine/model.h"
#include "engine/progress.h"
#include "platform/platform.h"

namespace quillon {

// The probe's error for a folder given without its drive letter.
inline constexpr const char* kNeedsDriveLetter =
    "Cannot identify drive letter: the folder needs its drive letter, as in E:\\2";

// `folder` as the user typed it; the probe resolves it to the file system's
// own spelling first. Every system call of the probe goes through `system`.
Result<ProbeReport> probe_folder(platform::Platform& system, std::string_view folder, Duration limit,
                                 const Progress& progress);

}  // namespace quillon
