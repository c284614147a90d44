// What one probe asks of the platform: the volume is opened once for the
// probe (plus once per paged-scan worker), its MFT context is read once, and
// the path queries do not grow with the number of items found; the records
// around the folder are read in blocks.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "engine/probe.h"
#include "platform/control_layout.h"
#include "platform/image/image_platform.h"
#include "support/decorated_platform.h"
#include "support/images.h"

namespace quillon {
namespace {

struct SeamCounts {
  std::atomic<int> main_opens{0}, worker_opens{0}, volume_data{0}, main_reads{0};
  std::atomic<int> open_path{0}, full_path_name{0}, metadata{0}, list_directory{0};
  std::mutex mutex;
  std::vector<std::thread::id> worker_threads;
};

class CountingDevice : public test::ForwardingDevice {
 public:
  CountingDevice(std::unique_ptr<platform::VolumeDevice> inner, SeamCounts& counts, bool main)
      : ForwardingDevice(std::move(inner)), counts_(counts), main_(main) {}
  Result<void> read_exact_at(std::uint64_t offset, std::span<std::byte> out) override {
    if (main_) ++counts_.main_reads;
    return ForwardingDevice::read_exact_at(offset, out);
  }
  Result<std::size_t> control(std::uint32_t code, std::span<const std::byte> in, std::span<std::byte> out) override {
    if (code == platform::FSCTL_GET_NTFS_VOLUME_DATA) ++counts_.volume_data;
    return ForwardingDevice::control(code, in, out);
  }

 private:
  SeamCounts& counts_;
  bool main_;
};

class CountingPlatform : public test::DecoratedPlatform {
 public:
  CountingPlatform(std::unique_ptr<platform::Platform> inner, SeamCounts& counts)
      : DecoratedPlatform(std::move(inner),
                          [&counts, main = std::this_thread::get_id()](std::unique_ptr<platform::VolumeDevice> dev)
                              -> std::unique_ptr<platform::VolumeDevice> {
                            const bool on_main = std::this_thread::get_id() == main;
                            if (on_main) {
                              ++counts.main_opens;
                            } else {
                              ++counts.worker_opens;
                              std::lock_guard lock(counts.mutex);
                              counts.worker_threads.push_back(std::this_thread::get_id());
                            }
                            return std::make_unique<CountingDevice>(std::move(dev), counts, on_main);
                          }),
        counts_(counts) {}
  Result<std::unique_ptr<platform::FileHandle>> open_path(std::string_view path) override {
    ++counts_.open_path;
    return DecoratedPlatform::open_path(path);
  }
  Result<std::vector<platform::DirectoryEntry>> list_directory(std::string_view path) override {
    ++counts_.list_directory;
    return DecoratedPlatform::list_directory(path);
  }
  Result<platform::Metadata> metadata(std::string_view path) override {
    ++counts_.metadata;
    return DecoratedPlatform::metadata(path);
  }
  Result<std::string> full_path_name(std::string_view path) override {
    ++counts_.full_path_name;
    return DecoratedPlatform::full_path_name(path);
  }

