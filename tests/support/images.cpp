#include "support/images.h"

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>

#include <unistd.h>

namespace quillon::test {

std::filesystem::path source_dir() { return QUILLON_SOURCE_DIR; }
std::filesystem::path binary_dir() { return QUILLON_BINARY_DIR; }

std::string shell_quote(const std::string& text) {
  std::string q = "'";
  for (char c : text) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

std::string run_command(const std::string& command, int* status) {
  std::string out;
  FILE* p = popen(command.c_str(), "r");
  if (!p) {
    if (status) *status = -1;
    return out;
  }
  char buf[4096];
  std::size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  int rc = pclose(p);
  if (status) *status = rc;
  return out;
}

namespace {

std::optional<std::filesystem::path> unpack(const std::filesystem::path& gz, const std::string& name) {
  static std::mutex m;
  std::lock_guard lock(m);
  std::error_code ec;
  if (!std::filesystem::exists(gz, ec)) return std::nullopt;
  auto dir = binary_dir() / "images";
  std::filesystem::create_directories(dir, ec);
  auto out = dir / name;
  auto stamp = dir / (name + ".ok");
  if (std::filesystem::exists(stamp, ec) &&
      std::filesystem::last_write_time(stamp, ec) >= std::filesystem::last_write_time(gz, ec))
    return out;
  // Unpack under a temporary name and rename: tests run in parallel
  // processes, and a reader must never see a half-written image.
  auto tmp = dir / (name + ".tmp." + std::to_string(::getpid()));
  std::string cmd = "gzip -dc '" + gz.string() + "' | cp --sparse=always /dev/stdin '" + tmp.string() +
                    "' && mv -f '" + tmp.string() + "' '" + out.string() + "' && touch '" + stamp.string() + "'";
  if (std::system(cmd.c_str()) != 0) return std::nullopt;
  return out;
}

}  // namespace

std::optional<std::filesystem::path> scenario_image(const std::string& name) {
  return unpack(source_dir() / "tests" / "data" / (name + ".img.gz"), name + ".img");
}

std::optional<std::filesystem::path> real_volume(const std::string& name) {
  return unpack(source_dir().parent_path() / "shared" / "real-volumes" / (name + ".raw.gz"), name + ".raw");
}

}  // namespace quillon::test
