#include "cli/args.h"

#include <array>
#include <string_view>
#include <utility>

namespace quillon::cli {

namespace {

using Field = std::optional<std::string> Options::*;

constexpr std::array<std::pair<std::string_view, Field>, 9> kValueSwitches = {{
    {"--image", &Options::image},
    {"--offset", &Options::image_offset},
    {"--partition", &Options::partition},
    {"--format", &Options::format},
    {"--output", &Options::output},
    {"--mft", &Options::mft},
    {"--usnjrnl", &Options::usnjrnl},
    {"--logfile", &Options::logfile},
    {"--bitmap", &Options::bitmap},
}};

}  // namespace

Options parse_arguments(const std::vector<std::string>& args) {
  Options o;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--debug") o.debug = true;  // the program name counts too
    if (i == 0) continue;
    if (a == "/?") {
      o.help = true;  // never a folder: the way Windows programs are asked for help
      continue;
    }
    if (a.empty() || a[0] != '-') {
      o.folder = a;  // the last plain argument wins
      continue;
    }
    if (a == "--help" || a == "-h" || a == "-?") {
      o.help = true;
    } else if (a == "--version") {
      o.version = true;
    } else if (a == "--quiet") {
      o.quiet = true;
    } else if (a == "--all") {
      o.all = true;
    } else {
      for (const auto& [name, field] : kValueSwitches) {
        if (a == name) {
          // The value is the next argument, whatever it looks like.
          if (i + 1 < args.size())
            o.*field = args[++i];
          else
            o.missing_value = std::string(name);
          break;
        }
        if (a.size() > name.size() && a.starts_with(name) && a[name.size()] == '=') {
          o.*field = a.substr(name.size() + 1);
          break;
        }
      }
    }
    // Every other switch is ignored without a message.
  }
  return o;
}

}  // namespace quillon::cli