 private:
  SeamCounts& counts_;
};

struct CountedProbe {
  std::size_t items = 0;
  int main_opens = 0, worker_opens = 0, workers = 0, volume_data = 0;
  int path_calls = 0;  // open_path + full_path_name + metadata
  int list_directory = 0;
  int main_reads = 0;  // device reads on the probing thread
  int dirs = 0;  // folders in scope, from the audit line's FRN=
};

std::optional<CountedProbe> counted_probe(const std::string& volume) {
  auto image = test::scenario_image(volume);
  if (!image) return std::nullopt;
  auto inner = platform::open_image_platform({image->string(), 'E', std::nullopt});
  if (!inner) {
    ADD_FAILURE() << inner.error().text();
    return std::nullopt;
  }
  SeamCounts counts;
  platform::ScopedPlatform scoped(std::make_unique<CountingPlatform>(std::move(*inner), counts));
  auto report = probe_folder(platform::current(), "E:\\2", Duration{60, 0}, Progress([](std::string_view) {}));
  if (!report) {
    ADD_FAILURE() << report.error().text();
    return std::nullopt;
  }
  CountedProbe c;
  c.items = report->items.size();
  c.main_opens = counts.main_opens;
  c.worker_opens = counts.worker_opens;
  std::sort(counts.worker_threads.begin(), counts.worker_threads.end());
  c.workers = static_cast<int>(std::unique(counts.worker_threads.begin(), counts.worker_threads.end()) -
                               counts.worker_threads.begin());
  c.volume_data = counts.volume_data;
  c.path_calls = counts.open_path + counts.full_path_name + counts.metadata;
  c.list_directory = counts.list_directory;
  c.main_reads = counts.main_reads;
  const std::string audit = report->mft_summary.value_or("");
  if (auto at = audit.find(" FRN="); at != std::string::npos) c.dirs = std::atoi(audit.c_str() + at + 5);
  std::printf("[ counts ] %s: items=%zu dirs=%d main_opens=%d worker_opens=%d workers=%d volume_data=%d "
              "path_calls=%d list_directory=%d main_reads=%d\n",
              volume.c_str(), c.items, c.dirs, c.main_opens, c.worker_opens, c.workers, c.volume_data, c.path_calls,
              c.list_directory, c.main_reads);
  return c;
}

TEST(ProbeSession, OpensTheVolumeOnceAndPathQueriesDoNotGrowWithItems) {
  auto small = counted_probe("sample");
  auto large = counted_probe("basic");
  if (!small || !large) GTEST_SKIP() << "tests/data/sample.img.gz or basic.img.gz is absent";
  ASSERT_LT(small->items, large->items);
  for (const auto* c : {&*small, &*large}) {
    SCOPED_TRACE(std::to_string(c->items) + " items");
    EXPECT_LE(c->main_opens, 2);
    EXPECT_EQ(c->worker_opens, c->workers) << "one volume handle per paged-scan worker";
    EXPECT_EQ(c->volume_data, 1) << "the MFT context is read once";
    // Path queries are made per folder in scope (its listing, its id), never
    // per candidate: the root is resolved once and containment is a string
    // test.
    EXPECT_LE(c->path_calls, 2 * c->dirs + 8);
    EXPECT_LE(c->list_directory, c->dirs);
    // The band around the folder is read 64 records per request, and on an
    // image the retry parses what the band read: a few dozen reads of the
    // volume on the probing thread (151 and 336 with one read per record).
    EXPECT_LE(c->main_reads, 32);
  }
}

// A volume that answers each read late: the folder tree's reads count
// against the probe's one deadline like every other search's, so a short
// limit ends the whole probe within the limit and the read under way.
class SlowDevice : public test::ForwardingDevice {
 public:
  SlowDevice(std::unique_ptr<platform::VolumeDevice> inner, std::chrono::milliseconds delay)
      : ForwardingDevice(std::move(inner)), delay_(delay) {}
  Result<void> read_exact_at(std::uint64_t offset, std::span<std::byte> out) override {
    std::this_thread::sleep_for(delay_);
    return ForwardingDevice::read_exact_at(offset, out);
  }

 private:
  std::chrono::milliseconds delay_;
};

TEST(ProbeSession, ASlowFolderTreeEndsWithinTheLimitAndOneRead) {
  // 5,050 folders: at one late read per folder the tree alone would take
  // minutes.
  auto image = test::scenario_image("deltree-wide");
  if (!image) GTEST_SKIP() << "tests/data/deltree-wide.img.gz is absent";
  auto inner = platform::open_image_platform({image->string(), 'E', std::nullopt});
  ASSERT_TRUE(inner) << inner.error().text();
  constexpr std::chrono::milliseconds kDelay{200};
  test::DecoratedPlatform system(std::move(*inner), [kDelay](std::unique_ptr<platform::VolumeDevice> dev)
                                     -> std::unique_ptr<platform::VolumeDevice> {
    return std::make_unique<SlowDevice>(std::move(dev), kDelay);
  });
  const auto start = std::chrono::steady_clock::now();
  auto report = probe_folder(system, "E:\\2", Duration{0, 600'000'000}, Progress([](std::string_view) {}));
  const auto spent = std::chrono::steady_clock::now() - start;
  std::printf("[ slow ] the probe took %lld ms\n",
              static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(spent).count()));
  ASSERT_TRUE(report) << report.error().text();
  ASSERT_FALSE(report->notes.empty());
  EXPECT_NE(report->notes.back().find("the time limit stopped the reading of"), std::string::npos);
  // The limit, the read under way when it passed, and the work that reads
  // nothing (under the sanitizers).
  EXPECT_LT(spent, std::chrono::milliseconds{600} + kDelay + std::chrono::milliseconds{150})
      << std::chrono::duration_cast<std::chrono::milliseconds>(spent).count() << " ms";
}

}  // namespace
}  // namespace quillon
