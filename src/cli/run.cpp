#include "cli/run.h"

#include <charconv>
#include <cstdint>
#include <mutex>

#include "cli/args.h"
#include "cli/report.h"
#include "common/text.h"
#include "datasource/windows/volume.h"
#include "engine/windows/mft_folder_query.h"
#include "engine/windows/usn_deleted.h"
#include "engine/windows/recycle.h"
#include "platform/collection/collection_platform.h"
#include "platform/image/image_platform.h"
#include "platform/platform.h"

namespace quillon::cli {

namespace {

using platform::print;


void debug_usn_query(const std::string& folder, const Emit& emit) {
  auto r = usn_debug_query(platform::current(), folder);
  if (!r) {
    emit("USN query failed: " + r.error().text() + "\n");
    return;
  }
  emit("USN  Dir FRN=" + std::to_string(r->dir_record) + " ref=0x" + hex_lower(r->dir_ref) + "  Journal " +
        std::to_string(r->first_usn) + ".." + std::to_string(r->next_usn) + "\n");
  emit("     Parsed=" + std::to_string(r->parsed) + "  DeleteReason=" + std::to_string(r->delete_reason) +
        "  ParentMatch=" + std::to_string(r->parent_match) + "  Accepted=" + std::to_string(r->accepted) +
        "  UnpairedV4=" + std::to_string(r->unpaired_v4) + "\n");
  if (r->parent_match == 0 && r->parsed != 0)
    emit(
        "     Note: no delete records with 'parent dir = this folder' in current USN journal segment (journal "
        "advances with other writes on E:, old Shift+Delete entries may be overwritten)\n");
}

void debug_mft_query(const std::string& folder, const Emit& emit) {
  auto report = query_mft_folder(platform::current(), folder);
  if (!report) {
    emit("MFT query failed: " + report.error().text() + "\n");
    return;
  }
  emit(format_mft_folder_report(*report));
}

ReportOutcome debug_run(const std::string& folder, const std::string& note, const ReportOptions& options,
                        const Emit& emit) {
  auto meta = platform::current().metadata(folder);
  if (!meta || !meta->is_directory) {
    emit("Warning: \"" + folder + "\" is not a valid directory\n");
    emit("  quillon --debug \"E:\\vale\"\n");
  }
  emit("=== Debug: " + folder + " ===\n\n");
  emit(note);
  // The queries resolve the folder as the probe does (any spelling of one
  // folder counts the same records).
  const std::string resolved = typed_drive_letter(folder) ? canonical_folder(platform::current(), folder) : folder;
  debug_usn_query(resolved, emit);
  debug_mft_query(resolved, emit);
  emit("\n=== Recoverable items in this folder (USN + MFT merged) ===\n\n");
  return run_report(folder, options, emit);
}

ReportOutcome normal_run(const std::string& folder, const std::string& note, const ReportOptions& options,
                         const Emit& emit) {
  emit("Probing NTFS deleted under: " + folder + "\n");
  if (is_volume_root(folder))
    emit("Note: volume root won't list Shift+Delete inside subfolders; use a specific path, e.g. E:\\vale\n");
  emit(
      "Hint: only lists Shift+Delete in this folder and subfolders (parent dir FRN within directory tree "
      "scope)\n");
  emit(note);
  return run_report(folder, options, emit);
}

std::optional<std::uint64_t> parse_number(std::string_view t) {
  std::uint64_t v = 0;
  int base = 10;
  if (t.starts_with("0x") || t.starts_with("0X")) {
    base = 16;
    t.remove_prefix(2);
  }
  if (t.empty()) return std::nullopt;
  auto [p, ec] = std::from_chars(t.data(), t.data() + t.size(), v, base);
  if (ec != std::errc() || p != t.data() + t.size()) return std::nullopt;
  return v;
}

// Bytes, or 512-byte sectors with a trailing 's' as mmls prints them.
std::optional<std::uint64_t> parse_offset(std::string_view t) {
  constexpr std::uint64_t kSector = 512;
  if (t.size() > 1 && (t.back() == 's' || t.back() == 'S') && !t.starts_with("0x") && !t.starts_with("0X")) {
    auto sectors = parse_number(t.substr(0, t.size() - 1));
    if (!sectors || *sectors > UINT64_MAX / kSector) return std::nullopt;
    return *sectors * kSector;
  }
  return parse_number(t);
}

std::optional<unsigned> parse_partition(std::string_view t) {
  unsigned v = 0;
  auto [p, ec] = std::from_chars(t.data(), t.data() + t.size(), v);
  if (t.empty() || ec != std::errc() || p != t.data() + t.size() || v == 0 || v > 1024) return std::nullopt;
  return v;
}

// The image platform for --image, or the error line's text.
std::optional<std::string> install_image(const Options& o, std::vector<std::string>& notes,
                                         platform::ImageFacts& facts) {
  platform::ImageOptions io;
  io.file = *o.image;
  io.letter = typed_drive_letter(o.folder).value_or('E');
  if (o.image_offset && o.partition) return "--offset and --partition name the volume twice; give one of them";
  if (o.image_offset) {
    io.offset = parse_offset(*o.image_offset);
    if (!io.offset)
      return "--offset wants a byte offset (or sectors, as in 2048s), not \"" + *o.image_offset + "\"";
  }
  if (o.partition) {
    auto number = parse_partition(*o.partition);
    if (!number) return "--partition wants a partition number from 1, not \"" + *o.partition + "\"";
    auto offset = platform::partition_offset(io.file, *number);
    if (!offset) return offset.error().text();
    io.offset = *offset;
  }
  auto image = platform::open_image_platform(io, &notes, &facts);
  if (!image) return image.error().text();
  platform::install(std::move(*image));
  return std::nullopt;
}

// The collection platform for --mft, or the error line's text.
std::optional<std::string> install_collection(const Options& o, std::vector<std::string>& notes) {
  platform::CollectionOptions co{{*o.mft, o.usnjrnl, o.logfile, o.bitmap}, typed_drive_letter(o.folder).value_or('E')};
  auto collection = platform::open_collection_platform(co, &notes);
  if (!collection) return collection.error().text();
  platform::install(std::move(*collection));
  return std::nullopt;
}

}  // namespace

std::string usage_text() {
  return "quillon " QUILLON_VERSION
         " - lists what was recently deleted from an NTFS folder tree and is still recoverable\n"
         "\n"
         "Usage: quillon [--debug] [--quiet] [--all] [--format=FORMAT] [--output=FILE]\n"
         "               [--image=FILE [--offset=BYTES | --partition=N]]\n"
         "               [--mft=FILE [--usnjrnl=FILE] [--logfile=FILE] [--bitmap=FILE]] [FOLDER]\n"
         "\n"
         "  FOLDER           the folder to probe, with its drive letter (default E:\\2)\n"
         "  --debug          print the raw journal and MFT counters around the folder first\n"
         "  --image=FILE     examine an NTFS image (a bare volume, or a disk with an MBR or GPT\n"
         "                   partition table: its first NTFS partition) instead of a live volume;\n"
         "                   the image stands for the drive letter of FOLDER\n"
         "  --offset=BYTES   with --image: the volume starts at this byte offset of the image\n"
         "                   (decimal, hexadecimal with 0x, or 512-byte sectors as in 2048s,\n"
         "                   the unit mmls prints), for disks with several volumes\n"
         "  --partition=N    with --image: the volume is partition N of the disk's MBR or GPT\n"
         "                   (numbered as Linux does: 1-4 primary, 5 on logical; GPT from 1)\n"
         "  --mft=FILE       examine a triage collection instead: a copy of the volume's $MFT,\n"
         "                   with the copies of $UsnJrnl:$J (--usnjrnl), $LogFile (--logfile)\n"
         "                   and $Bitmap (--bitmap) when there are; it stands for the drive\n"
         "                   letter of FOLDER\n"
         "  --format=FORMAT  text (the default), csv, json, or bodyfile (for mactime); in the\n"
         "                   last three only the report is written, with times in UTC and\n"
         "                   the searches that found each item, what each item is and how\n"
         "                   much of it can come back; a failure there ends with exit status\n"
         "                   2 (command line), 3 (image), 4 (folder) or 5 (--output)\n"
         "  --output=FILE    write to FILE, created new (never over an existing file, never\n"
         "                   on the volume being examined)\n"
         "  --quiet          no progress lines\n"
         "  --all            keep every name (the noise filter of build and cache artefacts off)\n"
         "  --help, -h, -?   print this text\n"
         "  --version        print the version\n"
         "\n"
         "Switches that take a value accept it after '=' or as the next argument.\n"
         "\n"
         "Each item lists its file reference number, its parent directory's, its size, its\n"
         "time (raw FILETIME) when known, and its rebuilt path. quillon only reads: it never\n"
         "writes to the volume or the image and never restores anything. On Windows it needs\n"
         "an administrator console to open the raw volume.\n";
}

namespace {

// Why the report may not be written to `path`, or nothing. The file is
// created new and never replaces one; and it never goes onto the volume
// being examined, where it could overwrite what is to be recovered.
std::optional<std::string> output_refusal(const std::string& path, const Options& o) {
  if (path.empty()) return "--output wants a file name";
  if (platform::native_file_exists(path)) return "--output: " + path + " already exists; quillon never writes over a file";
  if (!o.image && !o.mft) {
    // A live volume: the file's drive must not be the folder's.
    auto folder = typed_drive_letter(o.folder);
    auto full = platform::current().full_path_name(path);
    auto target = full ? typed_drive_letter(*full) : typed_drive_letter(path);
    if (folder && target && *folder == *target)
      return "--output: " + path + " lies on the volume being examined (" + std::string(1, *folder) +
             ":); write it to another drive";
  }
  return std::nullopt;
}

// How one run of a machine format ends when something fails: its exit
// status and its one error, written where a script finds it. The text
// format prints the error line and ends with 0 as it always has.
class Failure {
 public:
  Failure(const Options& o, std::optional<Format> format) : o_(o), format_(format) {}

