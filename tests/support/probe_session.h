// Probe sessions on the platform a test installed (an image, or memory):
// the volume opened as the probe opens it, and the searches that take the
// probe's volume run on one opened for the call.
#pragma once

#include <optional>
#include <string_view>

#include "engine/phased_scan.h"
#include "engine/windows/ntfs_logfile.h"
#include "engine/windows/probe_volume.h"
#include "engine/windows/scope_build.h"
#include "engine/windows/usn_deleted.h"
#include "platform/platform.h"

namespace quillon::test {

inline ProbeVolume probe_volume(char letter = 'E') { return open_probe_volume(platform::current(), letter); }

// The folder tree of `folder`, nothing on any failure.
inline std::optional<ScopeContext> scope_on(std::string_view folder, char letter = 'E') {
  ProbeVolume volume = probe_volume(letter);
  return build_scope(folder, volume);
}

// The MFT half over `scope` as the probe runs it, on a volume opened for the call.
inline ScanResult scan_on(ScopeContext scope, char letter, Duration limit, const UsnHints* hints,
                          const ScanOptions& options, const Progress& progress) {
  ProbeVolume volume = probe_volume(letter);
  if (!volume.reader) return fail(volume.reader.error());
  if (!volume.mft) return fail(volume.mft.error());
  ScanSession session(scope, *volume.reader, *volume.mft, options, limit, hints, progress, volume.access());
  return run_phased_scan(session);
}

// The journal search over `scope` on a volume opened for the call.
inline Result<UsnSearchResult> journal_on(UsnScope scope, char letter = 'E') {
  ProbeVolume volume = probe_volume(letter);
  scope.volume = &volume;
  return find_deleted_via_usn(scope);
}

inline Result<LogPart> logfile_tail_on(char letter = 'E') {
  ProbeVolume volume = probe_volume(letter);
  if (!volume.reader) return fail(volume.reader.error());
  if (!volume.mft) return fail(volume.mft.error());
  return read_logfile_tail(*volume.reader, *volume.mft);
}

}  // namespace quillon::test
