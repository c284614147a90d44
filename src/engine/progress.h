// The one progress reporter: "  [{index}/{total}] {message}", printed only
// when index is a multiple of 5000 or index + 1 equals total.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace quillon {

struct JournalSummary;

using ProgressSink = std::function<void(std::string_view line)>;
// The words of the journal search's outcome; the caller that shows the
// lines gives them, so that an error is put into words in one place.
using JournalText = std::function<std::string(const JournalSummary&)>;

class Progress {
 public:
  // Without a sink the lines go nowhere: the caller that shows them (the
  // command line) gives the sink.
  Progress() = default;
  explicit Progress(ProgressSink sink, JournalText journal_text = {})
      : sink_(std::move(sink)), journal_text_(std::move(journal_text)) {}

  void operator()(std::uint64_t index, std::uint64_t total, std::string_view message) const;
  // The common form: index 0 of 1, always printed.
  void step(std::string_view message) const { (*this)(0, 1, message); }
  // The journal search's outcome as a step, when the caller gave its words.
  void journal(const JournalSummary& summary) const {
    if (journal_text_) step(journal_text_(summary));
  }

  static bool should_print(std::uint64_t index, std::uint64_t total);

 private:
  ProgressSink sink_;
  JournalText journal_text_;
};

// A reporter that shows nothing, shared by callers that were given none.
const Progress& standard_progress();

}  // namespace quillon
