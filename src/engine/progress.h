// The one progress reporter: "  [{index}/{total}] {message}", printed only
// when index is a multiple of 5000 or index + 1 equals total.
#pragma once

#include <cstdint>
#include <functional>
#include <string_view>

namespace quillon {

using ProgressSink = std::function<void(std::string_view line)>;

class Progress {
 public:
  // Without a sink the lines go nowhere: the caller that shows them (the
  // command line) gives the sink.
  Progress() = default;
  explicit Progress(ProgressSink sink) : sink_(std::move(sink)) {}

  void operator()(std::uint64_t index, std::uint64_t total, std::string_view message) const;
  // The common form: index 0 of 1, always printed.
  void step(std::string_view message) const { (*this)(0, 1, message); }

  static bool should_print(std::uint64_t index, std::uint64_t total);

 private:
  ProgressSink sink_;
};

// A reporter that shows nothing, shared by callers that were given none.
const Progress& standard_progress();

}  // namespace quillon
