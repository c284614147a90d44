// The images of this directory's data/ folder (made by data/make_images.sh),
// unpacked sparse into the build directory on first use.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>

#include "support/images.h"

namespace quillon::platform::image::testing {

inline std::optional<std::filesystem::path> local_image(const std::string& name) {
  static std::mutex m;
  std::lock_guard lock(m);
  auto gz = test::source_dir() / "tests" / "platform" / "image" / "data" / (name + ".img.gz");
  std::error_code ec;
  if (!std::filesystem::exists(gz, ec)) return std::nullopt;
  auto dir = test::binary_dir() / "images";
  std::filesystem::create_directories(dir, ec);
  auto out = dir / ("local-" + name + ".img");
  if (std::filesystem::exists(out, ec) && std::filesystem::last_write_time(out, ec) >= std::filesystem::last_write_time(gz, ec))
    return out;
  auto tmp = out.string() + ".tmp";
  std::string cmd = "gzip -dc '" + gz.string() + "' | cp --sparse=always /dev/stdin '" + tmp + "' && mv '" + tmp +
                    "' '" + out.string() + "'";
  if (std::system(cmd.c_str()) != 0) return std::nullopt;
  return out;
}

}  // namespace quillon::platform::image::testing
