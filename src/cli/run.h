#pragma once

#include <string>
#include <vector>

namespace quillon::cli {

// The exit statuses of a run with --format=csv, json or bodyfile (the text
// format always ends with 0; a wrong --format value ends with `usage`).
enum class ExitStatus {
  ok = 0,
  usage = 2,             // a switch without its value, --offset or --partition without --image, a wrong --format
  image_not_opened = 3,  // --image or --mft: the file, its partition, its volume or a copy could not be opened
  probe_failed = 4,      // the folder has no drive letter or cannot be found on the volume
  output_refused = 5,    // --output names an existing file or the examined drive, or cannot be written
};

// The whole run: arguments in (program name first, WTF-8), output through
// the platform. Returns the exit status (ExitStatus).
int run(const std::vector<std::string>& args);

// The --help text.
std::string usage_text();

}  // namespace quillon::cli
