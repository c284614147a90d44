#include "engine/windows/mft_audit_line.h"

namespace quillon {

std::string format_audit_line(const MftAudit& a) {
  std::string s = "MFT Audit: folder=";
  s += a.folder;
  auto field = [&s](const char* label, std::uint64_t v) {
    s += label;
    s += std::to_string(v);
  };
  field(" FRN=", a.directory_count);
  field(" $MFT\xE2\x89\x88", a.mft_record_estimate);
  field(" index=", a.index);
  field(" deleted-dir=", a.deleted_dir);
  field(" local-band=", a.local_band);
  field(" expand=", a.expand);
  field(" USN=", a.usn);
  field(" paged=", a.paged);
  field(" LogFile=", a.logfile);
  field(" retry=", a.retry);
  field(" pending=", a.pending);
  field(" cache-read=", a.cache_read);
  field(" filtered-cross-dir=", a.filtered_cross_dir);
  field(" block", a.scan.pages_done);
  field("/", a.scan.pages_total);
  field(" thread", a.scan.threads);
  field(" ", a.elapsed_ms);
  s += "ms ";
  s += a.note;
  return s;
}

}  // namespace quillon
