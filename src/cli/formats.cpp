#include "cli/formats.h"

#include <array>
#include <cstdio>

#include "cli/report.h"
#include "common/text.h"

namespace quillon::cli {

namespace {

constexpr std::uint64_t kTicksPerSecond = 10'000'000;
constexpr std::uint64_t kSeconds1601To1970 = 11'644'473'600;

struct Civil {
  std::int64_t year;
  unsigned month, day;
};

// Days since 1970-01-01 to a calendar date (proleptic Gregorian).
Civil civil_from_days(std::int64_t z) {
  z += 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const auto doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  const unsigned d = doy - (153 * mp + 2) / 5 + 1;
  const unsigned m = mp < 10 ? mp + 3 : mp - 9;
  return {static_cast<std::int64_t>(yoe) + era * 400 + (m <= 2), m, d};
}


std::string csv_field(std::string_view v) {
  if (v.find_first_of(",\"\r\n") == std::string_view::npos) return std::string(v);
  std::string out = "\"";
  for (char c : v) {
    if (c == '"') out += '"';
    out += c;
  }
  return out + "\"";
}

std::string json_string(std::string_view v) {
  std::string out = "\"";
  for (char c : lossy_utf8(v)) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\u%04x", static_cast<unsigned>(static_cast<unsigned char>(c)));
          out += buf;
        } else {
          out += c;
        }
    }
  }
  return out + "\"";
}

std::string json_context(const ReportContext& c) {
  std::string out = "  \"folder\": " + json_string(c.folder) + ",\n";
  if (c.volume_bytes) {
    out += "  \"image\": {\"volume_bytes\": " + std::to_string(c.volume_bytes) +
           ", \"missing_bytes\": " + std::to_string(c.missing_bytes);
    if (!c.notes.empty()) {
      out += ", \"notes\": [";
      for (std::size_t i = 0; i < c.notes.size(); ++i) out += (i ? ", " : "") + json_string(c.notes[i]);
      out += "]";
    }
    out += "},\n";
  }
  return out;
}

// The item's sequence as written (its own, or its FRN's top 16 bits): `none`
// when no source gave one.
std::string sequence_text(const DeletedItem& item, std::string_view none) {
  if (item.sequence) return std::to_string(*item.sequence);
  if (item.frn >> 48) return std::to_string(item.frn >> 48);
  return std::string(none);
}

template <class T>
std::string optional_number(const std::optional<T>& v, std::string_view none) {
  return v ? std::to_string(*v) : std::string(none);
}

}  // namespace

std::string_view kind_name(ItemKind kind) { return kind == ItemKind::folder ? "folder" : "file"; }

std::string_view record_state_name(RecordState state) {
  switch (state) {
    case RecordState::intact: return "intact";
    case RecordState::reused: return "reused";
    case RecordState::unknown: break;
  }
  return "unknown";
}

std::string_view recoverable_name(Recoverable r) {
  switch (r) {
    case Recoverable::yes: return "yes";
    case Recoverable::partly: return "partly";
    case Recoverable::no: return "no";
    case Recoverable::unknown: break;
  }
  return "unknown";
}

std::optional<Format> parse_format(std::string_view name) {
  if (name == "text") return Format::text;
  if (name == "csv") return Format::csv;
  if (name == "json") return Format::json;
  if (name == "bodyfile") return Format::bodyfile;
  return std::nullopt;
}

std::string iso8601_utc(std::uint64_t filetime) {
  const std::uint64_t seconds = filetime / kTicksPerSecond;
  const auto ticks = static_cast<unsigned>(filetime % kTicksPerSecond);
  const auto unix = static_cast<std::int64_t>(seconds) - static_cast<std::int64_t>(kSeconds1601To1970);
  std::int64_t days = unix / 86400, rest = unix % 86400;
  if (rest < 0) {
    rest += 86400;
    --days;
  }
  const Civil c = civil_from_days(days);
  char buf[64];
  std::snprintf(buf, sizeof buf, "%04lld-%02u-%02uT%02u:%02u:%02u.%07uZ", static_cast<long long>(c.year), c.month,
                c.day, static_cast<unsigned>(rest / 3600), static_cast<unsigned>(rest / 60 % 60),
                static_cast<unsigned>(rest % 60), ticks);
  return buf;
}

