// What the volume harnesses share: the volume they start from, and what
// they do with the platform they opened: the live
// view's calls on a few paths of the test volumes, and the engine's own
// reading of the volume (the $MFT's runs and bitmap, the folder's scope and
// the search of a folder through the MFT).
#pragma once

#include <cstdlib>
#include <string>

#include "datasource/windows/volume.h"
#include "engine/windows/raw_mft.h"
#include "engine/windows/scope_build.h"
#include "platform/platform.h"

namespace quillon::fuzz {

// The volume the harnesses start from: $QUILLON_FUZZ_IMAGE, else the one
// the build names.
inline std::string base_volume_path() {
  const char* env = std::getenv("QUILLON_FUZZ_IMAGE");
#ifdef QUILLON_FUZZ_DEFAULT_IMAGE
  return env ? env : QUILLON_FUZZ_DEFAULT_IMAGE;
#else
  return env ? env : "";
#endif
}

inline void exercise_volume() {
  auto& p = platform::current();
  for (const char* path : {"E:\\2", "E:\\2\\Projects", "E:\\Documents", "E:\\"}) {
    (void)p.metadata(path);
    if (auto h = p.open_path(path)) {
      (void)(*h)->file_id_info();
      (void)(*h)->final_path_name();
      (void)(*h)->reference_alive(0x0001000000000040ULL);
    }
    if (auto list = p.list_directory(path))
      for (const auto& e : *list) (void)p.metadata(std::string(path) + "\\" + e.name);
  }
  auto reader = open_volume(platform::current(), 'E');
  if (!reader) return;
  auto mft = load_mft_context(*reader);
  if (!mft) return;
  (void)collect_scope(platform::current(), "E:\\2", *mft, *reader);
  (void)folder_frn_from_mft("E:\\2\\Projects", *mft, *reader);
}

}  // namespace quillon::fuzz
