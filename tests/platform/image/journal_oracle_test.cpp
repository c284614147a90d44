// The image backend's journal answers against the records the generator
// wrote: every USN record of a scenario's manifest comes back through
// FSCTL_QUERY_USN_JOURNAL and FSCTL_READ_USN_JOURNAL, once, with its
// reference, parent, reason and name; and nothing else does.
#include <gtest/gtest.h>

#include <map>
#include <tuple>

#include "datasource/windows/volume.h"
#include "engine/windows/usn_journal.h"
#include "platform/image/image_platform.h"
#include "support/images.h"
#include "support/manifest.h"

namespace quillon {
namespace {

using Key = std::tuple<std::uint64_t, std::uint64_t, std::uint32_t, std::string>;  // reference, parent, reason, name

TEST(ImageJournal, EveryWrittenRecordIsReadBackOnce) {
  int checked = 0;
  for (const auto& name : test::scenario_names()) {
    auto manifest = test::load_manifest(name);
    if (!manifest || manifest->usn.empty()) continue;
    SCOPED_TRACE(name);
    auto image = test::scenario_image(name);
    ASSERT_TRUE(image);
    auto p = platform::open_image_platform({image->string(), 'E', std::nullopt});
    ASSERT_TRUE(p) << p.error().text();
    platform::ScopedPlatform scoped(std::move(*p));
    auto volume = open_volume(platform::current(), 'E');
    ASSERT_TRUE(volume) << volume.error().text();
    auto info = query_journal(*volume);
    ASSERT_TRUE(info) << info.error().text();

    std::map<Key, int> want, got;
    std::int64_t highest = 0;
    for (const auto& u : manifest->usn) {
      const std::uint64_t ref = u.record | (static_cast<std::uint64_t>(u.seq) << 48);
      ++want[{ref, u.parent, u.reason, u.name}];
      highest = std::max<std::int64_t>(highest, static_cast<std::int64_t>(u.usn));
    }
    EXPECT_GT(info->next_usn, highest);
    EXPECT_LE(info->first_usn, static_cast<std::int64_t>(manifest->usn.front().usn));

    auto read = read_journal(*volume, *info, info->first_usn, [&](Bytes area) -> std::uint64_t {
      walk_records(area, [&](const UsnEntry& e) { ++got[{e.file_reference, e.parent, e.reason, e.name}]; });
      return 0;
    });
    ASSERT_TRUE(read) << read.error().text();
    EXPECT_EQ(got, want);
    ++checked;
  }
  if (checked == 0) GTEST_SKIP() << "no scenario volume under tests/data carries a journal";
}

}  // namespace
}  // namespace quillon
