#include "cli/report.h"

#include <algorithm>
#include <cstdint>
#include <string>

#include "common/text.h"
#include "engine/probe.h"
#include "engine/windows/mft_audit_line.h"
#include "engine/windows/recycle.h"
#include "platform/platform.h"

namespace quillon::cli {

namespace {

std::string failure_reason(const Error& e) {
  if (e.origin() == Error::Origin::os) {
    if (e.os_code() == win32::ERROR_ACCESS_DENIED || e.os_code() == win32::WSAEACCES) return "Access denied";
    return e.text();
  }
  if (e.kind() == ErrorKind::permission_denied) return "Access denied";
  return e.text();
}

}  // namespace

std::string journal_summary_line(const JournalSummary& r) {
  const std::uint64_t total = r.read_count > UINT64_MAX - r.enum_count ? UINT64_MAX : r.read_count + r.enum_count;
  if (total > 0) return "变更日志发现" + std::to_string(total) + "个删除记录";
  if (r.failure) return "读取删除日志失败:" + failure_reason(*r.failure);
  if (r.enum_error) return "读取删除日志失败:" + r.enum_error->text();
  if (r.read_error) return "读取删除日志失败:" + r.read_error->text();
  if (!r.first_usn || !r.next_usn) return "变更日志中暂无删除记录";
  return "变更日志中暂无删除记录，将继续扫描文件记录";
}

std::optional<std::string> mft_summary_line(const ProbeReport& report) {
  if (report.mft_error) return "MFT failed: " + report.mft_error->text();
  return report.mft_summary;
}

std::string format_report(const ProbeReport& report) {
  std::string out;
  for (const auto& note : report.notes) out += "Note: " + note + "\n";
  out += "USN: " + journal_summary_line(report.journal) + "\n";
  if (auto mft = mft_summary_line(report)) {
    out += "MFT: " + *mft + "\n";
    if (mft->find("LogFile=") != std::string::npos || mft->find("pending=") != std::string::npos)
      out +=
          "     (LogFile=recent delete txn; Pending=deferred MFT; Unconfirmed=USN hint not flushed; "
          "Cache=session MFT cache)\n";
  }
  out += "Total ";
  out += std::to_string(report.items.size());
  out += " paths (deduplicated by FRN|path)\n";
  for (const auto& item : report.items) {
    out += "  FRN ";
    out += std::to_string(item.frn);
    out += " parent ";
    out += std::to_string(item.parent_frn);
    out += " size ";
    out += std::to_string(item.size);
    if (item.time) {
      out += " time=";
      out += std::to_string(*item.time);
    }
    out += ' ';
    out += lossy_utf8(item.path);
    out += '\n';
  }
  if (report.items.empty()) out += "Hint: if just Shift+Deleted, run as Administrator\n";
  return out;
}

std::string facts_lines(const ProbeReport& report, std::uint64_t hidden_names) {
  std::string out;
  if (hidden_names)
    out += "Note: " + std::to_string(hidden_names) + (hidden_names == 1 ? " deleted name was" : " deleted names were") +
           " hidden as build or cache files (--all lists them)\n";
  if (!report.items.empty()) {
    std::uint64_t counts[4] = {};
    for (const auto& item : report.items) ++counts[static_cast<int>(recoverable(item))];
    out += "Recoverable now: " + std::to_string(counts[static_cast<int>(Recoverable::yes)]) + " yes, " +
           std::to_string(counts[static_cast<int>(Recoverable::partly)]) + " partly, " +
           std::to_string(counts[static_cast<int>(Recoverable::no)]) + " no, " +
           std::to_string(counts[static_cast<int>(Recoverable::unknown)]) + " unknown\n";
  }
  return out;
}

std::uint64_t hidden_names(const std::map<std::string, std::uint64_t>& drops) {
  std::uint64_t total = 0;
  for (const auto& [rule, count] : drops) total += count;
  return total;
}

std::string noise_line(const std::map<std::string, std::uint64_t>& drops, bool keep_all) {
  if (keep_all) return "Noise filter: off (--all), every name kept\n";
  std::uint64_t total = 0;
  std::string detail;
  for (const auto& [rule, count] : drops) {
    total += count;
    detail += (detail.empty() ? "" : ", ") + rule + " " + std::to_string(count);
  }
  if (total == 0) return "Noise filter dropped: no names\n";
  return "Noise filter dropped: " + std::to_string(total) + (total == 1 ? " name (" : " names (") + detail +
         "); --all keeps them\n";
}

ReportOutcome run_report(std::string_view folder, const ReportOptions& options, const Emit& emit) {
  const bool text = options.format == Format::text;
  Progress progress = text && !options.quiet ? Progress(emit, journal_summary_line) : Progress([](std::string_view) {});
  clear_noise_drops();
  auto report = probe_folder(platform::current(), folder, Duration{60, 0}, progress);
  ReportContext context = options.context;
  context.noise_drops = noise_drops();
  if (!report) {
    const std::string error = lossy_utf8(report.error().text());
    emit(options.format == Format::json ? format_json_error(error, context) : "Error: " + error + "\n");
    return ReportOutcome::probe_failed;
  }
  // The names the noise filter dropped are candidates the audit counts as
  // filtered, beside those found outside the folder.
  const std::uint64_t hidden = hidden_names(context.noise_drops);
  if (report->audit && hidden) {
    report->audit->filtered_cross_dir = static_cast<std::uint32_t>(
        std::min<std::uint64_t>(std::uint64_t{report->audit->filtered_cross_dir} + hidden, UINT32_MAX));
    report->mft_summary = format_audit_line(*report->audit);
  }
  switch (options.format) {
    case Format::text:
      emit(format_report(*report));
      emit(facts_lines(*report, hidden));
      if (options.noise_line) emit(noise_line(context.noise_drops, context.keep_all));
      break;
    case Format::csv: emit(format_csv(*report)); break;
    case Format::json: emit(format_json(*report, context)); break;
    case Format::bodyfile: emit(format_bodyfile(*report)); break;
  }
  return ReportOutcome::written;
}

void run_report(std::string_view folder) {
  run_report(folder, ReportOptions{}, [](std::string_view s) { platform::print(s); });
}

}  // namespace quillon::cli
