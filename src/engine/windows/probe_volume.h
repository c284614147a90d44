// One probe's volume: opened once, its MFT context (geometry, run list,
// bitmap) read once, and the handle on its root through which records are
// opened by id. Every search of the probe on the probing thread reads
// through it; each paged-scan worker opens a reader of its own.
#pragma once

#include <memory>
#include <string>

#include "common/error.h"
#include "datasource/windows/volume.h"
#include "engine/windows/raw_mft.h"
#include "engine/windows/scope.h"
#include "platform/platform.h"

namespace quillon {

// What a search needs of the volume beyond its reader: the system it was
// opened through (the paged scan's workers open it again there, by letter)
// and the handle on its root through which records are opened by id (may be
// null: no liveness query).
struct VolumeAccess {
  platform::Platform* system = nullptr;
  char letter = 'E';
  std::shared_ptr<platform::FileHandle> live;
};

struct ProbeVolume {
  // The system the volume was opened through: every search of the probe
  // asks it, never a platform of its own.
  platform::Platform* system = nullptr;
  char letter = 0;
  // Each search reports a failure in its own words, so the errors are kept.
  Result<VolumeReader> reader = std::unexpected(Error::generic("volume not opened"));
  Result<MftContext> mft = std::unexpected(Error::generic("volume not opened"));
  std::shared_ptr<platform::FileHandle> live;  // may be null (no liveness query)

  VolumeAccess access() const { return {system, letter, live}; }
};

// The probed folder, resolved once: paths are built from `path`, and
// containment in it is a string test against `form`.
struct ProbeRoot {
  std::string path;
  FolderId id;
  std::string form;  // root_comparison_form(path)
  // The file system could not open it (a damaged index on its path); its id
  // came from the MFT, which also holds its tree.
  bool through_mft = false;
  // It no longer exists: its id is that of its freed record (the sequence
  // it lived with), found below its nearest live ancestor.
  bool deleted = false;
  DirEntry deleted_entry;  // its name, parent and sequence, when deleted
};

// Opens the volume of `letter` through `system`, reads its MFT context and
// opens its root.
ProbeVolume open_probe_volume(platform::Platform& system, char letter);

}  // namespace quillon