std::uint64_t unix_seconds(std::uint64_t filetime) {
  const std::uint64_t seconds = filetime / kTicksPerSecond;
  return seconds > kSeconds1601To1970 ? seconds - kSeconds1601To1970 : 0;
}

std::string found_by_text(std::uint8_t sources, std::string_view sep) {
  std::string out;
  for (const Finder& f : kFinders) {
    if (!(sources & f.bit)) continue;
    if (!out.empty()) out += sep;
    out += f.name;
  }
  return out;
}

std::string format_csv(const ProbeReport& report) {
  // The byte order mark tells spreadsheets the file is UTF-8.
  std::string out =
      "\xEF\xBB\xBF" "frn,record,sequence,parent_frn,size,time_utc,filetime,path,found_by,"
      "kind,deleted_utc,data_size,record_state,clusters_free_pct,recoverable\r\n";
  for (const auto& item : report.items) {
    out += std::to_string(item.frn) + "," + std::to_string(item.frn & 0xFFFFFFFFFFFFULL) + "," +
           sequence_text(item, "") + "," + std::to_string(item.parent_frn) + "," + std::to_string(item.size) + ",";
    if (item.time) out += iso8601_utc(*item.time) + "," + std::to_string(*item.time);
    else out += ",";
    out += ',';
    out += csv_field(lossy_utf8(item.path)) + "," + csv_field(found_by_text(item.sources, ";")) + ",";
    out += std::string(kind_name(item.kind)) + ",";
    out += (item.deleted_time ? iso8601_utc(*item.deleted_time) : std::string()) + ",";
    out += optional_number(item.data_size, "") + "," + std::string(record_state_name(item.record_state)) + ",";
    out += optional_number(item.clusters_free_pct, "") + "," + std::string(recoverable_name(recoverable(item)));
    out += "\r\n";
  }
  return out;
}

// The audit's counters as one JSON object.
std::string json_audit(const MftAudit& a) {
  std::string out = "{\"folder\": " + json_string(a.folder);
  auto field = [&out](std::string_view name, std::uint64_t v) {
    out += ", \"";
    out += name;
    out += "\": " + std::to_string(v);
  };
  field("folders_in_scope", a.directory_count);
  field("mft_record_bound", a.mft_record_estimate);
  for (const AuditCounter& c : kAuditCounters) field(c.json_name, a.*c.value);
  field("pages_done", a.scan.pages_done);
  field("pages_total", a.scan.pages_total);
  field("threads", a.scan.threads);
  field("elapsed_ms", a.elapsed_ms);
  return out + ", \"note\": " + json_string(a.note) + "}";
}

