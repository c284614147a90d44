#include "cli/args.h"

namespace quillon::cli {

Options parse_arguments(const std::vector<std::string>& args) {
  Options o;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--debug") o.debug = true;  // the program name counts too
    if (i == 0) continue;
    if (a.empty() || a[0] != '-') {
      o.folder = a;  // the last plain argument wins
      continue;
    }
    if (a == "--help") {
      o.help = true;
    } else if (a == "--version") {
      o.version = true;
    } else if (a.starts_with("--image=")) {
      o.image = a.substr(8);
    } else if (a.starts_with("--offset=")) {
      o.image_offset = a.substr(9);
    }
    // Every other switch is ignored without a message.
  }
  return o;
}

}  // namespace quillon::cli
