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
#include "engine/windows/scope.h"

namespace quillon {

// The scope stops growing once it holds this many directories.
inline constexpr std::size_t kMaxScopeDirs = 4096;
// Directories at this depth or deeper are not listed, and index entries are
// not queued at it.
inline constexpr std::uint32_t kMaxScopeDepth = 64;

// The folder's id read from the MFT alone, for a folder the file system
// cannot open because an index on its path is damaged: from the root down,
// the in-use directory record whose $FILE_NAME names the next component
// under the record found so far (names compared case-insensitively).
Result<FolderId> folder_frn_from_mft(std::string_view folder, const MftContext& mft, VolumeReader& reader);
// True for the errors of a path the file system cannot find (not for one it
// refuses): those after which the MFT is asked.
bool path_not_found(const Error& e);

// Breadth-first walk from `folder` over the live listing and each directory's
// $INDEX_ROOT, then a second index pass (all entries of deleted directories).
// Fails only when the folder's own file id cannot be read (nor found through
// the MFT). `known` is the folder already resolved, when the caller holds it.
Result<ScopeContext> collect_scope(std::string_view folder, const MftContext& mft, VolumeReader& reader,
                                   const ProbeRoot* known = nullptr);

// The scope on the probe's volume; nothing on any failure.
std::optional<ScopeContext> build_scope(std::string_view folder, ProbeVolume& volume,
                                        const ProbeRoot* known = nullptr);
// The same on a volume opened for the call.
std::optional<ScopeContext> build_scope(std::string_view folder, char letter);

}  // namespace quillon
