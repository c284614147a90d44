#include "platform/platform.h"

#include <mutex>

#include "common/bytes.h"

namespace quillon::platform {

std::uint64_t FileIdInfo::low64() const { return load_le<std::uint64_t>(file_id.data()); }

namespace {
std::unique_ptr<Platform>& slot() {
  static std::unique_ptr<Platform> instance;
  return instance;
}
std::mutex& slot_mutex() {
  static std::mutex m;
  return m;
}
}  // namespace

Platform& current() {
  std::lock_guard lock(slot_mutex());
  auto& p = slot();
  if (!p) p = make_native_platform();
  return *p;
}

std::unique_ptr<Platform> install(std::unique_ptr<Platform> platform) {
  std::lock_guard lock(slot_mutex());
  auto previous = std::move(slot());
  slot() = std::move(platform);
  return previous;
}

Result<std::string> canonical_path(Platform& p, std::string_view path) {
  auto full = p.full_path_name(path);
  if (!full) return fail(full.error());
  auto handle = p.open_path(*full);
  if (!handle) return fail(handle.error());
  return (*handle)->final_path_name();
}

void print(std::string_view utf8) { current().write_output(utf8); }

}  // namespace quillon::platform