  void set_context(const ReportContext& context) { context_ = context; }
  // The --output file may take the error object (it was not refused).
  void allow_output() { output_allowed_ = true; }

  int operator()(ExitStatus status, const std::string& message) const {
    if (!format_ || *format_ == Format::text) {
      print("Error: " + message + "\n");
      return format_ ? 0 : static_cast<int>(status);
    }
    if (*format_ != Format::json) {
      // Never a half-made CSV or body file: no file is made, and the error
      // is one line on standard output.
      print("Error: " + message + "\n");
      return static_cast<int>(status);
    }
    ReportContext context = context_;
    if (context.folder.empty()) context.folder = o_.folder;
    const std::string body = format_json_error(lossy_utf8(message), context);
    if (!(o_.output && output_allowed_ && platform::write_new_native_file(*o_.output, body))) print(body);
    return static_cast<int>(status);
  }

 private:
  const Options& o_;
  std::optional<Format> format_;  // nothing: the --format value itself is wrong
  ReportContext context_;
  bool output_allowed_ = false;
};

}  // namespace

// Where a run's output goes: text as it was printed (or into the --output
// file); a machine report whole, to standard output or the file, a failed
// probe's CSV or body file never made. Returns the exit status.
int deliver(const Options& o, std::optional<Format> format, const ReportOptions& options, const std::string& buffer,
            bool failed) {
  if (options.format == Format::text) {
    if (o.output)
      if (auto written = platform::write_new_native_file(*o.output, buffer); !written)
        print("Error: --output: cannot write " + *o.output + ": " + written.error().text() + "\n");
    return 0;
  }
  const int status = static_cast<int>(failed ? ExitStatus::probe_failed : ExitStatus::ok);
  // A failed probe's CSV or body file is never made: its error line goes to
  // standard output; JSON's error object goes to the file like a report.
  if (!o.output || (failed && options.format != Format::json)) {
    print(buffer);
    return status;
  }
  if (auto written = platform::write_new_native_file(*o.output, buffer); !written) {
    if (failed) {
      print(buffer);
      return status;
    }
    Failure to_stdout(o, format);  // the file cannot take the error either
    to_stdout.set_context(options.context);
    return to_stdout(ExitStatus::output_refused,
                     "--output: cannot write " + *o.output + ": " + written.error().text());
  }
  return status;
}

// The switches that do not go together, or with what they need; nothing
// when all is well.
std::optional<std::string> switch_misuse(const Options& o) {
  if (o.missing_value) return *o.missing_value + " wants a value";
  if (!o.image && (o.image_offset || o.partition))
    return std::string(o.partition ? "--partition" : "--offset") + " works with --image only";
  if (!o.mft && (o.usnjrnl || o.logfile || o.bitmap))
    return std::string(o.usnjrnl ? "--usnjrnl" : o.logfile ? "--logfile" : "--bitmap") + " works with --mft only";
  if (o.mft && o.image) return std::string("--mft and --image name two sources; give one of them");
  return std::nullopt;
}

// The probe and its report. With --output everything the run would print
// goes to the file, written once at the end; the paged scan's workers may
// report progress, so the buffer takes one call at a time. A machine report
// is held back until it is whole, so that a failure leaves nothing half-made
// behind.
int run_probe(const Options& o, std::optional<Format> format, const ReportOptions& options, const std::string& note) {
  std::string buffer;
  std::mutex buffer_mutex;
  Emit emit = [](std::string_view text) { print(text); };
  const bool machine = options.format != Format::text;
  if (o.output || machine)
    emit = [&](std::string_view text) {
      std::lock_guard lock(buffer_mutex);
      buffer += text;
    };
  if (!machine)
    for (const auto& n : options.context.notes) emit("Note: " + n + "\n");
  ReportOutcome outcome;
  if (machine)
    outcome = run_report(o.folder, options, emit);  // the report alone, no opening lines
  else if (o.debug)
    outcome = debug_run(o.folder, note, options, emit);
  else
    outcome = normal_run(o.folder, note, options, emit);
  return deliver(o, format, options, buffer, outcome == ReportOutcome::probe_failed);
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
  // The format is known first, so that every failure after it is reported
  // in the way the chosen format wants.
  std::optional<Format> format = Format::text;
  if (o.format) format = parse_format(*o.format);
  if (o.missing_value && *o.missing_value == "--format") format = std::nullopt;
  Failure failure(o, format);
  if (!format && o.format)
    return failure(ExitStatus::usage, "--format wants text, csv, json or bodyfile, not \"" + *o.format + "\"");
  if (auto misuse = switch_misuse(o)) return failure(ExitStatus::usage, *misuse);
  ReportOptions options;
  options.format = *format;
  if (o.output) {
    if (auto refusal = output_refusal(*o.output, o)) return failure(ExitStatus::output_refused, *refusal);
    failure.allow_output();
  }
  std::vector<std::string> notes;  // what was read from the volume's spare copies
  platform::ImageFacts facts;
  if (o.image)
    if (auto error = install_image(o, notes, facts)) return failure(ExitStatus::image_not_opened, *error);
  if (o.mft)
    if (auto error = install_collection(o, notes)) return failure(ExitStatus::image_not_opened, *error);
  set_keep_all_names(o.all);
  options.quiet = o.quiet;
  options.noise_line = o.debug;
  options.context.folder = o.folder;
  options.context.keep_all = o.all;
  options.context.volume_bytes = facts.volume_bytes;
  options.context.missing_bytes = facts.volume_bytes - facts.present_bytes;
  options.context.notes = notes;
  failure.set_context(options.context);
  const std::string note = platform::missing_volume_note(facts);  // what the run cannot see of the volume
  return run_probe(o, format, options, note);
}


}  // namespace quillon::cli