std::string format_json(const ProbeReport& report, const ReportContext& context) {
  std::string out = "{\n" + json_context(context);
  if (!report.notes.empty()) {
    out += "  \"probe_notes\": [";
    for (std::size_t i = 0; i < report.notes.size(); ++i) out += (i ? ", " : "") + json_string(report.notes[i]);
    out += "],\n";
  }
  out += "  \"usn_summary\": " + json_string(journal_summary_line(report.journal)) + ",\n";
  const auto mft = mft_summary_line(report);
  out += "  \"mft_summary\": " + (mft ? json_string(*mft) : std::string("null")) + ",\n";
  out += "  \"audit\": " + (report.audit ? json_audit(*report.audit) : std::string("null"));
  out += ",\n  \"noise_filter\": {\"keep_all\": ";
  out += context.keep_all ? "true" : "false";
  out += ", \"dropped\": {";
  bool first = true;
  for (const auto& [rule, count] : context.noise_drops) {
    out += (first ? "" : ", ") + json_string(rule) + ": " + std::to_string(count);
    first = false;
  }
  out += "}},\n  \"total\": " + std::to_string(report.items.size()) + ",\n  \"items\": [";
  for (std::size_t i = 0; i < report.items.size(); ++i) {
    const auto& item = report.items[i];
    out += i ? ",\n" : "\n";
    out += "    {\"frn\": " + std::to_string(item.frn) + ", \"record\": " +
           std::to_string(item.frn & 0xFFFFFFFFFFFFULL) + ", \"sequence\": " + sequence_text(item, "null") +
           ", \"parent_frn\": " + std::to_string(item.parent_frn) + ", \"size\": " + std::to_string(item.size) +
           ", \"time\": " + (item.time ? json_string(iso8601_utc(*item.time)) : std::string("null")) +
           ", \"filetime\": " + (item.time ? std::to_string(*item.time) : std::string("null")) +
           ", \"path\": " + json_string(item.path) + ", \"found_by\": [";
    bool first_source = true;
    for (const Finder& f : kFinders) {
      if (!(item.sources & f.bit)) continue;
      out += (first_source ? "" : ", ") + json_string(f.name);
      first_source = false;
    }
    out += "], \"kind\": " + json_string(kind_name(item.kind)) + ", \"deleted_utc\": " +
           (item.deleted_time ? json_string(iso8601_utc(*item.deleted_time)) : std::string("null")) +
           ", \"data_size\": " + optional_number(item.data_size, "null") +
           ", \"record_state\": " + json_string(record_state_name(item.record_state)) +
           ", \"clusters_free_pct\": " + optional_number(item.clusters_free_pct, "null") +
           ", \"recoverable\": " + json_string(recoverable_name(recoverable(item))) + "}";
  }
  out += report.items.empty() ? "]\n}\n" : "\n  ]\n}\n";
  return out;
}

std::string format_json_error(std::string_view error, const ReportContext& context) {
  return "{\n" + json_context(context) + "  \"error\": " + json_string(error) + "\n}\n";
}

std::string format_bodyfile(const ProbeReport& report) {
  // MD5|name|inode|mode|UID|GID|size|atime|mtime|ctime|crtime, as fls -m
  // writes it: the inode is the MFT record number, deleted names carry
  // " (deleted)", the mode is d/d... for folders and r/r... for files,
  // unknown fields are 0. An intact record gives its $STANDARD_INFORMATION
  // times; otherwise the one time an item carries is its last modification.
  // The journal's deletion time, when known, is the ctime (the change that
  // removed the entry), so that every item it names shows in a timeline.
  std::string out;
  for (const auto& item : report.items) {
    std::string name = lossy_utf8(item.path);
    for (char& c : name)
      if (c == '|' || c == '\n' || c == '\r') c = '_';
    std::uint64_t atime = 0, mtime = item.time ? unix_seconds(*item.time) : 0, ctime = 0, crtime = 0;
    if (item.record_times) {
      atime = unix_seconds(item.record_times->accessed);
      mtime = unix_seconds(item.record_times->modified);
      ctime = unix_seconds(item.record_times->record_changed);
      crtime = unix_seconds(item.record_times->created);
    }
    if (item.deleted_time) ctime = unix_seconds(*item.deleted_time);
    const char* mode = item.kind == ItemKind::folder ? "d/drwxrwxrwx" : "r/rrwxrwxrwx";
    const std::uint64_t size = item.data_size ? *item.data_size : item.size;
    out += "0|" + name + " (deleted)|" + std::to_string(item.frn & 0xFFFFFFFFFFFFULL) + "|" + mode + "|0|0|" +
           std::to_string(size) + "|" + std::to_string(atime) + "|" + std::to_string(mtime) + "|" +
           std::to_string(ctime) + "|" + std::to_string(crtime) + "\n";
  }
  return out;
}

}  // namespace quillon::cli
