// The manifests of the scenario volumes (tests/data/<name>.manifest): what
// the generator created, deleted and wrote into each image, one
// tab-separated line per fact, the first field naming the kind of fact.
// Lines starting with '#' and blank lines are comments.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quillon::test {

// deleted  record seq parent size evidence kind name path
// `seq` is the sequence number the file had while it lived; its freed record
// holds seq + 1. `evidence` lists the sources that still name the file:
// "record" (its own FILE record), "journal", "logfile"; empty for "none".
struct ManifestDeleted {
  std::uint64_t record = 0;
  std::uint16_t seq = 0;
  std::uint64_t parent = 0;
  std::uint64_t size = 0;
  std::vector<std::string> evidence;
  bool directory = false;
  std::string name;
  std::string path;  // Windows form, E:\2\...
  bool has(std::string_view source) const;
};

// live  record seq parent size kind name path — must never be reported.
struct ManifestLive {
  std::uint64_t record = 0;
  std::uint16_t seq = 0;
  std::uint64_t parent = 0;
  std::uint64_t size = 0;
  bool directory = false;
  std::string name;
  std::string path;
};

// usn  usn major record seq parent parent_seq reason attributes name
// One record written to $Extend\$UsnJrnl:$J; `name` is empty for a V4
// (range-tracking) record, which carries none.
struct ManifestUsn {
  std::uint64_t usn = 0;
  unsigned major = 0;
  std::uint64_t record = 0;
  std::uint16_t seq = 0;
  std::uint64_t parent = 0;
  std::uint16_t parent_seq = 0;
  std::uint32_t reason = 0;
  std::uint32_t attributes = 0;
  std::string name;
};

// logfile  lsn redo_op undo_op record parent name
// One client record written to $LogFile. `record` is the FILE record the
// operation concerns (0 for no-op and forget records); operations 12 to 15
// carry an index entry, whose parent and name are given, the others parent
// 0 and an empty name.
struct ManifestLogRecord {
  std::uint64_t lsn = 0;
  unsigned redo_op = 0;
  unsigned undo_op = 0;
  std::uint64_t record = 0;
  std::uint64_t parent = 0;
  std::string name;
};

// Any other line, kept as its fields (short, reparse, reused, damage, ...).
struct ManifestLine {
  std::string kind;
  std::vector<std::string> fields;
};

struct Manifest {
  std::string name;
  std::map<std::string, std::string> volume;  // volume  key value
  std::vector<ManifestDeleted> deleted;
  std::vector<ManifestLive> live;
  std::vector<ManifestUsn> usn;
  std::vector<ManifestLogRecord> logfile;
  std::vector<ManifestLine> other;
  std::vector<std::string> errors;  // lines that did not parse, with their number

  // Byte offset of the volume inside the image (partitioned disks), else 0.
  std::uint64_t volume_offset() const;
  std::optional<std::uint64_t> volume_number(const std::string& key) const;
  std::vector<const ManifestLine*> lines(std::string_view kind) const;
};

Manifest parse_manifest(std::string_view text);
// tests/data/<name>.manifest, or nothing when absent.
std::optional<Manifest> load_manifest(const std::string& name);
// Names of every scenario with a manifest in tests/data, sorted.
std::vector<std::string> scenario_names();

// The path of a manifest item as The Sleuth Kit prints it: "E:\2\a" -> "2/a".
std::string tsk_path(std::string_view windows_path);

}  // namespace quillon::test
