// The paged scan and the $LogFile read started as soon as the folder tree is
// built, on the scenario volumes: the MFT half of a probe gives the same
// items (sources included) and the same audit line as when the paged scan
// starts at its own turn, though the journal and the phases before it grow
// the tree and accept records meanwhile.
#include <gtest/gtest.h>

#include <regex>
#include <sstream>

#include "engine/phased_scan.h"
#include "engine/windows/mft_audit_line.h"
#include "engine/windows/ntfs_paged_early.h"
#include "engine/windows/recycle.h"
#include "engine/windows/scope_build.h"
#include "engine/windows/usn_deleted.h"
#include "platform/image/image_platform.h"
#include "support/images.h"

namespace quillon {
namespace {

enum class Ahead { none, as_probed, no_tree, empty_tree, tree_first };

struct Half {
  std::vector<std::string> items;
  std::string audit;
  std::uint64_t read_again = 0;  // freed files the early scan read again at its turn
};

std::string text(const DeletedItem& i) {
  std::ostringstream o;
  o << i.frn << '|' << i.parent_frn << '|' << i.parent_sequence << '|' << i.path << '|' << i.size << '|'
    << i.time.value_or(0) << '|' << int{i.sources} << '|' << i.folder;
  return o.str();
}

// The tree, the journal search and the MFT half, as the probe runs them;
// with the reads started ahead once the folder is found, as the probe
// starts them (the tree handed over when built), or never given the tree
// (every freed file kept while there is room), or given an empty one (none
// kept: every later find read again), or started only once the tree is
// built, with it from the first page on (what the probe's workers do when
// the tree is handed over before they hold a page; the records under
// folders that join the tree later are then always read again).
Half mft_half(const std::string& folder, Ahead ahead) {
  Half half;
  platform::Platform& system = platform::current();
  ProbeVolume volume = open_probe_volume(system, 'E');
  auto id = folder_frn(system, folder);
  if (!volume.reader || !volume.mft || !id) {
    ADD_FAILURE() << "cannot open " << folder;
    return half;
  }
  ProbeRoot root;
  root.path = folder;
  root.id = *id;
  root.form = root_comparison_form(system, folder);
  const TimeBudget budget(Duration{60, 0});
  const ScanOptions options = standard_scan_options();
  EarlyReads early;
  if (ahead != Ahead::none && ahead != Ahead::tree_first)
    early = read_ahead(*volume.mft, options, id->record, budget, volume.access());
  if (ahead == Ahead::empty_tree) early.pages->set_tree({});
  auto scope = build_scope(folder, volume, &root, &budget);
  if (!scope) {
    ADD_FAILURE() << "no scope for " << folder;
    return half;
  }
  if (ahead == Ahead::as_probed) early.pages->set_tree(scope->parent_match_frns);
  if (ahead == Ahead::tree_first)
    early.pages = std::make_unique<EarlyPagedScan>(
        paged_scan_request(*volume.mft, options, id->record, budget, volume.access()), scope->parent_match_frns);

  UsnScope u;
  u.folder = &*scope;
  u.tree = &*scope;
  u.volume = &volume;
  auto usn = find_deleted_via_usn(u);
  const UsnHints hints = usn ? usn->hints : UsnHints{};

  const Progress quiet([](std::string_view) {});
  ScanSession s(*scope, *volume.reader, *volume.mft, options, budget, &hints, quiet, volume.access());
  s.early = &early;
  auto r = run_phased_scan(s);
  if (!r) {
    ADD_FAILURE() << r.error().text();
    return half;
  }
  for (const auto& i : r->items) half.items.push_back(text(i));
  if (early.pages) half.read_again = early.pages->records_read_again();
  half.audit = std::regex_replace(format_audit_line(r->audit), std::regex(" [0-9]+ms "), " Nms ");
  return half;
}

struct Probe {
  const char* volume;
  const char* folder;
};

TEST(EarlyReadsOnScenarioVolumes, TheMftHalfIsTheSameAsWhenThePagedScanStartsAtItsTurn) {
  const Probe probes[] = {
      {"deltree", "E:\\2\\proj"}, {"deltree", "E:\\2\\reuse"}, {"deltree", "E:\\2"}, {"deltree-journal", "E:\\2"},
      {"journal", "E:\\2"},       {"logfile", "E:\\2"},        {"basic", "E:\\2"}, {"recoverable", "E:\\2"},
  };
  int ran = 0;
  std::uint64_t grown = 0;  // freed files under folders that joined the tree after the early start
  for (const auto& p : probes) {
    auto image = test::scenario_image(p.volume);
    if (!image) continue;
    SCOPED_TRACE(std::string(p.volume) + " " + p.folder);
    auto platform = platform::open_image_platform({image->string(), 'E', std::nullopt});
    ASSERT_TRUE(platform) << platform.error().text();
    platform::ScopedPlatform scoped(std::move(*platform));
    const Half at_turn = mft_half(p.folder, Ahead::none);
    EXPECT_FALSE(at_turn.audit.empty());
    for (Ahead a : {Ahead::as_probed, Ahead::no_tree, Ahead::empty_tree, Ahead::tree_first}) {
      SCOPED_TRACE(a == Ahead::as_probed  ? "as probed"
                   : a == Ahead::no_tree  ? "no tree"
                   : a == Ahead::empty_tree ? "empty tree"
                                            : "tree first");
      const Half ahead = mft_half(p.folder, a);
      EXPECT_EQ(ahead.items, at_turn.items);
      EXPECT_EQ(ahead.audit, at_turn.audit);
      // How much the pages held as probed are read again depends on how
      // soon the workers hold them; with the tree from the first page it
      // does not.
      if (a == Ahead::tree_first) grown += ahead.read_again;
    }
    ++ran;
  }
  if (ran == 0) GTEST_SKIP() << "tests/data holds none of the scenario volumes";
  EXPECT_GT(grown, 0u) << "no probe grew its tree between the early start and the paged phase";
}

}  // namespace
}  // namespace quillon
