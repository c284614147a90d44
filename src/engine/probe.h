// The folder probe: locate the folder, build its scope, search the journal
// and the MFT, merge and sort.
#pragma once

#include <string_view>

#include "common/error.h"
#include "engine/model.h"
#include "engine/progress.h"

namespace quillon {

Result<ProbeReport> probe_folder(std::string_view folder, Duration limit, const Progress& progress);

}  // namespace quillon
