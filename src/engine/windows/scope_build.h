// The directory scope of a probed folder tree: every directory found below
// the folder on the live file system and in the MFT's directory indexes
// (deleted directories included), by record number, with the map that turns
// a parent chain back into a path.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

#include "common/error.h"
#include "datasource/windows/volume.h"
#include "engine/windows/probe_volume.h"
#include "engine/windows/raw_mft.h"
#include "engine/model.h"
#include "engine/windows/scope.h"

namespace quillon {

// The folder's id read from the MFT alone, for a folder the file system
// cannot open because an index on its path is damaged: from the root down,
// the in-use directory record whose $FILE_NAME names the next component
// under the record found so far (names compared case-insensitively).
Result<FolderId> folder_frn_from_mft(std::string_view folder, const MftContext& mft, VolumeReader& reader);
// A folder that no longer exists: below its nearest live ancestor, each
// further name is looked up among the MFT's directory records, freed ones
// included (a freed one under a live folder must carry the sequence that
// folder has; under a freed one, its lived or freed sequence). The newest
// freed folder of a name wins over older ones.
Result<ProbeRoot> deleted_folder_from_mft(platform::Platform& system, std::string_view folder, const MftContext& mft,
                                          VolumeReader& reader);
// True for the errors of a path the file system cannot find (not for one it
// refuses): those after which the MFT is asked.
bool path_not_found(const Error& e);

// Breadth-first walk from `folder` over the live listing and each directory's
// $INDEX_ROOT, then a second index pass (all entries of deleted directories).
// Fails only when the folder's own file id cannot be read (nor found through
// the MFT). `known` is the folder already resolved, when the caller holds it.
// The walk has no bound on the number of folders or their depth; `deadline`,
// when given, stops it (the scope then says it was cut).
Result<ScopeContext> collect_scope(platform::Platform& system, std::string_view folder, const MftContext& mft,
                                   VolumeReader& reader, const ProbeRoot* known = nullptr,
                                   const TimeBudget* deadline = nullptr);

// The scope on the probe's volume; nothing on any failure.
std::optional<ScopeContext> build_scope(std::string_view folder, ProbeVolume& volume,
                                        const ProbeRoot* known = nullptr, const TimeBudget* deadline = nullptr);

}  // namespace quillon
