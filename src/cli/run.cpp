#include "cli/run.h"

#include <charconv>

#include "cli/args.h"
#include "cli/report.h"
#include "common/text.h"
#include "datasource/windows/volume.h"
#include "engine/windows/mft_folder_query.h"
#include "engine/windows/usn_deleted.h"
#include "engine/windows/recycle.h"
#include "platform/image/image_platform.h"
#include "platform/platform.h"

namespace quillon::cli {

namespace {

using platform::print;

void debug_usn_query(const std::string& folder) {
  auto r = usn_debug_query(folder);
  if (!r) {
    print("USN query failed: " + r.error().text() + "\n");
    return;
  }
  print("USN  Dir FRN=" + std::to_string(r->dir_record) + " ref=0x" + hex_lower(r->dir_ref) + "  Journal " +
        std::to_string(r->first_usn) + ".." + std::to_string(r->next_usn) + "\n");
  print("     Parsed=" + std::to_string(r->parsed) + "  DeleteReason=" + std::to_string(r->delete_reason) +
        "  ParentMatch=" + std::to_string(r->parent_match) + "  Accepted=" + std::to_string(r->accepted) +
        "  UnpairedV4=" + std::to_string(r->unpaired_v4) + "\n");
  if (r->parent_match == 0 && r->parsed != 0)
    print(
        "     Note: no delete records with 'parent dir = this folder' in current USN journal segment (journal "
        "advances with other writes on E:, old Shift+Delete entries may be overwritten)\n");
}

void debug_mft_query(const std::string& folder) {
  auto report = query_mft_folder(folder);
  if (!report) {
    print("MFT query failed: " + report.error().text() + "\n");
    return;
  }
  print(format_mft_folder_report(*report));
}

void debug_run(const std::string& folder) {
  auto meta = platform::current().metadata(folder);
  if (!meta || !meta->is_directory) {
    print("Warning: \"" + folder + "\" is not a valid directory\n");
    print("  quillon --debug \"E:\\vale\"\n");
  }
  print("=== Debug: " + folder + " ===\n\n");
  debug_usn_query(folder);
  debug_mft_query(folder);
  print("\n=== Recoverable items in this folder (USN + MFT merged) ===\n\n");
  run_report(folder);
}

void normal_run(const std::string& folder) {
  print("Probing NTFS deleted under: " + folder + "\n");
  if (is_volume_root(folder))
    print("Note: volume root won't list Shift+Delete inside subfolders; use a specific path, e.g. E:\\vale\n");
  print(
      "Hint: only lists Shift+Delete in this folder and subfolders (parent dir FRN within directory tree "
      "scope)\n");
  run_report(folder);
}

std::optional<std::uint64_t> parse_offset(const std::string& text) {
  std::uint64_t v = 0;
  int base = 10;
  std::string_view t = text;
  if (t.starts_with("0x") || t.starts_with("0X")) {
    base = 16;
    t.remove_prefix(2);
  }
  if (t.empty()) return std::nullopt;
  auto [p, ec] = std::from_chars(t.data(), t.data() + t.size(), v, base);
  if (ec != std::errc() || p != t.data() + t.size()) return std::nullopt;
  return v;
}

}  // namespace

std::string usage_text() {
  return "quillon " QUILLON_VERSION
         " - lists what was recently deleted from an NTFS folder tree and is still recoverable\n"
         "\n"
         "Usage: quillon [--debug] [--image=FILE [--offset=BYTES]] [FOLDER]\n"
         "\n"
         "  FOLDER          the folder to probe, with its drive letter (default E:\\2)\n"
         "  --debug         print the raw journal and MFT counters around the folder first\n"
         "  --image=FILE    examine an NTFS image (a bare volume, or a disk with an MBR or GPT\n"
         "                  partition table: its first NTFS partition) instead of a live volume;\n"
         "                  the image stands for the drive letter of FOLDER\n"
         "  --offset=BYTES  with --image: the volume starts at this byte offset of the image\n"
         "                  (decimal, or hexadecimal with 0x), for disks with several volumes\n"
         "  --help          print this text\n"
         "  --version       print the version\n"
         "\n"
         "Each item lists its file reference number, its parent directory's, its size, its\n"
         "time (raw FILETIME) when known, and its rebuilt path. quillon only reads: it never\n"
         "writes to the volume or the image and never restores anything. On Windows it needs\n"
         "an administrator console to open the raw volume.\n";
}

int run(const std::vector<std::string>& args) {
  Options o = parse_arguments(args);
  if (o.help) {
    print(usage_text());
    return 0;
  }
  if (o.version) {
    print("quillon " QUILLON_VERSION "\n");
    return 0;
  }
  if (o.image) {
    platform::ImageOptions io;
    io.file = *o.image;
    io.letter = drive_letter_for_path(o.folder).value_or('E');
    if (o.image_offset) {
      io.offset = parse_offset(*o.image_offset);
      if (!io.offset) {
        print("Error: --offset wants a byte offset, not \"" + *o.image_offset + "\"\n");
        return 0;
      }
    }
    std::vector<std::string> notes;
    auto image = platform::open_image_platform(io, &notes);
    for (const auto& n : notes) print("Note: " + n + "\n");
    if (!image) {
      print("Error: " + image.error().text() + "\n");
      return 0;
    }
    platform::install(std::move(*image));
  }
  if (o.debug)
    debug_run(o.folder);
  else
    normal_run(o.folder);
  return 0;
}

}  // namespace quillon::cli
