// Command-line arguments: the folder to probe, the debug switch, and the
// switches of our own. Switches that take a value accept it after '=' or as
// the next argument ("--image=d.img" or "--image d.img").
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace quillon::cli {

inline constexpr const char* kDefaultFolder = "E:\\2";

struct Options {
  std::string folder = kDefaultFolder;
  bool debug = false;
  bool help = false;     // --help, -h, -?, /?
  bool version = false;
  bool quiet = false;    // --quiet: no progress lines
  bool all = false;      // --all: the noise filter keeps every name
  std::optional<std::string> image;         // --image FILE
  std::optional<std::string> image_offset;  // --offset BYTES (text as given)
  std::optional<std::string> partition;     // --partition N (text as given)
  std::optional<std::string> format;        // --format text|csv|json|bodyfile
  std::optional<std::string> output;        // --output FILE
  // A triage collection: --mft FILE and the optional copies beside it.
  std::optional<std::string> mft, usnjrnl, logfile, bitmap;
  // A switch that wants a value came last, without one: its name.
  std::optional<std::string> missing_value;
};

// `args` holds the program name first, as the process received it (WTF-8).
Options parse_arguments(const std::vector<std::string>& args);

}  // namespace quillon::cli
