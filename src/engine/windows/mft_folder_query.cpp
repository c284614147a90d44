#include "engine/windows/mft_folder_query.h"

#include <limits>

#include "datasource/windows/volume.h"
#include "engine/windows/raw_mft.h"

namespace quillon {

namespace {

constexpr std::uint64_t kBelow = 4096;
constexpr std::uint64_t kAbove = 0x8000;
constexpr std::uint64_t kBlock = 256;  // records per read of the range scan

void add_record_lines(MftFolderReport& report, Bytes rec, std::uint64_t n, const FrnSet& dirs) {
  const bool file = rec.size() >= 24 && is_file_record(rec);
  const bool in_use = !file || record_in_use(rec);
  if (!in_use) ++report.free_count;
  for (const auto& e : file_names_under(rec, dirs))
    report.lines.push_back("FRN " + std::to_string(n) + " (" + (in_use ? "in_use" : "free") + ") name=" + e.name +
                           " size=" + std::to_string(e.size));
}

}  // namespace

Result<MftFolderReport> query_mft_folder(platform::Platform& system, std::string_view folder) {
  MftFolderReport report;
  auto letter = drive_letter_of(system, folder);
  if (!letter) return report;
  auto id = folder_frn(system, folder);
  if (!id) return fail(id.error());
  report.dir_record = id->record;
  report.dir_ref = id->file_id;
  auto reader = open_volume(system, *letter);
  if (!reader) return fail(Error::generic("Cannot open volume"));
  auto volume = query_volume_data(*reader);
  if (!volume) return fail(volume.error());
  // Geometry (with the $MFT's runs) and bitmap, read once for the query.
  const MftContext ctx = load_mft_context(*reader, *volume);

  const std::uint64_t r = id->record;
  report.range_start = r < kBelow ? 0 : r - kBelow;
  report.range_end = r > std::numeric_limits<std::uint64_t>::max() - kAbove ? std::numeric_limits<std::uint64_t>::max()
                                                                             : r + kAbove;
  const FrnSet dirs{r, id->file_id};

  auto own = fetch_record(ctx, *reader, id->file_id);
  if (!own) own = fetch_record(ctx, *reader, r);
  if (own) {
    for (const auto& e : index_root_entries(*own, dirs, r, false))
      report.lines.push_back("Indexed FRN " + std::to_string(e.record) + (e.name ? " name=" + *e.name : ""));
  }

  // The range is read in blocks; a block that cannot be read whole (the end
  // of the volume inside it) is read again record by record, so that every
  // readable record is seen.
  const std::uint32_t size = ctx.record_size();
  for (std::uint64_t n = report.range_start; n < report.range_end;) {
    const std::uint64_t count = std::min(kBlock, report.range_end - n);
    if (auto block = read_record_block(ctx.geometry, *reader, n, count)) {
      for (std::uint64_t i = 0; i < count; ++i) {
        Bytes rec = Bytes(*block).subspan(i * size, size);
        if (has_record_signature(rec)) add_record_lines(report, rec, n + i, dirs);
      }
    } else {
      for (std::uint64_t i = 0; i < count; ++i)
        if (auto rec = read_record_raw(ctx.geometry, *reader, n + i)) add_record_lines(report, *rec, n + i, dirs);
    }
    n += count;
  }
  return report;
}

std::string format_mft_folder_report(const MftFolderReport& report) {
  std::string out = "MFT  Scanned FRN " + std::to_string(report.range_start) + ".." +
                    std::to_string(report.range_end) + "  FreeRecords=" + std::to_string(report.free_count) +
                    "  ParentMatch=" + std::to_string(report.lines.size()) + " entries\n";
  if (report.lines.empty())
    out +=
        "     Note: no $FILE_NAME with parent dir = this folder in nearby MFT (slot reused, or recently deleted "
        "still IN_USE with path still existing \u2014 retry as admin right after Shift+Delete)\n";
  for (const auto& line : report.lines) out += "     " + line + "\n";
  return out;
}

}  // namespace quillon
