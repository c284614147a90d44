#include "cli/report.h"

#include <string>

#include "common/text.h"
#include "engine/probe.h"
#include "platform/platform.h"

namespace quillon::cli {

std::string format_report(const ProbeReport& report) {
  std::string out = "USN: " + report.usn_summary + "\n";
  if (report.mft_summary) {
    out += "MFT: " + *report.mft_summary + "\n";
    if (report.mft_summary->find("LogFile=") != std::string::npos ||
        report.mft_summary->find("pending=") != std::string::npos)
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

void run_report(std::string_view folder) {
  Progress progress;
  auto report = probe_folder(folder, Duration{60, 0}, progress);
  if (!report) {
    platform::print("Error: " + lossy_utf8(report.error().text()) + "\n");
    return;
  }
  platform::print(format_report(*report));
}

}  // namespace quillon::cli
