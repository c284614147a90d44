#include "engine/windows/probe_volume.h"

namespace quillon {

ProbeVolume open_probe_volume(platform::Platform& system, char letter) {
  ProbeVolume v;
  v.system = &system;
  v.letter = letter;
  v.reader = open_volume(system, letter);
  if (v.reader)
    v.mft = load_mft_context(*v.reader);
  else
    v.mft = std::unexpected(v.reader.error());
  v.live = open_volume_root(system, letter);
  return v;
}

}  // namespace quillon
