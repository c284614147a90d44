#include "engine/windows/mft_audit_line.h"

namespace quillon {

std::string format_audit_line(const MftAudit& a) {
  std::string s = "MFT Audit: folder=";
  s += a.folder;
  auto field = [&s](std::string_view label, std::uint64_t v) {
    s += label;
    s += std::to_string(v);
  };
  field(" FRN=", a.directory_count);
  field(" $MFT\xE2\x89\x88", a.mft_record_estimate);
  for (const AuditCounter& c : kAuditCounters) {
    s += c.line_label;
    s += std::to_string(a.*c.value);
  }
  field(" block", a.scan.pages_done);
  field("/", a.scan.pages_total);
  field(" thread", a.scan.threads);
  field(" ", a.elapsed_ms);
  s += "ms ";
  s += a.note;
  return s;
}

}  // namespace quillon
