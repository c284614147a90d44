#include <vector>

#include "engine/item_facts.h"
#include "engine/windows/ntfs_deleted_eval.h"
#include "engine/windows/raw_mft.h"
#include "fuzz/fuzz_targets.h"
#include "platform/image/file_record.h"
#include "platform/image/ntfs_volume.h"
#include "platform/image/runlist.h"

namespace quillon::fuzz {

namespace {

namespace img = platform::image;

// The image backend's view: header, attributes and what lies in them.
void image_reader(std::vector<std::byte> rec) {
  if (!ntfs::apply_update_sequence(rec, ntfs::TornStride::refuse_block)) return;
  auto h = img::parse_record_header(rec);
  if (!h) return;
  for (const auto& a : img::parse_attributes(rec, std::uint64_t{1} << 24)) {
    if (a.type == img::kAttrFileName && a.resident) (void)img::parse_file_name(a.value);
    if (a.type == img::kAttrIndexRoot && a.resident) (void)img::parse_index_node(a.value, 0x10);
    if (!a.resident) (void)img::runs_disjoint(a.runs);
  }
}

// The engine's view of a record read raw, and its evaluation as a deleted
// (or in-use) record of E:\2 (record 40) and its subfolder a (41).
void engine_reader(std::vector<std::byte> rec) {
  (void)ntfs::apply_update_sequence(rec, ntfs::TornStride::keep_as_read);
  Bytes r(rec);
  (void)record_flags(r);
  (void)record_sequence(r);
  for (const auto& a : attributes(r)) {
    (void)attribute_bytes(r, a);
    (void)resident_value(r, a);
  }
  (void)file_names(r);
  const FrnSet dirs{5, 40, 41};
  (void)file_names_under(r, dirs);
  (void)index_root_entries(r, dirs, 40, false);
  (void)index_root_entries(r, dirs, 40, true);
  (void)data_runs(r);
  (void)nonresident_runs(r, kAttrAttributeList);
  (void)resident_attribute_value(r, kAttrAttributeList);
  // The item facts' reading of the record: its unnamed $DATA and times, and
  // an item of record 70 judged against it.
  (void)unnamed_data(r, 4096);
  (void)standard_times(r);
  DeletedItem item;
  item.frn = 70;
  item.parent_frn = 41;
  item.path = "E:\\2\\a\\hinted.txt";
  fill_facts(item, {r, nullptr, 4096, nullptr});

  static const ScanContext ctx = [] {
    ScopeContext scope;
    scope.root_path = "E:\\2";
    scope.root_frn = 40;
    scope.dir_map = {{40, {"", 5}}, {41, {"a", 40}}};
    scope.dir_frns = {40, 41};
    scope.parent_match_frns = {40, 41};
    return scan_context_for(scope);
  }();
  RecordHint hint{"hinted.txt", 41, true};
  (void)evaluate_record(r, 70, ctx, {.verify_live = true, .include_in_use = true, .follow_parent_chain = true},
                        &hint);
  (void)evaluate_record(r, 70, ctx, EvalFlags{});
  // A freed folder offered to a tree, and the freed file set aside for it.
  if (auto dir = freed_dir_of(r, 71)) {
    ScopeContext grown = *ctx.scope;
    grown.add_deleted_dir(dir->record, dir->entry);
    (void)grown.dir_path(dir->record);
  }
  std::vector<Orphan> orphans;
  collect_orphans(r, 72, *ctx.scope, orphans);
}

}  // namespace

int file_record(const std::uint8_t* data, std::size_t size) {
  std::vector<std::byte> rec(reinterpret_cast<const std::byte*>(data), reinterpret_cast<const std::byte*>(data) + size);
  image_reader(rec);
  engine_reader(rec);
  // The bytes as bare mapping pairs, in both decoders.
  (void)img::decode_runs(rec, 0, std::uint64_t{1} << 32);
  (void)decode_runs(rec, 0, false);
  (void)decode_runs(rec, 7, true);
  return 0;
}

}  // namespace quillon::fuzz

QUILLON_FUZZ_ENTRY(file_record)
