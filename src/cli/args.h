// Command-line arguments: the folder to probe, the debug switch, and the
// switches of our own (--image, --offset, --help, --version).
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace quillon::cli {

inline constexpr const char* kDefaultFolder = "E:\\2";

struct Options {
  std::string folder = kDefaultFolder;
  bool debug = false;
  bool help = false;
  bool version = false;
  std::optional<std::string> image;         // --image=FILE
  std::optional<std::string> image_offset;  // --offset=BYTES (text as given)
};

// `args` holds the program name first, as the process received it (WTF-8).
Options parse_arguments(const std::vector<std::string>& args);

}  // namespace quillon::cli
